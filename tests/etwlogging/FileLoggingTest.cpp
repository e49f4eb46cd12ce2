// The file log writer in one process: paths, settings, rotation, the directory
// check and the debugger mirror; the record builder it writes with.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "etwlogging/LogRecordBuilder.h"
#include "plinth/Owners.h"
#include "plinth/Paths.h"
#include "tests/support/DebugOutputListener.h"
#include "tests/support/FileLogSupport.h"

using ETWLogging::CLogging;
using ZelTest::ReadBytes;
using ZelTest::ReadSealed;
using ZelTest::RootedLogging;
using namespace ETWLogging::internal;

namespace {

constexpr DWORD kMax = CLogging::kDefaultMaxSize;
constexpr wchar_t kProcess[] = L"filelogging_tests";

// The number of records of a log file; none without the byte-order mark.
size_t CountRecords(const std::wstring& path)
{
    const std::wstring text = ZelTest::ReadLogText(path);
    return static_cast<size_t>(std::count(text.begin(), text.end(), L'\n'));
}

// A log file of the given size: the byte-order mark, then the fill.
void MakeFile(const std::wstring& path, DWORD size, char fill)
{
    std::string bytes(size, fill);
    bytes.replace(0, 2, "\xFF\xFE");
    ASSERT_TRUE(ZelTest::WriteBytes(path, bytes.data(), bytes.size()));
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class FileLoggingTest : public ::testing::Test
{
protected:
    std::wstring LogRoot() const { return m_root.Path() + L"\\Varkon\\VKLOGS\\"; }
    std::wstring Dir() const { return LogRoot() + L"Grp\\" + kProcess; }
    std::wstring LocalIni() const { return Dir() + L"\\log.ini"; }
    std::wstring GlobalIni() const { return LogRoot() + L"log.ini"; }
    std::wstring File(unsigned index) const
    {
        wchar_t name[16];
        Plinth::FormatWide(name, 16, L"%03u.log", index);
        return Dir() + L"\\" + kProcess + name;
    }

    ZelTest::TempFolder m_root{L"filelog"};
    RootedLogging m_log{m_root.Path()};
};

TEST_F(FileLoggingTest, FirstWriteMakesFolderAndFileWithByteOrderMark)
{
    ASSERT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
    EXPECT_FALSE(Exists(Dir()));
    EXPECT_EQ(m_log.Log(L"src\\Unit.cpp", L"C::F", 7, ETWLogging::LevelNormal, L"hello"), 0u);
    // Formatted text is cut to 4159 characters.
    EXPECT_EQ(m_log.LogF(3, nullptr, nullptr, 0, L"%s", std::wstring(5000, L'x').c_str()), 0u);
    // Without the byte-order mark no record reads back. The module column holds
    // the first 15 characters of "filelogging_tests.exe".
    const std::wstring text = ZelTest::ReadLogText(File(0));
    EXPECT_EQ(CountRecords(File(0)), 2u);
    EXPECT_NE(text.find(L" -- (Normal)$ [filelogging_tes]$ hello\r\n"), std::wstring::npos) << text.substr(0, 80);
    EXPECT_NE(text.find(L"$ " + std::wstring(4159, L'x') + L"\r\n"), std::wstring::npos);

    EXPECT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), ETWLogging::kErrorAlreadyInitialised);
    EXPECT_EQ(m_log.Uninit(), 0u);
    EXPECT_EQ(m_log.Uninit(), ETWLogging::kErrorNotInitialised);

    ASSERT_EQ(m_log.Init(nullptr, nullptr, L"HOSTA", nullptr), 0u);
    EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, ETWLogging::LevelError, L"hosted"), 0u);
    EXPECT_EQ(CountRecords(LogRoot() + kProcess + L"\\" + kProcess + L"_HOSTA000.log"), 1u);
}

TEST_F(FileLoggingTest, RejectsEmptyArgumentsNoRootAndUnwritableRecords)
{
    EXPECT_EQ(RootedLogging(m_root.Path()).Log(nullptr, nullptr, 0, 1, L"before init"),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_log.Init(L"", nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_log.Init(L"Grp", nullptr, L"", nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RootedLogging(L"").Init(L"Grp", nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_log.Uninit(), ETWLogging::kErrorNotInitialised);
    ASSERT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);

    for (const auto& [level, text] :
         {std::pair<DWORD, const wchar_t*>{1, L""}, {1, nullptr}, {0, L"unnamed level"}, {7, L"unnamed level"}})
        EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, level, text), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Exists(File(0)));
}

// A setting set out of its range acts as the nearest valid one.
TEST_F(FileLoggingTest, RotationPicksTheFileByIndexSizeAndClampedSettings)
{
    const struct
    {
        const char* name;
        void (CLogging::*set)(DWORD); // null: nothing set
        DWORD value;
        int32_t lastIdx; // -1: none stored
        DWORD size000;   // 0: no file
        DWORD sizeCurrent;
        DWORD level;
        unsigned expectFile;
        bool expectKept; // the old content stays in front of the record
        int32_t expectIdx;
    } cases[] = {
        {"one character below max size appends", nullptr, 0, -1, kMax - 2, 0, 3, 0, true, -1},
        {"exactly max size rotates", nullptr, 0, -1, kMax, 0, 3, 1, false, 1},
        {"last index wraps to 000", nullptr, 0, 2, 100, kMax, 3, 0, false, 0},
        {"index equal to the entries restarts at 000", nullptr, 0, 3, 100, 0, 3, 0, false, 0},
        {"missing current file is made, index kept", nullptr, 0, 1, 100, 0, 3, 1, false, 1},
        {"max size 0 set: appends", &CLogging::SetMaxSize, 0, -1, 100, 0, 3, 0, true, -1},
        {"max size over 10 MiB set: 10 MiB is full", &CLogging::SetMaxSize, MAXDWORD, -1, 0xA00000, 0, 3, 1, false, 1},
        {"no entries set: appends", &CLogging::SetMaxEntries, 0, -1, 100, 0, 3, 0, true, -1},
        {"entries over 100 set: index 100 wraps", &CLogging::SetMaxEntries, MAXDWORD, 100, 100, 0, 3, 0, false, 0},
        {"severity over 6 set: level 6 passes", &CLogging::SetSeverity, MAXDWORD, -1, 100, 0, 6, 0, true, -1},
    };
    // Wine gives every process the administrators' token; the hook stands in
    // for a process without privilege, which writes by path.
    static bool privileged;
    const ETWLogging::PrivilegeHook previous = ETWLogging::SetPrivilegeHook([] { return privileged; });
    for (const bool mode : {true, false})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            SCOPED_TRACE(mode ? "privileged" : "without privilege");
            privileged = mode;
            ZelTest::RemoveTree(Dir());
            Plinth::CreateDirectoryPath(Dir().c_str(), nullptr);
            if (c.lastIdx >= 0) {
                ASSERT_TRUE(ZelTest::WriteSealed(LocalIni(), L"LastLogIdx", c.lastIdx));
            }
            if (c.size000)
                MakeFile(File(0), c.size000, 'x');
            if (c.sizeCurrent)
                MakeFile(File(static_cast<unsigned>(c.lastIdx)), c.sizeCurrent, 'y');

            RootedLogging log(m_root.Path());
            ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
            if (c.set)
                (log.*c.set)(c.value);
            ASSERT_EQ(log.LogF(c.level, nullptr, nullptr, 0, L"marker"), 0u);

            const std::string bytes = ReadBytes(File(c.expectFile));
            EXPECT_EQ(bytes.size() > 2 && (bytes[2] == 'x' || bytes[2] == 'y'), c.expectKept);
            const std::wstring text = ZelTest::ReadLogText(File(c.expectFile));
            EXPECT_EQ(text.substr(text.size() < 10 ? 0 : text.size() - 10), L"$ marker\r\n");
            EXPECT_EQ(ReadSealed(LocalIni(), L"LastLogIdx"), c.expectIdx);
            if (c.expectFile != 0 && c.size000) {
                EXPECT_EQ(ReadBytes(File(0)).size(), c.size000) << "the full file stays as it was";
            }
        }
    ETWLogging::SetPrivilegeHook(previous);
}

TEST_F(FileLoggingTest, FullFileWhoseNextIndexCannotBeStoredKeepsEveryRecord)
{
    Plinth::CreateDirectoryPath(Dir().c_str(), nullptr);
    ASSERT_TRUE(ZelTest::WriteSealed(LocalIni(), L"LastLogIdx", 0));
    MakeFile(File(0), kMax, 'x');
    ASSERT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
    {
        // Open for reading by another party that lets nobody write it.
        const Plinth::UniqueHandle locked(
            ::CreateFileW(LocalIni().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(locked.get(), INVALID_HANDLE_VALUE);
        // Each record is written past the size limit and reports the failed store.
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, 4, (L"record " + std::to_wstring(i)).c_str()),
                      static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }

    // The full file keeps what it had, and the records follow it.
    EXPECT_EQ(ReadBytes(File(0)).find_first_not_of('x', 2), size_t{kMax});
    const std::wstring text = ZelTest::ReadLogText(File(0));
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(text.find(L"$ record " + std::to_wstring(i) + L"\r\n"), std::wstring::npos) << i;
    EXPECT_FALSE(Exists(File(1)));
    EXPECT_EQ(ReadSealed(LocalIni(), L"LastLogIdx"), 0);
}

TEST_F(FileLoggingTest, SettingsComeFromLocalThenGlobalIniWithInvalidValuesRewritten)
{
    // The settings as "key=value" entries of the local log.ini or, marked "*",
    // the global one; "stored" what they must hold afterwards.
    const struct
    {
        const char* name;
        const wchar_t* settings;
        const wchar_t* stored;
        DWORD maxSize, maxEntries;
        size_t written;      // of one record at each level from 1 to 6
        size_t mirrored = 0; // of them to the debugger
    } cases[] = {
        {"local size rewritten, global taken", L"MaxSize=1000 *MaxSize=524288", L"MaxSize=262144", 524288, 3, 4},
        {"global entries rewritten, default taken", L"MaxEntries=101 *MaxEntries=1", L"*MaxEntries=3", kMax, 3, 4},
        {"range edges", L"MaxSize=10485760 MaxEntries=100 *MaxEntries=2", L"", 10485760, 100, 4},
        {"severity 0 kept, every level passes", L"Severity=0", L"Severity=0", kMax, 3, 6},
        {"severity 6 passes only level 6", L"*Severity=6", L"", kMax, 3, 1},
        {"Enable 0 writes nothing", L"Severity=0 *Enable=0", L"", kMax, 3, 0},
        {"severity 7 rewritten to the default", L"Severity=7", L"Severity=3", kMax, 3, 4},
        {"option bit 1 mirrors to the debugger", L"Options=17", L"", kMax, 3, 4, 4},
    };
    const auto forEach = [this](const wchar_t* settings, auto visit) {
        std::wistringstream entries(settings);
        for (std::wstring entry; entries >> entry;) {
            const size_t global = entry[0] == L'*' ? 1 : 0;
            const size_t equals = entry.find(L'=');
            visit(global ? GlobalIni() : LocalIni(), entry.substr(global, equals - global),
                  std::stoi(entry.substr(equals + 1)));
        }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZelTest::RemoveTree(m_root.Path() + L"\\Varkon");
        forEach(c.settings, [](const std::wstring& ini, const std::wstring& key, int32_t value) {
            ASSERT_TRUE(ZelTest::WriteSealed(ini, key.c_str(), value));
        });
        RootedLogging log(m_root.Path());
        ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(log.GetMaxSize(), c.maxSize);
        EXPECT_EQ(log.GetMaxEntries(), c.maxEntries);
        ZelTest::DebugOutputListener listener;
        ASSERT_TRUE(listener.Listening());
        for (DWORD level = 1; level <= 6; ++level)
            EXPECT_EQ(log.LogF(level, nullptr, nullptr, 0, L"level %lu\r\n", level), 0u);
        EXPECT_EQ(CountRecords(File(0)), c.written);
        ::Sleep(100);
        const std::vector<std::string> lines = listener.Stop();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) {
                                    return line.find("$ [filelogging_tes]$ level ") != std::string::npos;
                                }),
                  static_cast<std::ptrdiff_t>(c.mirrored));
        forEach(c.stored, [](const std::wstring& ini, const std::wstring& key, int32_t value) {
            EXPECT_EQ(ReadSealed(ini, key.c_str()), value) << key.c_str();
        });
    }
}

TEST(FileLogRoot, IsTheProgramDataFolderCutWithCode80)
{
    const std::wstring expected = ZelTest::ProgramDataFolder();
    ASSERT_FALSE(expected.empty());
    CLogging log;
    wchar_t buffer[MAX_PATH];
    EXPECT_EQ(log.GetLogRoot(nullptr, MAX_PATH), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(log.GetLogRoot(buffer, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const struct
    {
        size_t size;
        DWORD code;
        std::wstring text;
    } cases[] = {
        {expected.size() + 1, 0, expected},
        {expected.size(), ETWLogging::kErrorTruncated, expected.substr(0, expected.size() - 1)},
        {1, ETWLogging::kErrorTruncated, L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(log.GetLogRoot(buffer, c.size), c.code) << c.size;
        EXPECT_EQ(std::wstring(buffer), c.text) << c.size;
    }
}

TEST_F(FileLoggingTest, FolderThatCannotBeMadeDisablesTheWriterUntilReset)
{
    // A file where the group's folder belongs.
    Plinth::CreateDirectoryPath(LogRoot().c_str(), nullptr);
    MakeFile(LogRoot() + L"Grp", 10, 'z');
    ASSERT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, 4, L"lost"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(m_log.IsEnabled());
    EXPECT_FALSE(m_log.IsLevelEnabled(6));

    ASSERT_TRUE(::DeleteFileW((LogRoot() + L"Grp").c_str()));
    EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, 4, L"still lost"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Exists(Dir()));

    ASSERT_EQ(m_log.Uninit(), 0u);
    ASSERT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, 4, L"written"), 0u);
    EXPECT_EQ(CountRecords(File(0)), 1u);
}

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
