// Bad input for every value the module reads: each registry value missing, of
// the wrong type, of odd length, unterminated, empty and at the edges of its
// buffer, and sealed values broken, each run through every method of the
// application-information object. Every answer is held to the one the fixed
// values below give, changed only where the value feeds it.
#include "tests/zellumoap/FaultSupport.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ETWAppProperties.h"
#include "etwlogging/ETWLogging.h"
#include "plinth/Md5.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/ObfuscatedRegKey.h"
#include "substitute/Substitute.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/ScriptedChecker.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TestSigning.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/TrustVerification.h"

using ZelTest::LogCapture;
using ZelTest::ScopedRegistryValue;

namespace {

constexpr wchar_t kAppInfo[] = L"Software\\Varkon\\ZEL\\AppInfo";
constexpr wchar_t kHostParams[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute\\QueryParams";
constexpr wchar_t kCheckerVersion[] = L"ZelLumoAp=17.0.3038.0\n";
constexpr wchar_t kInstallation[] = L"inst-42";
constexpr wchar_t kDate[] = L"2024-05-01";
// The usage report cannot reach the configuration service, whose class the sweep removes.
const std::wstring kReportLogs =
    Line(4, L"TrustVerification", L"VkCreateInstanceVerified",
         L"Refused module [{0192AED2-615F-473E-81B1-F357AB727EAE}]: no registered server file for the class\r\n") +
    Line(4, L"ZelLUMOHelper", L"CZelHelper::createConfig", L"Failed to create ZEL Config instance [0x80070005]\r\n");

// A value as the answer shows it.
std::wstring Quoted(const std::wstring& text)
{
    return L", \"" + text + L"\"";
}
const std::wstring kNull = L", null";
const std::wstring kUnwritten = L", unwritten";

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

Mutation Unterminated(const std::wstring& text)
{
    return Bytes("unterminated", REG_SZ, text.c_str(), text.size() * sizeof(wchar_t));
}

// The terminator's last byte cut off.
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

std::vector<BYTE> SealedBytes(DWORD type, const void* data, size_t bytes)
{
    std::vector<BYTE> sealed(Plinth::kSealedRegistryHeaderBytes + bytes);
    EXPECT_EQ(Plinth::SealRegistryValue(type, data, static_cast<ULONG>(bytes), sealed.data(),
                                        static_cast<ULONG>(sealed.size())),
              ERROR_SUCCESS);
    return sealed;
}

std::vector<BYTE> SealedText(const std::string& text)
{
    return SealedBytes(REG_SZ, text.c_str(), text.size() + 1);
}

// The header's 32-bit field at offset set, with the digest taken again, so
// that only that field is wrong.
std::vector<BYTE> WithField(std::vector<BYTE> sealed, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        sealed[offset + i] = static_cast<BYTE>(value >> (8 * i));
    std::fill(sealed.begin() + 16, sealed.begin() + 32, BYTE{0});
    uint8_t digest[Plinth::kMd5DigestBytes];
    Plinth::Md5(sealed.data(), sealed.size(), digest);
    std::copy(std::begin(digest), std::end(digest), sealed.begin() + 16);
    return sealed;
}

// One bit of the digest flipped.
std::vector<BYTE> BrokenDigest(std::vector<BYTE> sealed)
{
    sealed[20] ^= 0x40;
    return sealed;
}

class FaultSweepTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::CoRegisterClassObject(CLSID_ComponentVersionProvider, static_cast<IVkClassFactory*>(&m_checker),
                                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie),
                  S_OK);
        m_registeredReferences = m_checker.live;
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
                                                                          {&m_lastUpdate, kDate},
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
        SealInstallation(SealedText("inst-42"));
        m_checker.versionHr = m_checker.statusHr = S_OK;
        m_checker.versionResult = m_checker.statusResult = 0;
        m_checker.versionText = kCheckerVersion;
        m_checker.statusText = nullptr;
        m_checker.createsNothing = false;
    }
    void SealInstallation(const std::vector<BYTE>& sealed)
    {
        ASSERT_TRUE(m_installation.Set(REG_BINARY, sealed.data(), static_cast<DWORD>(sealed.size())));
    }

    // Every answer of the baseline values, from those values alone.
    Outcomes Expected() const
    {
        Outcomes o;
        o["GetAppID"] = Describe(S_OK, 0, Quoted(L"ZEL"),
                                 Logged(1, L"GetAppID", L"IVkApplicationInfo->GetAppID() returning appid = [ZEL]\r\n"));
        o["GetAppName"] =
            Describe(S_OK, 0, Quoted(L"Varkon Parental Controls"),
                     Logged(1, L"GetAppName",
                            L"IVkApplicationInfo->GetAppName() returning appid = [Varkon Parental Controls]\r\n"));
        o["GetAppIcon"] = Describe(
            S_OK, 0, Quoted(L"lumo://vkcobres.dll::icon_m_16x16.gif"),
            Logged(1, L"GetAppIcon",
                   L"IVkApplicationInfo->GetAppIcon() returning icon = [lumo://vkcobres.dll::icon_m_16x16.gif]\r\n"));
        UninstallIs(o, ZelTest::BinDir());
        o["GetUserHelperCLSID"] = Describe(
            S_OK, 0, L", {5B35D944-601F-4FAD-B3EB-F282DF421155}",
            Logged(1, L"GetUserHelperCLSID", L"IVkApplicationInfo->GetUserHelperClsID *plResult =        0\r\n"));
        o["CheckComponents"] =
            Describe(S_OK, 0, L"", Logged(1, L"CheckComponents", L"IVkApplicationInfo->CheckComponents() ok\r\n"));
        VersionIs(o, L"17.0.3038", Url());
        ProductInfoIs(o, L"17.0.3038", kDate);
        ReportIs(o, kDate);
        o["UnsupportedRequest"] = Describe(S_OK, 0x08000032, kUnwritten);
        o["DoRecentEventAction"] = o["DoLogAction"] = Describe(S_OK, 0, kUnwritten);
        o["GetComponentStatus"] = Describe(S_OK, 0, kNull);
        // The status methods are placeholders that touch nothing.
        o["GetAppStatus"] = o["GetAppStatus/IVkApplicationInfo6"] = Describe(S_OK, kUntouched, L", status 0xDEADBEEF");
        o["GetAppStatusText"] = o["GetAppStatusText/IVkApplicationInfo6"] = Describe(S_OK, kUntouched, kUnwritten);
        o["NotifySubscriptionStatusChanged"] = Describe(S_OK, 0, L"");
        return o;
    }

    // Sets the baseline, changes it, and holds every method's answer to the
    // baseline's as changed by expect.
    void Sweep(const std::string& what, const std::function<void()>& apply,
               const std::function<void(Outcomes&)>& expect)
    {
        SCOPED_TRACE(what);
        SetBaseline();
        apply();
        Outcomes expected = Expected();
        expect(expected);
        // The host's variables are copied once per boot; a fresh copy per run
        // lets each run see the host values it set.
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\Volatile");
        const Outcomes actual = RunEveryMethod(CreateObject().get());
        ASSERT_EQ(actual.size(), expected.size());
        for (const auto& [method, answer] : expected)
            EXPECT_EQ(actual.at(method), answer) << method;
        // Every reference to the checker is released again.
        EXPECT_EQ(m_checker.live, m_cookie ? m_registeredReferences : 0);
    }
    void Sweep(const char* value, ScopedRegistryValue& scope, const Mutation& mutation,
               const std::function<void(Outcomes&)>& expect)
    {
        const auto apply = [&] {
            if (mutation.missing)
                scope.Delete();
            else
                ASSERT_TRUE(scope.Set(mutation.type, mutation.bytes.data(), static_cast<DWORD>(mutation.bytes.size())));
        };
        Sweep(std::string(value) + ", " + mutation.name, apply, expect);
    }

    static std::wstring Url(const std::wstring& domain = L"update.example", const std::wstring& appcode = L"zel",
                            const std::wstring& lang = L"en", const std::wstring& version2 = L"17.0",
                            const std::wstring& params = L"?affid=77")
    {
        return L"https://" + domain + L"/apps/" + appcode + L"/" + lang + L"/" + version2 + L"/chkupd.asp" + params;
    }
    static std::wstring VersionText(const std::wstring& build, const std::wstring& checker = kCheckerVersion)
    {
        return L"BuildNumber=" + build + L"\n" + checker;
    }
    // The update information as GetUpdateInformation hands it out and logs it.
    static void Update(Outcomes& o, const std::wstring* url, const std::wstring* version)
    {
        const std::wstring log =
            url && version
                ? Logged(1, L"GetUpdateInformation",
                         L"IVkApplicationInfo->GetUpdateInformation() PingURL=[" + *url + L"] Version=[" + *version +
                             L"]\r\n")
                : Logged(4, L"GetUpdateInformation",
                         std::wstring(L"IVkApplicationInfo->GetUpdateInformation() unable to get either ping url or "
                                      L"version *pwszPingUrl = ") +
                             (url ? L"<p>" : L"00000000") + L" *pwszVersionInfo = " + (version ? L"<p>" : L"00000000") +
                             L"\r\n");
        o["GetUpdateInformation"] =
            Describe(S_OK, 0, (url ? Quoted(*url) : kNull) + (version ? Quoted(*version) : kNull), log);
    }
    static void VersionFails(Outcomes& o, const std::wstring& url)
    {
        o["GetVersionText"] = Describe(E_FAIL, kUntouched, kUnwritten);
        Update(o, &url, nullptr);
    }
    static void VersionIs(Outcomes& o, const std::wstring& build, const std::wstring& url)
    {
        const std::wstring text = VersionText(build);
        o["GetVersionText"] = Describe(S_OK, 0, Quoted(text));
        Update(o, &url, &text);
    }
    static void UrlFails(Outcomes& o)
    {
        const std::wstring version = VersionText(L"17.0.3038");
        Update(o, nullptr, &version);
    }
    static void UrlIs(Outcomes& o, const std::wstring& url)
    {
        const std::wstring version = VersionText(L"17.0.3038");
        Update(o, &url, &version);
    }
    // Each record's label is the resource DLL's text for it.
    static void ProductInfoIs(Outcomes& o, const std::wstring& version, const std::wstring& lastUpdate)
    {
        o["GetProductInfo"] =
            Describe(S_OK, 0,
                     L", count 0x00000006, records \"Major.Minor\"=\"17.0\" \"Version\"=\"" + version +
                         L"\" \"Last Update\"=\"" + lastUpdate + L"\" null=null null=null null=null");
    }
    static void ReportIs(Outcomes& o, const std::wstring& date, const std::wstring& domain = L"update.example",
                         const std::wstring& lang = L"en", const std::wstring& installation = kInstallation)
    {
        const std::wstring report = installation + L"\tdate=" + date +
                                    L"\tzel_user_mode=0\tzel_users=0\tzel_non_adult_limited_users=0"
                                    L"\tzel_protected_users=0\tzel_admin_password_set=0\tsource=" +
                                    domain + L"\tlang=" + lang;
        o["GetUsageReport"] = Describe(S_OK, 0, Quoted(report) + Quoted(L""), kReportLogs);
    }
    static void ReportFails(Outcomes& o, long code)
    {
        o["GetUsageReport"] = Describe(S_FALSE, code, kNull + Quoted(L""));
    }
    static void UninstallIs(Outcomes& o, const std::wstring& installDir)
    {
        const std::wstring line =
            ZelTest::kUninstaller + (L"\"" + ZelTest::ShortForm(installDir)) + L"\\zelli.inf\" /uninstall";
        o["GetUninstallProgram"] = Describe(
            S_OK, 0, Quoted(line),
            Logged(1, L"GetUninstallProgram",
                   L"IVkApplicationInfo->GetUninstallProgram() returning uninstall program = [" + line + L"]\r\n"));
    }
    static void UninstallRefused(Outcomes& o, long code)
    {
        o["GetUninstallProgram"] = Describe(
            S_OK, code, kUnwritten,
            Logged(4, L"GetUninstallProgram",
                   L"IVkApplicationInfo->GetUninstallProgram() has no fully qualified install directory.\r\n"));
    }
    static void UninstallDoesNotFit(Outcomes& o)
    {
        o["GetUninstallProgram"] =
            Describe(S_OK, 0x0800007A, kUnwritten,
                     Logged(4, L"GetUninstallProgram",
                            L"IVkApplicationInfo->GetUninstallProgram() uninstall command line does not fit.\r\n"));
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
    LONG m_registeredReferences = 0;
    const ZelTest::ScopedTrustedPublishers m_trusted;
};

// The well-formed values give every method its documented answer, logged
// with the object's source file and the method's qualified name.
TEST_F(FaultSweepTest, BaselineAnswersAreTheWellFormedOnes)
{
    Sweep(
        "baseline", [] {}, [](Outcomes&) {});
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
    // Only a build of exactly four parts loses its last.
    for (const auto& [build, shown] :
         {std::pair{L"17.0.3038", L"17.0.3038"}, std::pair{L"1.2.3.4.5", L"1.2.3.4.5"}, std::pair{L"...", L".."}})
        Sweep("Build", m_build, Text("parts", build), [&, shown = shown](Outcomes& o) { VersionIs(o, shown, url); });

    // "Install Dir": read into 261 units and used only whole in 260, and only
    // fully qualified; the uninstall command line must fit 260, its longest
    // directory below.
    for (const Mutation& m : {Missing(), WrongType(), OddBytes(L"C:\\Varkon"), Unterminated(L"C:\\Varkon"),
                              Chars("260 characters", 260, L'd', L"C:\\"), Chars("261 characters", 261, L'd', L"C:\\")})
        Sweep("Install Dir", m_installDir, m, [&](Outcomes& o) { UninstallRefused(o, 0x08000002); });
    for (const Mutation& m : {Empty(), Text("relative", L"Rel"), Text("drive-relative", L"C:Rel"),
                              Text("REG_EXPAND_SZ", L"%ProgramFiles%\\V", REG_EXPAND_SZ)})
        Sweep("Install Dir", m_installDir, m, [&](Outcomes& o) { UninstallRefused(o, 0x080000A1); });
    Sweep("Install Dir", m_installDir, Chars("259 characters", 259, L'd', L"C:\\"),
          [&](Outcomes& o) { UninstallRefused(o, 0x080000CE); });
    const size_t longest = 259 - std::wcslen(ZelTest::kUninstaller) - std::wcslen(L"\"\\zelli.inf\" /uninstall");
    const std::wstring fits = L"C:\\" + std::wstring(longest - 3, L'd');
    Sweep("Install Dir", m_installDir, Text("command line of 259 units", fits),
          [&](Outcomes& o) { UninstallIs(o, fits); });
    Sweep("Install Dir", m_installDir, Chars("command line of 260 units", longest + 1, L'd', L"C:\\"),
          [&](Outcomes& o) { UninstallDoesNotFit(o); });

    // "Last Update": 260 units for the product information and for the report.
    for (const auto& [m, code] : {std::pair{Missing(), 0x08000002L}, std::pair{WrongType(), 0x0800000DL},
                                  std::pair{Chars("260 characters", 260, L'u'), 0x080000EAL},
                                  std::pair{Chars("261 characters", 261, L'u'), 0x080000EAL}}) {
        Sweep("Last Update", m_lastUpdate, m, [&, code = code](Outcomes& o) {
            ProductInfoIs(o, L"17.0.3038", L"");
            ReportFails(o, code);
        });
    }
    Sweep("Last Update", m_lastUpdate, OddBytes(kDate), [&](Outcomes& o) { ProductInfoIs(o, L"17.0.3038", L""); });
    Sweep("Last Update", m_lastUpdate, Unterminated(kDate), [](Outcomes&) {});
    for (const std::wstring& date : {std::wstring(), std::wstring(259, L'u')}) {
        Sweep("Last Update", m_lastUpdate, Text("empty or 259 characters", date), [&](Outcomes& o) {
            ProductInfoIs(o, L"17.0.3038", date);
            ReportIs(o, date);
        });
    }

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
        ProductInfoIs(o, L"9.9.3038", kDate);
    });
    Sweep("version2", m_version2, Empty(), [&](Outcomes& o) { UrlIs(o, Url(L"update.example", L"zel", L"en", L"")); });
    Sweep("version2", m_version2, Unterminated(L"17.0"), [](Outcomes&) {});
    Sweep("version2", m_version2, OddBytes(L"17.0"), [](Outcomes&) {});
    // The version text is cut to its 65-unit buffer before it is trimmed.
    Sweep("version2", m_version2, Chars("259 characters", 259, L'9'), [&](Outcomes& o) {
        UrlFails(o);
        ProductInfoIs(o, std::wstring(64, L'9'), kDate);
    });
    for (const Mutation& m : {Chars("260 characters", 260, L'9'), Chars("261 characters", 261, L'9')})
        Sweep("version2", m_version2, m, [&](Outcomes& o) { UrlFails(o); });

    // The product's build: the built-in 3038 when it is unusable.
    for (const Mutation& m : {Missing(), WrongType(), OddBytes(L"4000"), Empty(), Chars("260 characters", 260, L'4')})
        Sweep("build", m_subBuild, m, [](Outcomes&) {});
    Sweep("build", m_subBuild, Unterminated(L"4000"), [&](Outcomes& o) { ProductInfoIs(o, L"17.0.4000", kDate); });
    Sweep("build", m_subBuild, Chars("259 characters", 259, L'4'),
          [&](Outcomes& o) { ProductInfoIs(o, L"17.0." + std::wstring(59, L'4'), kDate); });

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
    for (const Mutation& m : {Missing(), WrongType()}) {
        Sweep("domain", m_domain, m, [&](Outcomes& o) {
            UrlIs(o, Url(L"%domain%"));
            ReportIs(o, kDate, L"");
        });
    }
    Sweep("domain", m_domain, Empty(), [&](Outcomes& o) {
        UrlIs(o, Url(L""));
        ReportIs(o, kDate, L"");
    });
    // The report reads the host's texts by the version record's rule: an odd
    // byte count leaves the text out.
    Sweep("domain", m_domain, Unterminated(L"update.example"), [](Outcomes&) {});
    Sweep("domain", m_domain, OddBytes(L"update.example"), [&](Outcomes& o) { ReportIs(o, kDate, L""); });
    const std::wstring longest(259, L'h');
    Sweep("domain", m_domain, Text("259 characters", longest), [&](Outcomes& o) {
        UrlFails(o);
        ReportIs(o, kDate, longest);
    });
    for (const Mutation& m : {Chars("260 characters", 260, L'h'), Chars("261 characters", 261, L'h')}) {
        Sweep("domain", m_domain, m, [&](Outcomes& o) {
            UrlFails(o);
            ReportIs(o, kDate, L"");
        });
    }

    Sweep("lang", m_lang, Missing(), [&](Outcomes& o) {
        UrlIs(o, Url(L"update.example", L"zel", L"%lang%"));
        ReportIs(o, kDate, L"update.example", L"");
    });
    Sweep("lang", m_lang, OddBytes(L"en"), [&](Outcomes& o) { ReportIs(o, kDate, L"update.example", L""); });
    Sweep("lang", m_lang, Chars("261 characters", 261, L'l'), [&](Outcomes& o) {
        UrlFails(o);
        ReportIs(o, kDate, L"update.example", L"");
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
    // The report cannot exist without it: a broken seal, a plain or an empty
    // value fails it with the reading error in the host's form, a missing one
    // with its own, and no other method notices.
    const std::vector<BYTE> good = SealedText("inst-42");
    const std::pair<const char*, std::vector<BYTE>> broken[] = {
        {"digest", BrokenDigest(good)},
        {"cut inside the header", std::vector<BYTE>(good.begin(), good.begin() + 31)},
        // The real type decides what the data is taken as.
        {"real type REG_DWORD", WithField(good, 12, REG_DWORD)},
        {"real type REG_EXPAND_SZ", WithField(good, 12, REG_EXPAND_SZ)},
        {"real type REG_BINARY", WithField(good, 12, REG_BINARY)}};
    for (const auto& [name, sealed] : broken)
        Sweep(
            name, [&, &sealed = sealed] { SealInstallation(sealed); }, [](Outcomes& o) { ReportFails(o, 0x0800000D); });
    for (const Mutation& m : {Text("plain REG_SZ", kInstallation), Bytes("empty REG_BINARY", REG_BINARY, "", 0)})
        Sweep("isdudatali", m_installation, m, [](Outcomes& o) { ReportFails(o, 0x0800000D); });
    Sweep("isdudatali", m_installation, Missing(), [](Outcomes& o) { ReportFails(o, 0x08000002); });

    // The version field is not checked; a multi-string is its first string;
    // text without its zero is taken whole.
    const std::vector<BYTE> taken[] = {WithField(good, 4, 7), WithField(good, 12, REG_MULTI_SZ),
                                       SealedBytes(REG_SZ, "inst-42", 7)};
    for (const std::vector<BYTE>& sealed : taken)
        Sweep(
            "isdudatali, still read", [&] { SealInstallation(sealed); }, [](Outcomes&) {});
    // Sized for the first read of 500 bytes and past it, up to the 1024-unit main part.
    for (size_t chars : {size_t{0}, size_t{467}, size_t{468}, size_t{900}, size_t{1023}, size_t{1024}, size_t{70000}}) {
        const std::string text(chars, 'i');
        Sweep(
            "isdudatali, " + std::to_string(chars) + " characters", [&] { SealInstallation(SealedText(text)); },
            [&](Outcomes& o) {
                if (chars < 1023)
                    ReportIs(o, kDate, L"update.example", L"en", std::wstring(chars, L'i'));
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
        // The text counts whatever the call answers.
        HRESULT versionHr = S_OK;
    } cases[] = {
        {"one line without its end", L"A=1", 0, nullptr, nullptr, false, E_FAIL},
        {"lines with more ends", L"A=1\nB=2\n\n", 0, L"A=1\nB=2\n", L"A=1\nB=2\n", false},
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
        const std::wstring status = c.componentStatus ? c.componentStatus : withLineFeed;
        const auto script = [&] {
            m_checker.versionText = c.text;
            m_checker.versionHr = c.versionHr;
            m_checker.statusText = c.text;
            m_checker.statusResult = c.status;
        };
        Sweep(std::string("checker, ") + c.name, script, [&](Outcomes& o) {
            const std::wstring version = VersionText(L"17.0.3038", withLineFeed);
            o["GetVersionText"] = Describe(S_OK, 0, Quoted(version));
            Update(o, &url, &version);
            o["GetComponentStatus"] = Describe(S_OK, 0, c.version && !c.componentStatus ? kNull : Quoted(status));
            o["CheckComponents"] =
                c.missingLogged
                    ? Describe(S_OK, 0x08000002, L"",
                               Logged(1, L"CheckComponents",
                                      L"IVkApplicationInfo->CheckComponents() failed. Missing: [" + text + L"]\r\n"))
                    : Describe(S_OK, 0, L"",
                               Logged(1, L"CheckComponents", L"IVkApplicationInfo->CheckComponents() ok\r\n"));
        });
    }
    Sweep(
        "checker, status call fails",
        [&] {
            m_checker.statusHr = E_FAIL;
            m_checker.statusText = L"returned despite the failure";
        },
        [&](Outcomes& o) {
            o["CheckComponents"] = Describe(E_FAIL, 0x0800000E, L"");
            o["GetComponentStatus"] = Describe(S_OK, 0, Quoted(L"returned despite the failure\n"));
        });
    // No checker, or one whose creation succeeds with no object: the checker's
    // creation failure, silently, and no call through it.
    const std::pair<HRESULT, std::function<void()>> absent[] = {
        {E_POINTER, [&] { m_checker.createsNothing = true; }},
        {REGDB_E_CLASSNOTREG, [&] {
             ::CoRevokeClassObject(std::exchange(m_cookie, 0));
             ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"CLSID\\{5E3B42BC-7470-413C-8857-98EC8AA2F2F8}");
         }}};
    for (const auto& [hr, apply] : absent) {
        Sweep("checker absent", apply, [&, hr = hr](Outcomes& o) {
            const std::wstring version = VersionText(L"17.0.3038", L"");
            o["GetVersionText"] = Describe(S_OK, 0, Quoted(version));
            Update(o, &url, &version);
            o["GetComponentStatus"] = Describe(S_OK, 0, kNull);
            o["CheckComponents"] = Describe(hr, 0x08000002, L"");
        });
    }
}

// The trusted publishers decide which signed module may create objects; every
// broken form of the sealed list trusts nobody, and the refusal says so.
TEST(SealedPublishersTest, BrokenListsTrustNobody)
{
    const std::wstring module = ZelTest::BinPath(L"ZelLumoAp.dll");
    const std::wstring program = ZelTest::BinPath(L"zellumoap_fault_tests.exe");
    const std::string trusted(kTrustedThumbprint, kTrustedThumbprint + 40);
    const std::string untrusted(kUntrustedThumbprint, kUntrustedThumbprint + 40);
    const auto sealed = [](const std::string& list) { return SealedBytes(REG_MULTI_SZ, list.data(), list.size()); };
    const std::string list = untrusted + '\0' + trusted + '\0' + '\0';
    const std::vector<BYTE> good = sealed(list);
    std::string many;
    for (int i = 0; i < 2000; ++i)
        many += untrusted + '\0';
    const std::wstring wide(list.begin(), list.end());
    const std::vector<BYTE> plain(reinterpret_cast<const BYTE*>(wide.data()),
                                  reinterpret_cast<const BYTE*>(wide.data() + wide.size()));
    const struct
    {
        const char* name;
        std::vector<BYTE> stored;
        DWORD type;
        bool trusts;
    } cases[] = {
        {"sealed list", good, REG_BINARY, true},
        {"digest", BrokenDigest(good), REG_BINARY, false},
        {"real type REG_SZ", WithField(good, 12, REG_SZ), REG_BINARY, false},
        {"plain REG_MULTI_SZ", plain, REG_MULTI_SZ, false},
        {"empty list", sealed(std::string(1, '\0')), REG_BINARY, false},
        {"list without zeros", sealed(trusted), REG_BINARY, false},
        {"thumbprint of 39 digits", sealed(trusted.substr(0, 39) + '\0' + '\0'), REG_BINARY, false},
        {"2001 thumbprints", sealed(many + trusted + '\0' + '\0'), REG_BINARY, true},
    };
    ScopedRegistryValue value(HKEY_LOCAL_MACHINE, kTrustedPublishersKey, kTrustedPublishersValue);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(value.Set(c.type, c.stored.data(), static_cast<DWORD>(c.stored.size())));
        std::vector<std::wstring> thumbprints;
        const bool read = ReadTrustedPublishers(thumbprints);
        std::wstring reason;
        Plinth::UniqueHandle file;
        EXPECT_EQ(SUCCEEDED(OpenVerifiedFile(module.c_str(), thumbprints, file, reason)), c.trusts) << reason;
        LogCapture::Instance().Clear();
        EXPECT_EQ(VerifyCallingModule(reinterpret_cast<const void*>(&Quoted)), E_ACCESSDENIED);
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
    const DWORD plainOne = 1;
    const struct
    {
        const char* name;
        DWORD type;
        std::vector<BYTE> stored;
        LoggerKind kind;
    } cases[] = {
        {"sealed 1", REG_BINARY, good, LoggerKind::File},
        {"digest", REG_BINARY, BrokenDigest(good), LoggerKind::Etw},
        {"sealed 2", REG_BINARY, SealedBytes(REG_DWORD, &two, 4), LoggerKind::Etw},
        {"plain 1", REG_DWORD, Bytes("", REG_DWORD, &plainOne, 4).bytes, LoggerKind::Etw},
        {"sealed text 1", REG_BINARY, SealedBytes(REG_SZ, "1", 2), LoggerKind::Etw},
        {"sealed binary 1", REG_BINARY, SealedBytes(REG_BINARY, &one, 4), LoggerKind::Etw},
        {"sealed REG_QWORD 1", REG_BINARY, SealedBytes(REG_QWORD, &wideOne, 8), LoggerKind::Etw},
        {"sealed DWORD of 8 bytes", REG_BINARY, SealedBytes(REG_DWORD, &wideOne, 8), LoggerKind::Etw},
        // The registry's rule for a short REG_DWORD: the bytes there are, the rest zero.
        {"sealed DWORD of 3 bytes", REG_BINARY, SealedBytes(REG_DWORD, &one, 3), LoggerKind::File},
        {"sealed DWORD of 0 bytes", REG_BINARY, SealedBytes(REG_DWORD, "", 0), LoggerKind::Etw},
    };
    for (const auto& c : cases) {
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
        {"sealed", REG_BINARY, SealedText(guid), true},
        {"lower case", REG_BINARY, SealedText("{a1b2c3d4-0000-1111-2222-333344445555}"), true},
        {"without braces", REG_BINARY, SealedBytes(REG_SZ, guid.c_str() + 1, 37), false},
        {"no terminator", REG_BINARY, SealedBytes(REG_SZ, guid.c_str(), guid.size()), false},
        {"63 characters", REG_BINARY, SealedText(padded), false},
        {"64 characters", REG_BINARY, SealedText(padded + " "), false},
        {"real type REG_DWORD", REG_BINARY, SealedBytes(REG_DWORD, guid.c_str(), 4), false},
        {"plain", REG_SZ, Text("plain", std::wstring(guid.begin(), guid.end())).bytes, false},
        {"empty", REG_BINARY, SealedText(""), false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(value.Set(c.type, c.stored.data(), static_cast<DWORD>(c.stored.size())));
        ETWLogging::internal::ETWAppProperties properties;
        EXPECT_EQ(properties.Init(L"FaultApp"), c.taken) << c.name;
        EXPECT_EQ(::IsEqualGUID(properties.GetProviderGuid(), expected) != FALSE, c.taken) << c.name;
    }
}

// The file writer's "Severity" in the local log.ini: only a verified sealed
// entry counts; anything broken leaves the default, 3. The reader's own
// handling of each header digit is the INI reader's test.
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
    // Hex text of the header: magic 0-7, version 8-15, length 16-23, type 24-31, scheme 32-39.
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
        {"version", edit(header + 8, "02"), 3},
        {"length", edit(header + 16, "05"), 3},
        {"type 2", edit(header + 24, "02"), 3},
        // The digest covers the data bytes only: a header typed as a string
        // opens the integer's bytes as a text without digits, which reads as 0.
        {"type 1", edit(header + 24, "01"), 0},
        {"scheme 0", edit(header + 32, "00"), 3},
        {"data byte", edit(data, sealed[data] == '0' ? "1" : "0"), 3},
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
