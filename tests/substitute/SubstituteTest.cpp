// Token expansion and query parameters on keys of the test's own; the two-key
// expansion and the version record on the real keys, put back as they were.
#include <gtest/gtest.h>

#include <cerrno>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "substitute/Substitute.h"
#include "substitute/ZelVersionInfo.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr wchar_t kTestKey[] = L"Software\\ZelSubstituteTest";
constexpr wchar_t kTestPath[] = L"HKCU\\Software\\ZelSubstituteTest";
constexpr wchar_t kHostPath[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute";
constexpr wchar_t kVolatileRoot[] = L"SOFTWARE\\Varkon\\Volatile";

void SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD bytes,
              HKEY root = HKEY_CURRENT_USER)
{
    Plinth::UniqueHKey key;
    ASSERT_EQ(::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr), 0);
    ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes), 0);
}

void SetText(const std::wstring& path, const wchar_t* name, const std::wstring& text, HKEY root = HKEY_CURRENT_USER)
{
    SetValue(path, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), root);
}

// Expands into a generous buffer; the length query must agree with the fill.
template <typename Expand>
std::wstring Expanded(Expand expand)
{
    DWORD needed = 7;
    EXPECT_EQ(expand(nullptr, &needed), ERROR_SUCCESS);
    std::vector<wchar_t> out(4096, L'#');
    DWORD length = static_cast<DWORD>(out.size());
    EXPECT_EQ(expand(out.data(), &length), ERROR_SUCCESS);
    EXPECT_EQ(length, needed);
    std::vector<wchar_t> exact(needed);
    length = needed;
    EXPECT_EQ(expand(exact.data(), &length), ERROR_SUCCESS);
    return std::wstring(out.data());
}

std::wstring ExpandKey(const std::wstring& keyPath, const wchar_t* input, bool append = true)
{
    return Expanded([&](wchar_t* out, DWORD* length) {
        return ExpandSubstitutionString(keyPath.c_str(), input, append, false, out, length);
    });
}

class SubstituteTest : public ::testing::Test
{
protected:
    ZelTest::ScopedRegistryTree m_tree{HKEY_CURRENT_USER, kTestKey};
};

TEST(ParseRegistryPathTest, SplitsAtTheFirstBackslash)
{
    const std::wstring longest(259, L'k');
    // A path, and the root and subkey it names; no root where it is refused.
    const std::tuple<std::wstring, HKEY, std::wstring> cases[] = {
        {L"HKCU\\Software\\X", HKEY_CURRENT_USER, L"Software\\X"},
        {L"hkey_local_machine\\A\\B", HKEY_LOCAL_MACHINE, L"A\\B"},
        {L"Hkey_Classes_Root\\.txt", HKEY_CLASSES_ROOT, L".txt"},
        {L"hkcc\\System", HKEY_CURRENT_CONFIG, L"System"},
        {L"HKU\\.DEFAULT", HKEY_USERS, L".DEFAULT"},
        {L"SOFTWARE\\Varkon\\Volatile", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\Volatile"},
        {L"HKLMX\\A", HKEY_LOCAL_MACHINE, L"HKLMX\\A"},
        {L"HKLM\\" + longest, HKEY_LOCAL_MACHINE, longest},
        {L"HKLM\\" + longest + L"k", nullptr, L""},
        {L"HKLM\\", nullptr, L""},
        {L"HKLM", nullptr, L""},
        {L"", nullptr, L""},
    };
    for (const auto& [path, expectedRoot, expectedSubkey] : cases) {
        wchar_t subkey[kSubkeyChars] = L"";
        HKEY root = nullptr;
        EXPECT_EQ(ParseRegistryPath(path.c_str(), subkey, kSubkeyChars, &root), expectedRoot != nullptr) << path.size();
        EXPECT_EQ(root, expectedRoot);
        EXPECT_EQ(subkey, expectedSubkey);
    }
}

TEST(ReplaceAllTokensTest, ReplacesPairByPairIntoABufferThatFits)
{
    // The input, the pairs in order, and the result.
    const std::tuple<const wchar_t*, std::vector<TokenPair>, const wchar_t*> cases[] = {
        {L"%a%-%a%", {{L"%a%", L"x"}}, L"x-x"},
        {L"/%Lang%/%lang%", {{L"%lang%", L"en"}}, L"/%Lang%/en"},
        {L"%a%", {{L"%a%", L"%b%"}, {L"%b%", L"B"}}, L"B"},
        {L"%a%", {{L"%b%", L"B"}, {L"%a%", L"%b%"}}, L"%b%"},
        {L"%a%%a%", {{L"%a%", L"%a%!"}}, L"%a%!%a%!"},
        {L"100% %none% %", {{L"%a%", L"x"}}, L"100% %none% %"},
        {L"no tokens", {}, L"no tokens"},
        {L"[%e%]", {{L"%e%", L""}}, L"[]"},
    };
    for (const auto& [input, pairs, expected] : cases) {
        const std::wstring result = Expanded([in = input, &tokens = pairs](wchar_t* out, DWORD* length) {
            return ReplaceAllTokens(in, tokens.data(), tokens.size(), out, length);
        });
        EXPECT_EQ(result, expected) << input;
    }

    const TokenPair pair{L"%a%", std::wstring(37, L'x')};
    wchar_t out[10] = L"untouched";
    DWORD length = 10;
    EXPECT_EQ(ReplaceAllTokens(L"%a%!!", &pair, 1, out, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 40u);
    EXPECT_STREQ(out, L"untouched");
    EXPECT_EQ(ReplaceAllTokens(nullptr, &pair, 1, out, &length), ERROR_INVALID_PARAMETER);
}

// Every occurrence of a variable is replaced; the forms a stored value may
// take (only strings are variables) are the fault sweep's, through the address.
TEST_F(SubstituteTest, ExpandsEveryOccurrenceOfAVariable)
{
    const std::wstring key = std::wstring(kTestKey) + L"\\Vars";
    const std::wstring path = std::wstring(kTestPath) + L"\\Vars";
    ASSERT_NO_FATAL_FAILURE(SetText(key, L"domain", L"update.varkon.example"));
    EXPECT_EQ(ExpandKey(path, L"https://%domain%/%none%/%domain%", false),
              L"https://update.varkon.example/%none%/update.varkon.example");
    EXPECT_EQ(ExpandKey(std::wstring(kTestPath) + L"\\Missing", L"%domain%"), L"%domain%");

    DWORD length = 100;
    EXPECT_EQ(ExpandTokens(L"HKLM\\", L"x", false, nullptr, &length), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ExpandTokens(path.c_str(), L"x", false, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    // A token longer than its 520-character buffer ends the expansion.
    ASSERT_NO_FATAL_FAILURE(SetText(key, std::wstring(519, L'n').c_str(), L"v"));
    EXPECT_EQ(ExpandTokens(path.c_str(), L"x", false, nullptr, &length), ERROR_NOT_ENOUGH_MEMORY);
}

// Values that nest: "%a%" holds 10 "%b%", each of which holds 100 "%c%", each
// of which holds 40 "%d%". Replacing "%c%" would make 120,000 units, past the
// bound: the expansion stops there, and reports that length, rather than go
// on to the 80,000 of the whole text.
TEST_F(SubstituteTest, NestedValuesStopAtTheFirstStepPastTheBound)
{
    const std::wstring key = std::wstring(kTestKey) + L"\\Nested";
    const std::wstring path = std::wstring(kTestPath) + L"\\Nested";
    const std::tuple<const wchar_t*, const wchar_t*, size_t> values[] = {
        {L"a", L"%b%", 10}, {L"b", L"%c%", 100}, {L"c", L"%d%", 40}, {L"d", L"xx", 1}};
    for (const auto& [name, piece, times] : values)
        ASSERT_TRUE(ZelTest::SetRepeatedString(HKEY_CURRENT_USER, key, name, piece, times));
    std::vector<wchar_t> buffer(MAX_PATH);
    for (wchar_t* out : {static_cast<wchar_t*>(nullptr), buffer.data()}) {
        DWORD length = MAX_PATH;
        EXPECT_EQ(ExpandSubstitutionString(path.c_str(), L"%a%", true, false, out, &length), ERROR_MORE_DATA);
        EXPECT_EQ(length, 120001u);
    }
}

// The sealed key writes text as UTF-8; read in the thread's ANSI code page,
// each accented letter would come back as two characters.
TEST_F(SubstituteTest, SealedTextReadsAsUtf8)
{
    Plinth::CObfuscatedRegKey sealed;
    ASSERT_EQ(sealed.Create(HKEY_CURRENT_USER, kTestKey), ERROR_SUCCESS);
    ASSERT_EQ(sealed.SetStringValue(L"text", L"Caf\u00e9-\u00fc"), ERROR_SUCCESS);
    ASSERT_EQ(sealed.SetMultiStringValue(L"list", L"\u00e9\0\u00fc\0"), ERROR_SUCCESS);
    const std::tuple<const wchar_t*, DWORD, std::wstring> cases[] = {
        {L"text", REG_SZ, std::wstring(L"Caf\u00e9-\u00fc", 7)},
        {L"list", REG_MULTI_SZ, std::wstring(L"\u00e9\0\u00fc\0", 5)},
    };
    for (const auto& [name, expectedType, expected] : cases) {
        wchar_t text[32];
        DWORD type = REG_NONE;
        DWORD bytes = sizeof(text);
        EXPECT_EQ(ReadRegistryStringValue(HKEY_CURRENT_USER, kTestKey, name, &type, text, &bytes, true), ERROR_SUCCESS);
        EXPECT_EQ(type, expectedType);
        EXPECT_EQ(std::wstring(text, bytes / sizeof(wchar_t)), expected);
    }
}

TEST_F(SubstituteTest, AppendsEachNewParameterOnce)
{
    const std::wstring params = std::wstring(kTestKey) + L"\\Url\\QueryParams";
    const std::wstring path = std::wstring(kTestPath) + L"\\Url";
    ASSERT_NO_FATAL_FAILURE(SetText(params, L"a", L"1"));
    ASSERT_NO_FATAL_FAILURE(SetText(params, L"b", L"2 & 3"));
    ASSERT_NO_FATAL_FAILURE(SetText(params, L"c", L""));
    const DWORD number = 4;
    ASSERT_NO_FATAL_FAILURE(SetValue(params, L"d", REG_DWORD, &number, sizeof(number)));
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"h/p", L"h/p?a=1&b=2 & 3&c="},     {L"h/p?x=0", L"h/p?x=0&a=1&b=2 & 3&c="},
        {L"h/p?a=9", L"h/p?a=9&b=2 & 3&c="}, {L"h/p?x=1&b=7", L"h/p?x=1&b=7&a=1&c="},
        {L"h/p?c=", L"h/p?c=&a=1&b=2 & 3"},
    };
    for (const auto& [input, expected] : cases) {
        const std::wstring result = Expanded([&, in = input](wchar_t* out, DWORD* length) {
            return AppendQueryParams(path.c_str(), in, false, out, length);
        });
        EXPECT_EQ(result, expected) << input;
    }
    EXPECT_EQ(ExpandKey(std::wstring(kTestPath) + L"\\None", L"h/p"), L"h/p");
}

// The parameter subkey, "\\QueryParams" included, has 259 characters at most;
// the 520-unit piece of each parameter is the fault sweep's.
TEST(AppendQueryParamsTest, ParameterKeyMustFitItsPath)
{
    for (const size_t subkeyLength : {247u, 248u}) {
        const std::wstring keyPath = L"HKCU\\" + std::wstring(subkeyLength, L's');
        DWORD length = 5;
        wchar_t out[5] = L"same";
        EXPECT_EQ(AppendQueryParams(keyPath.c_str(), L"h", false, out, &length),
                  subkeyLength == 247 ? ERROR_SUCCESS : ERANGE);
        EXPECT_EQ(length, subkeyLength == 247 ? 2u : 5u);
    }
}

// The host's keys are the real ones: they are put back as they were, and the
// volatile copy is deleted, as a new boot would, before and after each test.
class HostSubstituteTest : public SubstituteTest
{
protected:
    void SetUp() override
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kHostPath);
        DropVolatileCopy();
    }
    void TearDown() override { DropVolatileCopy(); }

    static void DropVolatileCopy() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVolatileRoot); }

    std::wstring ExpandBoth(const std::wstring& keyPath, const wchar_t* input)
    {
        return Expanded([&](wchar_t* out, DWORD* length) {
            return ExpandWithHostSubstitutes(keyPath.c_str(), input, true, false, out, length, true);
        });
    }

    const ZelTest::ScopedRegistrySnapshot m_host{HKEY_LOCAL_MACHINE, {kHostPath}};
};

TEST_F(HostSubstituteTest, HostWinsAndItsParametersComeFirst)
{
    const std::wstring host = kHostPath;
    ASSERT_NO_FATAL_FAILURE(SetText(host, L"domain", L"host.example", HKEY_LOCAL_MACHINE));
    ASSERT_NO_FATAL_FAILURE(SetText(host, L"lang", L"en", HKEY_LOCAL_MACHINE));
    ASSERT_NO_FATAL_FAILURE(SetText(host + L"\\QueryParams", L"lang", L"en", HKEY_LOCAL_MACHINE));
    const std::wstring product = std::wstring(kTestKey) + L"\\Product";
    ASSERT_NO_FATAL_FAILURE(SetText(product, L"domain", L"product.example"));
    ASSERT_NO_FATAL_FAILURE(SetText(product, L"appcode", L"zel"));
    ASSERT_NO_FATAL_FAILURE(SetText(product + L"\\QueryParams", L"lang", L"de"));
    ASSERT_NO_FATAL_FAILURE(SetText(product + L"\\QueryParams", L"x", L"1"));

    const std::wstring productPath = std::wstring(kTestPath) + L"\\Product";
    EXPECT_EQ(ExpandBoth(productPath, L"https://%domain%/%appcode%/%lang%"),
              L"https://host.example/zel/en?lang=en&x=1");

    // The copy made at the first expansion of this boot is never refreshed.
    ASSERT_NO_FATAL_FAILURE(SetText(host, L"domain", L"changed.example", HKEY_LOCAL_MACHINE));
    EXPECT_EQ(ExpandBoth(productPath, L"%domain%"), L"host.example?lang=en&x=1");
    // The host's own key runs alone, so its current text is used.
    EXPECT_EQ(ExpandBoth(L"hklm\\software\\varkon\\dov\\appinfo\\SUBSTITUTE", L"%domain%"), L"changed.example?lang=en");
    DropVolatileCopy();
    EXPECT_EQ(ExpandBoth(productPath, L"%domain%"), L"changed.example?lang=en&x=1");

    DWORD length = 8;
    wchar_t small[8] = L"same";
    EXPECT_EQ(ExpandWithHostSubstitutes(productPath.c_str(), L"%domain%", true, false, small, &length, true),
              ERROR_MORE_DATA);
    EXPECT_EQ(length, 28u);
    EXPECT_STREQ(small, L"same");
}

// The version record against the product's real keys, whose values are put back.
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

    // Build, version2, appcode and the last update reach the host through the
    // product information and the update address, which the fault sweep reads.
    ZelVersionInfo info;
    LoadZelVersionInfo(info);
    EXPECT_STREQ(info.buildSuffix, L"3038.12");
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
    // The stored build and version2 (none where null), and what the record holds.
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*> cases[] = {
        {L"17.0.", nullptr, L"17.0.", L"17.0", L""},
        {nullptr, L"18.1", L"3038", L"18.1", L""},
        {L"1.2.3", L"x", L"1.2.3", L"x", L"3"},
    };
    for (const auto& [build, version2, expectedBuild, expectedVersion2, suffix] : cases) {
        build ? (void)m_build.SetString(build) : m_build.Delete();
        version2 ? (void)m_version2.SetString(version2) : m_version2.Delete();
        ZelVersionInfo info;
        LoadZelVersionInfo(info);
        EXPECT_STREQ(info.build, expectedBuild);
        EXPECT_STREQ(info.version2, expectedVersion2);
        EXPECT_STREQ(info.buildSuffix, suffix);
    }
}

// An unterminated value is taken only when its terminator fits the 260 units;
// the other forms are the fault sweep's, through the same reader's "Last Update".
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

// Leaves text in the stack memory that the next call from the same frame uses.
void LeaveTextOnTheStack()
{
    wchar_t text[4096];
    for (size_t i = 0; i < std::size(text); ++i)
        text[i] = i % 200 == 199 ? L'\0' : L'S';
    // Reading the text keeps the writes.
    ::lstrlenW(text);
}

// Called through a pointer so that it stays a call of its own.
void (*volatile g_leaveTextOnTheStack)() = LeaveTextOnTheStack;

// A value of no bytes is empty text, expandable or not, whatever the reader's
// buffer held before: the platform expands an expandable one in place.
TEST_F(VersionInfoTest, AnEmptyValueIsEmptyWhateverTheStackHeld)
{
    for (const DWORD type : {REG_SZ, REG_EXPAND_SZ}) {
        ASSERT_TRUE(m_languagePack.Set(type, L"", 0));
        wchar_t field[MAX_PATH];
        g_leaveTextOnTheStack();
        ReadTextField(kProduct, L"Language Pack", field);
        EXPECT_STREQ(field, L"") << type;
    }
}

} // namespace
