// The version record against the product's real keys, whose values are put back.
#include <gtest/gtest.h>

#include <string>

#include "substitute/ZelVersionInfo.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr wchar_t kSubstitute[] = L"Software\\Varkon\\ZEL\\AppInfo\\Substitute";
constexpr wchar_t kProduct[] = L"Software\\Varkon\\ZEL";

class VersionInfoTest : public ::testing::Test
{
protected:
    ZelTest::ScopedRegistryValue m_build{HKEY_LOCAL_MACHINE, kSubstitute, L"build"};
    ZelTest::ScopedRegistryValue m_version2{HKEY_LOCAL_MACHINE, kSubstitute, L"version2"};
    ZelTest::ScopedRegistryValue m_appcode{HKEY_LOCAL_MACHINE, kSubstitute, L"appcode"};
    ZelTest::ScopedRegistryValue m_gmtdate{HKEY_LOCAL_MACHINE, kSubstitute, L"gmtdate"};
    ZelTest::ScopedRegistryValue m_lastUpdate{HKEY_LOCAL_MACHINE, kProduct, L"Last Update"};
    ZelTest::ScopedRegistryValue m_languagePack{HKEY_LOCAL_MACHINE, kProduct, L"Language Pack"};
};

TEST_F(VersionInfoTest, ReadsEveryFieldAndFormatsGmtDateAsTheShortDate)
{
    ASSERT_TRUE(m_build.SetString(L"17.0.3038.12"));
    ASSERT_TRUE(m_version2.SetString(L"17.0"));
    ASSERT_TRUE(m_appcode.SetString(L"zel"));
    ASSERT_TRUE(m_lastUpdate.SetString(L"registry text"));
    ASSERT_TRUE(m_languagePack.SetString(L"en-US"));
    m_gmtdate.Delete();

    ZelVersionInfo info;
    LoadZelVersionInfo(info);
    EXPECT_STREQ(info.build, L"17.0.3038.12");
    EXPECT_STREQ(info.buildSuffix, L"3038.12");
    EXPECT_STREQ(info.version2, L"17.0");
    EXPECT_STREQ(info.appcode, L"zel");
    EXPECT_STREQ(info.languagePack, L"en-US");
    EXPECT_STREQ(info.lastUpdate, L"registry text");
    EXPECT_EQ(info.gmtdate, 0u);

    // 23:30 UTC on 15 March 2024 is the 16th in the test's time zone (UTC+9,
    // set for this test program with the C locale's month/day/year dates).
    TIME_ZONE_INFORMATION zone;
    ::GetTimeZoneInformation(&zone);
    ASSERT_EQ(zone.Bias, -540) << "the time zone of the test set-up is not in effect";
    const DWORD lateEvening = 1710545400;
    ASSERT_TRUE(m_gmtdate.Set(REG_DWORD, &lateEvening, sizeof(lateEvening)));
    LoadZelVersionInfo(info);
    EXPECT_EQ(info.gmtdate, lateEvening);
    EXPECT_STREQ(info.lastUpdate, L"3/16/2024");
}

TEST_F(VersionInfoTest, MissingBuildAndVersionComeFromTheBuiltInVersion)
{
    const struct
    {
        const wchar_t* build;
        const wchar_t* version2;
        const wchar_t* expectedBuild;
        const wchar_t* expectedVersion2;
        const wchar_t* suffix;
    } cases[] = {
        {L"17.0.", nullptr, L"17.0.", L"17.0", L""},
        {nullptr, L"18.1", L"3038", L"18.1", L""},
        {L"1.2.3", L"x", L"1.2.3", L"x", L"3"},
    };
    for (const auto& c : cases) {
        c.build ? (void)m_build.SetString(c.build) : m_build.Delete();
        c.version2 ? (void)m_version2.SetString(c.version2) : m_version2.Delete();
        ZelVersionInfo info;
        LoadZelVersionInfo(info);
        EXPECT_STREQ(info.build, c.expectedBuild);
        EXPECT_STREQ(info.version2, c.expectedVersion2);
        EXPECT_STREQ(info.buildSuffix, c.suffix);
    }
}

// SHGetValueW hands out a value that fills all 260 units without its
// terminator: only one that leaves room for the terminator is taken. The other
// types, lengths and odd byte counts are the fault sweep's, through the same
// reader's "Last Update".
TEST_F(VersionInfoTest, UnterminatedValuesAreTakenOnlyWhenTheTerminatorFits)
{
    // The registry adds a terminator that directly follows the data: these have none.
    const std::wstring over(261, L'r');
    const std::pair<DWORD, std::wstring> cases[] = {{518, std::wstring(259, L'r')}, {520, L""}, {0, L""}};
    for (const auto& [bytes, expected] : cases) {
        ASSERT_TRUE(m_languagePack.Set(REG_SZ, over.c_str(), bytes));
        ZelVersionInfo info;
        LoadZelVersionInfo(info);
        EXPECT_EQ(std::wstring(info.languagePack), expected) << bytes;
    }
}

} // namespace
