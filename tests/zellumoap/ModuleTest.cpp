// The built module as the host and an installer see it: loaded from disk,
// registered, and asked for its class object.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/Registrar.h"
#include "zelcom/Registration.h"
#include "zelcom/ZelLumoAp.h"

using Plinth::ComPtr;
using ZelTest::KeyExists;
using ZelTest::ReadString;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using PlainFn = HRESULT(STDAPICALLTYPE*)();

const wchar_t kClassKey[] = L"CLSID\\{B060136A-4731-43D5-B8AC-22092219B7B1}";
const wchar_t kSecondKey[] = L"CLSID\\{27C3F805-046E-4472-B76E-47AABEF9A5E0}";
const wchar_t kAppIdKey[] = L"AppID\\{5F584E50-5FD5-4659-AD4C-BEFB41252EC4}";
const wchar_t kAppIdDll[] = L"AppID\\zellumoap.DLL";
const wchar_t kTypeLibKey[] = L"TypeLib\\{C9249A9C-6E4D-42D8-8BFA-D6578381EF6A}";
const wchar_t kProgId[] = L"ZelLumoApp.ZelAppImpl.1";
const wchar_t kIndependentProgId[] = L"ZelLumoApp.ZelAppImpl";

// A module loaded for one test, unloaded again at its end.
class LoadedModule
{
public:
    explicit LoadedModule(const std::wstring& path = ZelTest::BinPath(L"ZelLumoAp.dll"))
        : m_module(::LoadLibraryW(path.c_str()))
    {
    }
    bool Loaded() const { return static_cast<bool>(m_module); }
    template <typename Fn>
    Fn Export(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(m_module.get(), name)));
    }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const
    {
        return Export<GetClassObjectFn>("DllGetClassObject")(clsid, iid, ppv);
    }
    HRESULT CanUnloadNow() const { return Export<PlainFn>("DllCanUnloadNow")(); }
    HRESULT Register() const { return Export<PlainFn>("DllRegisterServer")(); }
    HRESULT Unregister() const { return Export<PlainFn>("DllUnregisterServer")(); }

private:
    Plinth::UniqueModule m_module;
};

class ModuleTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_module.Loaded()); }
    // This program is signed with the trusted test certificate.
    ZelTest::ScopedTrustedPublishers m_trusted;
    LoadedModule m_module;
    Plinth::ComInitScope m_com{COINIT_MULTITHREADED};
};

bool KeyIsEmpty(HKEY root, const wchar_t* path)
{
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD subkeys = 1;
    DWORD values = 1;
    ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr);
    return subkeys == 0 && values == 0;
}

TEST_F(ModuleTest, RegistrationWritesEverythingAndUnregistrationRemovesIt)
{
    // Leftovers of an earlier installation are replaced, not merged.
    ZelTest::ScopedRegistryTree staleClass(HKEY_CLASSES_ROOT, std::wstring(kClassKey) + L"\\Stale");
    ZelTest::ScopedRegistryTree staleSecond(HKEY_CLASSES_ROOT, std::wstring(kSecondKey) + L"\\Stale");
    ASSERT_TRUE(staleClass.SetString(nullptr, L"old"));
    ASSERT_TRUE(staleSecond.SetString(L"old", L"old"));

    ASSERT_EQ(m_module.Register(), S_OK);

    const std::wstring dll = ZelTest::BinPath(L"ZelLumoAp.dll");
    const std::wstring clsid = L"{B060136A-4731-43D5-B8AC-22092219B7B1}";
    const std::wstring appId = L"{5F584E50-5FD5-4659-AD4C-BEFB41252EC4}";
    const std::wstring classKey = kClassKey;
    const struct
    {
        std::wstring key;
        const wchar_t* value;
        std::wstring data;
    } expected[] = {
        {kProgId, nullptr, L"ZelAppImpl Class"},
        {std::wstring(kProgId) + L"\\CLSID", nullptr, clsid},
        {kIndependentProgId, nullptr, L"ZelAppImpl Class"},
        {std::wstring(kIndependentProgId) + L"\\CLSID", nullptr, clsid},
        {std::wstring(kIndependentProgId) + L"\\CurVer", nullptr, kProgId},
        {classKey, nullptr, L"ZelAppImpl Class"},
        {classKey, L"AppID", appId},
        {classKey + L"\\ProgID", nullptr, kProgId},
        {classKey + L"\\VersionIndependentProgID", nullptr, kIndependentProgId},
        {classKey + L"\\InprocServer32", nullptr, dll},
        {classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {classKey + L"\\TypeLib", nullptr, L"{C9249A9C-6E4D-42D8-8BFA-D6578381EF6A}"},
        {kAppIdKey, nullptr, L"zellumoap"},
        {kAppIdDll, L"AppID", appId},
        {std::wstring(kTypeLibKey) + L"\\1.0", nullptr, L"ZelApp 1.0 Type Library"},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, e.key.c_str(), e.value), e.data)
            << std::string(e.key.begin(), e.key.end());
    }
    EXPECT_TRUE(KeyIsEmpty(HKEY_CLASSES_ROOT, (classKey + L"\\Programmable").c_str()));
    EXPECT_TRUE(KeyIsEmpty(HKEY_CLASSES_ROOT, kSecondKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, (classKey + L"\\Stale").c_str()));

    ASSERT_EQ(m_module.Unregister(), S_OK);
    for (const wchar_t* key : {kClassKey, kSecondKey, kAppIdKey, kAppIdDll, kTypeLibKey, kProgId, kIndependentProgId})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << std::string(key, key + std::wcslen(key));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
}

// Stands in for the platform's registrar: notes the thread locale its
// creation is asked under, and refuses it.
class LocaleNotingRegistrar : public IClassFactory
{
public:
    static constexpr HRESULT kRefusal = E_ABORT;
    LCID seen = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = ::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory);
        *ppv = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    // Lives on the test's stack.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID, void** ppv) override
    {
        *ppv = nullptr;
        seen = ::GetThreadLocale();
        return kRefusal;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

// The scripts are applied under the system's default locale, and the caller's
// comes back even when a script fails.
TEST_F(ModuleTest, RegistrationRunsUnderTheSystemLocaleAndRestoresTheCallers)
{
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_NE(::GetSystemDefaultLCID(), german);
    LocaleNotingRegistrar registrar;
    DWORD cookie = 0;
    ASSERT_EQ(::CoRegisterClassObject(CLSID_Registrar, static_cast<IClassFactory*>(&registrar), CLSCTX_INPROC_SERVER,
                                      REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    const LCID caller = ::GetThreadLocale();
    for (const bool registering : {true, false}) {
        ASSERT_TRUE(::SetThreadLocale(german));
        registrar.seen = 0;
        EXPECT_EQ(registering ? m_module.Register() : m_module.Unregister(), LocaleNotingRegistrar::kRefusal);
        EXPECT_EQ(registrar.seen, ::GetSystemDefaultLCID()) << registering;
        EXPECT_EQ(::GetThreadLocale(), german) << registering;
    }
    ::SetThreadLocale(caller);
    ::CoRevokeClassObject(cookie);
}

TEST(ModulePathTest, PathIsWholeOrRefused)
{
    wchar_t full[MAX_PATH] = {};
    ASSERT_TRUE(GetModulePath(nullptr, full, MAX_PATH));
    const DWORD length = static_cast<DWORD>(std::wcslen(full));
    ASSERT_GT(length, 3u);
    const struct
    {
        DWORD capacity;
        bool whole;
    } cases[] = {{length + 1, true}, {length, false}, {length - 1, false}, {1, false}};
    for (const auto& c : cases) {
        wchar_t path[MAX_PATH + 1];
        std::wmemset(path, L'#', MAX_PATH + 1);
        EXPECT_EQ(GetModulePath(nullptr, path, c.capacity), c.whole) << c.capacity;
        EXPECT_EQ(path[c.whole ? length : 0], L'\0') << c.capacity;
        EXPECT_EQ(path[c.capacity], L'#') << c.capacity;
    }
}

// A quote in the install path must reach the registry whole: the registry
// script reads the path inside single quotes.
TEST(ModuleQuoteTest, PathWithQuoteRegistersUnchanged)
{
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring dir = std::wstring(temp) + L"zel'quote";
    const std::wstring dll = dir + L"\\ZelLumoAp.dll";
    ::CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(ZelTest::BinPath(L"ZelLumoAp.dll").c_str(), dll.c_str(), FALSE));
    {
        Plinth::ComInitScope com(COINIT_MULTITHREADED);
        const LoadedModule module(dll);
        ASSERT_TRUE(module.Loaded());
        ASSERT_EQ(module.Register(), S_OK);
        EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, (std::wstring(kClassKey) + L"\\InprocServer32").c_str(), nullptr), dll);
        EXPECT_EQ(module.Unregister(), S_OK);
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    }
    EXPECT_TRUE(::DeleteFileW(dll.c_str()));
    EXPECT_TRUE(::RemoveDirectoryW(dir.c_str()));
}

TEST_F(ModuleTest, ConcurrentFirstRequestsShareOneClassObject)
{
    constexpr int kThreads = 8;
    std::vector<IUnknown*> seen(kThreads, nullptr);
    Plinth::UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ::WaitForSingleObject(start.get(), INFINITE);
            m_module.GetClassObject(CLSID_ZelAppImpl, IID_IUnknown, reinterpret_cast<void**>(&seen[i]));
        });
    }
    ::SetEvent(start.get());
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_NE(seen[0], nullptr);
    for (IUnknown* object : seen) {
        EXPECT_EQ(object, seen[0]);
        if (object)
            object->Release();
    }
    EXPECT_EQ(m_module.CanUnloadNow(), S_OK);
}

} // namespace
