// The configuration service as the product reaches it: a local server started
// by COM, created through the host's factory after its signature is verified,
// answering from the household each test writes.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peers/zelconfig/ZelConfigData.h"
#include "plinth/Owners.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSigning.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

using Plinth::ComPtr;
using Plinth::UniqueVariant;
using ZelTest::ScopedRegistryTree;
using namespace ZelConfig;

constexpr wchar_t kAutomationMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kLibraryKey[] = L"TypeLib\\{60D4640E-5F28-43E8-AEE2-E0C2E9870B3B}";
constexpr DWORD kWaitMs = 15000;

std::wstring Text(REFGUID guid)
{
    wchar_t text[39] = {};
    ::StringFromGUID2(guid, text, 39);
    return text;
}

std::wstring ClassKey(REFGUID clsid)
{
    return L"CLSID\\" + Text(clsid);
}

std::wstring InterfaceKey(REFIID iid)
{
    return L"Interface\\" + Text(iid);
}

DWORD RunServer(const wchar_t* argument)
{
    return ZelTest::RunChild(kServerImage, argument, false, kWaitMs).exitCode;
}

std::vector<DWORD> ServerProcesses()
{
    std::vector<DWORD> ids;
    const Plinth::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::CompareStringOrdinal(entry.szExeFile, -1, kServerImage, -1, TRUE) == CSTR_EQUAL)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool WaitForNoServer()
{
    for (DWORD waited = 0; waited < kWaitMs; waited += 100) {
        if (ServerProcesses().empty())
            return true;
        ::Sleep(100);
    }
    return false;
}

HRESULT CreateService(ComPtr<IZelConfig>& config)
{
    return VkCreateInstanceVerified(CLSID_ZelConfig, nullptr, CLSCTX_LOCAL_SERVER, IID_IZelConfig, config.put_void(),
                                    TRUE);
}

struct UserSpec
{
    const wchar_t* name;
    long ageGroup; // -1: no value
    bool isProtected;
    bool noItem;
    bool noObject;
};

void WriteUser(const UserSpec& user)
{
    const std::wstring path = std::wstring(kUsersKeyPath) + L"\\" + user.name;
    Plinth::UniqueHKey key;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr),
        ERROR_SUCCESS);
    auto set = [&](const wchar_t* name, DWORD value) {
        ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
                  ERROR_SUCCESS);
    };
    if (user.ageGroup >= 0)
        set(kAgeGroupValue, static_cast<DWORD>(user.ageGroup));
    set(kProtectedValue, user.isProtected ? 1 : 0);
    if (user.noItem)
        set(kNoItemValue, 1);
    if (user.noObject)
        set(kNoObjectValue, 1);
}

// The enumerator of the household's users, and their count.
ComPtr<IEnumVARIANT> Users(IZelConfig* config, long* count = nullptr)
{
    UniqueVariant value;
    long status = -1;
    EXPECT_EQ(config->GetProperty(kPropertyUsers, value.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    ComPtr<IZelConfigCollection> collection;
    ComPtr<IUnknown> enumerator;
    ComPtr<IEnumVARIANT> users;
    if (V_VT(value.get()) == VT_UNKNOWN &&
        SUCCEEDED(V_UNKNOWN(value.get())->QueryInterface(IID_IZelConfigCollection, collection.put_void())) &&
        SUCCEEDED(collection->GetEnumerator(enumerator.put())) && SUCCEEDED(enumerator.As(IID_IEnumVARIANT, users)) &&
        count) {
        EXPECT_EQ(collection->GetCount(count), S_OK);
    }
    EXPECT_TRUE(users) << "the users property is no enumerable collection";
    return users;
}

// What the usage report makes of the users, with what it skips along the way.
struct Tally
{
    int users = 0;
    int nonAdult = 0;
    int protectedUsers = 0;
    int withoutItem = 0;
    bool endedWithoutObject = false;
};

Tally CountUsers(IZelConfig* config)
{
    Tally tally;
    const ComPtr<IEnumVARIANT> users = Users(config);
    if (!users)
        return tally;
    long status = -1;
    UniqueVariant element;
    while (users->Next(1, element.put(), nullptr) == S_OK) {
        if (V_VT(element.get()) != VT_UNKNOWN || !V_UNKNOWN(element.get())) {
            tally.endedWithoutObject = true;
            break;
        }
        ++tally.users;
        ComPtr<IZelConfigItem> item;
        if (FAILED(V_UNKNOWN(element.get())->QueryInterface(IID_IZelConfigItem, item.put_void()))) {
            ++tally.withoutItem;
            continue;
        }
        UniqueVariant property;
        if (item->GetProperty(kPropertyAgeGroup, property.put(), &status) == S_OK && (status & 0x1FFFF) == 0 &&
            V_I4(property.get()) != kAgeGroupAdult)
            ++tally.nonAdult;
        if (item->GetProperty(kPropertyProtected, property.put(), &status) == S_OK && (status & 0x1FFFF) == 0 &&
            V_VT(property.get()) == VT_BOOL && V_BOOL(property.get()))
            ++tally.protectedUsers;
    }
    return tally;
}

long CheckPassword(IZelConfig* config, VARIANT& given)
{
    UniqueVariant value;
    long status = -1;
    EXPECT_EQ(config->GetProperty(kPropertyAdministrator, value.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    ComPtr<IZelConfigItem> administrator;
    if (V_VT(value.get()) != VT_UNKNOWN ||
        V_UNKNOWN(value.get())->QueryInterface(IID_IZelConfigItem, administrator.put_void()) != S_OK)
        return -1;
    EXPECT_EQ(administrator->CheckProperty(kPropertyPassword, given, &status), S_OK);
    return status;
}

class ZelConfigServiceTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_EQ(RunServer(L"/RegServer"), 0u); }

    static void TearDownTestSuite()
    {
        EXPECT_EQ(RunServer(L"/UnregServer"), 0u);
        ExpectUnregistered();
        EXPECT_TRUE(WaitForNoServer());
    }

    static void ExpectUnregistered()
    {
        for (const std::wstring& key :
             {ClassKey(CLSID_ZelConfig), ClassKey(IID_IVkClassFactory), InterfaceKey(IID_IVkClassFactory),
              InterfaceKey(IID_IVkClassFactory_PreComponentization), InterfaceKey(IID_IZelConfig),
              InterfaceKey(IID_IZelConfigCollection), InterfaceKey(IID_IZelConfigItem),
              InterfaceKey(IID_IUserModeProvider), std::wstring(kLibraryKey)})
            EXPECT_FALSE(ZelTest::KeyExists(HKEY_CLASSES_ROOT, key.c_str())) << key.c_str();
    }

    void SetUp() override { ASSERT_TRUE(m_com.Usable()); }

    Plinth::ComInitScope m_com;
    ZelTest::ScopedTrustedPublishers m_publishers;
    ScopedRegistryTree m_household{HKEY_LOCAL_MACHINE, kServiceKeyPath};
};

TEST_F(ZelConfigServiceTest, RegistrationNamesServerAndMarshalersAndIsUndoneCompletely)
{
    const std::wstring server =
        ZelTest::ReadString(HKEY_CLASSES_ROOT, (ClassKey(CLSID_ZelConfig) + L"\\LocalServer32").c_str(), nullptr);
    EXPECT_EQ(server, L"\"" + ZelTest::BinPath(kServerImage) + L"\"");
    const std::wstring proxy =
        ZelTest::ReadString(HKEY_CLASSES_ROOT, (ClassKey(IID_IVkClassFactory) + L"\\InprocServer32").c_str(), nullptr);
    EXPECT_EQ(proxy, ZelTest::BinPath(kProxyDllName));
    for (REFIID iid : {IID_IVkClassFactory, IID_IVkClassFactory_PreComponentization})
        EXPECT_EQ(ZelTest::ReadString(HKEY_CLASSES_ROOT, (InterfaceKey(iid) + L"\\ProxyStubClsid32").c_str(), nullptr),
                  Text(IID_IVkClassFactory));
    for (REFIID iid : {IID_IZelConfig, IID_IZelConfigCollection, IID_IZelConfigItem, IID_IUserModeProvider})
        EXPECT_EQ(ZelTest::ReadString(HKEY_CLASSES_ROOT, (InterfaceKey(iid) + L"\\ProxyStubClsid32").c_str(), nullptr),
                  kAutomationMarshaler);

    ASSERT_EQ(RunServer(L"/UnregServer"), 0u);
    ExpectUnregistered();
    EXPECT_EQ(RunServer(L"-unregserver"), 0u) << "removing twice";
    ASSERT_EQ(RunServer(L"/RegServer"), 0u);
    EXPECT_TRUE(ZelTest::KeyExists(HKEY_CLASSES_ROOT, (ClassKey(CLSID_ZelConfig) + L"\\LocalServer32").c_str()));
}

TEST_F(ZelConfigServiceTest, UntrustedServerIsNeverStarted)
{
    ASSERT_TRUE(WaitForNoServer());
    const ZelTest::ScopedTrustedPublishers untrusted({kUntrustedThumbprint});
    ComPtr<IZelConfig> config;
    EXPECT_EQ(CreateService(config), E_ACCESSDENIED);
    EXPECT_FALSE(config);
    EXPECT_TRUE(ServerProcesses().empty());
}

TEST_F(ZelConfigServiceTest, UsersAreEnumeratedFromAnotherProcess)
{
    const struct
    {
        const char* label;
        std::vector<UserSpec> users;
        Tally expected;
    } cases[] = {
        {"no users key", {}, {0, 0, 0, 0, false}},
        {"demo household",
         {{L"u1", 6, false, false, false}, {L"u2", 3, true, false, false}, {L"u3", 4, false, false, false}},
         {3, 2, 1, 0, false}},
        {"element without item still counts",
         {{L"u1", 3, true, false, false}, {L"u2", 3, true, true, false}, {L"u3", 6, false, false, false}},
         {3, 1, 1, 1, false}},
        {"element without object ends the list",
         {{L"u1", 2, false, false, false}, {L"u2", 2, false, false, true}, {L"u3", 2, false, false, false}},
         {1, 1, 0, 0, true}},
        {"missing age group is not counted", {{L"u1", -1, true, false, false}}, {1, 0, 1, 0, false}},
    };
    ComPtr<IZelConfig> config;
    ASSERT_EQ(CreateService(config), S_OK);
    EXPECT_FALSE(ServerProcesses().empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScopedRegistryTree household(HKEY_LOCAL_MACHINE, kServiceKeyPath);
        for (const UserSpec& user : c.users)
            WriteUser(user);
        const Tally tally = CountUsers(config.get());
        EXPECT_EQ(tally.users, c.expected.users);
        EXPECT_EQ(tally.nonAdult, c.expected.nonAdult);
        EXPECT_EQ(tally.protectedUsers, c.expected.protectedUsers);
        EXPECT_EQ(tally.withoutItem, c.expected.withoutItem);
        EXPECT_EQ(tally.endedWithoutObject, c.expected.endedWithoutObject);
    }
}

TEST_F(ZelConfigServiceTest, BatchedNextStopsShortAtTheEnd)
{
    for (const wchar_t* name : {L"a", L"b"})
        WriteUser({name, 6, false, false, false});
    ComPtr<IZelConfig> config;
    ASSERT_EQ(CreateService(config), S_OK);
    long count = 0;
    const ComPtr<IEnumVARIANT> users = Users(config.get(), &count);
    ASSERT_TRUE(users);
    EXPECT_EQ(count, 2);
    VARIANT batch[3];
    ULONG fetched = 0;
    EXPECT_EQ(users->Next(3, batch, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i) {
        EXPECT_EQ(V_VT(&batch[i]), VT_UNKNOWN);
        ::VariantClear(&batch[i]);
    }
    EXPECT_EQ(users->Reset(), S_OK);
    EXPECT_EQ(users->Skip(3), S_FALSE);
}

TEST_F(ZelConfigServiceTest, AdministratorPasswordIsCheckedNotRevealed)
{
    ComPtr<IZelConfig> config;
    ASSERT_EQ(CreateService(config), S_OK);
    auto check = [&](const wchar_t* text) {
        UniqueVariant given;
        V_VT(given.get()) = VT_BSTR;
        V_BSTR(given.get()) = ::SysAllocString(text);
        return CheckPassword(config.get(), *given.get());
    };
    EXPECT_EQ(check(L""), 0) << "no password set";
    ASSERT_TRUE(m_household.SetString(kAdminPasswordValue, L"S3cret"));
    EXPECT_EQ(check(L"S3cret"), 0);
    for (const wchar_t* wrong : {L"", L"s3cret", L"S3cret "})
        EXPECT_EQ(check(wrong), kStatusMismatch) << wrong;
    UniqueVariant given;
    V_VT(given.get()) = VT_I4;
    V_I4(given.get()) = 0;
    EXPECT_EQ(CheckPassword(config.get(), *given.get()), kStatusWrongType);
}

TEST_F(ZelConfigServiceTest, ServerLeavesAfterItsLastObjectIsReleased)
{
    ComPtr<IZelConfig> config;
    ASSERT_EQ(CreateService(config), S_OK);
    EXPECT_FALSE(ServerProcesses().empty());
    config.reset();
    EXPECT_TRUE(WaitForNoServer());
}

} // namespace
