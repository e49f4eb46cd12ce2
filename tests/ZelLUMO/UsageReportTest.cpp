// The usage report against scripted services and registry values put back after.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "substitute/UsageReport.h"
#include "tests/support/TestRegistry.h"
#include "tests/ZelLUMO/ScriptedService.h"
#include "ZelLUMO/ZelLUMOHelper.h"

using ZelTest::ScriptedUser;

namespace {

constexpr wchar_t kAppInfoKey[] = L"Software\\Varkon\\ZEL\\AppInfo";
constexpr wchar_t kProductKeyPath[] = L"Software\\Varkon\\ZEL";
constexpr wchar_t kHostKey[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute";
wchar_t* const kSentinel = reinterpret_cast<wchar_t*>(static_cast<uintptr_t>(0xDEADBEEF));

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
        ASSERT_EQ(ZelTest::Register(CLSID_ZelConfig, &m_service, m_serviceRegistration), S_OK);
        IUnknown* const userMode = static_cast<IVkClassFactory*>(&m_userMode);
        ASSERT_EQ(ZelTest::Register(CLSID_UserModeProvider, userMode, m_userModeRegistration), S_OK);
    }

    // The installation text, sealed as the installer stores it.
    void SetInstallation(const std::string& ansi)
    {
        std::vector<BYTE> sealed(Plinth::kSealedRegistryHeaderBytes + ansi.size() + 1);
        ASSERT_EQ(Plinth::SealRegistryValue(REG_SZ, ansi.c_str(), static_cast<ULONG>(ansi.size() + 1), sealed.data(),
                                            static_cast<ULONG>(sealed.size())),
                  ERROR_SUCCESS);
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
    ZelTest::ClassRegistration m_serviceRegistration;
    ZelTest::ScriptedUserMode m_userMode;
    ZelTest::ClassRegistration m_userModeRegistration;
};

// Limited members have a limitation other than 6, protected ones a VT_BOOL true; a
// status succeeds by its low 17 bits; an empty element ends the household; the
// password is set when the empty text does not match. No reference is kept.
TEST_F(UsageReportTest, CountsFollowTheServiceAndTheProvider)
{
    ScriptedUser adult;
    adult.limitation = 6;
    ScriptedUser child;
    child.limitation = 3;
    child.isProtected = VARIANT_TRUE;
    ScriptedUser oddType;
    oddType.protectedType = VT_I4;
    oddType.isProtected = VARIANT_TRUE;
    ScriptedUser noItem;
    noItem.answersItem = false;
    ScriptedUser badStatus;
    badStatus.propertyStatus = 0x08000005;
    badStatus.isProtected = VARIANT_TRUE;
    ScriptedUser badCall;
    badCall.propertyHr = E_FAIL;
    ScriptedUser highBits;
    highBits.propertyStatus = 0x7FFE0000;
    const std::vector<IUnknown*> one = {&adult};
    // Household members, property 102's status and result, the password
    // check's status and result, the provider's mode, status and result.
    const struct
    {
        const char* name;
        std::vector<IUnknown*> members;
        long householdStatus;
        HRESULT householdHr;
        long checkStatus;
        HRESULT checkHr;
        long mode;
        long modeStatus;
        HRESULT modeHr;
        std::wstring counts;
    } cases[] = {
        {"nobody", {}, 0, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 0, 0, 0, 0)},
        {"one", one, 0, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 1, 0, 0, 0)},
        {"three", {&adult, &child, &oddType}, 0, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 3, 2, 1, 0)},
        {"without item", {&noItem, &child}, 0, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 2, 1, 1, 0)},
        {"ended early", {&child, nullptr, &adult}, 0, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 1, 1, 1, 0)},
        {"bad properties", {&badStatus, &badCall}, 0, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 2, 0, 0, 0)},
        {"status beyond 17 bits", {&highBits}, 0, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 1, 1, 0, 0)},
        {"household status failing", one, 0x08000001, S_OK, 0, S_OK, 0, 0, S_OK, Counts(0, 0, 0, 0, 0)},
        {"household call failing", one, 0, E_FAIL, 0, S_OK, 0, 0, S_OK, Counts(0, 0, 0, 0, 0)},
        {"password set", one, 0, S_OK, 0x08000005, S_OK, 0, 0, S_OK, Counts(0, 1, 0, 0, 1)},
        {"password status beyond 17 bits", one, 0, S_OK, 0x00020000, S_OK, 0, 0, S_OK, Counts(0, 1, 0, 0, 0)},
        {"password check failing", one, 0, S_OK, 0x08000005, E_FAIL, 0, 0, S_OK, Counts(0, 1, 0, 0, 0)},
        {"user mode 2", one, 0, S_OK, 0, S_OK, 2, 0, S_OK, Counts(1, 1, 0, 0, 0)},
        {"user mode 1", one, 0, S_OK, 0, S_OK, 1, 0, S_OK, Counts(0, 1, 0, 0, 0)},
        {"user mode status failing", one, 0, S_OK, 0, S_OK, 2, 0x08000001, S_OK, Counts(0, 1, 0, 0, 0)},
        {"user mode call failing", one, 0, S_OK, 0, S_OK, 2, 0, E_FAIL, Counts(0, 1, 0, 0, 0)},
    };
    // The class table holds its own reference.
    const LONG registered = m_userMode.live;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZelTest::ScriptedHousehold household;
        household.members = c.members;
        ScriptedUser administrator;
        administrator.checkStatus = c.checkStatus;
        administrator.checkHr = c.checkHr;
        m_service.household = static_cast<IZelConfigCollection*>(&household);
        m_service.householdStatus = c.householdStatus;
        m_service.householdHr = c.householdHr;
        m_service.administrator = &administrator;
        m_userMode.mode = c.mode;
        m_userMode.status = c.modeStatus;
        m_userMode.hr = c.modeHr;
        auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        EXPECT_EQ(Build(helper.get()), std::make_pair(0L, kHead + c.counts + kTail));
        EXPECT_EQ(administrator.checkedProperty, 202);
        EXPECT_TRUE(administrator.checkedEmptyText);
        helper.reset();
        EXPECT_EQ(household.live, 0);
        EXPECT_EQ(administrator.live, 0);
        EXPECT_EQ(m_userMode.live, registered);
    }
    for (ScriptedUser* user : {&adult, &child, &oddType, &noItem, &badStatus, &badCall, &highBits})
        EXPECT_EQ(user->live, 0);
    for (const auto& connection : m_service.connections)
        EXPECT_EQ(connection->live, 0);
    // Neither service: nothing is counted.
    m_service.household = m_service.administrator = nullptr;
    m_userMode.hr = S_OK;
    auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
    m_userModeRegistration.reset();
    EXPECT_EQ(Build(helper.get()), std::make_pair(0L, kHead + Counts(0, 0, 0, 0, 0) + kTail));
}

TEST_F(UsageReportTest, MissingValuesFailBeforeTheServiceIsAsked)
{
    const auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
    EXPECT_EQ(BuildUsageReport(helper.get(), nullptr), 0x08000057);
    m_installation.Delete();
    EXPECT_EQ(Build(helper.get()), std::make_pair(0x08000002L, std::wstring(L"<none>")));
    EXPECT_EQ(m_service.creates, 0);
}

TEST_F(UsageReportTest, WhatDoesNotFitWholeFailsTheReportOrIsLeftOut)
{
    const std::wstring suffix = L"\tdate=2024-05-01" + Counts(0, 0, 0, 0, 0);
    const size_t room = kUsageReportMainChars - 1 - suffix.size();
    SetInstallation(std::string(room, 'x'));
    EXPECT_EQ(Build(nullptr), std::make_pair(0L, std::wstring(room, L'x') + suffix + kTail));

    SetInstallation(std::string(room + 1, 'x'));
    EXPECT_EQ(Build(nullptr), std::make_pair(0x080000EAL, std::wstring(L"<none>")));

    // The host's texts by the version record's rule: one that fills all 260
    // units without its terminator, or has an odd byte count, is left out, not
    // cut. More text follows the 520 bytes, so the registry adds no terminator.
    SetInstallation("inst-42");
    const std::wstring full(261, L'd');
    ASSERT_TRUE(m_domain.Set(REG_SZ, full.c_str(), 520));
    ASSERT_TRUE(m_lang.Set(REG_SZ, L"en-us", 5));
    EXPECT_EQ(Build(nullptr), std::make_pair(0L, kHead + Counts(0, 0, 0, 0, 0) + L"\tsource=\tlang="));
}

} // namespace
