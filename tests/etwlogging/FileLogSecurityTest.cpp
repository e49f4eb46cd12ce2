// The file log writer in a privileged process (on Wine, every process) facing
// what a standard user can plant along its path: linked folders and files, a
// second name of a file elsewhere, a folder swapped while a file is made, a
// log.ini of their own. Links point only into the test's own tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "plinth/FolderSecurity.h"
#include "tests/support/DebugOutputListener.h"
#include "tests/support/FileLogSupport.h"

using ZelTest::ReadBytes;
using ZelTest::RootedLogging;

namespace {

constexpr wchar_t kProcess[] = L"filelogging_tests";

// Every file below a folder as "name=bytes", in name order; links are not followed.
std::vector<std::string> Contents(const std::wstring& folder)
{
    std::vector<std::string> entries;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return entries;
    do {
        const std::wstring name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            entries.push_back(std::string(name.begin(), name.end()) + "=" + ReadBytes(folder + L"\\" + name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(entries.begin(), entries.end());
    return entries;
}

size_t CountWhy(const std::vector<std::string>& lines)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("cannot be used") != std::string::npos;
    }));
}

class FileLogSecurityTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(Plinth::GetBaseFolder(m_root.Path(), m_base), 0u);
        ASSERT_TRUE(ZelTest::WriteBytes(Victim(), "victim", 6));
        ASSERT_TRUE(ZelTest::WriteBytes(Victims() + L"\\keep.txt", "keep", 4));
        m_victims = Contents(Victims());
    }

    void TearDown() override
    {
        ETWLogging::SetBeforeCreateHook(nullptr);
        Plinth::SetOwnerCheckHook(nullptr);
        Plinth::SetFolderCreatedHook(nullptr);
        for (const std::wstring& link : s_links)
            EXPECT_TRUE(ZelTest::RemovePlantedLink(link)) << link.c_str();
        s_links.clear();
        EXPECT_EQ(ReadBytes(Victim()), "victim");
        EXPECT_EQ(Contents(Victims()), m_victims);
    }

    static void Plant(const std::wstring& link, const std::wstring& target)
    {
        EXPECT_TRUE(ZelTest::PlantSymbolicLink(link, target)) << link.c_str();
        s_links.push_back(link);
    }

    std::wstring Victim() const { return m_base + L"\\victim.txt"; }
    // A folder named as the writer's, in a group's stead.
    std::wstring Victims() const { return m_base + L"\\victims\\" + kProcess; }
    std::wstring Dir() const { return m_base + L"\\Varkon\\VKLOGS\\Grp\\" + kProcess; }
    std::wstring File(const std::wstring& dir, unsigned index) const
    {
        return dir + L"\\" + kProcess + L"00" + std::to_wstring(index) + L".log";
    }
    // A sealed log.ini asking for a rotation on the next record: its current
    // file (000) is full.
    void FullCurrentFile(const std::wstring& dir) const
    {
        ASSERT_TRUE(ZelTest::WriteSealed(dir + L"\\log.ini", L"LastLogIdx", 0));
        const std::string full(ETWLogging::CLogging::kDefaultMaxSize, 'x');
        ASSERT_TRUE(ZelTest::WriteBytes(File(dir, 0), full.data(), full.size()));
    }

    ZelTest::TempFolder m_root{L"filelog-links"};
    std::wstring m_base;
    std::vector<std::string> m_victims;
    static std::vector<std::wstring> s_links;
};

std::vector<std::wstring> FileLogSecurityTest::s_links;

TEST_F(FileLogSecurityTest, PlantedLinksAndSecondNamesLeadTheWriterNowhere)
{
    const std::wstring user = m_base + L"\\user";
    const struct
    {
        const char* name;
        std::function<void()> plant;
    } cases[] = {
        {"its folder a link to a user's, whose next file is a link to a victim",
         [&] {
             FullCurrentFile(user);
             Plant(File(user, 1), Victim());
             ASSERT_TRUE(Plinth::CreateDirectoryPath((m_base + L"\\Varkon\\VKLOGS\\Grp").c_str(), nullptr));
             Plant(Dir(), user);
         }},
        {"the next file a second name of a victim",
         [&] {
             FullCurrentFile(Dir());
             ASSERT_TRUE(ZelTest::PlantHardLink(File(Dir(), 1), Victim()));
         }},
        {"the next file a link to a victim",
         [&] {
             FullCurrentFile(Dir());
             Plant(File(Dir(), 1), Victim());
         }},
        {"its group's folder swapped for a link after the folders were checked",
         [&] {
             ETWLogging::SetBeforeCreateHook([](const wchar_t* path) {
                 const std::wstring file = path;
                 const std::wstring group = file.substr(0, file.rfind(L"\\Grp\\") + 4);
                 ASSERT_TRUE(::MoveFileW(group.c_str(), (group + L"-moved").c_str())) << ::GetLastError();
                 Plant(group, group.substr(0, group.find(L"\\Varkon\\")) + L"\\victims");
                 ETWLogging::SetBeforeCreateHook(nullptr);
             });
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.plant();
        const std::vector<std::string> users = Contents(user);
        ZelTest::DebugOutputListener listener;
        RootedLogging log(m_root.Path());
        ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
        EXPECT_NE(log.Log(nullptr, nullptr, 0, ETWLogging::LevelError, L"planted"), 0u);
        EXPECT_FALSE(log.IsLevelEnabled(ETWLogging::LevelCritical));
        ::Sleep(100);
        EXPECT_EQ(CountWhy(listener.Stop()), 1u);
        EXPECT_EQ(Contents(user), users);
        EXPECT_EQ(ReadBytes(Victim()), "victim");
        // A file made through the swapped folder is left empty.
        std::vector<std::string> victims = Contents(Victims());
        victims.erase(std::remove(victims.begin(), victims.end(), "filelogging_tests000.log="), victims.end());
        EXPECT_EQ(victims, m_victims);
        for (const std::wstring& link : s_links)
            ZelTest::RemovePlantedLink(link);
        s_links.clear();
        ::DeleteFileW((Victims() + L"\\filelogging_tests000.log").c_str());
        ZelTest::RemoveTree(m_base + L"\\Varkon");
        ZelTest::RemoveTree(user);
    }
}

TEST_F(FileLogSecurityTest, LogIniAUserOwnsIsNotTaken)
{
    ASSERT_TRUE(ZelTest::WriteSealed(m_base + L"\\Varkon\\VKLOGS\\log.ini", L"Enable", 0));
    ASSERT_TRUE(ZelTest::WriteSealed(Dir() + L"\\log.ini", L"MaxEntries", 100));
    Plinth::SetOwnerCheckHook([](HANDLE object, DWORD& result) {
        std::wstring path;
        result = ERROR_INVALID_OWNER;
        return Plinth::GetFinalPath(object, path) == ERROR_SUCCESS && path.size() > 8 &&
               path.compare(path.size() - 8, 8, L"\\log.ini") == 0;
    });
    RootedLogging log(m_root.Path());
    ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
    EXPECT_TRUE(log.IsEnabled());
    EXPECT_EQ(log.GetMaxEntries(), ETWLogging::CLogging::kDefaultMaxEntries);
}

TEST_F(FileLogSecurityTest, EachFolderIsMadeWithTheDescriptorOfItsKind)
{
    using Made = std::vector<std::pair<std::wstring, std::wstring>>;
    static Made made;
    Plinth::SetFolderCreatedHook([](const wchar_t* path, const wchar_t* sddl) { made.emplace_back(path, sddl); });
    const std::wstring logs = m_base + L"\\Varkon\\VKLOGS";
    const wchar_t* const kProtected = Plinth::kProtectedFolderSddl;
    const struct
    {
        const wchar_t* group;
        Made expected;
    } cases[] = {
        {L"Grp",
         {{m_base + L"\\Varkon", kProtected},
          {logs, kProtected},
          {logs + L"\\Grp", Plinth::kLogGroupFolderSddl},
          {logs + L"\\Grp\\" + kProcess, kProtected}}},
        {nullptr, {{m_base + L"\\Varkon", kProtected}, {logs, kProtected}, {logs + L"\\" + kProcess, kProtected}}},
    };
    for (const auto& c : cases) {
        made.clear();
        ZelTest::RemoveTree(m_base + L"\\Varkon");
        RootedLogging log(m_root.Path());
        ASSERT_EQ(log.Init(c.group, nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(log.Log(nullptr, nullptr, 0, ETWLogging::LevelError, L"made"), 0u);
        EXPECT_EQ(made, c.expected) << (c.group ? "with a group" : "without a group");
    }
}

} // namespace
