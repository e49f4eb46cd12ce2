// The usage report line against scripted service objects and registry values
// that each test sets and puts back.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "substitute/UsageReport.h"
#include "tests/support/TestRegistry.h"
#include "tests/ZelLUMO/ScriptedService.h"
#include "ZelLUMO/ZelLUMOHelper.h"
#include "zellumoap/ApplImpl.h"

using Plinth::ComPtr;
using ZelTest::ScriptedUser;

namespace {

constexpr wchar_t kAppInfoKey[] = L"Software\\Varkon\\ZEL\\AppInfo";
constexpr wchar_t kProductKeyPath[] = L"Software\\Varkon\\ZEL";
constexpr wchar_t kHostKey[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute";
wchar_t* const kSentinel = reinterpret_cast<wchar_t*>(static_cast<uintptr_t>(0xDEADBEEF));

std::vector<BYTE> Sealed(const std::string& ansi)
{
    std::vector<BYTE> sealed(Plinth::kSealedRegistryHeaderBytes + ansi.size() + 1);
    EXPECT_EQ(Plinth::SealRegistryValue(REG_SZ, ansi.c_str(), static_cast<ULONG>(ansi.size() + 1), sealed.data(),
                                        static_cast<ULONG>(sealed.size())),
              ERROR_SUCCESS);
    return sealed;
}

std::wstring Counts(int mode, int users, int limited, int protectedUsers, int password)
{
    return L"\tzel_user_mode=" + std::to_wstring(mode) + L"\tzel_users=" + std::to_wstring(users) +
           L"\tzel_non_adult_limited_users=" + std::to_wstring(limited) + L"\tzel_protected_users=" +
           std::to_wstring(protectedUsers) + L"\tzel_admin_password_set=" + std::to_wstring(password);
}

const std::wstring kHead = L"inst-42\tdate=2024-05-01";
const std::wstring kTail = L"\tsource=update.example\tlang=en-us";

class UsageReportTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetInstallation("inst-42");
        ASSERT_TRUE(m_lastUpdate.SetString(L"2024-05-01"));
        ASSERT_TRUE(m_domain.SetString(L"update.example"));
        ASSERT_TRUE(m_lang.SetString(L"en-us"));
        ASSERT_EQ(m_serviceRegistration.Result(), S_OK);
        m_userModeRegistration.emplace(CLSID_UserModeProvider, static_cast<IVkClassFactory*>(&m_userMode));
        ASSERT_EQ(m_userModeRegistration->Result(), S_OK);
    }

    void SetInstallation(const std::string& ansi)
    {
        const std::vector<BYTE> sealed = Sealed(ansi);
        ASSERT_TRUE(m_installation.Set(REG_BINARY, sealed.data(), static_cast<DWORD>(sealed.size())));
    }

    // The result code, and the report or "<none>" when nothing was written.
    std::pair<long, std::wstring> Build(CZelHelper* helper)
    {
        LPWSTR report = kSentinel;
        const long result = BuildUsageReport(helper, &report);
        if (report == kSentinel)
            return {result, L"<none>"};
        const Plinth::UniqueCoTaskMem<wchar_t> owned(report);
        return {result, owned ? std::wstring(owned.get()) : L"<null>"};
    }

    ZelTest::ScopedRegistryValue m_installation{HKEY_LOCAL_MACHINE, kAppInfoKey, L"isdudatali"};
    ZelTest::ScopedRegistryValue m_lastUpdate{HKEY_LOCAL_MACHINE, kProductKeyPath, L"Last Update"};
    ZelTest::ScopedRegistryValue m_domain{HKEY_LOCAL_MACHINE, kHostKey, L"domain"};
    ZelTest::ScopedRegistryValue m_lang{HKEY_LOCAL_MACHINE, kHostKey, L"lang"};
    ZelTest::ScriptedService m_service;
    ZelTest::ScopedClassObject m_serviceRegistration{CLSID_ZelConfig, &m_service};
    ZelTest::ScriptedUserMode m_userMode;
    std::optional<ZelTest::ScopedClassObject> m_userModeRegistration;
};

TEST_F(UsageReportTest, HouseholdCountsFollowTheMembersProperties)
{
    ScriptedUser unlimited;
    unlimited.limitation = 6;
    ScriptedUser limitedProtected;
    limitedProtected.limitation = 3;
    limitedProtected.isProtected = VARIANT_TRUE;
    ScriptedUser protectedNotBool;
    protectedNotBool.protectedType = VT_I4;
    protectedNotBool.isProtected = VARIANT_TRUE;
    ScriptedUser noItem;
    noItem.answersItem = false;
    ScriptedUser failingStatus;
    failingStatus.propertyStatus = 0x08000005;
    failingStatus.isProtected = VARIANT_TRUE;
    ScriptedUser failingCall;
    failingCall.propertyHr = E_FAIL;
    ScriptedUser highStatusBits;
    highStatusBits.propertyStatus = 0x7FFE0000;

    const struct
    {
        const char* name;
        std::vector<IUnknown*> members;
        std::wstring counts;
        long householdStatus;
        HRESULT householdHr;
    } cases[] = {
        {"nobody", {}, Counts(0, 0, 0, 0, 0), 0, S_OK},
        {"three", {&unlimited, &limitedProtected, &protectedNotBool}, Counts(0, 3, 2, 1, 0), 0, S_OK},
        {"without item", {&noItem, &limitedProtected}, Counts(0, 2, 1, 1, 0), 0, S_OK},
        {"ended by an empty element", {&limitedProtected, nullptr, &unlimited}, Counts(0, 1, 1, 1, 0), 0, S_OK},
        {"failing properties", {&failingStatus, &failingCall}, Counts(0, 2, 0, 0, 0), 0, S_OK},
        {"status beyond 17 bits", {&highStatusBits}, Counts(0, 1, 1, 0, 0), 0, S_OK},
        {"household with a failing status", {&unlimited}, Counts(0, 0, 0, 0, 0), 0x08000001, S_OK},
        {"household call failing", {&unlimited}, Counts(0, 0, 0, 0, 0), 0, E_FAIL},
    };
    for (const auto& c : cases) {
        ZelTest::ScriptedHousehold household;
        household.members = c.members;
        m_service.household = static_cast<IZelConfigCollection*>(&household);
        m_service.householdStatus = c.householdStatus;
        m_service.householdHr = c.householdHr;
        auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        EXPECT_EQ(Build(helper.get()), std::make_pair(0L, kHead + c.counts + kTail)) << c.name;
        helper.reset();
        EXPECT_EQ(household.live, 0) << c.name;
        for (IUnknown* member : c.members) {
            if (member) {
                EXPECT_EQ(static_cast<ScriptedUser*>(static_cast<IZelConfigItem*>(member))->live, 0) << c.name;
            }
        }
    }
    for (const auto& connection : m_service.connections)
        EXPECT_EQ(connection->live, 0);
}

TEST_F(UsageReportTest, AdministratorPasswordIsSetWhenTheEmptyTextDoesNotMatch)
{
    const struct
    {
        HRESULT checkHr;
        long checkStatus;
        int expected;
    } cases[] = {
        {S_OK, 0x08000005, 1},
        {S_OK, 0, 0},
        {S_OK, 0x00020000, 0},
        {E_FAIL, 0x08000005, 0},
    };
    for (const auto& c : cases) {
        ScriptedUser administrator;
        administrator.checkHr = c.checkHr;
        administrator.checkStatus = c.checkStatus;
        m_service.administrator = &administrator;
        auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        EXPECT_EQ(Build(helper.get()), std::make_pair(0L, kHead + Counts(0, 0, 0, 0, c.expected) + kTail))
            << std::hex << c.checkStatus;
        EXPECT_EQ(administrator.checkedProperty, 202);
        EXPECT_EQ(administrator.checkedType, VT_BSTR);
        EXPECT_EQ(administrator.checkedLength, 0);
        helper.reset();
        EXPECT_EQ(administrator.live, 0);
    }
}

TEST_F(UsageReportTest, OnlyModeTwoWithASuccessfulStatusIsReported)
{
    const struct
    {
        HRESULT hr;
        long mode;
        long status;
        int expected;
    } cases[] = {
        {S_OK, 2, 0, 1},
        {S_OK, 1, 0, 0},
        {S_OK, 2, 0x08000001, 0},
        {E_FAIL, 2, 0, 0},
    };
    // The class table holds its own reference.
    const LONG registered = m_userMode.live;
    for (const auto& c : cases) {
        m_userMode.hr = c.hr;
        m_userMode.mode = c.mode;
        m_userMode.status = c.status;
        EXPECT_EQ(Build(nullptr), std::make_pair(0L, kHead + Counts(c.expected, 0, 0, 0, 0) + kTail)) << c.mode;
    }
    EXPECT_EQ(m_userMode.live, registered);
    m_userModeRegistration.reset();
    EXPECT_EQ(Build(nullptr), std::make_pair(0L, kHead + Counts(0, 0, 0, 0, 0) + kTail));
}

TEST_F(UsageReportTest, MissingValuesFailBeforeTheServiceIsAsked)
{
    const auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
    EXPECT_EQ(BuildUsageReport(helper.get(), nullptr), 0x08000057);
    m_installation.Delete();
    EXPECT_EQ(Build(helper.get()), std::make_pair(0x08000002L, std::wstring(L"<none>")));
    EXPECT_EQ(m_service.creates, 0);
}

TEST_F(UsageReportTest, MainPartMustFitItsBuffer)
{
    const std::wstring suffix = L"\tdate=2024-05-01" + Counts(0, 0, 0, 0, 0);
    const size_t room = kUsageReportMainChars - 1 - suffix.size();
    SetInstallation(std::string(room, 'x'));
    EXPECT_EQ(Build(nullptr), std::make_pair(0L, std::wstring(room, L'x') + suffix + kTail));

    SetInstallation(std::string(room + 1, 'x'));
    EXPECT_EQ(Build(nullptr), std::make_pair(0x080000EAL, std::wstring(L"<none>")));
}

// The same rule as the version record's fields: a value that fills all 260
// units without its terminator, or has an odd byte count, is left out, not cut.
TEST_F(UsageReportTest, HostTextsThatDoNotFitWholeAreLeftOut)
{
    const std::wstring full(260, L'd');
    ASSERT_TRUE(m_domain.Set(REG_SZ, full.c_str(), 520));
    ASSERT_TRUE(m_lang.Set(REG_SZ, L"en-us", 5));
    EXPECT_EQ(Build(nullptr), std::make_pair(0L, kHead + Counts(0, 0, 0, 0, 0) + L"\tsource=\tlang="));
}

} // namespace
