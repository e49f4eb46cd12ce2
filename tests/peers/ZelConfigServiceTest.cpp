// The configuration service as the product reaches it: a local server started
// by COM, created through the host's factory after its signature is verified,
// answering from the household each test writes.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSigning.h"
#include "VkCreateInstance.h"
#include "UsageReport.h"
#include "ZelLUMOHelper.h"
#include "plinth/ObfuscatedRegKey.h"
#include "ZelLumoAp.h"
#include "peers/zelconfig/ZelConfigData.h"
#include "plinth/Owners.h"
#include "support/TestRegistry.h"
#include "support/TrustedPublishers.h"

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
    std::wstring commandLine = L"\"" + ZelTest::BinPath(kServerImage) + L"\" " + argument;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return ::GetLastError();
    const Plinth::UniqueHandle process(info.hProcess);
    const Plinth::UniqueHandle thread(info.hThread);
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(process.get(), kWaitMs) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process.get(), &code))
        return ERROR_TIMEOUT;
    return code;
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

void KillServers()
{
    for (DWORD id : ServerProcesses()) {
        const Plinth::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        ASSERT_TRUE(process);
        ASSERT_TRUE(::TerminateProcess(process.get(), 1));
        ASSERT_EQ(::WaitForSingleObject(process.get(), kWaitMs), WAIT_OBJECT_0);
    }
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
    UniqueVariant value;
    long status = -1;
    EXPECT_EQ(config->GetProperty(kPropertyUsers, value.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(V_VT(value.get()), VT_UNKNOWN);
    ComPtr<IZelConfigCollection> collection;
    EXPECT_EQ(V_UNKNOWN(value.get())->QueryInterface(IID_IZelConfigCollection, collection.put_void()), S_OK);
    ComPtr<IUnknown> enumerator;
    EXPECT_EQ(collection->GetEnumerator(enumerator.put()), S_OK);
    ComPtr<IEnumVARIANT> users;
    EXPECT_EQ(enumerator.As(IID_IEnumVARIANT, users), S_OK);
    if (!users)
        return tally;
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
    UniqueVariant value;
    long status = -1;
    ASSERT_EQ(config->GetProperty(kPropertyUsers, value.put(), &status), S_OK);
    ComPtr<IZelConfigCollection> collection;
    ASSERT_EQ(V_UNKNOWN(value.get())->QueryInterface(IID_IZelConfigCollection, collection.put_void()), S_OK);
    long count = 0;
    EXPECT_EQ(collection->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2);
    ComPtr<IUnknown> enumerator;
    ASSERT_EQ(collection->GetEnumerator(enumerator.put()), S_OK);
    ComPtr<IEnumVARIANT> users;
    ASSERT_EQ(enumerator.As(IID_IEnumVARIANT, users), S_OK);
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

TEST_F(ZelConfigServiceTest, KilledServerGivesRpcErrorsAndIsStartedAgain)
{
    ComPtr<IZelConfig> config;
    ASSERT_EQ(CreateService(config), S_OK);
    UniqueVariant value;
    long status = -1;
    ASSERT_EQ(config->GetProperty(kPropertyAdministrator, value.put(), &status), S_OK);
    ASSERT_FALSE(ServerProcesses().empty());
    ASSERT_NO_FATAL_FAILURE(KillServers());

    const HRESULT hr = config->GetProperty(kPropertyUsers, value.put(), &status);
    EXPECT_GE(static_cast<ULONG>(hr), 0x800706A4u) << std::hex << hr;
    EXPECT_LE(static_cast<ULONG>(hr), 0x8007078Bu) << std::hex << hr;
    char text[11] = {};
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    RecordProperty("rpc_error", text);
    config.reset();

    ComPtr<IZelConfig> fresh;
    ASSERT_EQ(CreateService(fresh), S_OK);
    EXPECT_EQ(fresh->GetProperty(kPropertyAdministrator, value.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
}

// The usage report keeps the helper's one connection; when the server dies
// between two reports, the next one connects again and still counts the users.
TEST_F(ZelConfigServiceTest, ReportAfterTheServerDiedCountsTheUsersAgain)
{
    WriteUser({L"one", 3, true, false, false});
    ZelTest::ScopedRegistryValue installation(HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL\\AppInfo", L"isdudatali");
    ZelTest::ScopedRegistryValue lastUpdate(HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL", L"Last Update");
    Plinth::CObfuscatedRegKey sealed;
    ASSERT_EQ(sealed.Create(HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL\\AppInfo"), ERROR_SUCCESS);
    ASSERT_EQ(sealed.SetStringValue(L"isdudatali", L"install=test"), ERROR_SUCCESS);
    ASSERT_TRUE(lastUpdate.SetString(L"2026-12-01"));
    const std::unique_ptr<CZelHelper> helper = CZelHelper::Create();
    ASSERT_TRUE(helper);
    auto report = [&] {
        LPWSTR text = nullptr;
        const long result = BuildUsageReport(helper.get(), &text);
        const Plinth::UniqueCoTaskMem<wchar_t> owned(text);
        EXPECT_EQ(result, 0);
        return owned ? std::wstring(owned.get()) : std::wstring();
    };
    EXPECT_NE(report().find(L"\tzel_users=1\t"), std::wstring::npos);
    ASSERT_NO_FATAL_FAILURE(KillServers());
    EXPECT_NE(report().find(L"\tzel_users=1\t"), std::wstring::npos);
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
