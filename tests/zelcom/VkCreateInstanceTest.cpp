// Creation through the host's class-factory interfaces.
#include <gtest/gtest.h>

#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

constexpr CLSID kNullServer = {0x2c7e91d4, 0x5b3a, 0x4e68, {0xa1, 0x0f, 0x7d, 0x92, 0xc4, 0x3e, 0x58, 0xb6}};
constexpr wchar_t kNullServerKey[] = L"CLSID\\{2C7E91D4-5B3A-4E68-A10F-7D92C43E58B6}\\InprocServer32";

TEST(VkCreateInstanceTest, ClassObjectHandedOutAsNullIsRefusedNotCalled)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::ScopedRegistryTree server(HKEY_CLASSES_ROOT, kNullServerKey);
    ASSERT_TRUE(server.SetString(nullptr, ZelTest::BinPath(L"NullClassObject.dll")));
    ASSERT_TRUE(server.SetString(L"ThreadingModel", L"Both"));
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(VkCreateInstanceNoAuth(kNullServer, nullptr, CLSCTX_INPROC_SERVER, IID_IVkVersion, &object), E_POINTER);
    EXPECT_EQ(object, nullptr);
}

} // namespace
