// The user-mode provider as the usage report reaches it: registered, created
// through the host's factory in any context, answering its registry value. The
// report asks nothing else of it.
#include <windows.h>

#include <gtest/gtest.h>

#include "peers/usermode/UserMode.h"
#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

TEST(UserModeProviderTest, RegisteredProviderReadsTheModeAtEachCall)
{
    const Plinth::UniqueModule module(::LoadLibraryW(ZelTest::BinPath(UserMode::kDllName).c_str()));
    ASSERT_TRUE(module);
    const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), "DllRegisterServer")));
    // The registrations are put back as they were when the program ends.
    ASSERT_EQ(registerServer(), S_OK);
    const Plinth::ComInitScope com(COINIT_APARTMENTTHREADED);
    const ZelTest::ScopedRegistryTree key(HKEY_LOCAL_MACHINE, UserMode::kKeyPath);
    Plinth::ComPtr<IUserModeProvider> provider;
    ASSERT_EQ(
        VkCreateInstanceNoAuth(CLSID_UserModeProvider, nullptr, CLSCTX_ALL, IID_IUserModeProvider, provider.put_void()),
        S_OK);
    const struct
    {
        const char* label;
        DWORD type; // REG_NONE: no value
        DWORD data;
        long mode;
        long status;
    } cases[] = {
        {"absent", REG_NONE, 0, UserMode::kDefaultMode, 0},
        {"two", REG_DWORD, 2, 2, 0},
        {"zero", REG_DWORD, 0, 0, 0},
        {"wrong type", REG_BINARY, 2, 0, 0x0800065E},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ZelTest::ScopedRegistryValue value(HKEY_LOCAL_MACHINE, UserMode::kKeyPath, UserMode::kModeValue);
        if (c.type != REG_NONE) {
            ASSERT_TRUE(value.Set(c.type, &c.data, sizeof(c.data)));
        }
        long mode = -1;
        long status = -1;
        EXPECT_EQ(provider->GetUserMode(&mode, &status), S_OK);
        EXPECT_EQ(mode, c.mode);
        EXPECT_EQ(status, c.status);
    }
    EXPECT_EQ(provider->GetUserMode(nullptr, nullptr), E_INVALIDARG);
}

} // namespace
