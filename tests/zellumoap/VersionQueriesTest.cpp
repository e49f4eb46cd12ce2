// Version text and component status, with a scripted component checker and
// the product's registry values put back after each test. Further shapes of
// the build value and of the checker's texts are in the fault sweep.
#include <gtest/gtest.h>

#include <string>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/ScriptedChecker.h"
#include "tests/support/TestRegistry.h"
#include "zellumoap/ApplImpl.h"

using Plinth::ComPtr;
using Plinth::UniqueCoTaskMem;
using ZelTest::LogCapture;

namespace {

constexpr long kUntouched = 0x5A5A5A5A;
constexpr wchar_t kProduct[] = L"Software\\Varkon\\ZEL";

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
        {L"A=1\nB=2\n\n", L"BuildNumber=17.0.3038\nA=1\nB=2\n", L"A=1\nB=2\n"},
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
        EXPECT_STREQ(status.get(), c.status);
    }
}

// A checker whose creation succeeds with no object is treated as absent by
// every method that asks it, instead of being called through.
TEST_F(VersionQueriesTest, CheckerCreatedWithoutAnObjectCountsAsAbsent)
{
    ASSERT_TRUE(m_build.SetString(L"17.0.3038.0"));
    m_checker.versionText = L"A=1";
    m_checker.statusText = L"A=1";
    m_checker.createsNothing = true;
    long result = kUntouched;
    EXPECT_EQ(m_object->CheckComponents(&result), E_POINTER);
    EXPECT_EQ(result, 0x08000002);
    EXPECT_TRUE(LogCapture::Instance().Take().empty());

    std::wstring text;
    EXPECT_EQ(VersionText(text, result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(text, L"BuildNumber=17.0.3038\n");
    UniqueCoTaskMem<wchar_t> status;
    result = kUntouched;
    EXPECT_EQ(m_version->GetComponentStatus(status.put(), &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(status.get(), nullptr);
    UniqueCoTaskMem<wchar_t> ping;
    UniqueCoTaskMem<wchar_t> version;
    EXPECT_EQ(m_object->GetUpdateInformation(nullptr, ping.put(), version.put(), &result), S_OK);
    EXPECT_STREQ(version.get(), L"BuildNumber=17.0.3038\n");
}

} // namespace
