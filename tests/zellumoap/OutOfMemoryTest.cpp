// Every method of the object, the class object's creation and the verified
// creation call, with each of their allocations failing in turn: each answers
// a code, none unwinds into its caller, and none reports success without the
// answer that success promises.
#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "tests/support/AllocationFailure.h"
#include "tests/support/ScriptedChecker.h"
#include "tests/support/TestRegistry.h"
#include "zelcom/TrustVerification.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/VkSecureClassFactory.h"
#include "zellumoap/ApplImpl.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

using Plinth::ComPtr;
using ZelTest::Allocator;

namespace {

constexpr long kUntouched = 0x5A5A5A5A;
// Far more than any call here makes; a sweep that reaches it never ends.
constexpr unsigned kMostAllocations = 400;
constexpr wchar_t kAppInfoKey[] = L"Software\\Varkon\\ZEL\\AppInfo";
const CLSID kUnregisteredClass = {0x0badc0de, 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78}};

// What a method gave: its HRESULT, its result code (kUntouched when it wrote
// none) and whether it handed out the answer its success promises.
struct Answer
{
    HRESULT hr;
    long result;
    bool handedOut;
};

struct Objects
{
    ComPtr<IVkApplicationInfo> info;
    ComPtr<IVkVersion> version;
};

template <class Interface>
Answer TextAnswer(Interface* object, HRESULT (STDMETHODCALLTYPE Interface::*method)(LPWSTR*, long*))
{
    LPWSTR text = nullptr;
    long result = kUntouched;
    const HRESULT hr = (object->*method)(&text, &result);
    ::CoTaskMemFree(text);
    return {hr, result, text != nullptr};
}

const struct
{
    const char* name;
    // Result 0 promises a handed-out answer.
    bool promisesAnswer;
    Answer (*call)(const Objects& o);
} kMethods[] = {
    {"GetAppID", true, [](const Objects& o) { return TextAnswer(o.info.get(), &IVkApplicationInfo::GetAppID); }},
    {"GetAppName", true, [](const Objects& o) { return TextAnswer(o.info.get(), &IVkApplicationInfo::GetAppName); }},
    {"GetAppIcon", true, [](const Objects& o) { return TextAnswer(o.info.get(), &IVkApplicationInfo::GetAppIcon); }},
    {"GetUninstallProgram", true,
     [](const Objects& o) { return TextAnswer(o.info.get(), &IVkApplicationInfo::GetUninstallProgram); }},
    {"GetVersionText", true, [](const Objects& o) { return TextAnswer(o.version.get(), &IVkVersion::GetVersionText); }},
    {"GetComponentStatus", false,
     [](const Objects& o) { return TextAnswer(o.version.get(), &IVkVersion::GetComponentStatus); }},
    {"GetUserHelperCLSID", false,
     [](const Objects& o) {
         CLSID clsid;
         long result = kUntouched;
         return Answer{o.info->GetUserHelperCLSID(&clsid, &result), result, true};
     }},
    {"CheckComponents", false,
     [](const Objects& o) {
         long result = kUntouched;
         return Answer{o.info->CheckComponents(&result), result, true};
     }},
    {"GetUpdateInformation", false,
     [](const Objects& o) {
         Plinth::UniqueCoTaskMem<wchar_t> ping;
         Plinth::UniqueCoTaskMem<wchar_t> version;
         long result = kUntouched;
         return Answer{o.info->GetUpdateInformation(nullptr, ping.put(), version.put(), &result), result, true};
     }},
    {"GetProductInfo", true,
     [](const Objects& o) {
         DWORD count = 0;
         VKPRODUCT_INFO* records = nullptr;
         long result = kUntouched;
         const HRESULT hr = o.info->GetProductInfo(&count, &records, &result);
         for (DWORD i = 0; records && i < count; ++i) {
             ::CoTaskMemFree(records[i].pwszName);
             ::CoTaskMemFree(records[i].pwszValue);
         }
         ::CoTaskMemFree(records);
         return Answer{hr, result, records != nullptr && count > 0};
     }},
    {"GetUsageReport", true,
     [](const Objects& o) {
         LPWSTR report = nullptr;
         Plinth::UniqueCoTaskMem<wchar_t> second;
         long result = kUntouched;
         const HRESULT hr = o.info->GetUsageReport(&report, second.put(), &result);
         ::CoTaskMemFree(report);
         return Answer{hr, result, report != nullptr};
     }},
};

class OutOfMemoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_build.SetString(L"17.0.3038.0"));
        ASSERT_TRUE(m_lastUpdate.SetString(L"2024-05-01"));
        Plinth::CObfuscatedRegKey sealed;
        ASSERT_EQ(sealed.Create(HKEY_LOCAL_MACHINE, kAppInfoKey), ERROR_SUCCESS);
        ASSERT_EQ(sealed.SetStringValue(L"isdudatali", L"inst-42"), ERROR_SUCCESS);
        m_checker.versionText = L"A=1";
        m_checker.statusText = L"B";
        m_checker.statusResult = kCheckerComponentsMissing;
        ASSERT_EQ(::CoRegisterClassObject(CLSID_ComponentVersionProvider, static_cast<IVkClassFactory*>(&m_checker),
                                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie),
                  S_OK);
    }
    void TearDown() override { ::CoRevokeClassObject(m_cookie); }

    // For n = 1, 2, ...: prepares, then calls with the nth allocation of the
    // kind failing, until a call no longer reaches its nth; check sees the
    // answer of every call that had one fail.
    template <typename Prepare, typename Call, typename Check>
    void FailEachAllocation(Allocator kind, Prepare prepare, Call call, Check check)
    {
        for (unsigned n = 1; n <= kMostAllocations; ++n) {
            auto prepared = prepare();
            ZelTest::FailNthAllocation(kind, n);
            const auto answer = call(prepared);
            if (!ZelTest::StopFailingAllocations())
                return;
            SCOPED_TRACE(::testing::Message() << "allocation " << n);
            check(answer);
        }
        ADD_FAILURE() << "still allocating after " << kMostAllocations << " allocations";
    }

    // The services an installation registers stay out of reach: an allocation
    // failed inside the system's cross-process calls can hang them.
    ZelTest::ScopedRegistryTree m_noConfigService{HKEY_CLASSES_ROOT, L"CLSID\\{0192AED2-615F-473E-81B1-F357AB727EAE}"};
    ZelTest::ScopedRegistryTree m_noUserMode{HKEY_CLASSES_ROOT, L"CLSID\\{4DDE4F20-567C-441F-9325-3AF349EC00EC}"};
    ZelTest::ScopedRegistryValue m_build{HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL", L"Build"};
    ZelTest::ScopedRegistryValue m_lastUpdate{HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL", L"Last Update"};
    ZelTest::ScopedRegistryValue m_installation{HKEY_LOCAL_MACHINE, kAppInfoKey, L"isdudatali"};
    ZelTest::ScriptedChecker m_checker;
    DWORD m_cookie = 0;
};

TEST_F(OutOfMemoryTest, EveryMethodAnswersACode)
{
    const auto fresh = [] {
        Objects o;
        EXPECT_EQ(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, o.info.put_void()), S_OK);
        EXPECT_EQ(o.info.As(IID_IVkVersion, o.version), S_OK);
        return o;
    };
    const ZelTest::TaskMemoryFailures taskMemory;
    ASSERT_EQ(taskMemory.Registered(), S_OK);
    for (const Allocator kind : {Allocator::OperatorNew, Allocator::TaskMemory}) {
        for (const auto& method : kMethods) {
            SCOPED_TRACE(method.name);
            // Once-only state of the process (the logger, the resource DLL) is
            // made by a first call that nothing fails.
            method.call(fresh());
            FailEachAllocation(kind, fresh, method.call, [&](const Answer& answer) {
                if (SUCCEEDED(answer.hr)) {
                    EXPECT_NE(answer.result, kUntouched);
                }
                if (answer.result == 0 && method.promisesAnswer) {
                    EXPECT_TRUE(answer.handedOut);
                }
            });
        }
    }
}

// The class object's caller check, which refuses this unsigned program, and
// the verified creation of a class with no registered server both allocate on
// their way to refusing.
TEST_F(OutOfMemoryTest, RefusedCreationAnswersACode)
{
    ComPtr<IVkClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory, factory.put_void()), S_OK);
    const std::function<HRESULT(void**)> creations[] = {
        [&](void** object) { return factory->CreateInstance(IID_IVkApplicationInfo, object); },
        [](void** object) {
            return VkCreateInstanceVerified(kUnregisteredClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object,
                                            TRUE);
        },
    };
    const CallerVerification previous = SetCallerVerification(&VerifyCallingModule);
    for (const auto& create : creations) {
        FailEachAllocation(
            Allocator::OperatorNew, [] { return 0; },
            [&](int) {
                void* object = &object;
                const HRESULT hr = create(&object);
                return std::make_pair(hr, object);
            },
            [](const std::pair<HRESULT, void*>& answer) {
                EXPECT_TRUE(answer.first == E_OUTOFMEMORY || answer.first == E_ACCESSDENIED)
                    << std::hex << answer.first;
                EXPECT_EQ(answer.second, nullptr);
            });
    }
    SetCallerVerification(previous);
}

} // namespace
