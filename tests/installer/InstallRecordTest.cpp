// The installation record: what it holds comes back as written, no line of it
// can go missing unnoticed, and nothing outside the product's layout passes.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "installer/InstallLayout.h"
#include "installer/InstallRecord.h"
#include "installer/Installer.h"
#include "plinth/FolderSecurity.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"

namespace {

using namespace VkInst;

class InstallRecordTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_layout.Load()); }

    // One entry of every kind, all within the layout.
    InstallRecord Sample() const
    {
        const std::wstring dir = m_layout.InstallDir();
        InstallRecord record;
        record.installDir = dir;
        record.files = {{FileEntryKind::Tree, dir, 0},
                        {FileEntryKind::Folder, dir + L"\\de-DE", 0},
                        {FileEntryKind::File, dir + L"\\ZelRes2.DLL", 0},
                        {FileEntryKind::Backup, dir + L"\\ZelLumoAp.dll", 2}};
        record.servers = {{dir + L"\\ZelLumoAp.dll", true}, {dir + L"\\zelconfigsvc.exe", false}};
        record.keys = {L"SOFTWARE\\Varkon\\ZEL"};
        record.parents = {L"SOFTWARE\\Varkon\\DOV"};
        record.values = {{L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute",
                          L"domain",
                          {true, REG_DWORD, {1, 2, 3, 4}},
                          {true, REG_SZ, {}}},
                         {L"SOFTWARE\\Varkon\\ZEL", L"Build", {}, {}}};
        return record;
    }

    InstallLayout m_layout;
    ZelTest::TempFolder m_folder{L"record"};
    const std::wstring m_path = m_folder.Path() + L"\\zelli.inf";
};

// Beyond the round trip's records: a quoted name, old data that is empty, not none.
TEST_F(InstallRecordTest, ReadsBackWhatWasWritten)
{
    InstallRecord written = Sample();
    written.values.push_back({L"SOFTWARE\\Varkon\\ZEL", L"a, \"quoted\" name ", {true, REG_SZ, {0, 0}}, {}});
    ASSERT_TRUE(WriteRecord(m_path, written));
    InstallRecord read;
    std::wstring problem;
    ASSERT_TRUE(ReadRecord(m_path, read, problem)) << std::string(problem.begin(), problem.end());
    EXPECT_EQ(FormatRecord(read), FormatRecord(written));
    ASSERT_EQ(read.values.size(), 3u);
    EXPECT_EQ(read.values[2].name, L"a, \"quoted\" name ");
    EXPECT_TRUE(read.values[0].old.known);
    EXPECT_TRUE(read.values[0].old.bytes.empty());
    EXPECT_FALSE(read.values[1].old.known);
    EXPECT_EQ(read.files[3].copy, 2u);
}

TEST_F(InstallRecordTest, RefusesARecordWithAnyLineMissing)
{
    const std::wstring text = FormatRecord(Sample());
    std::vector<std::wstring> lines;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    int required = 0;
    for (size_t skip = 0; skip < lines.size(); ++skip) {
        if (lines[skip].empty() || lines[skip][0] == L';')
            continue;
        ++required;
        std::wstring damaged = L"\xFEFF";
        for (size_t i = 0; i < lines.size(); ++i)
            damaged += i == skip ? L"" : lines[i] + L"\r\n";
        ASSERT_TRUE(ZelTest::WriteBytes(m_path, damaged.data(), damaged.size() * sizeof(wchar_t)));
        InstallRecord read;
        std::wstring problem;
        EXPECT_FALSE(ReadRecord(m_path, read, problem)) << "without line " << skip + 1;
        EXPECT_FALSE(problem.empty());
    }
    // The head's four lines, then each list's header, count and entries.
    EXPECT_EQ(required, 4 + 6 + 4 + 6);
}

TEST_F(InstallRecordTest, RefusesEntriesOutsideTheLayout)
{
    const std::wstring dir = m_layout.InstallDir();
    auto file = [](FileEntryKind kind, const std::wstring& path) {
        return [kind, path](InstallRecord& record) { record.files.push_back({kind, path, 0}); };
    };
    const std::pair<const char*, std::function<void(InstallRecord&)>> cases[] = {
        {"a tree outside", file(FileEntryKind::Tree, L"C:\\Windows")},
        {"a tree through ..", file(FileEntryKind::Tree, dir + L"\\..\\..\\..\\Windows")},
        {"a folder that is no tree taken as one", file(FileEntryKind::Tree, dir + L"\\de-DE")},
        {"a folder deeper than the layout", file(FileEntryKind::Folder, dir + L"\\de-DE\\deeper")},
        {"a layout file named through ..", file(FileEntryKind::File, dir + L"\\..\\Parental Controls\\ZelRes2.DLL")},
        {"a file outside", file(FileEntryKind::File, L"C:\\Windows\\win.ini")},
        {"a satellite named through ..", file(FileEntryKind::File, dir + L"\\..\\ZelRes2.DLL.mui")},
        {"a file that is no server",
         [&dir](InstallRecord& r) {
             r.servers.push_back({dir + L"\\ZelRes2.DLL", true});
         }},
        {"a tree through / steps", file(FileEntryKind::Tree, dir + L"/../../../VkEmpty")},
        {"a satellite through / steps", file(FileEntryKind::File, dir + L"\\../../../VkVictim\\ZelRes2.DLL.mui")},
        {"a language folder that is no language", file(FileEntryKind::Folder, dir + L"\\Victim")},
        {"a satellite in a folder that is no language", file(FileEntryKind::File, dir + L"\\Victim\\ZelRes2.DLL.mui")},
        {"a copy of a file users may write",
         [this](InstallRecord& r) {
             r.files.push_back({FileEntryKind::Backup, m_layout.LogSettings(), 3});
         }},
        {"a key outside", [](InstallRecord& r) { r.keys.push_back(L"SOFTWARE\\Classes"); }},
        {"the maker's whole key", [](InstallRecord& r) { r.keys.push_back(L"SOFTWARE\\Varkon"); }},
        {"the host's key", [](InstallRecord& r) { r.keys.push_back(L"SOFTWARE\\Varkon\\DOV"); }},
        {"a product key as a shared one", [](InstallRecord& r) { r.parents.push_back(L"SOFTWARE\\Varkon\\ZEL"); }},
        {"a shared key off the layout", [](InstallRecord& r) { r.parents.push_back(L"SOFTWARE\\Varkon\\Other"); }},
        {"a key through ..", [](InstallRecord& r) { r.keys.push_back(L"SOFTWARE\\Varkon\\ZEL\\..\\..\\Classes"); }},
        {"a value outside",
         [](InstallRecord& r) {
             r.values.push_back({L"SOFTWARE\\Varkon\\ZEL", L"Other", {}, {}});
         }},
        {"a backup copy named twice",
         [&dir](InstallRecord& r) {
             r.files.push_back({FileEntryKind::Backup, dir + L"\\ZelRes2.DLL", 2});
         }},
        {"another install directory", [](InstallRecord& r) { r.installDir = L"C:\\Windows"; }},
    };
    std::wstring problem;
    ASSERT_TRUE(CheckRecord(Sample(), m_layout, problem)) << std::string(problem.begin(), problem.end());
    for (const auto& [what, damage] : cases) {
        InstallRecord record = Sample();
        damage(record);
        EXPECT_FALSE(CheckRecord(record, m_layout, problem)) << what;
    }
}

// The host demo's log folder as a standard user may have made it before the
// installation; Wine keeps no owners, so the check is answered for it.
bool LogFolderOwnedBySomeoneElse(HANDLE object, DWORD& result)
{
    std::wstring path;
    if (Plinth::GetFinalPath(object, path) != ERROR_SUCCESS || path.size() < 7 ||
        path.compare(path.size() - 7, 7, L"\\vkhost") != 0)
        return false;
    result = ERROR_INVALID_OWNER;
    return true;
}

TEST_F(InstallRecordTest, InstallRefusesALogFolderSomeoneElseOwnsWithNothingChanged)
{
    std::vector<std::wstring> made;
    std::wstring folder = m_layout.ProgramData();
    for (const Plinth::FolderStep& step : m_layout.LogFolderSteps()) {
        folder += L"\\" + std::wstring(step.name);
        if (::CreateDirectoryW(folder.c_str(), nullptr))
            made.insert(made.begin(), folder);
    }
    const std::string thumbprint = "0123456789abcdef0123456789abcdef01234567\n";
    ASSERT_TRUE(ZelTest::WriteBytes(m_folder.Path() + L"\\trusted.thumbprint", thumbprint.data(), thumbprint.size()));
    const std::string recordBefore = ZelTest::ReadBytes(m_layout.RecordPath());
    const std::string settingsBefore = ZelTest::ReadBytes(m_layout.LogSettings());
    Plinth::SetOwnerCheckHook(&LogFolderOwnedBySomeoneElse);
    EXPECT_EQ(Install(ZelTest::BinDir(), m_folder.Path() + L"\\trusted.thumbprint"), kExitRefused);
    Plinth::SetOwnerCheckHook(nullptr);
    EXPECT_TRUE(ZelTest::ReadBytes(m_layout.RecordPath()) == recordBefore) << "the record was written";
    EXPECT_TRUE(ZelTest::ReadBytes(m_layout.LogSettings()) == settingsBefore) << "the log settings were written";
    for (const std::wstring& path : made)
        EXPECT_TRUE(::RemoveDirectoryW(path.c_str())) << "something was written into " << path.c_str();
}

} // namespace
