// vklog.exe reading what file log writers left: every rotated file of every
// process below a folder, merged by time stamp, and its filters.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "etwlogging/LogRecordBuilder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileLogSupport.h"
#include "tools/vklog/LogReader.h"

namespace {

struct TimedRecord
{
    WORD hour;
    WORD minute;
    WORD second;
    DWORD level;
    const wchar_t* message;
};

// Writes records with chosen times into a log file, as the writer would.
void WriteRecords(const std::wstring& path, const wchar_t* module, DWORD options,
                  const std::vector<TimedRecord>& records)
{
    std::wstring text = L"\xFEFF";
    for (const TimedRecord& r : records) {
        const SYSTEMTIME time = {2026, 3, 6, 7, r.hour, r.minute, r.second, 0};
        ETWLogging::internal::RecordContext context;
        context.options = options;
        context.moduleFileName = module;
        DWORD bytes = 0;
        std::unique_ptr<wchar_t[]> record;
        ASSERT_EQ(ETWLogging::internal::BuildLogRecordAt(time, context, L"B.cpp", L"CB::Work", 12, r.level, r.message,
                                                         &bytes, &record),
                  0u);
        text += record.get();
    }
    ASSERT_TRUE(ZelTest::WriteBytes(path, text.data(), text.size() * sizeof(wchar_t)));
}

// The "#xx#" tokens of the printed messages, in order.
std::vector<std::string> Tokens(const std::string& output)
{
    std::vector<std::string> tokens;
    std::istringstream parts(output);
    for (std::string part; std::getline(parts, part, '#') && std::getline(parts, part, '#');)
        tokens.push_back(part);
    return tokens;
}

TEST(VkLogTest, MergesEveryRotatedFileByTimeAndFilters)
{
    ZelTest::TempFolder root(L"vklog");
    const std::wstring a = root.Path() + L"\\G\\procA";
    const std::wstring b = root.Path() + L"\\G\\procB";
    // procA rotated from 001 to 000: 001 holds the older records.
    WriteRecords(a + L"\\procA001.log", L"procA.exe", 16,
                 {{0, 30, 0, 1, L"#a0# half past midnight"}, {10, 0, 1, 1, L"#a1#"}, {10, 0, 3, 4, L"#a2#"}});
    WriteRecords(a + L"\\procA000.log", L"procA.exe", 16, {{10, 0, 5, 2, L"#a3#"}, {10, 0, 5, 4, L"#a4#"}});
    ASSERT_TRUE(ZelTest::WriteSealed(a + L"\\log.ini", L"LastLogIdx", 0));
    WriteRecords(b + L"\\procB000.log", L"procB.exe", 16 | 4 | 8 | 32,
                 {{10, 0, 2, 3, L"#b1#"},
                  {10, 0, 4, 4, L"#b2#"},
                  {10, 0, 6, 3, L"#b3# first\r\nsecond line\r\n"},
                  {13, 0, 0, 5, L"#b4# one in the afternoon"}});
    const std::pair<const wchar_t*, std::vector<std::string>> cases[] = {
        {L"", {"a0", "a1", "b1", "a2", "b2", "a3", "a4", "b3", "b4"}},
        {L"--level error", {"a2", "b2", "a4"}},
        {L"--level 1,Critical", {"a0", "a1", "b4"}},
        {L"--module PROCA", {"a0", "a1", "a2", "a3", "a4"}},
        {L"--function cb::", {"b1", "b2", "b3", "b4"}},
        {L"--text \"SECOND line\"", {"b3"}},
        {L"--level error --text a", {"a2", "a4"}},
    };
    for (const auto& [filter, tokens] : cases) {
        const std::string output =
            ZelTest::RunChild(L"vklog.exe", std::wstring(filter) + L" \"" + root.Path() + L"\"").output;
        EXPECT_EQ(Tokens(output), tokens) << output;
    }
    // A record of several lines is printed whole.
    EXPECT_NE(ZelTest::RunChild(L"vklog.exe", L"\"" + root.Path() + L"\"").output.find("#b3# first\r\nsecond line\r\n"),
              std::string::npos);
}

// With --follow, a line of a record can arrive after the look that took the
// record's first line: the next look returns it with that record, and shows it
// when the record was shown.
TEST(VkLogReaderTest, ALineWrittenAfterItsRecordWasTakenFollowsIt)
{
    ZelTest::TempFolder root(L"vklog-follow");
    const std::wstring path = root.Path() + L"\\proc\\proc000.log";
    WriteRecords(path, L"proc.exe", 16, {{10, 0, 1, 1, L"#f1# first\r\nmore\r\n"}});
    const std::string whole = ZelTest::ReadBytes(path);
    const size_t cut = whole.find(std::string("m\0o\0r\0e\0", 8));
    ASSERT_NE(cut, std::string::npos);
    VkLog::Filter first;
    first.text = L"first";
    VkLog::Filter more;
    more.text = L"more";
    VkLog::LogReader shown(root.Path(), first);
    VkLog::LogReader hidden(root.Path(), more);
    ASSERT_TRUE(ZelTest::WriteBytes(path, whole.data(), cut));
    EXPECT_EQ(shown.Poll().size(), 1u);
    EXPECT_TRUE(hidden.Poll().empty());
    ASSERT_TRUE(ZelTest::WriteBytes(path, whole.data(), whole.size()));
    const std::vector<VkLog::Record> later = shown.Poll();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].text, L"more\r\n");
    EXPECT_TRUE(later[0].continues);
    EXPECT_TRUE(hidden.Poll().empty());
}

} // namespace
