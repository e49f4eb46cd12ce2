// Version text, component status, the update-check address and the plain
// acknowledgements, with a scripted component checker and the product's
// registry values put back after each test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ApplImpl.h"
#include "plinth/Owners.h"
#include "support/ScriptedChecker.h"
#include "support/CapturingLogger.h"
#include "support/TestRegistry.h"

using Plinth::ComPtr;
using Plinth::UniqueCoTaskMem;
using ZelTest::LogCapture;

namespace {

constexpr long kUntouched = 0x5A5A5A5A;
constexpr wchar_t kProduct[] = L"Software\\Varkon\\ZEL";
constexpr wchar_t kSubstitute[] = L"Software\\Varkon\\ZEL\\AppInfo\\Substitute";
constexpr wchar_t kHost[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute";

class VersionQueriesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A checker whose version call fails but still hands back its text.
        m_checker.versionHr = E_FAIL;
        m_checker.versionResult = 0x0800000E;
        m_checker.statusResult = 0x08020000;
        LogCapture::Instance().Clear();
        ASSERT_EQ(::CoRegisterClassObject(CLSID_ComponentVersionProvider, static_cast<IVkClassFactory*>(&m_checker),
                                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie),
                  S_OK);
        ASSERT_EQ(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, m_object.put_void()), S_OK);
        ASSERT_EQ(m_object.As(IID_IVkVersion, m_version), S_OK);
    }
    void TearDown() override { ::CoRevokeClassObject(m_cookie); }

    HRESULT VersionText(std::wstring& text, long& result)
    {
        UniqueCoTaskMem<wchar_t> out;
        result = kUntouched;
        const HRESULT hr = m_version->GetVersionText(out.put(), &result);
        text = out ? out.get() : L"(null)";
        return hr;
    }

    ZelTest::ScriptedChecker m_checker;
    DWORD m_cookie = 0;
    ComPtr<IVkApplicationInfo> m_object;
    ComPtr<IVkVersion> m_version;
    ZelTest::ScopedRegistryValue m_build{HKEY_LOCAL_MACHINE, kProduct, L"Build"};
};

TEST_F(VersionQueriesTest, BuildIsCutOnlyAtExactlyFourParts)
{
    const struct
    {
        const wchar_t* build;
        const wchar_t* expected;
    } cases[] = {
        {L"17.0.3038.0", L"BuildNumber=17.0.3038\n"},
        {L"17.0.3038", L"BuildNumber=17.0.3038\n"},
        {L"1.2.3.4.5", L"BuildNumber=1.2.3.4.5\n"},
        {L"...", L"BuildNumber=..\n"},
        {L"", L"BuildNumber=\n"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(m_build.SetString(c.build));
        std::wstring text;
        long result = 0;
        EXPECT_EQ(VersionText(text, result), S_OK);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(text, c.expected);
    }
}

TEST_F(VersionQueriesTest, BuildValueMustBeATerminatedStringThatFits)
{
    const std::wstring fits(79, L'7');
    // The registry adds a terminator that directly follows the data: these have none.
    const std::wstring full(81, L'8');
    const struct
    {
        DWORD type;
        const void* data;
        DWORD bytes;
        HRESULT hr;
    } cases[] = {
        {REG_SZ, fits.c_str(), 160, S_OK},   {REG_EXPAND_SZ, L"1.2", 8, S_OK},    {REG_SZ, L"", 0, S_OK},
        {REG_SZ, full.c_str(), 162, E_FAIL}, {REG_SZ, full.c_str(), 160, E_FAIL}, {REG_SZ, L"1.2x", 6, E_FAIL},
        {REG_SZ, L"1.2", 7, E_FAIL},         {REG_DWORD, L"1.", 4, E_FAIL},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(m_build.Set(c.type, c.data, c.bytes));
        std::wstring text;
        long result = 0;
        EXPECT_EQ(VersionText(text, result), c.hr) << c.bytes;
        EXPECT_EQ(result, c.hr == S_OK ? 0 : kUntouched);
    }
    m_build.Delete();
    std::wstring text;
    long result = 0;
    EXPECT_EQ(VersionText(text, result), E_FAIL);
    EXPECT_EQ(text, L"(null)");
}

TEST_F(VersionQueriesTest, CheckerTextsEndInExactlyOneLineFeed)
{
    ASSERT_TRUE(m_build.SetString(L"17.0.3038.0"));
    const struct
    {
        const wchar_t* checker;
        const wchar_t* version;
        const wchar_t* status;
    } cases[] = {
        {L"A=1", L"BuildNumber=17.0.3038\nA=1\n", L"A=1\n"},
        {L"A=1\n", L"BuildNumber=17.0.3038\nA=1\n", L"A=1\n"},
        {L"A=1\nB=2\n\n", L"BuildNumber=17.0.3038\nA=1\nB=2\n", L"A=1\nB=2\n"},
        {L"A=1\r\n", L"BuildNumber=17.0.3038\nA=1\r\n", L"A=1\r\n"},
        {L"\n", L"BuildNumber=17.0.3038\n\n", L"\n"},
        {L"", L"BuildNumber=17.0.3038\n", nullptr},
        {nullptr, L"BuildNumber=17.0.3038\n", nullptr},
    };
    for (const auto& c : cases) {
        m_checker.versionText = c.checker;
        m_checker.statusText = c.checker;
        std::wstring text;
        long result = 0;
        EXPECT_EQ(VersionText(text, result), S_OK);
        EXPECT_EQ(text, c.version);
        UniqueCoTaskMem<wchar_t> status;
        result = kUntouched;
        EXPECT_EQ(m_version->GetComponentStatus(status.put(), &result), S_OK);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(status ? std::wstring(status.get()) : L"(null)", c.status ? c.status : L"(null)");
    }
}

TEST_F(VersionQueriesTest, UpdateInformationHandsOutNoAddressWhenExpansionFails)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\Volatile");
    ZelTest::ScopedRegistryValue domain(HKEY_LOCAL_MACHINE, kHost, L"domain");
    ZelTest::ScopedRegistryValue lang(HKEY_LOCAL_MACHINE, kHost, L"lang");
    ZelTest::ScopedRegistryValue appcode(HKEY_LOCAL_MACHINE, kSubstitute, L"appcode");
    ZelTest::ScopedRegistryValue version2(HKEY_LOCAL_MACHINE, kSubstitute, L"version2");
    const std::wstring hostParams = std::wstring(kHost) + L"\\QueryParams";
    ZelTest::ScopedRegistryValue params[] = {{HKEY_LOCAL_MACHINE, hostParams, L"affid"},
                                             {HKEY_LOCAL_MACHINE, hostParams, L"lang"},
                                             {HKEY_LOCAL_MACHINE, hostParams, L"langid"},
                                             {HKEY_LOCAL_MACHINE, hostParams, L"lcid"}};
    for (auto& param : params)
        param.Delete();
    ASSERT_TRUE(domain.SetString(L"update.varkon.example"));
    ASSERT_TRUE(lang.SetString(L"en"));
    ASSERT_TRUE(version2.SetString(L"17.0"));
    ASSERT_TRUE(m_build.SetString(L"17.0.3038.0"));
    m_checker.versionText = L"ZelLumoAp=17.0.3038.0\n";

    const std::wstring longest(260 - std::wcslen(L"https://update.varkon.example/apps//en/17.0/chkupd.asp") - 1, L'z');
    const struct
    {
        std::wstring appcode;
        bool withBuild;
        DWORD level;
        std::wstring logged;
    } cases[] = {
        {L"zel", true, 1,
         L"IVkApplicationInfo->GetUpdateInformation() PingURL=[https://update.varkon.example/apps/zel/en/17.0/"
         L"chkupd.asp] Version=[BuildNumber=17.0.3038\nZelLumoAp=17.0.3038.0\n]\r\n"},
        {longest, true, 1, L""},
        {longest + L"z", true, 4,
         L"IVkApplicationInfo->GetUpdateInformation() unable to get either ping url or version *pwszPingUrl = "
         L"00000000 *pwszVersionInfo = "},
        {L"zel", false, 4, L""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(appcode.SetString(c.appcode));
        c.withBuild ? (void)m_build.SetString(L"17.0.3038.0") : m_build.Delete();
        UniqueCoTaskMem<wchar_t> url;
        UniqueCoTaskMem<wchar_t> version;
        long result = kUntouched;
        EXPECT_EQ(m_object->GetUpdateInformation(nullptr, url.put(), version.put(), &result), S_OK);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(static_cast<bool>(url), c.appcode.size() <= longest.size());
        EXPECT_EQ(static_cast<bool>(version), c.withBuild);
        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, c.level);
        EXPECT_EQ(records[0].function, L"CZelAppImpl::GetUpdateInformation");
        EXPECT_EQ(records[0].text.substr(0, c.logged.size()), c.logged);
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\Volatile");
}

TEST_F(VersionQueriesTest, AcknowledgementsCheckTheirPointers)
{
    ComPtr<IVkRecentEventAction> recent;
    ComPtr<IVkLogAction> log;
    ASSERT_EQ(m_object.As(IID_IVkRecentEventAction, recent), S_OK);
    ASSERT_EQ(m_object.As(IID_IVkLogAction, log), S_OK);
    LPWSTR response = nullptr;
    long result = kUntouched;
    EXPECT_EQ(m_object->UnsupportedRequest(L"id", &response, &result), S_OK);
    EXPECT_EQ(result, 0x08000032);
    EXPECT_EQ(recent->DoRecentEventAction(7, L"id", &response, &result), S_OK);
    EXPECT_EQ(result, 0);
    result = kUntouched;
    EXPECT_EQ(log->DoLogAction(7, L"id", &response, &result), S_OK);
    EXPECT_EQ(result, 0);

    result = kUntouched;
    EXPECT_EQ(m_object->UnsupportedRequest(nullptr, &response, &result), E_INVALIDARG);
    EXPECT_EQ(recent->DoRecentEventAction(0, L"id", nullptr, &result), E_INVALIDARG);
    EXPECT_EQ(log->DoLogAction(0, L"id", &response, nullptr), E_INVALIDARG);
    EXPECT_EQ(m_object->GetUpdateInformation(nullptr, &response, nullptr, &result), E_INVALIDARG);
    EXPECT_EQ(m_version->GetVersionText(nullptr, &result), E_INVALIDARG);
    EXPECT_EQ(result, kUntouched);
    EXPECT_EQ(response, nullptr);
    EXPECT_TRUE(LogCapture::Instance().Take().empty());
}

} // namespace
