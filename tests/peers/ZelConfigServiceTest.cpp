// The configuration service as the product reaches it: a local server started
// by COM after its signature is verified, answering from the household each
// test writes. The installation's round trip shows unregistering is complete.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "peers/zelconfig/ZelConfigData.h"
#include "plinth/Owners.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSigning.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/ServerIdentity.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

using Plinth::ComPtr;
using Plinth::UniqueVariant;
using namespace ZelConfig;

constexpr DWORD kWaitMs = 15000;
constexpr wchar_t kClassKey[] = L"CLSID\\{0192AED2-615F-473E-81B1-F357AB727EAE}";

// Whether the server runs, waiting up to waitMs for it to be gone.
bool ServerRuns(DWORD waitMs = 0)
{
    for (const ULONGLONG end = ::GetTickCount64() + waitMs;; ::Sleep(100)) {
        const bool found = !ZelTest::ProcessesNamed(kServerImage).empty();
        if (!found || ::GetTickCount64() >= end)
            return found;
    }
}

HRESULT CreateService(ComPtr<IZelConfig>& config)
{
    return VkCreateInstanceVerified(CLSID_ZelConfig, nullptr, CLSCTX_LOCAL_SERVER, IID_IZelConfig, config.put_void(),
                                    TRUE);
}

// A user key with its age group (-1: none) and protection.
void WriteUser(const wchar_t* name, long ageGroup, DWORD isProtected)
{
    const std::wstring path = std::wstring(kUsersKeyPath) + L"\\" + name;
    const auto age = static_cast<DWORD>(ageGroup);
    EXPECT_TRUE(ageGroup < 0 || ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), kAgeGroupValue, REG_DWORD, &age,
                                                  sizeof(age)) == ERROR_SUCCESS);
    EXPECT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), kProtectedValue, REG_DWORD, &isProtected,
                                sizeof(isProtected)),
              ERROR_SUCCESS);
}

// The object a property answers, asked for the interface.
template <class Interface>
ComPtr<Interface> Property(const VARIANT& value, REFIID iid)
{
    ComPtr<Interface> answer;
    if (V_VT(&value) == VT_UNKNOWN && V_UNKNOWN(&value))
        V_UNKNOWN(&value)->QueryInterface(iid, answer.put_void());
    return answer;
}

// Each element of the users collection in order: its age group ("-" when it
// has none) and "p" for a protected user; "?" for one that is no user item.
std::wstring DescribeUsers(IZelConfig* config)
{
    UniqueVariant value;
    long status = -1;
    EXPECT_EQ(config->GetProperty(kPropertyUsers, value.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    ComPtr<IUnknown> enumerator;
    ComPtr<IEnumVARIANT> users;
    const ComPtr<IZelConfigCollection> collection =
        Property<IZelConfigCollection>(*value.get(), IID_IZelConfigCollection);
    if (!collection || FAILED(collection->GetEnumerator(enumerator.put())) ||
        FAILED(enumerator.As(IID_IEnumVARIANT, users)))
        return L"<no enumerable collection>";
    std::wstring described;
    for (UniqueVariant element; users->Next(1, element.put(), nullptr) == S_OK;) {
        const ComPtr<IZelConfigItem> item = Property<IZelConfigItem>(*element.get(), IID_IZelConfigItem);
        if (!item) {
            described += L"? ";
            continue;
        }
        UniqueVariant property;
        const bool aged = item->GetProperty(kPropertyAgeGroup, property.put(), &status) == S_OK && status == 0;
        described += aged ? std::to_wstring(V_I4(property.get())) : L"-";
        if (item->GetProperty(kPropertyProtected, property.put(), &status) == S_OK && status == 0 &&
            V_VT(property.get()) == VT_BOOL && V_BOOL(property.get()))
            described += L"p";
        described += L" ";
    }
    return described;
}

// The administrator's answer to a password given as text, or as a number when null.
long CheckPassword(IZelConfig* config, const wchar_t* text)
{
    UniqueVariant value;
    UniqueVariant given;
    V_VT(given.get()) = text ? VT_BSTR : VT_I4;
    if (text)
        V_BSTR(given.get()) = ::SysAllocString(text);
    else
        V_I4(given.get()) = 0;
    long status = -1;
    EXPECT_EQ(config->GetProperty(kPropertyAdministrator, value.put(), &status), S_OK);
    const ComPtr<IZelConfigItem> administrator = Property<IZelConfigItem>(*value.get(), IID_IZelConfigItem);
    if (!administrator)
        return -1;
    EXPECT_EQ(administrator->CheckProperty(kPropertyPassword, *given.get(), &status), S_OK);
    return status;
}

class ZelConfigServiceTest : public ::testing::Test
{
protected:
    // The registrations are put back as they were when the program ends.
    static void SetUpTestSuite()
    {
        ASSERT_EQ(ZelTest::RunChild(kServerImage, L"/RegServer", false, kWaitMs).exitCode, 0u);
    }
    static void TearDownTestSuite() { EXPECT_FALSE(ServerRuns(kWaitMs)); }

    void SetUp() override { ASSERT_TRUE(m_com.Usable()); }

    Plinth::ComInitScope m_com;
    ZelTest::ScopedTrustedPublishers m_publishers;
    ZelTest::ScopedRegistryTree m_household{HKEY_LOCAL_MACHINE, kServiceKeyPath};
};

TEST_F(ZelConfigServiceTest, UntrustedServerIsNeverStarted)
{
    ASSERT_FALSE(ServerRuns(kWaitMs));
    const ZelTest::ScopedTrustedPublishers untrusted({kUntrustedThumbprint});
    ComPtr<IZelConfig> config;
    EXPECT_EQ(CreateService(config), E_ACCESSDENIED);
    EXPECT_FALSE(config);
    EXPECT_FALSE(ServerRuns());
}

// One server answers every household from its registry as it is at the call,
// and leaves once its last object is released.
TEST_F(ZelConfigServiceTest, UsersAreEnumeratedFromAnotherProcess)
{
    ComPtr<IZelConfig> config;
    ASSERT_EQ(CreateService(config), S_OK);
    EXPECT_TRUE(ServerRuns());
    EXPECT_EQ(DescribeUsers(config.get()), L"") << "no users key";
    WriteUser(L"u1", 6, 0);
    WriteUser(L"u2", 3, 1);
    WriteUser(L"u3", -1, 1);
    EXPECT_EQ(DescribeUsers(config.get()), L"6 3p -p ");
    config.reset();
    EXPECT_FALSE(ServerRuns(kWaitMs));
}

// Each creation shares a section into the server for one call; the server
// must not keep it. Every handle of the server is looked at for a section
// holding a proof written for this process.
TEST_F(ZelConfigServiceTest, TheServerKeepsNoSectionOfAProof)
{
    std::vector<ComPtr<IZelConfig>> configs(3);
    for (ComPtr<IZelConfig>& config : configs)
        ASSERT_EQ(CreateService(config), S_OK);
    int kept = 0;
    for (const DWORD id : ZelTest::ProcessesNamed(kServerImage)) {
        const Plinth::UniqueHandle server(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, id));
        for (ULONG_PTR value = 4; server && value < 0x4000; value += 4) {
            Plinth::UniqueHandle copy;
            if (!::DuplicateHandle(server.get(), reinterpret_cast<HANDLE>(value), ::GetCurrentProcess(), copy.put(),
                                   FILE_MAP_READ, FALSE, 0))
                continue;
            const Plinth::UniqueView view(
                ::MapViewOfFile(copy.get(), FILE_MAP_READ, 0, 0, sizeof(ServerIdentityProof)));
            ServerIdentityProof proof = {};
            if (view)
                std::memcpy(&proof, view.get(), sizeof(proof));
            kept += view && proof.caller == ::GetCurrentProcessId();
        }
    }
    EXPECT_EQ(kept, 0);
    configs.clear();
    EXPECT_FALSE(ServerRuns(kWaitMs));
}

TEST_F(ZelConfigServiceTest, AdministratorPasswordIsCheckedNotRevealed)
{
    ComPtr<IZelConfig> config;
    ASSERT_EQ(CreateService(config), S_OK);
    EXPECT_EQ(CheckPassword(config.get(), L""), 0) << "no password set";
    ASSERT_TRUE(m_household.SetString(kAdminPasswordValue, L"S3cret"));
    EXPECT_EQ(CheckPassword(config.get(), L"S3cret"), 0);
    for (const wchar_t* wrong : {L"", L"s3cret", L"S3cret "})
        EXPECT_EQ(CheckPassword(config.get(), wrong), kStatusMismatch) << wrong;
    EXPECT_EQ(CheckPassword(config.get(), nullptr), kStatusWrongType);
}

// The system's standard handler only connects to the service: COM is left to
// use it, and the service is reached as without it.
TEST_F(ZelConfigServiceTest, TheSystemHandlerIsLeftToCom)
{
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    ZelTest::ScopedRegistryTree handler(HKEY_CLASSES_ROOT, kClassKey + std::wstring(L"\\InprocHandler32"));
    for (const std::wstring& name : {std::wstring(L"OLE32.dll"), std::wstring(system) + L"\\combase.dll"}) {
        ASSERT_TRUE(handler.SetString(nullptr, name));
        ComPtr<IZelConfig> config;
        ASSERT_EQ(
            VkCreateInstanceVerified(CLSID_ZelConfig, nullptr, CLSCTX_ALL, IID_IZelConfig, config.put_void(), TRUE),
            S_OK);
        EXPECT_EQ(DescribeUsers(config.get()), L"");
    }
}

// The objects of an unsigned process that registered the service's class are
// not used, whichever process it claims serves it: itself, or one that runs
// the service's program (held suspended, so it answers nothing).
TEST_F(ZelConfigServiceTest, AClassObjectServedByAnotherProcessIsRefused)
{
    ASSERT_FALSE(ServerRuns(kWaitMs));
    const std::wstring program = ZelTest::BinPath(kServerImage);
    std::wstring command = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION held = {};
    ASSERT_TRUE(::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                 nullptr, &startup, &held));
    const Plinth::UniqueHandle heldProcess(held.hProcess);
    const Plinth::UniqueHandle heldThread(held.hThread);
    for (const std::wstring& claimed : {std::wstring(), L" " + std::to_wstring(held.dwProcessId)}) {
        const std::wstring stopName =
            L"zel-impostor-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(claimed.size());
        const Plinth::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
        const Plinth::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, (stopName + L"-ready").c_str()));
        ZelTest::ChildProcess impostor;
        ASSERT_TRUE(ZelTest::StartChild(L"trust_attacker.exe", L"serve " + stopName + claimed, impostor));
        ASSERT_EQ(::WaitForSingleObject(ready.get(), kWaitMs), WAIT_OBJECT_0);
        ComPtr<IUnknown> answer;
        EXPECT_EQ(VkCreateInstanceVerified(CLSID_ZelConfig, nullptr, CLSCTX_ALL, IID_IUnknown, answer.put_void(), TRUE),
                  E_ACCESSDENIED);
        EXPECT_FALSE(answer);
        ::SetEvent(stop.get());
        DWORD asked = MAXDWORD;
        EXPECT_EQ(::WaitForSingleObject(impostor.process.get(), kWaitMs), WAIT_OBJECT_0);
        EXPECT_TRUE(::GetExitCodeProcess(impostor.process.get(), &asked));
        EXPECT_EQ(asked, 0u) << "objects asked of the impostor without a proof";
    }
    ::TerminateProcess(heldProcess.get(), 0);
    EXPECT_FALSE(ServerRuns(kWaitMs)) << "the service itself was started";
}

// A killed server leaves behind the registration it offered its next client.
// The one lookup that reaches it fails at once, and the creation goes on to
// start a new server.
// The server leaves two seconds after its last object; a client that holds its
// class object longer before creating must still find it there.
TEST_F(ZelConfigServiceTest, AHeldClassObjectKeepsTheServer)
{
    ComPtr<IVkClassFactory> factory;
    ASSERT_EQ(
        ::CoGetClassObject(CLSID_ZelConfig, CLSCTX_LOCAL_SERVER, nullptr, IID_IVkClassFactory, factory.put_void()),
        S_OK);
    ::Sleep(3000);
    ComPtr<IZelConfig> config;
    ASSERT_EQ(factory->CreateInstance(IID_IZelConfig, config.put_void()), S_OK);
    factory.reset();
    WriteUser(L"u1", 3, 1);
    EXPECT_EQ(DescribeUsers(config.get()), L"3p ");
}

TEST_F(ZelConfigServiceTest, CreationGetsPastAKilledServersRegistration)
{
    ComPtr<IZelConfig> first;
    ASSERT_EQ(CreateService(first), S_OK);
    // The server offers its next registration within a tenth of a second of serving.
    ::Sleep(1000);
    const std::vector<DWORD> servers = ZelTest::ProcessesNamed(kServerImage);
    ASSERT_EQ(servers.size(), 1u);
    ASSERT_TRUE(ZelTest::EndProcess(servers[0], kWaitMs));
    first.reset();

    ComPtr<IZelConfig> second;
    ASSERT_EQ(CreateService(second), S_OK);
    WriteUser(L"u1", 6, 0);
    EXPECT_EQ(DescribeUsers(second.get()), L"6 ");
    second.reset();
    EXPECT_FALSE(ServerRuns(kWaitMs));
}

} // namespace
