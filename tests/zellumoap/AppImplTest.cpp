// The application-information object, linked into the test program with a
// capturing module logger so each call site's log line can be checked.
#include <gtest/gtest.h>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "zelcom/ResultCode.h"
#include "zelcom/VkSecureClassFactory.h"
#include "zellumoap/ApplImpl.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
STDAPI DllCanUnloadNow();
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

using Plinth::ComPtr;
using ZelTest::LogCapture;

namespace {

wchar_t* const kSentinel = reinterpret_cast<wchar_t*>(static_cast<uintptr_t>(0xDEADBEEF));

// Each line with its level, source file and function.
TEST(AppImplTest, EntryPointLogsOnlyLoadAndUnload)
{
    LogCapture::Instance().Clear();
    HINSTANCE self = ::GetModuleHandleW(nullptr);
    EXPECT_TRUE(DllMain(self, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_TRUE(DllMain(self, DLL_THREAD_ATTACH, nullptr));
    EXPECT_TRUE(DllMain(self, DLL_PROCESS_DETACH, nullptr));

    std::vector<std::wstring> lines;
    for (const ZelTest::LogRecord& record : LogCapture::Instance().Take())
        lines.push_back(std::to_wstring(record.level) + L" " + record.file + L"!" + record.function + L": " +
                        record.text);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"1 zellumoap!DllMain: ZelLumoAp Loaded (Version 17.0.3038.0)\r\n",
                                                L"1 zellumoap!DllMain: ZelLumoAp Unloaded\r\n\r\n"}));
}

TEST(ResultCodeTest, KeepsSixteenOrSeventeenLowBits)
{
    const struct
    {
        DWORD code;
        long expected;
    } cases[] = {
        {0, 0},
        {2, 0x08000002},
        {0x80040111, 0x08000111},
        {0x80070057, 0x08010057},
        {0x0001FFFF, 0x0801FFFF},
        {0xFFFEFFFF, 0x0800FFFF},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeResultCode(c.code), c.expected) << std::hex << c.code;
}

HRESULT RefuseEveryCaller(const void*)
{
    return E_ACCESSDENIED;
}

// The class object locks the module while a client holds it, and so does each
// object it makes; a refused caller is given nothing, so nothing more is locked.
TEST(ClassObjectTest, RefusedCallerGetsAccessDeniedAndNothingIsCreated)
{
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    ComPtr<IVkClassFactory_PreComponentization> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory_PreComponentization, factory.put_void()), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    const LONG locks = GetComModule().GetLockCount();
    const CallerVerification previous = SetCallerVerification(RefuseEveryCaller);
    void* object = kSentinel;
    EXPECT_EQ(factory->CreateInstance(IID_IVkApplicationInfo, &object), E_ACCESSDENIED);
    SetCallerVerification(previous);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(GetComModule().GetLockCount(), locks);

    ComPtr<IVkApplicationInfo> admitted;
    EXPECT_EQ(factory->CreateInstance(IID_IVkApplicationInfo, admitted.put_void()), S_OK);
    EXPECT_EQ(GetComModule().GetLockCount(), locks + 1);
    EXPECT_EQ(factory->CreateInstance(IID_IVkApplicationInfo, nullptr), E_POINTER);
    void* wrong = kSentinel;
    EXPECT_EQ(factory->CreateInstance(IID_IClassFactory, &wrong), E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    factory.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    admitted.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ClassObjectTest, AnswersOnlyTheHostsFactoryInterfaces)
{
    void* p = kSentinel;
    EXPECT_EQ(DllGetClassObject(CLSID_ZelAppImpl, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    p = kSentinel;
    EXPECT_EQ(DllGetClassObject(CLSID_ZelUserHelper, IID_IVkClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(DllGetClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory, nullptr), E_POINTER);

    ComPtr<IUnknown> unknown;
    ComPtr<IVkClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_ZelAppImpl, IID_IUnknown, unknown.put_void()), S_OK);
    ASSERT_EQ(DllGetClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory, factory.put_void()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(factory.get()));
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ZelTest::InstallCapturingLogger(true);
    // This program is not signed; the trust tests check the real verification.
    SetCallerVerification(nullptr);
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    return RUN_ALL_TESTS();
}
