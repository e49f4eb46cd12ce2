// The file log writer in one process: paths, settings, rotation, the directory
// check and the debugger mirror.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "plinth/Owners.h"
#include "plinth/Paths.h"
#include "tests/support/DebugOutputListener.h"
#include "tests/support/FileLogSupport.h"

using ETWLogging::CLogging;
using ZelTest::ReadBytes;
using ZelTest::ReadSealed;
using ZelTest::RootedLogging;

namespace {

constexpr DWORD kMax = CLogging::kDefaultMaxSize;

std::wstring ProcessName()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = std::wcsrchr(path, L'\\') + 1;
    return name.substr(0, name.rfind(L'.'));
}

// The records of a log file, without their line ends; none without the byte-order mark.
std::vector<std::wstring> ReadRecords(const std::wstring& path)
{
    const std::wstring text = ZelTest::ReadLogText(path);
    std::vector<std::wstring> records;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        records.push_back(text.substr(start, end - start));
    return records;
}

void MakeFile(const std::wstring& path, DWORD size, char fill)
{
    std::string bytes(size, fill);
    bytes[0] = '\xFF';
    bytes[1] = '\xFE';
    Plinth::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), size, &written, nullptr));
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class FileLoggingTest : public ::testing::Test
{
protected:
    std::wstring LogRoot() const { return m_root.Path() + L"\\Varkon\\VKLOGS\\"; }
    std::wstring Dir() const { return LogRoot() + L"Grp\\" + ProcessName(); }
    std::wstring LocalIni() const { return Dir() + L"\\log.ini"; }
    std::wstring GlobalIni() const { return LogRoot() + L"log.ini"; }
    std::wstring File(unsigned index, const wchar_t* host = nullptr) const
    {
        wchar_t suffix[16];
        Plinth::FormatWide(suffix, 16, L"%03u.log", index);
        return Dir() + L"\\" + ProcessName() + (host ? std::wstring(L"_") + host : std::wstring()) + suffix;
    }

    ZelTest::TempFolder m_root{L"filelog"};
    RootedLogging m_log{m_root.Path()};
};

TEST_F(FileLoggingTest, FirstWriteMakesFolderAndFileWithByteOrderMark)
{
    ASSERT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
    EXPECT_FALSE(Exists(Dir()));
    EXPECT_EQ(m_log.Log(L"src\\Unit.cpp", L"C::F", 7, ETWLogging::LevelNormal, L"hello"), 0u);
    // Without the byte-order mark no record reads back.
    const std::vector<std::wstring> records = ReadRecords(File(0));
    ASSERT_EQ(records.size(), 1u);
    // The module column holds the first 15 characters of "filelogging_tests.exe".
    EXPECT_NE(records[0].find(L" -- (Normal)$ [filelogging_tes]$ hello"), std::wstring::npos) << records[0];

    EXPECT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), ETWLogging::kErrorAlreadyInitialised);
    EXPECT_EQ(m_log.Uninit(), 0u);
    EXPECT_EQ(m_log.Uninit(), ETWLogging::kErrorNotInitialised);

    ASSERT_EQ(m_log.Init(nullptr, nullptr, L"HOSTA", nullptr), 0u);
    EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, ETWLogging::LevelError, L"hosted"), 0u);
    const std::wstring hosted = LogRoot() + ProcessName() + L"\\" + ProcessName() + L"_HOSTA000.log";
    EXPECT_EQ(ReadRecords(hosted).size(), 1u);
}

TEST_F(FileLoggingTest, RejectsEmptyArgumentsNoRootAndUnwritableRecords)
{
    RootedLogging uninitialised(m_root.Path());
    EXPECT_EQ(uninitialised.Log(nullptr, nullptr, 0, 1, L"before init"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_log.Init(L"", nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_log.Init(L"Grp", nullptr, L"", nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RootedLogging(L"").Init(L"Grp", nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_log.Uninit(), ETWLogging::kErrorNotInitialised);
    ASSERT_EQ(m_log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);

    const struct
    {
        DWORD level;
        const wchar_t* text;
    } rejected[] = {{1, L""}, {1, nullptr}, {0, L"unnamed level"}, {7, L"unnamed level"}};
    for (const auto& c : rejected)
        EXPECT_EQ(m_log.Log(nullptr, nullptr, 0, c.level, c.text), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Exists(File(0)));
}

TEST_F(FileLoggingTest, RotationPicksTheFileByIndexAndSize)
{
    const struct
    {
        const char* name;
        int32_t lastIdx; // -1: none stored
        DWORD size000;   // 0: no file
        DWORD sizeCurrent;
        unsigned expectFile;
        bool expectKept; // the old content stays in front of the record
        int32_t expectIdx;
    } cases[] = {
        {"one character below max size appends", -1, kMax - 2, 0, 0, true, -1},
        {"exactly max size rotates", -1, kMax, 0, 1, false, 1},
        {"last index wraps to 000", 2, 100, kMax, 0, false, 0},
        {"index equal to the entries restarts at 000", 3, 100, 0, 0, false, 0},
        {"missing current file is made, index kept", 1, 100, 0, 1, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
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
        ASSERT_EQ(log.Log(nullptr, nullptr, 0, 3, L"marker"), 0u);

        const std::string bytes = ReadBytes(File(c.expectFile));
        const bool kept = bytes.size() > 2 && (bytes[2] == 'x' || bytes[2] == 'y');
        EXPECT_EQ(kept, c.expectKept);
        const std::vector<std::wstring> records = ReadRecords(File(c.expectFile));
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().substr(records.back().size() - 6), L"marker");
        EXPECT_EQ(ReadSealed(LocalIni(), L"LastLogIdx"), c.expectIdx);
        if (c.expectFile != 0 && c.size000) {
            EXPECT_EQ(ReadBytes(File(0)).size(), c.size000) << "the full file stays as it was";
        }
    }
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
    struct Entry
    {
        bool global;
        const wchar_t* key;
        int32_t value;
    };
    struct Settings
    {
        DWORD maxSize, maxEntries, severity;
        bool enabled;
    };
    struct Rewrite
    {
        const wchar_t* key; // null: nothing rewritten
        bool global;
        int32_t to;
    };
    const struct
    {
        const char* name;
        std::vector<Entry> entries;
        Settings expected;
        Rewrite rewrite;
    } cases[] = {
        {"local MaxSize 1000 is rewritten and the global one taken",
         {{false, L"MaxSize", 1000}, {true, L"MaxSize", 524288}},
         {524288, 3, 3, true},
         {L"MaxSize", false, 262144}},
        {"invalid global value is rewritten and the default taken",
         {{false, L"MaxEntries", 101}, {true, L"MaxEntries", 1}},
         {kMax, 3, 3, true},
         {L"MaxEntries", true, 3}},
        {"range edges are valid",
         {{false, L"MaxSize", 10485760}, {false, L"MaxEntries", 100}, {true, L"MaxEntries", 2}},
         {10485760, 100, 3, true},
         {}},
        {"severity 0 is kept unclamped and Enable 0 disables",
         {{false, L"Severity", 0}, {true, L"Enable", 0}},
         {kMax, 3, 0, false},
         {}},
        {"severity 7 falls back to the default",
         {{false, L"Severity", 7}},
         {kMax, 3, 3, true},
         {L"Severity", false, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZelTest::RemoveTree(m_root.Path() + L"\\Varkon");
        for (const Entry& e : c.entries)
            ASSERT_TRUE(ZelTest::WriteSealed(e.global ? GlobalIni() : LocalIni(), e.key, e.value));
        RootedLogging log(m_root.Path());
        ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(log.GetMaxSize(), c.expected.maxSize);
        EXPECT_EQ(log.GetMaxEntries(), c.expected.maxEntries);
        EXPECT_EQ(log.GetSeverity(), c.expected.severity);
        EXPECT_EQ(log.IsEnabled(), c.expected.enabled);
        // A disabled writer passes no level and writes nothing.
        EXPECT_EQ(log.IsLevelEnabled(6), c.expected.enabled);
        EXPECT_EQ(log.Log(nullptr, nullptr, 0, 6, L"probe"), 0u);
        EXPECT_EQ(Exists(File(0)), c.expected.enabled);
        if (c.rewrite.key) {
            EXPECT_EQ(ReadSealed(c.rewrite.global ? GlobalIni() : LocalIni(), c.rewrite.key), c.rewrite.to);
        }
    }
}

TEST_F(FileLoggingTest, SeverityZeroPassesEveryLevelAndSixOnlySix)
{
    const struct
    {
        int32_t severity;
        std::vector<DWORD> written;
    } cases[] = {{0, {1, 2, 3, 4, 5, 6}}, {6, {6}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.severity);
        ZelTest::RemoveTree(m_root.Path() + L"\\Varkon");
        ASSERT_TRUE(ZelTest::WriteSealed(LocalIni(), L"Severity", c.severity));
        RootedLogging log(m_root.Path());
        ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
        for (DWORD level = 1; level <= 6; ++level)
            EXPECT_EQ(log.LogF(level, nullptr, nullptr, 0, L"level %lu\r\n", level), 0u);
        const std::vector<std::wstring> records = ReadRecords(File(0));
        ASSERT_EQ(records.size(), c.written.size());
        for (size_t i = 0; i < records.size(); ++i)
            EXPECT_NE(records[i].find(L"level " + std::to_wstring(c.written[i])), std::wstring::npos);
    }
}

TEST_F(FileLoggingTest, SettersClampToTheirRanges)
{
    const struct
    {
        DWORD in, maxSize, maxEntries, severity;
    } cases[] = {
        {0, kMax, 2, 1},
        {7, kMax, 7, 6},
        {101, kMax, 100, 6},
        {kMax - 1, kMax, 100, 6},
        {0xA00000, 0xA00000, 100, 6},
        {0xA00001, 0xA00000, 100, 6},
    };
    for (const auto& c : cases) {
        m_log.SetMaxSize(c.in);
        m_log.SetMaxEntries(c.in);
        m_log.SetSeverity(c.in);
        EXPECT_EQ(m_log.GetMaxSize(), c.maxSize) << c.in;
        EXPECT_EQ(m_log.GetMaxEntries(), c.maxEntries) << c.in;
        EXPECT_EQ(m_log.GetSeverity(), c.severity) << c.in;
    }
}

TEST(FileLogRoot, IsTheProgramDataFolderCutWithCode80)
{
    Plinth::UniqueCoTaskMem<wchar_t> folder;
    ASSERT_EQ(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, folder.put()), S_OK);
    const std::wstring expected = folder.get();
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
    EXPECT_EQ(ReadRecords(File(0)).size(), 1u);
}

TEST_F(FileLoggingTest, OptionBitOneMirrorsRecordsToTheDebugger)
{
    for (int32_t options : {17, 16}) {
        SCOPED_TRACE(options);
        ZelTest::RemoveTree(m_root.Path() + L"\\Varkon");
        ASSERT_TRUE(ZelTest::WriteSealed(LocalIni(), L"Options", options));
        RootedLogging log(m_root.Path());
        ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
        ZelTest::DebugOutputListener listener;
        ASSERT_TRUE(listener.Listening());
        ASSERT_EQ(log.Log(nullptr, nullptr, 0, 2, L"mirrored line"), 0u);
        ::Sleep(200);
        const std::vector<std::string> lines = listener.Stop();
        const std::string expected = "(Warning)$ [filelogging_tes]$ mirrored line\r\n";
        bool seen = false;
        for (const std::string& line : lines)
            seen = seen || (line.size() > expected.size() &&
                            line.compare(line.size() - expected.size(), expected.size(), expected) == 0);
        EXPECT_EQ(seen, options == 17);
    }
}

} // namespace
