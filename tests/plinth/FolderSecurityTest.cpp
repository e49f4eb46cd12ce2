// Folders a privileged process creates and adopts, and the files it writes in
// them, on a tree of the test's own with links planted as a user would.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "plinth/FolderSecurity.h"
#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/PlantedLinks.h"

namespace {

constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                     FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

struct Created
{
    std::wstring path;
    const wchar_t* sddl;
};
std::vector<Created> g_created;

void RecordCreated(const wchar_t* path, const wchar_t* sddl)
{
    g_created.push_back({path, sddl});
}

bool OwnedBySomeoneElse(HANDLE, DWORD& result)
{
    result = ERROR_INVALID_OWNER;
    return true;
}

bool IsSid(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    return ::IsWellKnownSid(sid, type) != FALSE;
}

TEST(FolderDescriptors, GiveUsersNoWriteRightButAFolderOfTheirOwnInALogGroup)
{
    for (const wchar_t* sddl : {Plinth::kProtectedFolderSddl, Plinth::kLogGroupFolderSddl}) {
        SCOPED_TRACE(sddl);
        Plinth::UniqueLocalMemory descriptor;
        ASSERT_EQ(Plinth::MakeSecurityDescriptor(sddl, descriptor), 0u);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
        EXPECT_TRUE(control & SE_DACL_PROTECTED);
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl);
        int fullControl = 0;
        int userAdds = 0;
        for (DWORD index = 0; index < dacl->AceCount; ++index) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(::GetAce(dacl, index, reinterpret_cast<void**>(&ace)));
            ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
            const PSID sid = &ace->SidStart;
            if (IsSid(sid, WinLocalSystemSid) || IsSid(sid, WinBuiltinAdministratorsSid)) {
                EXPECT_EQ(ace->Mask, FILE_ALL_ACCESS);
                EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
                ++fullControl;
            } else if (IsSid(sid, WinCreatorOwnerSid)) {
                EXPECT_TRUE(ace->Header.AceFlags & INHERIT_ONLY_ACE);
            } else {
                ASSERT_TRUE(IsSid(sid, WinBuiltinUsersSid) || IsSid(sid, WinAuthenticatedUserSid) ||
                            IsSid(sid, WinWorldSid));
                if ((ace->Mask & kWriteRights) == 0)
                    continue;
                // A user may add a folder to a log group itself, and nothing below it.
                EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(FILE_ADD_SUBDIRECTORY));
                EXPECT_EQ(ace->Header.AceFlags, 0);
                ++userAdds;
            }
        }
        EXPECT_EQ(fullControl, 2);
        EXPECT_EQ(userAdds, sddl == Plinth::kLogGroupFolderSddl ? 1 : 0);
    }
}

class FolderSecurityTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_created.clear();
        m_createdHook = Plinth::SetFolderCreatedHook(&RecordCreated);
        ASSERT_EQ(Plinth::GetBaseFolder(m_temp.Path(), m_base), 0u);
        m_victim = m_base + L"\\victim";
        ASSERT_TRUE(::CreateDirectoryW(m_victim.c_str(), nullptr));
        ASSERT_TRUE(ZelTest::WriteBytes(m_victim + L"\\keep.txt", "keep", 4));
    }

    void TearDown() override
    {
        Plinth::SetFolderCreatedHook(m_createdHook);
        Plinth::SetOwnerCheckHook(nullptr);
        for (const std::wstring& link : m_links)
            EXPECT_TRUE(ZelTest::RemovePlantedLink(link)) << link;
        EXPECT_EQ(ZelTest::ReadBytes(m_victim + L"\\keep.txt"), "keep");
    }

    std::wstring Plant(const std::wstring& name, const std::wstring& target)
    {
        const std::wstring link = m_base + L"\\" + name;
        EXPECT_TRUE(ZelTest::PlantSymbolicLink(link, target)) << link;
        m_links.push_back(link);
        return link;
    }

    DWORD Open(const std::wstring& parent, const wchar_t* name, Plinth::UniqueHandle& folder, bool& created)
    {
        return Plinth::OpenTrustedFolder(parent, name, Plinth::kProtectedFolderSddl, FILE_LIST_DIRECTORY, folder,
                                         created);
    }

    ZelTest::TempFolder m_temp{L"folders"};
    std::wstring m_base;
    std::wstring m_victim;
    std::vector<std::wstring> m_links;
    Plinth::FolderCreatedHook m_createdHook = nullptr;
};

TEST_F(FolderSecurityTest, CreatesAMissingFolderWithItsDescriptorAndAdoptsItOnceMade)
{
    Plinth::UniqueHandle folder;
    bool created = false;
    ASSERT_EQ(Open(m_base, L"Varkon", folder, created), 0u);
    EXPECT_TRUE(folder);
    EXPECT_TRUE(created);
    ASSERT_EQ(g_created.size(), 1u);
    EXPECT_EQ(g_created[0].path, m_base + L"\\Varkon");
    EXPECT_EQ(g_created[0].sddl, Plinth::kProtectedFolderSddl);

    folder.reset();
    ASSERT_EQ(Open(m_base, L"Varkon", folder, created), 0u);
    EXPECT_TRUE(folder);
    EXPECT_FALSE(created);
    EXPECT_EQ(g_created.size(), 1u);
}

TEST_F(FolderSecurityTest, RefusesALinkedFolderAndCreatesNothingBelowIt)
{
    Plant(L"linked", m_victim);
    Plinth::UniqueHandle folder;
    bool created = true;
    EXPECT_EQ(Open(m_base, L"linked", folder, created), Plinth::kErrorReparsePoint);
    EXPECT_FALSE(folder);
    EXPECT_FALSE(created);

    const Plinth::FolderStep steps[] = {{L"Varkon", Plinth::kProtectedFolderSddl},
                                        {L"linked", Plinth::kProtectedFolderSddl},
                                        {L"sub", Plinth::kProtectedFolderSddl}};
    std::wstring path = L"unchanged";
    ASSERT_EQ(Plinth::OpenTrustedFolderPath(m_base, steps, 1, FILE_LIST_DIRECTORY, folder, path), 0u);
    EXPECT_EQ(path, m_base + L"\\Varkon");
    Plant(L"Varkon\\linked", m_victim);
    path = L"unchanged";
    EXPECT_EQ(Plinth::OpenTrustedFolderPath(m_base, steps, 3, FILE_LIST_DIRECTORY, folder, path),
              Plinth::kErrorReparsePoint);
    EXPECT_FALSE(folder);
    EXPECT_EQ(path, L"unchanged");
    EXPECT_EQ(::GetFileAttributesW((m_victim + L"\\sub").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FolderSecurityTest, RefusesAFolderSomeoneElseOwnsAndBadNames)
{
    ASSERT_TRUE(::CreateDirectoryW((m_base + L"\\planted").c_str(), nullptr));
    Plinth::SetOwnerCheckHook(&OwnedBySomeoneElse);
    Plinth::UniqueHandle folder;
    bool created = false;
    EXPECT_EQ(Open(m_base, L"planted", folder, created), static_cast<DWORD>(ERROR_INVALID_OWNER));
    EXPECT_FALSE(folder);
    Plinth::SetOwnerCheckHook(nullptr);

    for (const wchar_t* name : {L"", L"a\\b", L"a/b"}) {
        EXPECT_EQ(Open(m_base, name, folder, created), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << name;
        EXPECT_FALSE(folder);
    }
    EXPECT_TRUE(g_created.empty());
}

TEST_F(FolderSecurityTest, HeldFileMustHaveOneNameAndNoLinkOnTheWay)
{
    const std::wstring plain = m_base + L"\\plain.log";
    const std::wstring second = m_base + L"\\second.log";
    ASSERT_TRUE(ZelTest::WriteBytes(plain, "x", 1));
    ASSERT_TRUE(ZelTest::WriteBytes(m_base + L"\\alone.log", "x", 1));
    ASSERT_TRUE(ZelTest::PlantHardLink(second, plain));
    const std::wstring fileLink = Plant(L"file.log", m_victim + L"\\keep.txt");
    const std::wstring folderLink = Plant(L"linked", m_victim);

    const std::vector<std::pair<std::wstring, DWORD>> cases = {
        {m_base + L"\\alone.log", ERROR_SUCCESS},
        {plain, ERROR_TOO_MANY_LINKS},
        {second, ERROR_TOO_MANY_LINKS},
        {fileLink, Plinth::kErrorReparsePoint},
        {folderLink + L"\\keep.txt", Plinth::kErrorReparsePoint},
    };
    for (const auto& [path, expected] : cases) {
        const Plinth::UniqueHandle file(
            Plinth::HandleOrNull(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
        ASSERT_TRUE(file) << path;
        EXPECT_EQ(Plinth::CheckHeldFile(file.get(), path), expected) << path;
    }
}

TEST_F(FolderSecurityTest, FinalPathHoldsPathsAroundTheOldLimit)
{
    const std::wstring longBase = m_base + L"\\" + std::wstring(200 - m_base.size() % 100, L'd');
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + longBase).c_str(), nullptr));
    for (const size_t length : {size_t{259}, size_t{260}, size_t{261}}) {
        ASSERT_GT(length, longBase.size() + 1);
        const std::wstring path = longBase + L"\\" + std::wstring(length - longBase.size() - 1, L'f');
        ASSERT_EQ(path.size(), length);
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr)) << length;
        const Plinth::UniqueHandle folder(Plinth::HandleOrNull(
            ::CreateFileW((L"\\\\?\\" + path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
        ASSERT_TRUE(folder) << length;
        std::wstring final;
        ASSERT_EQ(Plinth::GetFinalPath(folder.get(), final), 0u) << length;
        EXPECT_EQ(final, path);
        EXPECT_EQ(Plinth::CheckHeldPath(folder.get(), path), 0u) << length;
    }
}

} // namespace
