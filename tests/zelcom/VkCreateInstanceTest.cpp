// Creation through the host's class-factory interfaces, of a class this program
// serves itself.
#include <gtest/gtest.h>

#include "plinth/Owners.h"
#include "tests/support/ScriptedChecker.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

constexpr CLSID kServedClass = {0x2c7e91d4, 0x5b3a, 0x4e68, {0xa1, 0x0f, 0x7d, 0x92, 0xc4, 0x3e, 0x58, 0xb6}};

TEST(VkCreateInstanceTest, OlderFactoryIsUsedAndANullClassObjectIsRefusedNotCalled)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::ScriptedChecker server;
    server.versionText = L"created";
    DWORD cookie = 0;
    ASSERT_EQ(::CoRegisterClassObject(kServedClass, static_cast<IVkClassFactory*>(&server), CLSCTX_INPROC_SERVER,
                                      REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    server.olderFactoryOnly = true;
    Plinth::ComPtr<IVkVersion> version;
    EXPECT_EQ(VkCreateInstanceNoAuth(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IVkVersion, version.put_void()),
              S_OK);
    ASSERT_TRUE(version);
    Plinth::UniqueCoTaskMem<wchar_t> text;
    long result = 0;
    EXPECT_EQ(version->GetVersionText(text.put(), &result), S_OK);
    EXPECT_STREQ(text.get(), L"created");
    version.reset();

    server.nullClassObject = true;
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(VkCreateInstanceNoAuth(kServedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IVkVersion, &object), E_POINTER);
    EXPECT_EQ(object, nullptr);
    ::CoRevokeClassObject(cookie);
}

} // namespace
