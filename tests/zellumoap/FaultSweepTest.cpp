// Bad input for every value the module reads: each registry value missing, of
// the wrong type, of odd length, unterminated, empty and at the edges of its
// buffer, and sealed values with each header field broken, each run through
// every method of the application-information object. A method may answer
// differently only where the value feeds it, and then as documented.
#include "tests/zellumoap/FaultSupport.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ETWAppProperties.h"
#include "etwlogging/ETWLogging.h"
#include "plinth/Md5.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/WideFormat.h"
#include "substitute/Substitute.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/ScriptedChecker.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSigning.h"
#include "zelcom/TrustVerification.h"
#include "zellumoap/ApplImpl.h"

using Plinth::ComPtr;
using ZelTest::LogCapture;
using ZelTest::ScopedRegistryValue;

namespace {

constexpr wchar_t kAppInfo[] = L"Software\\Varkon\\ZEL\\AppInfo";
constexpr wchar_t kHostParams[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute\\QueryParams";
constexpr wchar_t kCheckerVersion[] = L"ZelLumoAp=17.0.3038.0\n";
constexpr wchar_t kInstallation[] = L"inst-42";

// One way to store a value.
struct Mutation
{
    const char* name;
    bool missing = false;
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;
};

Mutation Missing()
{
    return {"missing", true, REG_NONE, {}};
}

Mutation Bytes(const char* name, DWORD type, const void* data, size_t count)
{
    const auto* begin = static_cast<const BYTE*>(data);
    return {name, false, type, std::vector<BYTE>(begin, begin + count)};
}

Mutation Text(const char* name, const std::wstring& text, DWORD type = REG_SZ)
{
    return Bytes(name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// The text without its terminator, or with the terminator's last byte cut off.
Mutation Unterminated(const std::wstring& text)
{
    return Bytes("unterminated", REG_SZ, text.c_str(), text.size() * sizeof(wchar_t));
}

Mutation OddBytes(const std::wstring& text)
{
    return Bytes("odd byte count", REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t) - 1);
}

Mutation WrongType()
{
    const DWORD number = 7;
    return Bytes("REG_DWORD", REG_DWORD, &number, sizeof(number));
}

Mutation Empty()
{
    return Bytes("zero bytes", REG_SZ, L"", 0);
}

// A text of chars characters.
Mutation Chars(const char* name, size_t chars, wchar_t filler = L'x', const std::wstring& prefix = L"")
{
    return Text(name, prefix + std::wstring(chars - prefix.size(), filler));
}

void Apply(ScopedRegistryValue& value, const Mutation& mutation)
{
    if (mutation.missing)
        value.Delete();
    else
        ASSERT_TRUE(value.Set(mutation.type, mutation.bytes.data(), static_cast<DWORD>(mutation.bytes.size())));
}

std::vector<BYTE> SealedBytes(DWORD type, const void* data, size_t bytes)
{
    std::vector<BYTE> sealed(Plinth::kSealedRegistryHeaderBytes + bytes);
    EXPECT_EQ(Plinth::SealRegistryValue(type, data, static_cast<ULONG>(bytes), sealed.data(),
                                        static_cast<ULONG>(sealed.size())),
              ERROR_SUCCESS);
    return sealed;
}

// The digest taken again over the changed blob, so that only the changed field is wrong.
void Redigest(std::vector<BYTE>& sealed)
{
    std::fill(sealed.begin() + 16, sealed.begin() + 32, BYTE{0});
    uint8_t digest[Plinth::kMd5DigestBytes];
    Plinth::Md5(sealed.data(), sealed.size(), digest);
    std::copy(std::begin(digest), std::end(digest), sealed.begin() + 16);
}

void PutField(std::vector<BYTE>& sealed, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        sealed[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

// A sealed value with one header field (or the digest, or a data byte) broken;
// redigested ones have only that field wrong.
struct SealedMutation
{
    const char* name;
    std::function<void(std::vector<BYTE>&)> change;
    bool redigest;
};

std::vector<SealedMutation> SealedHeaderMutations()
{
    return {
        {"magic", [](std::vector<BYTE>& b) { b[0] = 'W'; }, true},
        {"length one more", [](std::vector<BYTE>& b) { PutField(b, 8, static_cast<uint32_t>(b.size() - 31)); }, true},
        {"length one less", [](std::vector<BYTE>& b) { PutField(b, 8, static_cast<uint32_t>(b.size() - 33)); }, true},
        {"length huge", [](std::vector<BYTE>& b) { PutField(b, 8, 0xFFFFFFF0u); }, true},
        {"digest", [](std::vector<BYTE>& b) { b[20] ^= 0x40; }, false},
        {"data byte", [](std::vector<BYTE>& b) { b.back() ^= 0x01; }, false},
        {"cut inside the header", [](std::vector<BYTE>& b) { b.resize(31); }, false},
    };
}

std::vector<BYTE> Broken(std::vector<BYTE> sealed, const SealedMutation& m)
{
    m.change(sealed);
    if (m.redigest)
        Redigest(sealed);
    return sealed;
}

// The sealed value with one header field set and the digest taken again.
std::vector<BYTE> WithField(std::vector<BYTE> sealed, size_t offset, uint32_t value)
{
    PutField(sealed, offset, value);
    Redigest(sealed);
    return sealed;
}

// Runs every method of a fresh object and describes each answer.
Outcomes RunAll(std::vector<std::wstring>* labels = nullptr)
{
    // The host's variables are copied once per boot; a fresh copy per run lets
    // each run see the host values it set.
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\Volatile");
    return RunEveryMethod(CreateObject().get(), labels);
}

class FaultSweepTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::CoRegisterClassObject(CLSID_ComponentVersionProvider, static_cast<IVkClassFactory*>(&m_checker),
                                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie),
                  S_OK);
        SetBaseline();
        m_baseline = RunAll(&m_labels);
        ASSERT_EQ(m_baseline.size(), 19u);
        ASSERT_EQ(m_labels.size(), 3u);
    }
    void TearDown() override
    {
        ::CoRevokeClassObject(m_cookie);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\Volatile");
    }

    void SetBaseline()
    {
        const std::wstring installDir = ZelTest::BinDir();
        const std::pair<ScopedRegistryValue*, const wchar_t*> values[] = {{&m_build, L"17.0.3038.0"},
                                                                          {&m_installDir, installDir.c_str()},
                                                                          {&m_lastUpdate, L"2024-05-01"},
                                                                          {&m_languagePack, L"en-US"},
                                                                          {&m_subBuild, L"3038"},
                                                                          {&m_version2, L"17.0"},
                                                                          {&m_appcode, L"zel"},
                                                                          {&m_gmtdate, nullptr},
                                                                          {&m_domain, L"update.example"},
                                                                          {&m_lang, L"en"},
                                                                          {&m_lcid, nullptr},
                                                                          {&m_affid, nullptr},
                                                                          {&m_paramAffid, L"77"},
                                                                          {&m_paramLang, nullptr},
                                                                          {&m_paramLangid, nullptr},
                                                                          {&m_paramLcid, nullptr}};
        for (const auto& [value, text] : values) {
            if (text)
                ASSERT_TRUE(value->SetString(text));
            else
                value->Delete();
        }
        SealInstallation(SealedText(kInstallation));
        m_checker.versionText = kCheckerVersion;
        m_checker.statusText = nullptr;
        m_checker.statusResult = 0;
    }

    static std::vector<BYTE> SealedText(const std::wstring& text)
    {
        const std::string ansi(text.begin(), text.end());
        return SealedBytes(REG_SZ, ansi.c_str(), ansi.size() + 1);
    }
    void SealInstallation(const std::vector<BYTE>& sealed)
    {
        ASSERT_TRUE(m_installation.Set(REG_BINARY, sealed.data(), static_cast<DWORD>(sealed.size())));
    }

    // Runs one mutation and holds every method's answer to the baseline as
    // changed by expect.
    void Sweep(const std::string& what, const std::function<void()>& apply,
               const std::function<void(Outcomes&)>& expect)
    {
        SCOPED_TRACE(what);
        SetBaseline();
        apply();
        Outcomes expected = m_baseline;
        expect(expected);
        const Outcomes actual = RunAll();
        ASSERT_EQ(actual.size(), expected.size());
        for (const auto& [method, answer] : expected)
            EXPECT_EQ(actual.at(method), answer) << method;
    }
    void Sweep(const char* value, ScopedRegistryValue& scope, const Mutation& mutation,
               const std::function<void(Outcomes&)>& expect)
    {
        Sweep(
            std::string(value) + ", " + mutation.name, [&] { Apply(scope, mutation); }, expect);
    }

    // The answers that depend on the values, as they are with these texts.
    std::wstring Url(const std::wstring& domain = L"update.example", const std::wstring& appcode = L"zel",
                     const std::wstring& lang = L"en", const std::wstring& version2 = L"17.0",
                     const std::wstring& params = L"?affid=77")
    {
        return L"https://" + domain + L"/apps/" + appcode + L"/" + lang + L"/" + version2 + L"/chkupd.asp" + params;
    }
    static std::wstring VersionText(const std::wstring& build, const wchar_t* checker = kCheckerVersion)
    {
        return L"BuildNumber=" + build + L"\n" + checker;
    }
    // The update information as GetUpdateInformation hands it out and logs it.
    static void Update(Outcomes& o, const std::wstring* url, const std::wstring* version)
    {
        const std::wstring shownUrl = url ? *url : L"<null>";
        const std::wstring shownVersion = version ? *version : L"<null>";
        const std::wstring log =
            url && version
                ? Line(1, L"IVkApplicationInfo->GetUpdateInformation() PingURL=[" + *url + L"] Version=[" + *version +
                              L"]\r\n")
                : Line(4, std::wstring(L"IVkApplicationInfo->GetUpdateInformation() unable to get either ping url or "
                                       L"version *pwszPingUrl = ") +
                              (url ? L"<p>" : L"00000000") + L" *pwszVersionInfo = " +
                              (version ? L"<p>" : L"00000000") + L"\r\n");
        o["GetUpdateInformation"] = Describe(S_OK, 0, shownUrl + L" ^ " + shownVersion, log);
    }
    void VersionFails(Outcomes& o, const std::wstring& url)
    {
        o["GetVersionText"] = Describe(E_FAIL, kUntouched, L"<untouched>");
        Update(o, &url, nullptr);
    }
    void VersionIs(Outcomes& o, const std::wstring& build, const std::wstring& url)
    {
        const std::wstring text = VersionText(build);
        o["GetVersionText"] = Describe(S_OK, 0, text);
        Update(o, &url, &text);
    }
    void UrlFails(Outcomes& o) { Update(o, nullptr, &m_versionText); }
    void UrlIs(Outcomes& o, const std::wstring& url) { Update(o, &url, &m_versionText); }
    void ProductInfoIs(Outcomes& o, const std::wstring& version, const std::wstring& lastUpdate)
    {
        o["GetProductInfo"] = Describe(S_OK, 0, ProductInfoText(m_labels, {L"17.0", version, lastUpdate}));
    }
    void ReportIs(Outcomes& o, const std::wstring& date, const std::wstring& domain = L"update.example",
                  const std::wstring& lang = L"en", const std::wstring& installation = kInstallation)
    {
        const std::wstring report = installation + L"\tdate=" + date +
                                    L"\tzel_user_mode=0\tzel_users=0\tzel_non_adult_limited_users=0"
                                    L"\tzel_protected_users=0\tzel_admin_password_set=0\tsource=" +
                                    domain + L"\tlang=" + lang;
        o["GetUsageReport"] = Describe(S_OK, 0, report + L" ^ ", LogsOf(m_baseline.at("GetUsageReport")));
    }
    static void ReportFails(Outcomes& o, long code) { o["GetUsageReport"] = Describe(S_FALSE, code, L"<null> ^ "); }
    void UninstallIs(Outcomes& o, const std::wstring& installDir)
    {
        const std::wstring line = Uninstaller() + L"\"" + ShortPath(installDir) + L"\\zelli.inf\" /uninstall";
        o["GetUninstallProgram"] = Describe(
            S_OK, 0, line,
            Line(1, L"IVkApplicationInfo->GetUninstallProgram() returning uninstall program = [" + line + L"]\r\n"));
    }
    static void UninstallDoesNotFit(Outcomes& o)
    {
        o["GetUninstallProgram"] =
            Describe(S_OK, 0x0800007A, L"<untouched>",
                     Line(4, L"IVkApplicationInfo->GetUninstallProgram() uninstall command line does not fit.\r\n"));
    }

    ScopedRegistryValue m_build{HKEY_LOCAL_MACHINE, kProductKey, L"Build"};
    ScopedRegistryValue m_installDir{HKEY_LOCAL_MACHINE, kProductKey, L"Install Dir"};
    ScopedRegistryValue m_lastUpdate{HKEY_LOCAL_MACHINE, kProductKey, L"Last Update"};
    ScopedRegistryValue m_languagePack{HKEY_LOCAL_MACHINE, kProductKey, L"Language Pack"};
    ScopedRegistryValue m_subBuild{HKEY_LOCAL_MACHINE, kProductSubstituteKey, L"build"};
    ScopedRegistryValue m_version2{HKEY_LOCAL_MACHINE, kProductSubstituteKey, L"version2"};
    ScopedRegistryValue m_appcode{HKEY_LOCAL_MACHINE, kProductSubstituteKey, L"appcode"};
    ScopedRegistryValue m_gmtdate{HKEY_LOCAL_MACHINE, kProductSubstituteKey, L"gmtdate"};
    ZelTest::ScopedRegistryTree m_productParams{HKEY_LOCAL_MACHINE,
                                                std::wstring(kProductSubstituteKey) + L"\\QueryParams"};
    ScopedRegistryValue m_domain{HKEY_LOCAL_MACHINE, kHostSubstituteKey, L"domain"};
    ScopedRegistryValue m_lang{HKEY_LOCAL_MACHINE, kHostSubstituteKey, L"lang"};
    ScopedRegistryValue m_lcid{HKEY_LOCAL_MACHINE, kHostSubstituteKey, L"lcid"};
    ScopedRegistryValue m_affid{HKEY_LOCAL_MACHINE, kHostSubstituteKey, L"affid"};
    ScopedRegistryValue m_paramAffid{HKEY_LOCAL_MACHINE, kHostParams, L"affid"};
    ScopedRegistryValue m_paramLang{HKEY_LOCAL_MACHINE, kHostParams, L"lang"};
    ScopedRegistryValue m_paramLangid{HKEY_LOCAL_MACHINE, kHostParams, L"langid"};
    ScopedRegistryValue m_paramLcid{HKEY_LOCAL_MACHINE, kHostParams, L"lcid"};
    ScopedRegistryValue m_installation{HKEY_LOCAL_MACHINE, kAppInfo, L"isdudatali"};
    ZelTest::ScriptedChecker m_checker;
    DWORD m_cookie = 0;
    Outcomes m_baseline;
    std::vector<std::wstring> m_labels;
    const std::wstring m_versionText = VersionText(L"17.0.3038");
};

TEST_F(FaultSweepTest, BaselineAnswersAreTheWellFormedOnes)
{
    Outcomes expected = m_baseline;
    UrlIs(expected, Url());
    ProductInfoIs(expected, L"17.0.3038", L"2024-05-01");
    ReportIs(expected, L"2024-05-01");
    UninstallIs(expected, ZelTest::BinDir());
    expected["GetVersionText"] = Describe(S_OK, 0, m_versionText);
    expected["GetAppID"] =
        Describe(S_OK, 0, L"ZEL", Line(1, L"IVkApplicationInfo->GetAppID() returning appid = [ZEL]\r\n"));
    expected["GetAppName"] =
        Describe(S_OK, 0, L"Varkon Parental Controls",
                 Line(1, L"IVkApplicationInfo->GetAppName() returning appid = [Varkon Parental Controls]\r\n"));
    expected["CheckComponents"] = Describe(S_OK, 0, L"", Line(1, L"IVkApplicationInfo->CheckComponents() ok\r\n"));
    expected["GetComponentStatus"] = Describe(S_OK, 0, L"<null>");
    for (const auto& [method, answer] : expected)
        EXPECT_EQ(m_baseline.at(method), answer) << method;
    for (const std::wstring& label : m_labels)
        EXPECT_NE(label, L"<null>");
}

TEST_F(FaultSweepTest, ProductKeyValues)
{
    const std::wstring url = Url();
    // "Build": an 80-unit buffer, terminator included.
    for (const Mutation& m : {Missing(), WrongType(), OddBytes(L"17.0.3038.0"), Unterminated(L"17.0.3038.0"),
                              Chars("80 characters", 80, L'8'), Unterminated(std::wstring(80, L'8')),
                              Text("REG_MULTI_SZ", std::wstring(L"1.2\0", 4), REG_MULTI_SZ)})
        Sweep("Build", m_build, m, [&](Outcomes& o) { VersionFails(o, url); });
    Sweep("Build", m_build, Empty(), [&](Outcomes& o) { VersionIs(o, L"", url); });
    Sweep("Build", m_build, Chars("79 characters", 79, L'7'),
          [&](Outcomes& o) { VersionIs(o, std::wstring(79, L'7'), url); });
    Sweep("Build", m_build, Text("REG_EXPAND_SZ", L"%a%.1.2.3", REG_EXPAND_SZ),
          [&](Outcomes& o) { VersionIs(o, L"%a%.1.2", url); });

    // "Install Dir": read into 261 units and used only whole in 260; the
    // uninstall command line must fit 260.
    for (const Mutation& m : {Missing(), WrongType(), OddBytes(L"C:\\Varkon"), Unterminated(L"C:\\Varkon"), Empty(),
                              Chars("260 characters", 260, L'd', L"C:\\"), Chars("261 characters", 261, L'd', L"C:\\")})
        Sweep("Install Dir", m_installDir, m, [&](Outcomes& o) { UninstallIs(o, L""); });
    Sweep("Install Dir", m_installDir, Chars("259 characters", 259, L'd', L"C:\\"),
          [&](Outcomes& o) { UninstallDoesNotFit(o); });
    Sweep("Install Dir", m_installDir, Text("REG_EXPAND_SZ", L"%ProgramFiles%\\V", REG_EXPAND_SZ),
          [&](Outcomes& o) { UninstallIs(o, L"%ProgramFiles%\\V"); });

    // "Last Update": 260 units for the product information and for the report.
    const std::wstring date = L"2024-05-01";
    for (const auto& c : {std::pair{Missing(), 0x08000002L}, std::pair{WrongType(), 0x0800000DL},
                          std::pair{Chars("260 characters", 260, L'u'), 0x080000EAL},
                          std::pair{Chars("261 characters", 261, L'u'), 0x080000EAL}}) {
        Sweep("Last Update", m_lastUpdate, c.first, [&](Outcomes& o) {
            ProductInfoIs(o, L"17.0.3038", L"");
            ReportFails(o, c.second);
        });
    }
    Sweep("Last Update", m_lastUpdate, OddBytes(date), [&](Outcomes& o) { ProductInfoIs(o, L"17.0.3038", L""); });
    Sweep("Last Update", m_lastUpdate, Unterminated(date), [](Outcomes&) {});
    Sweep("Last Update", m_lastUpdate, Empty(), [&](Outcomes& o) {
        ProductInfoIs(o, L"17.0.3038", L"");
        ReportIs(o, L"");
    });
    const std::wstring longest(259, L'u');
    Sweep("Last Update", m_lastUpdate, Text("259 characters", longest), [&](Outcomes& o) {
        ProductInfoIs(o, L"17.0.3038", longest);
        ReportIs(o, longest);
    });

    // "Language Pack" is read with the version record and shown nowhere.
    for (const Mutation& m : {Missing(), WrongType(), OddBytes(L"de"), Unterminated(L"de"), Empty(),
                              Chars("259 characters", 259), Chars("260 characters", 260), Chars("261 characters", 261)})
        Sweep("Language Pack", m_languagePack, m, [](Outcomes&) {});
}

TEST_F(FaultSweepTest, ProductSubstituteValues)
{
    // version2 feeds the address and the product version; an unusable one falls
    // back to the built-in 17.0 for the version and leaves its token in the address.
    const std::wstring tokenLeft = Url(L"update.example", L"zel", L"en", L"%version2%");
    for (const Mutation& m : {Missing(), WrongType()})
        Sweep("version2", m_version2, m, [&](Outcomes& o) { UrlIs(o, tokenLeft); });
    // An expandable string is a version, but no variable.
    Sweep("version2", m_version2, Text("REG_EXPAND_SZ", L"9.9", REG_EXPAND_SZ), [&](Outcomes& o) {
        UrlIs(o, tokenLeft);
        ProductInfoIs(o, L"9.9.3038", L"2024-05-01");
    });
    Sweep("version2", m_version2, Empty(), [&](Outcomes& o) { UrlIs(o, Url(L"update.example", L"zel", L"en", L"")); });
    Sweep("version2", m_version2, Unterminated(L"17.0"), [](Outcomes&) {});
    Sweep("version2", m_version2, OddBytes(L"17.0"), [](Outcomes&) {});
    // The version text is cut to its 65-unit buffer before it is trimmed.
    Sweep("version2", m_version2, Chars("259 characters", 259, L'9'), [&](Outcomes& o) {
        UrlFails(o);
        ProductInfoIs(o, std::wstring(64, L'9'), L"2024-05-01");
    });
    for (const Mutation& m : {Chars("260 characters", 260, L'9'), Chars("261 characters", 261, L'9')})
        Sweep("version2", m_version2, m, [&](Outcomes& o) { UrlFails(o); });

    // The product's build: the built-in 3038 when it is unusable.
    for (const Mutation& m : {Missing(), WrongType(), OddBytes(L"4000"), Empty(), Chars("260 characters", 260, L'4')})
        Sweep("build", m_subBuild, m, [](Outcomes&) {});
    Sweep("build", m_subBuild, Unterminated(L"4000"),
          [&](Outcomes& o) { ProductInfoIs(o, L"17.0.4000", L"2024-05-01"); });
    Sweep("build", m_subBuild, Chars("259 characters", 259, L'4'),
          [&](Outcomes& o) { ProductInfoIs(o, L"17.0." + std::wstring(59, L'4'), L"2024-05-01"); });

    // appcode only feeds the address, whose buffer holds 260 units; a value past
    // its 1040-unit buffer is no variable.
    for (const Mutation& m : {Missing(), WrongType(), Chars("1040 characters", 1040, L'z')})
        Sweep("appcode", m_appcode, m, [&](Outcomes& o) { UrlIs(o, Url(L"update.example", L"%appcode%")); });
    Sweep("appcode", m_appcode, Empty(), [&](Outcomes& o) { UrlIs(o, Url(L"update.example", L"")); });
    Sweep("appcode", m_appcode, Unterminated(L"zel"), [](Outcomes&) {});
    const size_t room = 259 - Url(L"update.example", L"").size();
    Sweep("appcode", m_appcode, Chars("address of 259 units", room, L'z'),
          [&](Outcomes& o) { UrlIs(o, Url(L"update.example", std::wstring(room, L'z'))); });
    for (const Mutation& m : {Chars("address of 260 units", room + 1, L'z'), Chars("1039 characters", 1039, L'z')})
        Sweep("appcode", m_appcode, m, [&](Outcomes& o) { UrlFails(o); });

    // gmtdate: only a 4-byte REG_DWORD other than 0 replaces the last update.
    const DWORD zero = 0;
    const ULONGLONG wide = 1700000000ULL;
    const DWORD date = 1700000000;
    for (const Mutation& m : {Bytes("zero", REG_DWORD, &zero, 4), Bytes("three bytes", REG_DWORD, &date, 3),
                              Bytes("REG_QWORD", REG_QWORD, &wide, 8), Bytes("REG_BINARY", REG_BINARY, &date, 4),
                              Text("REG_SZ", L"1700000000")})
        Sweep("gmtdate", m_gmtdate, m, [](Outcomes&) {});
}

TEST_F(FaultSweepTest, HostSubstituteValues)
{
    // domain reaches the address through the per-boot copy, which keeps the
    // stored type and bytes, and the report through a 260-unit read.
    const std::wstring domainLeft = Url(L"%domain%");
    for (const Mutation& m : {Missing(), WrongType()}) {
        Sweep("domain", m_domain, m, [&](Outcomes& o) {
            UrlIs(o, domainLeft);
            ReportIs(o, L"2024-05-01", L"");
        });
    }
    Sweep("domain", m_domain, Empty(), [&](Outcomes& o) {
        UrlIs(o, Url(L""));
        ReportIs(o, L"2024-05-01", L"");
    });
    // The report reads the host's texts by the version record's rule: an odd
    // byte count leaves the text out.
    Sweep("domain", m_domain, Unterminated(L"update.example"), [](Outcomes&) {});
    Sweep("domain", m_domain, OddBytes(L"update.example"), [&](Outcomes& o) { ReportIs(o, L"2024-05-01", L""); });
    const std::wstring longest(259, L'h');
    Sweep("domain", m_domain, Text("259 characters", longest), [&](Outcomes& o) {
        UrlFails(o);
        ReportIs(o, L"2024-05-01", longest);
    });
    for (const Mutation& m : {Chars("260 characters", 260, L'h'), Chars("261 characters", 261, L'h')}) {
        Sweep("domain", m_domain, m, [&](Outcomes& o) {
            UrlFails(o);
            ReportIs(o, L"2024-05-01", L"");
        });
    }

    Sweep("lang", m_lang, Missing(), [&](Outcomes& o) {
        UrlIs(o, Url(L"update.example", L"zel", L"%lang%"));
        ReportIs(o, L"2024-05-01", L"update.example", L"");
    });
    Sweep("lang", m_lang, OddBytes(L"en"), [&](Outcomes& o) { ReportIs(o, L"2024-05-01", L"update.example", L""); });
    Sweep("lang", m_lang, Chars("261 characters", 261, L'l'), [&](Outcomes& o) {
        UrlFails(o);
        ReportIs(o, L"2024-05-01", L"update.example", L"");
    });

    // Query parameters: only REG_SZ values count, each piece within 520 units.
    const std::wstring noParams = Url(L"update.example", L"zel", L"en", L"17.0", L"");
    for (const Mutation& m :
         {Missing(), WrongType(), Chars("piece of 520 units", 513, L'7'), Chars("1040 characters", 1040, L'7')})
        Sweep("QueryParams affid", m_paramAffid, m, [&](Outcomes& o) { UrlIs(o, noParams); });
    Sweep("QueryParams affid", m_paramAffid, Empty(),
          [&](Outcomes& o) { UrlIs(o, Url(L"update.example", L"zel", L"en", L"17.0", L"?affid=")); });
    Sweep("QueryParams affid", m_paramAffid, Unterminated(L"77"), [](Outcomes&) {});
    Sweep("QueryParams affid", m_paramAffid, Chars("piece of 519 units", 512, L'7'), [&](Outcomes& o) { UrlFails(o); });
}

TEST_F(FaultSweepTest, SealedInstallationText)
{
    // The report cannot exist without it: every broken form fails it with the
    // reading error in the host's form, and no other method notices.
    const std::vector<BYTE> good = SealedText(kInstallation);
    for (const SealedMutation& m : SealedHeaderMutations())
        Sweep(
            std::string("isdudatali, ") + m.name, [&] { SealInstallation(Broken(good, m)); },
            [](Outcomes& o) { ReportFails(o, 0x0800000D); });
    for (const Mutation& m : {Text("plain REG_SZ", kInstallation), Bytes("empty REG_BINARY", REG_BINARY, "", 0)})
        Sweep("isdudatali", m_installation, m, [](Outcomes& o) { ReportFails(o, 0x0800000D); });
    Sweep("isdudatali", m_installation, Missing(), [](Outcomes& o) { ReportFails(o, 0x08000002); });

    // The real type decides what the data is taken as; the version field is not checked.
    const struct
    {
        const char* name;
        size_t offset;
        uint32_t value;
        long result;
    } fields[] = {{"real type REG_DWORD", 12, REG_DWORD, 0x0800000D},
                  {"real type REG_EXPAND_SZ", 12, REG_EXPAND_SZ, 0x0800000D},
                  {"real type REG_BINARY", 12, REG_BINARY, 0x0800000D},
                  {"real type REG_MULTI_SZ", 12, REG_MULTI_SZ, 0},
                  {"version 7", 4, 7, 0}};
    for (const auto& f : fields) {
        Sweep(
            std::string("isdudatali, ") + f.name, [&] { SealInstallation(WithField(good, f.offset, f.value)); },
            [&](Outcomes& o) {
                if (f.result)
                    ReportFails(o, f.result);
            });
    }
    // Text without its zero is taken whole.
    Sweep(
        "isdudatali, no terminator", [&] { SealInstallation(SealedBytes(REG_SZ, "inst-42", 7)); }, [](Outcomes&) {});
    Sweep(
        "isdudatali, empty text", [&] { SealInstallation(SealedBytes(REG_SZ, "", 1)); },
        [&](Outcomes& o) { ReportIs(o, L"2024-05-01", L"update.example", L"en", L""); });
    // Sized for the first read of 500 bytes and past it, up to the 1024-unit main part.
    for (size_t chars : {size_t{467}, size_t{468}, size_t{900}, size_t{1023}, size_t{1024}, size_t{70000}}) {
        const std::wstring text(chars, L'i');
        Sweep(
            "isdudatali, " + std::to_string(chars) + " characters", [&] { SealInstallation(SealedText(text)); },
            [&](Outcomes& o) {
                if (chars < 1023)
                    ReportIs(o, L"2024-05-01", L"update.example", L"en", text);
                else
                    ReportFails(o, 0x080000EA);
            });
    }
}

TEST_F(FaultSweepTest, ComponentCheckerAnswers)
{
    const std::wstring url = Url();
    const std::wstring huge(100000, L'c');
    const struct
    {
        const char* name;
        const wchar_t* text;
        long status;
        const wchar_t* version;
        const wchar_t* componentStatus;
        bool missingLogged;
    } cases[] = {
        {"no text", nullptr, 0, L"", nullptr, false},
        {"empty text", L"", 0, L"", nullptr, false},
        {"line feeds only", L"\n\n\n", 0, L"\n", L"\n", false},
        {"carriage returns kept", L"A\r", 0x08020000, L"A\r\n", L"A\r\n", true},
        {"missing list without text", nullptr, 0x08020000, L"", nullptr, false},
        // Only the missing-list code makes the text a list of missing components.
        {"text under another code", L"B=2", 0x08000002, nullptr, nullptr, false},
        {"100000 characters", huge.c_str(), 0x08020000, nullptr, nullptr, true},
    };
    for (const auto& c : cases) {
        const std::wstring text = c.text ? c.text : L"";
        const std::wstring withLineFeed = c.version ? c.version : text + L"\n";
        const std::wstring status = c.componentStatus ? c.componentStatus : (c.version ? L"<null>" : withLineFeed);
        Sweep(
            std::string("checker, ") + c.name,
            [&] {
                m_checker.versionText = c.text;
                m_checker.statusText = c.text;
                m_checker.statusResult = c.status;
            },
            [&](Outcomes& o) {
                const std::wstring version = VersionText(L"17.0.3038", withLineFeed.c_str());
                o["GetVersionText"] = Describe(S_OK, 0, version);
                Update(o, &url, &version);
                o["GetComponentStatus"] = Describe(S_OK, 0, status);
                o["CheckComponents"] =
                    c.missingLogged ? Describe(S_OK, 0x08000002, L"",
                                               Line(1, L"IVkApplicationInfo->CheckComponents() failed. Missing: [" +
                                                           text + L"]\r\n"))
                                    : Describe(S_OK, 0, L"", Line(1, L"IVkApplicationInfo->CheckComponents() ok\r\n"));
            });
    }
}

// The trusted publishers decide which signed module may create objects; every
// broken form of the sealed list trusts nobody, and the refusal says so.
TEST(SealedPublishersTest, BrokenListsTrustNobody)
{
    const std::wstring module = ZelTest::BinPath(L"ZelLumoAp.dll");
    const void* here = reinterpret_cast<const void*>(&RunAll);
    const std::wstring program = ZelTest::BinPath(L"zellumoap_fault_tests.exe");
    const std::wstring trusted = kTrustedThumbprint;
    const std::wstring list = std::wstring(kUntrustedThumbprint) + L'\0' + trusted + L'\0' + L'\0';
    const std::string ansi(list.begin(), list.end());
    const std::vector<BYTE> good = SealedBytes(REG_MULTI_SZ, ansi.data(), ansi.size());
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kTrustedPublishersKey, kTrustedPublishersValue);

    struct Case
    {
        std::string name;
        std::vector<BYTE> stored;
        DWORD type;
        bool trusts;
    };
    std::vector<Case> cases = {{"sealed list", good, REG_BINARY, true}};
    for (const SealedMutation& m : SealedHeaderMutations())
        cases.push_back({m.name, Broken(good, m), REG_BINARY, false});
    cases.push_back({"real type REG_SZ", WithField(good, 12, REG_SZ), REG_BINARY, false});
    const std::vector<BYTE> plain(reinterpret_cast<const BYTE*>(list.data()),
                                  reinterpret_cast<const BYTE*>(list.data() + list.size()));
    cases.push_back({"plain REG_MULTI_SZ", plain, REG_MULTI_SZ, false});
    cases.push_back({"empty list", SealedBytes(REG_MULTI_SZ, "\0", 1), REG_BINARY, false});
    const std::string unterminated(trusted.begin(), trusted.end());
    cases.push_back(
        {"list without zeros", SealedBytes(REG_MULTI_SZ, unterminated.data(), unterminated.size()), REG_BINARY, false});
    const std::string cut = unterminated.substr(0, 39) + '\0' + '\0';
    cases.push_back({"thumbprint of 39 digits", SealedBytes(REG_MULTI_SZ, cut.data(), cut.size()), REG_BINARY, false});
    std::string many;
    for (int i = 0; i < 2000; ++i)
        many += std::string(kUntrustedThumbprint, kUntrustedThumbprint + 40) + '\0';
    many += unterminated + '\0' + '\0';
    cases.push_back({"2001 thumbprints", SealedBytes(REG_MULTI_SZ, many.data(), many.size()), REG_BINARY, true});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(value.Set(c.type, c.stored.data(), static_cast<DWORD>(c.stored.size())));
        std::vector<std::wstring> thumbprints;
        const bool read = ReadTrustedPublishers(thumbprints);
        std::wstring reason;
        Plinth::UniqueHandle file;
        EXPECT_EQ(SUCCEEDED(OpenVerifiedFile(module.c_str(), thumbprints, file, reason)), c.trusts) << reason;
        LogCapture::Instance().Clear();
        EXPECT_EQ(VerifyCallingModule(here), E_ACCESSDENIED);
        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, 4u);
        EXPECT_EQ(records[0].text, L"Refused module [" + program + L"]: " +
                                       (read ? L"the file is not signed" : L"no trusted publishers are configured") +
                                       L"\r\n");
    }
    value.Delete();
    std::vector<std::wstring> none;
    EXPECT_FALSE(ReadTrustedPublishers(none));
}

enum class LoggerKind
{
    None,
    File,
    Etw
};

LoggerKind MakeLogger()
{
    ETWLogging::CDefaultLogBuilder builder;
    ETWLogging::CLoggingIf* out = nullptr;
    if (!builder.CreateLoggerEx(nullptr, L"FaultSweep", nullptr, nullptr, 0, &out, nullptr) || !out)
        return LoggerKind::None;
    const LoggerKind kind = dynamic_cast<ETWLogging::CLogging*>(out)      ? LoggerKind::File
                            : dynamic_cast<ETWLogging::CETWLogging*>(out) ? LoggerKind::Etw
                                                                          : LoggerKind::None;
    out->Release();
    return kind;
}

// Only a sealed REG_DWORD of 1 selects the file writer; anything else the ETW provider.
TEST(SealedLoggingMechanismTest, OnlyAWellSealedOneSelectsFiles)
{
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath, ETWLogging::kLoggingMechanism);
    const DWORD one = 1;
    const DWORD two = 2;
    const ULONGLONG wideOne = 1;
    const std::vector<BYTE> good = SealedBytes(REG_DWORD, &one, 4);
    struct Case
    {
        std::string name;
        DWORD type;
        std::vector<BYTE> stored;
        LoggerKind kind;
    };
    std::vector<Case> cases = {
        {"sealed 1", REG_BINARY, good, LoggerKind::File},
        {"sealed 2", REG_BINARY, SealedBytes(REG_DWORD, &two, 4), LoggerKind::Etw},
        {"plain 1", REG_DWORD, std::vector<BYTE>(4, 0), LoggerKind::Etw},
        {"sealed text 1", REG_BINARY, SealedBytes(REG_SZ, "1", 2), LoggerKind::Etw},
        {"sealed binary 1", REG_BINARY, SealedBytes(REG_BINARY, &one, 4), LoggerKind::Etw},
        {"sealed REG_QWORD 1", REG_BINARY, SealedBytes(REG_QWORD, &wideOne, 8), LoggerKind::Etw},
        {"sealed DWORD of 8 bytes", REG_BINARY, SealedBytes(REG_DWORD, &wideOne, 8), LoggerKind::Etw},
        // The registry's rule for a short REG_DWORD: the bytes there are, the rest zero.
        {"sealed DWORD of 3 bytes", REG_BINARY, SealedBytes(REG_DWORD, &one, 3), LoggerKind::File},
        {"sealed DWORD of 0 bytes", REG_BINARY, SealedBytes(REG_DWORD, "", 0), LoggerKind::Etw},
    };
    cases[2].stored[0] = 1;
    for (const SealedMutation& m : SealedHeaderMutations())
        cases.push_back({m.name, REG_BINARY, Broken(good, m), LoggerKind::Etw});
    for (const Case& c : cases) {
        ASSERT_TRUE(value.Set(c.type, c.stored.data(), static_cast<DWORD>(c.stored.size())));
        EXPECT_EQ(MakeLogger(), c.kind) << c.name;
    }
    value.Delete();
    EXPECT_EQ(MakeLogger(), LoggerKind::Etw);
}

void SealText(const std::wstring& path, const wchar_t* name, const wchar_t* text)
{
    Plinth::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(name, text), ERROR_SUCCESS);
}

// The trace configuration of an application: its GUID texts are read into a
// 64-unit buffer, and only a well-formed sealed braced GUID is taken.
TEST(SealedLoggingConfigurationTest, ProviderGuidMustBeAWellFormedSealedGuid)
{
    const std::wstring app = L"SOFTWARE\\Varkon.logging\\FaultApp";
    ZelTest::ScopedRegistryTree tree(HKEY_LOCAL_MACHINE, app);
    SealText(app + L"\\Controller", L"Controller Path", L"C:\\ctl.exe");
    SealText(app + L"\\Controller", L"Owner Mutex Name", L"Global\\FaultOwner");
    SealText(app + L"\\Session", L"Session ID Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF01}");
    SealText(app + L"\\Session", L"Session Name", L"FaultSession");
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, app + L"\\Provider", L"Provider Guid");
    const std::string guid = "{A1B2C3D4-0000-1111-2222-333344445555}";
    const GUID expected = {0xA1B2C3D4, 0x0000, 0x1111, {0x22, 0x22, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55}};
    const std::string padded = guid + std::string(63 - guid.size(), ' ');
    const struct
    {
        const char* name;
        DWORD type;
        std::vector<BYTE> stored;
        bool taken;
    } cases[] = {
        {"sealed", REG_BINARY, SealedBytes(REG_SZ, guid.c_str(), guid.size() + 1), true},
        {"lower case", REG_BINARY, SealedBytes(REG_SZ, "{a1b2c3d4-0000-1111-2222-333344445555}", 39), true},
        {"without braces", REG_BINARY, SealedBytes(REG_SZ, guid.c_str() + 1, 37), false},
        {"no terminator", REG_BINARY, SealedBytes(REG_SZ, guid.c_str(), guid.size()), false},
        {"63 characters", REG_BINARY, SealedBytes(REG_SZ, padded.c_str(), 64), false},
        {"64 characters", REG_BINARY, SealedBytes(REG_SZ, (padded + " ").c_str(), 65), false},
        {"real type REG_DWORD", REG_BINARY, SealedBytes(REG_DWORD, guid.c_str(), 4), false},
        {"plain", REG_SZ, Text("plain", std::wstring(guid.begin(), guid.end())).bytes, false},
        {"empty", REG_BINARY, SealedBytes(REG_SZ, "", 1), false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(value.Set(c.type, c.stored.data(), static_cast<DWORD>(c.stored.size())));
        ETWLogging::internal::ETWAppProperties properties;
        EXPECT_EQ(properties.Init(L"FaultApp"), c.taken) << c.name;
        EXPECT_EQ(::IsEqualGUID(properties.GetProviderGuid(), expected) != FALSE, c.taken) << c.name;
    }
}

// The file writer's "Severity" in the local log.ini: only a verified sealed
// entry counts; anything broken leaves the default, 3.
TEST(SealedLogIniTest, BrokenEntriesLeaveTheDefault)
{
    ZelTest::TempFolder root(L"faultini");
    const std::wstring folder = root.Path() + L"\\Varkon\\VKLOGS\\Grp\\zellumoap_fault_tests";
    const std::wstring ini = folder + L"\\log.ini";
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    {
        Plinth::CObfuscatedIniReader writer(true);
        writer.Load(ini);
        ASSERT_TRUE(writer.WriteInt(L"Config", L"Severity", 1));
    }
    std::string sealed;
    {
        FILE* file = _wfopen(ini.c_str(), L"rb");
        ASSERT_TRUE(file);
        char buffer[4096];
        sealed.assign(buffer, fread(buffer, 1, sizeof(buffer), file));
        fclose(file);
    }
    const size_t header = sealed.find("_Severity=") + 10;
    const size_t data = sealed.find("\nSeverity=") + 10;
    ASSERT_NE(sealed.find("564B5247", header), std::string::npos);
    // Hex text of the header: magic 0-7, version 8-15, length 16-23, type 24-31,
    // scheme 32-39, digest 40-71, checksum 72-73.
    const auto edit = [&](size_t at, const char* digits) {
        std::string text = sealed;
        text.replace(at, std::strlen(digits), digits);
        return text;
    };
    static const char kBinary[] = "\xFF\xFE\0[\0C\0\x01\x02";
    const struct
    {
        const char* name;
        std::string file;
        DWORD severity;
    } cases[] = {
        {"sealed 1", sealed, 1},
        {"plain 1", "[Config]\r\nSeverity=1\r\n", 3},
        {"magic", edit(header, "564B5248"), 3},
        {"version", edit(header + 8, "02"), 3},
        {"length", edit(header + 16, "05"), 3},
        {"type 2", edit(header + 24, "02"), 3},
        // The digest covers the data bytes only: a header typed as a string
        // opens the integer's bytes as a text without digits, which reads as 0.
        {"type 1", edit(header + 24, "01"), 0},
        {"scheme 0", edit(header + 32, "00"), 3},
        {"digest", edit(header + 40, sealed[header + 40] == '0' ? "1" : "0"), 3},
        {"checksum only", edit(header + 72, sealed[header + 72] == '0' ? "1" : "0"), 1},
        {"data byte", edit(data, sealed[data] == '0' ? "1" : "0"), 3},
        {"header of 73 characters", sealed.substr(0, header + 73) + sealed.substr(header + 74), 3},
        {"header of 75 characters", sealed.substr(0, header + 74) + "0" + sealed.substr(header + 74), 3},
        {"header without data", sealed.substr(0, data - 10), 3},
        {"line of 1500 bytes", "[Config]\r\nSeverity=" + std::string(1500, '1') + "\r\n", 3},
        {"no line end", sealed.substr(0, sealed.find_last_not_of("\r\n") + 1), 1},
        {"binary", std::string(kBinary, sizeof(kBinary) - 1), 3},
        {"empty", "", 3},
    };
    for (const auto& c : cases) {
        FILE* file = _wfopen(ini.c_str(), L"wb");
        ASSERT_TRUE(file);
        fwrite(c.file.data(), 1, c.file.size(), file);
        fclose(file);
        ZelTest::RootedLogging log(root.Path());
        ASSERT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u) << c.name;
        EXPECT_EQ(log.GetSeverity(), c.severity) << c.name;
    }
    ::DeleteFileW(ini.c_str());
    ASSERT_TRUE(::CreateDirectoryW(ini.c_str(), nullptr));
    ZelTest::RootedLogging log(root.Path());
    EXPECT_EQ(log.Init(L"Grp", nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(log.GetSeverity(), 3u);
}

} // namespace
