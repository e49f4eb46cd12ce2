#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plinth/Owners.h"
#include "plinth/RegKey.h"
#include "plinth/SecurityAPI.h"
#include "tests/support/TestRegistry.h"

namespace {

const wchar_t kRoot[] = L"Software\\Varkon\\Tests\\Security";

// Number of access-allowed entries for Everyone in the key's DACL, and their mask.
int EveryoneEntries(HKEY root, const std::wstring& path, DWORD* mask = nullptr)
{
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, READ_CONTROL, key.put()) != ERROR_SUCCESS)
        return -1;
    DWORD bytes = 0;
    ::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &bytes);
    std::vector<BYTE> descriptor(bytes);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (::RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &bytes) != ERROR_SUCCESS ||
        !::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !dacl)
        return 0;
    int count = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::IsWellKnownSid(&ace->SidStart, WinWorldSid)) {
            ++count;
            if (mask)
                *mask = ace->Mask;
        }
    }
    return count;
}

class SecurityAPITest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_child.SetString(L"v", L"x"));
        ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kRoot, 0, KEY_ALL_ACCESS, m_key.put()), ERROR_SUCCESS);
    }
    std::wstring Child() const { return std::wstring(kRoot) + L"\\a\\b"; }

    ZelTest::ScopedRegistryTree m_tree{HKEY_CURRENT_USER, kRoot};
    ZelTest::ScopedRegistryTree m_child{HKEY_CURRENT_USER, std::wstring(kRoot) + L"\\a\\b"};
    Plinth::UniqueHKey m_key;
};

TEST_F(SecurityAPITest, GrantIsMergedIntoTheKeyOnly)
{
    Plinth::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kRoot, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(key.GrantEveryoneFullAccess(false), ERROR_SUCCESS);
    DWORD mask = 0;
    EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, kRoot, &mask), 1);
    EXPECT_TRUE((mask & GENERIC_ALL) || (mask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS) << std::hex << mask;
    EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, Child()), 0);

    ASSERT_EQ(key.GrantEveryoneFullAccess(false), ERROR_SUCCESS);
    EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, kRoot), 1);
}

// A sub-key that cannot be opened is passed over; the rest of the tree, at
// every depth, still gets the grant.
TEST_F(SecurityAPITest, RecursionReachesEveryDepthAndSkipsWhatItCannotOpen)
{
    ZelTest::ScopedRegistryTree locked(HKEY_CURRENT_USER, std::wstring(kRoot) + L"\\a\\locked");
    ASSERT_TRUE(locked.SetString(L"v", L"x"));
    ASSERT_EQ(ZelTest::SetKeyLocked(m_key.get(), L"a\\locked", true), ERROR_SUCCESS);
    EXPECT_EQ(Plinth::GrantEveryoneFullAccess(m_key.get(), true), 0u);
    ASSERT_EQ(ZelTest::SetKeyLocked(m_key.get(), L"a\\locked", false), ERROR_SUCCESS);
    for (const wchar_t* sub : {L"", L"\\a", L"\\a\\b"})
        EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, kRoot + std::wstring(sub)), 1) << sub;
    EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, std::wstring(kRoot) + L"\\a\\locked"), 0);
}

TEST_F(SecurityAPITest, OutsideTheNTFamilyNothingIsChanged)
{
    EXPECT_EQ(Plinth::GrantEveryoneFullAccess(nullptr, false), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    Plinth::AdvapiSecurityAPI api;
    ASSERT_TRUE(api.Usable());
    api.SetUsableForTest(false);
    const int before = EveryoneEntries(HKEY_CURRENT_USER, kRoot);
    EXPECT_EQ(Plinth::GrantEveryoneFullAccess(m_key.get(), true, &api), 0u);
    EXPECT_EQ(EveryoneEntries(HKEY_CURRENT_USER, kRoot), before);
}

} // namespace
