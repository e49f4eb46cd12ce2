// The built module as the host and an installer see it: loaded from disk,
// registered, and asked for its class object.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"
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

    const LCID locale = ::GetThreadLocale();
    ASSERT_EQ(m_module.Register(), S_OK);
    EXPECT_EQ(::GetThreadLocale(), locale);

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
    EXPECT_EQ(::GetThreadLocale(), locale);
    for (const wchar_t* key : {kClassKey, kSecondKey, kAppIdKey, kAppIdDll, kTypeLibKey, kProgId, kIndependentProgId})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << std::string(key, key + std::wcslen(key));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
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

// The module asks the real component checker, registered beside it.
TEST_F(ModuleTest, CheckComponentsReportsWhatTheCheckerFindsMissing)
{
    const LoadedModule checker(ZelTest::BinPath(L"VkComponentChecker.dll"));
    ASSERT_TRUE(checker.Loaded());
    ASSERT_EQ(checker.Register(), S_OK);
    ASSERT_EQ(m_module.Register(), S_OK);
    {
        const std::wstring missing = ZelTest::BinPath(L"no-such-component.dll");
        ZelTest::ScopedRegistryTree list(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\ComponentChecker\\Components");
        ASSERT_TRUE(list.SetString(L"ZelLumoAp", ZelTest::BinPath(L"ZelLumoAp.dll")));

        ComPtr<IVkApplicationInfo> object;
        ASSERT_EQ(::CoCreateInstance(CLSID_ZelAppImpl, nullptr, CLSCTX_INPROC_SERVER, IID_IVkApplicationInfo,
                                     object.put_void()),
                  E_NOINTERFACE);
        ComPtr<IVkClassFactory> factory;
        ASSERT_EQ(::CoGetClassObject(CLSID_ZelAppImpl, CLSCTX_INPROC_SERVER, nullptr, IID_IVkClassFactory,
                                     factory.put_void()),
                  S_OK);
        ASSERT_EQ(factory->CreateInstance(IID_IVkApplicationInfo, object.put_void()), S_OK);
        long result = -1;
        EXPECT_EQ(object->CheckComponents(&result), S_OK);
        EXPECT_EQ(result, 0);

        ASSERT_TRUE(list.SetString(L"ZelRes2", missing));
        EXPECT_EQ(object->CheckComponents(&result), S_OK);
        EXPECT_EQ(result, 0x08000002);
    }
    EXPECT_EQ(m_module.Unregister(), S_OK);
    EXPECT_EQ(checker.Unregister(), S_OK);
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
