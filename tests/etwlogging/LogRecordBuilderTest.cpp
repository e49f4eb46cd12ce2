#include <gtest/gtest.h>

#include <string>

#include "etwlogging/LogRecordBuilder.h"

using namespace ETWLogging::internal;

namespace {

SYSTEMTIME At(WORD hour)
{
    return {2026, 3, 0, 7, hour, 5, 2, 0};
}

// Builds one record at 21:05:02 on 7 March 2026; empty when building fails.
std::wstring Build(const RecordContext& context, const wchar_t* file, const wchar_t* function, DWORD line, DWORD level,
                   const wchar_t* message, DWORD* code = nullptr)
{
    DWORD bytes = 0;
    std::unique_ptr<wchar_t[]> record;
    const DWORD result = BuildLogRecordAt(At(21), context, file, function, line, level, message, &bytes, &record);
    if (code)
        *code = result;
    if (result != ERROR_SUCCESS)
        return std::wstring();
    const std::wstring text = record.get();
    EXPECT_EQ(bytes, (text.size() + 1) * sizeof(wchar_t));
    return text;
}

// The records of the other cases carry 21:05:02, so the afternoon is covered there.
TEST(LogRecordBuilderTest, TimeStampUsesTheTwelveHourClock)
{
    const struct
    {
        WORD hour;
        const wchar_t* expected;
    } cases[] = {{0, L"03/07/2026 12:05:02 AM$"}, {11, L"03/07/2026 11:05:02 AM$"}, {12, L"03/07/2026 12:05:02 PM$"}};
    for (const auto& c : cases) {
        wchar_t stamp[kPieceChars];
        FormatTimeStamp(At(c.hour), stamp);
        EXPECT_STREQ(stamp, c.expected) << c.hour;
    }
}

TEST(LogRecordBuilderTest, ColumnsAreCutOrRightAlignedToTheirWidths)
{
    RecordContext context;
    context.options = OptionModule | OptionSourcePosition | OptionFunction;
    context.moduleFileName = L"abcdefghijklmnopqrst.exe";
    const std::wstring line =
        Build(context, L"C:\\src\\zellumoap\\ApplImpl", L"CZelAppImpl::GetAppName", 250, 1, L"m\r\n");
    EXPECT_EQ(line, L"03/07/2026 09:05:02 PM$ -- (Normal)$ [abcdefghijklmno]$ [            ApplImpl:  250]$ "
                    L"[                 CZelAppImpl::GetAppName()]$ m\r\n");

    context.moduleFileName = L"a.dll";
    context.options = OptionModule;
    EXPECT_EQ(Build(context, nullptr, nullptr, 0, 2, L"m\n"),
              L"03/07/2026 09:05:02 PM$ -- (Warning)$ [          a.dll]$ m\n");
}

TEST(LogRecordBuilderTest, SetBitsKeepTheirSpaceEvenWhenEmpty)
{
    RecordContext context;
    context.options = OptionModule | OptionProcessThread | OptionSourcePosition | OptionFunction;
    context.moduleFileName = L"";
    context.processId = 42;
    std::wstring thread = std::to_wstring(::GetCurrentThreadId());
    thread.insert(0, thread.size() < 5 ? 5 - thread.size() : 0, L' ');
    EXPECT_EQ(Build(context, nullptr, L"", 1, 5, L"m"),
              L"03/07/2026 09:05:02 PM$ -- (Critical)$  [PID:   42 TID:" + thread + L"]$   m\r\n");
}

TEST(LogRecordBuilderTest, LineEndIsAddedOnlyWithoutAFinalLineFeed)
{
    RecordContext context;
    context.options = 0;
    const struct
    {
        const wchar_t* message;
        const wchar_t* ending;
    } cases[] = {{L"a\r\n", L" a\r\n"}, {L"a\n", L" a\n"}, {L"a\r", L" a\r\r\n"}, {L"a", L" a\r\n"}};
    for (const auto& c : cases) {
        const std::wstring line = Build(context, nullptr, nullptr, 0, 3, c.message);
        EXPECT_EQ(line, std::wstring(L"03/07/2026 09:05:02 PM$ -- (Information)$") + c.ending);
    }
}

// Unnamed levels are refused through the file log writer's tests, which also
// check that such a record makes no file.
TEST(LogRecordBuilderTest, RefusesAnEmptyMessage)
{
    DWORD code = 0;
    EXPECT_TRUE(Build(RecordContext(), nullptr, nullptr, 0, 1, L"", &code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
