// The user-mode provider as the usage report reaches it: registered, created
// through the host's factory in any context, answering its registry value.
#include <windows.h>

#include <gtest/gtest.h>

#include "peers/usermode/UserMode.h"
#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

using ServerEntry = HRESULT(STDAPICALLTYPE*)();

class UserModeProviderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_module.reset(::LoadLibraryW(ZelTest::BinPath(UserMode::kDllName).c_str()));
        ASSERT_TRUE(s_module);
        ASSERT_EQ(Entry("DllRegisterServer")(), S_OK);
    }

    static void TearDownTestSuite()
    {
        if (!s_module)
            return;
        EXPECT_EQ(Entry("DllUnregisterServer")(), S_OK);
        wchar_t clsid[39] = {};
        ::StringFromGUID2(CLSID_UserModeProvider, clsid, 39);
        EXPECT_FALSE(ZelTest::KeyExists(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + clsid).c_str()));
        s_module.reset();
    }

    static ServerEntry Entry(const char* name)
    {
        return reinterpret_cast<ServerEntry>(reinterpret_cast<void*>(::GetProcAddress(s_module.get(), name)));
    }

    void SetUp() override
    {
        ASSERT_TRUE(m_com.Usable());
        ASSERT_EQ(VkCreateInstanceNoAuth(CLSID_UserModeProvider, nullptr, CLSCTX_ALL, IID_IUserModeProvider,
                                         m_provider.put_void()),
                  S_OK);
    }

    static inline Plinth::UniqueModule s_module;
    Plinth::ComInitScope m_com{COINIT_APARTMENTTHREADED};
    ZelTest::ScopedRegistryTree m_key{HKEY_LOCAL_MACHINE, UserMode::kKeyPath};
    Plinth::ComPtr<IUserModeProvider> m_provider;
};

TEST_F(UserModeProviderTest, ModeComesFromTheRegistryAtEachCall)
{
    struct Case
    {
        const char* label;
        DWORD type; // REG_NONE: no value
        DWORD data;
        long mode;
        long status;
    };
    const Case cases[] = {
        {"absent", REG_NONE, 0, UserMode::kDefaultMode, 0},
        {"two", REG_DWORD, 2, 2, 0},
        {"zero", REG_DWORD, 0, 0, 0},
        {"wrong type", REG_BINARY, 2, 0, 0x0800065E},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZelTest::ScopedRegistryValue value(HKEY_LOCAL_MACHINE, UserMode::kKeyPath, UserMode::kModeValue);
        if (c.type != REG_NONE) {
            ASSERT_TRUE(value.Set(c.type, &c.data, sizeof(c.data)));
        }
        long mode = -1;
        long status = -1;
        EXPECT_EQ(m_provider->GetUserMode(&mode, &status), S_OK);
        EXPECT_EQ(mode, c.mode);
        EXPECT_EQ(status, c.status);
    }
    EXPECT_EQ(m_provider->GetUserMode(nullptr, nullptr), E_INVALIDARG);
}

TEST_F(UserModeProviderTest, OtherQueriesAnswerForTheCallingUser)
{
    long value = -1;
    long status = -1;
    EXPECT_EQ(m_provider->GetUserCount(&value, &status), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(status, 0);
    Plinth::UniqueBstr name;
    EXPECT_EQ(m_provider->GetUserName(0, name.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    EXPECT_GT(::SysStringLen(name.get()), 0u);
    EXPECT_EQ(m_provider->GetUserName(1, name.put(), &status), S_OK);
    EXPECT_NE(status & 0x1FFFF, 0);
    EXPECT_FALSE(name);
    EXPECT_EQ(m_provider->SetUserMode(2, &status), S_OK);
    EXPECT_NE(status & 0x1FFFF, 0) << "the provider does not change the mode";
}

} // namespace
