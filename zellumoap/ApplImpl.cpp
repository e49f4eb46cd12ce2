#include "zellumoap/ApplImpl.h"

#include "etwlogging/ModuleLogger.h"
#include "plinth/Owners.h"
#include "plinth/RegKey.h"
#include "plinth/WideFormat.h"
#include "resources/ResourceDll.h"
#include "substitute/Substitute.h"
#include "substitute/UsageReport.h"
#include "substitute/ZelVersionInfo.h"
#include "zelcom/ComBoundary.h"
#include "zelcom/CoMemAlloc.h"
#include "zelcom/ResultCode.h"
#include "zelcom/VkCreateInstance.h"
#include "zellumoap/SVkProductInfo.h"

#include <shlobj.h>

#include <cstdint>
#include <cwchar>
#include <iterator>

using ETWLogging::LevelError;
using ETWLogging::LevelNormal;

const wchar_t kZelAppId[] = L"ZEL";
const wchar_t kZelAppIcon[] = L"lumo://vkcobres.dll::icon_m_16x16.gif";
const wchar_t kZelDefaultAppName[] = L"Varkon Parental Controls";

namespace {

constexpr wchar_t kFile[] = L"ApplImpl";
// Result codes of the methods' failed allocations.
constexpr long kOutOfMemory = MakeResultCode(ERROR_OUTOFMEMORY);
constexpr long kNotEnoughMemory = MakeResultCode(ERROR_NOT_ENOUGH_MEMORY);
// The component checker may live in any kind of server.
constexpr DWORD kCheckerContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr wchar_t kUninstallerBelowCommonFiles[] = L"\\Varkon\\Installer\\VkInst.exe";
constexpr wchar_t kUninstallInfoFile[] = L"zelli.inf";
constexpr wchar_t kUninstallSwitch[] = L" /uninstall";

// Text in a fixed buffer that refuses, rather than cuts, what does not fit.
class BoundedText
{
public:
    BoundedText(wchar_t* buffer, size_t size) : m_buffer(buffer), m_size(size) { m_buffer[0] = L'\0'; }

    void Append(const wchar_t* text)
    {
        const size_t length = std::wcslen(text);
        if (!m_fits || m_length + length >= m_size) {
            m_fits = false;
            return;
        }
        std::wmemcpy(m_buffer + m_length, text, length + 1);
        m_length += length;
    }

    bool Fits() const { return m_fits; }
    const wchar_t* Get() const { return m_buffer; }

private:
    wchar_t* m_buffer;
    size_t m_size;
    size_t m_length = 0;
    bool m_fits = true;
};

constexpr wchar_t kUpdateCheckTemplate[] = L"https://%domain%/apps/%appcode%/%lang%/%version2%/chkupd.asp";
constexpr wchar_t kSubstitutionKeyPath[] = L"HKLM\\Software\\Varkon\\ZEL\\AppInfo\\Substitute";
constexpr wchar_t kBuildPrefix[] = L"BuildNumber=";
// The "Build" value's buffer, terminator included.
constexpr size_t kBuildChars = 80;

// The build as a terminated string: REG_SZ or REG_EXPAND_SZ, either empty or
// an even number of bytes ending in the terminator.
bool ReadBuild(Plinth::CRegKey& key, wchar_t (&build)[kBuildChars])
{
    DWORD type = REG_NONE;
    ULONG bytes = sizeof(build);
    if (key.QueryValue(L"Build", &type, build, &bytes) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (bytes == 0) {
        build[0] = L'\0';
        return true;
    }
    return bytes % sizeof(wchar_t) == 0 && build[bytes / sizeof(wchar_t) - 1] == L'\0';
}

// 17.0.3038.0 becomes 17.0.3038; builds of other part counts stay whole.
void CutFourPartBuild(wchar_t* build)
{
    size_t dots = 0;
    wchar_t* lastDot = nullptr;
    for (wchar_t* at = build; *at; ++at) {
        if (*at == L'.') {
            ++dots;
            lastDot = at;
        }
    }
    if (dots == 3 && std::wcslen(build) > 1)
        *lastDot = L'\0';
}

// The checker's text ends in exactly one line feed once these are cut off.
size_t LengthWithoutLineFeeds(const wchar_t* text)
{
    size_t length = std::wcslen(text);
    while (length > 0 && text[length - 1] == L'\n')
        --length;
    return length;
}

// The low 32 bits of a pointer, for a log line that prints it as %08x.
unsigned int LowPointerBits(const void* pointer)
{
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(pointer));
}

// A checker whose creation succeeds without handing out an object counts as
// not created: calling through it would crash the host.
HRESULT CreateChecker(Plinth::ComPtr<IVkVersion>& checker)
{
    const HRESULT hr = VkCreateInstanceNoAuth(CLSID_ComponentVersionProvider, nullptr, kCheckerContext, IID_IVkVersion,
                                              checker.put_void());
    if (hr == S_OK && !checker)
        return E_POINTER;
    return hr;
}

// A method's outcome for the host: the result code in *plResult, S_OK.
HRESULT Answer(long* plResult, long result)
{
    *plResult = result;
    return S_OK;
}

// A method's failed outcome: its error line, logged with the caller's source
// line, then the result code, S_OK.
HRESULT Fail(long* plResult, long result, const wchar_t* function, int sourceLine, const wchar_t* text)
{
    if (ETWLogging::IsLogLevelEnabled(LevelError))
        ETWLogging::WriteLog(LevelError, kFile, function, sourceLine, text);
    return Answer(plResult, result);
}

HRESULT AcknowledgeAction(DWORD, LPCWSTR id, LPWSTR* ppwszResponse, long* plResult)
{
    if (!id || !ppwszResponse || !plResult)
        return E_INVALIDARG;
    return Answer(plResult, 0);
}

} // namespace

HRESULT CZelAppImpl::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkApplicationInfo))
        *ppv = static_cast<IVkApplicationInfo*>(this);
    else if (::IsEqualIID(riid, IID_IVkRecentEventAction))
        *ppv = static_cast<IVkRecentEventAction*>(this);
    else if (::IsEqualIID(riid, IID_IVkLogAction))
        *ppv = static_cast<IVkLogAction*>(this);
    else if (::IsEqualIID(riid, IID_IVkVersion))
        *ppv = static_cast<IVkVersion*>(this);
    else if (::IsEqualIID(riid, IID_IVkApplicationInfo5))
        *ppv = static_cast<IVkApplicationInfo5*>(static_cast<IVkApplicationInfo5Table*>(this));
    else if (::IsEqualIID(riid, IID_IVkApplicationInfo6))
        *ppv = static_cast<IVkApplicationInfo6*>(this);
    else
        return E_NOINTERFACE;
    InternalAddRef();
    return S_OK;
}

HRESULT CZelAppImpl::FinalConstruct()
{
    m_helper = CZelHelper::Create();
    return S_OK;
}

void CZelAppImpl::FinalRelease()
{
    m_helper.reset();
}

STDMETHODIMP CZelAppImpl::GetAppID(LPWSTR* ppwszId, long* plResult)
{
    if (!ppwszId || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        wchar_t* id = Plinth::CoTaskMemStrDup(kZelAppId);
        if (!id)
            return Fail(plResult, kOutOfMemory, L"CZelAppImpl::GetAppID", __LINE__,
                        L"IVkApplicationInfo->GetAppID() failed to allocate memory for app id.\r\n");
        *ppwszId = id;
        ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetAppID",
                L"IVkApplicationInfo->GetAppID() returning appid = [%s]\r\n", id);
        return Answer(plResult, 0);
    });
}

STDMETHODIMP CZelAppImpl::GetAppName(LPWSTR* ppwszName, long* plResult)
{
    if (!ppwszName || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        CCoMemAlloc<wchar_t> name;
        if (LoadResString(kIdsProductName, name) && name.Get()) {
            *ppwszName = name.Detach();
            ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetAppName",
                    L"IVkApplicationInfo->GetAppName() returning appid = [%s]\r\n", *ppwszName);
            return Answer(plResult, 0);
        }
        static_assert(sizeof(kZelDefaultAppName) == 50, "the default name fills its 50-byte buffer");
        // Allocate frees whatever was loaded.
        if (wchar_t* text = name.Allocate(sizeof(kZelDefaultAppName)))
            std::memcpy(text, kZelDefaultAppName, sizeof(kZelDefaultAppName));
        *ppwszName = name.Detach();
        ZEL_LOG(LevelError, kFile, L"CZelAppImpl::GetAppName",
                L"IVkApplicationInfo->GetAppName() Unable to lookup product name from resource file. Using \"%s\" by "
                L"default.",
                kZelDefaultAppName);
        // Success promises a name: a default that could not be copied is a failure.
        return Answer(plResult, *ppwszName ? 0 : kOutOfMemory);
    });
}

STDMETHODIMP CZelAppImpl::GetAppIcon(LPWSTR* ppwszIcon, long* plResult)
{
    if (!ppwszIcon || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kNotEnoughMemory, S_OK, [&]() -> HRESULT {
        *ppwszIcon = Plinth::CoTaskMemStrDup(kZelAppIcon);
        if (!*ppwszIcon)
            return Fail(plResult, kNotEnoughMemory, L"CZelAppImpl::GetAppIcon", __LINE__,
                        L"IVkApplicationInfo->GetAppIcon() failed to allocate memory for app icon.\r\n");
        ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetAppIcon",
                L"IVkApplicationInfo->GetAppIcon() returning icon = [%s]\r\n", *ppwszIcon);
        return Answer(plResult, 0);
    });
}

STDMETHODIMP CZelAppImpl::GetUninstallProgram(LPWSTR* ppwszCommandLine, long* plResult)
{
    if (!ppwszCommandLine || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kNotEnoughMemory, S_OK, [&]() -> HRESULT {
        // Without a fully qualified install directory the line would name a
        // record found relative to whatever the host's current folder is.
        wchar_t record[MAX_PATH] = {};
        const DWORD refusal = GetInstallFilePath(kUninstallInfoFile, record, MAX_PATH);
        if (refusal != ERROR_SUCCESS)
            return Fail(plResult, MakeResultCode(refusal), L"CZelAppImpl::GetUninstallProgram", __LINE__,
                        L"IVkApplicationInfo->GetUninstallProgram() has no fully qualified install directory.\r\n");
        wchar_t argumentBuffer[MAX_PATH];
        BoundedText arguments(argumentBuffer, MAX_PATH);
        arguments.Append(L"\"");
        arguments.Append(record);
        arguments.Append(L"\"");
        arguments.Append(kUninstallSwitch);

        wchar_t commonFiles[MAX_PATH] = {};
        const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMONX86, nullptr, 0, commonFiles);
        if (hr != S_OK)
            return Fail(plResult, MakeResultCode(static_cast<DWORD>(hr)), L"CZelAppImpl::GetUninstallProgram", __LINE__,
                        L"IVkApplicationInfo->GetUninstallProgram() failed to get Common Files Directory path.\r\n");
        wchar_t commandBuffer[MAX_PATH];
        BoundedText command(commandBuffer, MAX_PATH);
        command.Append(L"\"");
        command.Append(commonFiles);
        command.Append(kUninstallerBelowCommonFiles);
        command.Append(L"\" ");
        command.Append(arguments.Get());
        // A cut command line could start another program, or uninstall with
        // another product's information file.
        if (!arguments.Fits() || !command.Fits())
            return Fail(plResult, MakeResultCode(ERROR_INSUFFICIENT_BUFFER), L"CZelAppImpl::GetUninstallProgram",
                        __LINE__,
                        L"IVkApplicationInfo->GetUninstallProgram() uninstall command line does not fit.\r\n");

        *ppwszCommandLine = Plinth::CoTaskMemStrDup(command.Get());
        if (!*ppwszCommandLine)
            return Fail(
                plResult, kNotEnoughMemory, L"CZelAppImpl::GetUninstallProgram", __LINE__,
                L"IVkApplicationInfo->GetUninstallProgram() failed to allocate memory for uninstall program.\r\n");
        ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetUninstallProgram",
                L"IVkApplicationInfo->GetUninstallProgram() returning uninstall program = [%s]\r\n", *ppwszCommandLine);
        return Answer(plResult, 0);
    });
}

STDMETHODIMP CZelAppImpl::GetUserHelperCLSID(CLSID* pClsid, long* plResult)
{
    if (!pClsid || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        *pClsid = CLSID_ZelUserHelper;
        *plResult = 0;
        ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetUserHelperCLSID",
                L"IVkApplicationInfo->GetUserHelperClsID *plResult = %8x\r\n", *plResult);
        return S_OK;
    });
}

STDMETHODIMP CZelAppImpl::CheckComponents(long* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        Plinth::ComPtr<IVkVersion> checker;
        HRESULT hr = CreateChecker(checker);
        if (hr != S_OK) {
            *plResult = MakeResultCode(ERROR_FILE_NOT_FOUND);
            return hr;
        }
        Plinth::UniqueCoTaskMem<wchar_t> missing;
        long checkerResult = 0;
        hr = checker->GetComponentStatus(missing.put(), &checkerResult);
        if (hr != S_OK) {
            *plResult = kOutOfMemory;
            return hr;
        }
        if (checkerResult == kCheckerComponentsMissing && missing) {
            *plResult = MakeResultCode(ERROR_FILE_NOT_FOUND);
            ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::CheckComponents",
                    L"IVkApplicationInfo->CheckComponents() failed. Missing: [%s]\r\n", missing.get());
            return S_OK;
        }
        *plResult = 0;
        ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::CheckComponents", L"IVkApplicationInfo->CheckComponents() ok\r\n");
        return S_OK;
    });
}

STDMETHODIMP CZelAppImpl::GetUpdateInformation(LPCWSTR, LPWSTR* pwszPingUrl, LPWSTR* pwszVersionInfo, long* plResult)
{
    if (!pwszPingUrl || !pwszVersionInfo || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        *pwszPingUrl = nullptr;
        *pwszVersionInfo = nullptr;
        wchar_t url[MAX_PATH];
        DWORD length = MAX_PATH;
        // A failed expansion leaves the buffer undefined: no address is handed out then.
        if (ExpandWithHostSubstitutes(kSubstitutionKeyPath, kUpdateCheckTemplate, true, false, url, &length, true) ==
            ERROR_SUCCESS)
            *pwszPingUrl = Plinth::CoTaskMemStrDup(url);
        long versionResult = 0;
        GetVersionText(pwszVersionInfo, &versionResult);
        if (*pwszPingUrl && *pwszVersionInfo) {
            ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetUpdateInformation",
                    L"IVkApplicationInfo->GetUpdateInformation() PingURL=[%s] Version=[%s]\r\n", *pwszPingUrl,
                    *pwszVersionInfo);
        } else {
            ZEL_LOG(
                LevelError, kFile, L"CZelAppImpl::GetUpdateInformation",
                L"IVkApplicationInfo->GetUpdateInformation() unable to get either ping url or version *pwszPingUrl = "
                L"%08x *pwszVersionInfo = %08x\r\n",
                LowPointerBits(*pwszPingUrl), LowPointerBits(*pwszVersionInfo));
        }
        return Answer(plResult, MakeResultCode(static_cast<DWORD>(versionResult)));
    });
}

namespace {

constexpr wchar_t kProductVersion[] = L"17.0.3038.0";
constexpr unsigned int kProductMajor = 17;
constexpr unsigned int kProductMinor = 0;
// The version texts' buffers, terminator included; longer versions are cut.
constexpr size_t kVersionChars = 65;
constexpr DWORD kProductInfoRecords = 6;

// Keeps the first three parts of a dotted version.
void TrimToThreeParts(wchar_t* version)
{
    size_t dots = 0;
    for (const wchar_t* at = version; *at; ++at)
        dots += *at == L'.' ? 1 : 0;
    for (size_t at = std::wcslen(version); at > 1 && dots >= 3;) {
        --at;
        if (version[at] == L'.') {
            version[at] = L'\0';
            --dots;
        }
    }
}

} // namespace

STDMETHODIMP CZelAppImpl::GetProductInfo(DWORD* pdwCount, VKPRODUCT_INFO** ppInfo, long* plResult)
{
    if (!pdwCount || !ppInfo || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        ZelVersionInfo info{};
        LoadZelVersionInfo(info);
        wchar_t majorMinor[kVersionChars];
        Plinth::FormatWide(majorMinor, kVersionChars, L"%u.%u", kProductMajor, kProductMinor);
        wchar_t version[kVersionChars];
        if (info.version2[0] && info.build[0])
            Plinth::FormatWide(version, kVersionChars, L"%s.%s", info.version2, info.build);
        else
            Plinth::FormatWide(version, kVersionChars, L"%s", kProductVersion);
        TrimToThreeParts(version);

        CCoMemAlloc<wchar_t> majorMinorLabel;
        CCoMemAlloc<wchar_t> versionLabel;
        CCoMemAlloc<wchar_t> buildLabel;
        CCoMemAlloc<wchar_t> languagePackLabel;
        CCoMemAlloc<wchar_t> lastUpdateLabel;
        LoadResString(kIdsMajorMinorLabel, majorMinorLabel);
        LoadResString(kIdsVersionLabel, versionLabel);
        LoadResString(kIdsBuildLabel, buildLabel);
        LoadResString(kIdsLanguagePackLabel, languagePackLabel);
        LoadResString(kIdsLastUpdateLabel, lastUpdateLabel);

        // Records 3 to 5 stay empty: hosts accept null names and values.
        CSVkProductInfo records(kProductInfoRecords);
        records.SetInfo(0, majorMinorLabel.Get(), majorMinor);
        records.SetInfo(1, versionLabel.Get(), version);
        records.SetInfo(2, lastUpdateLabel.Get(), info.lastUpdate);
        *ppInfo = records.Detach();
        // A count without its array would have the host read records from null.
        if (!*ppInfo) {
            *pdwCount = 0;
            return Answer(plResult, kOutOfMemory);
        }
        *pdwCount = kProductInfoRecords;
        return Answer(plResult, 0);
    });
}

STDMETHODIMP CZelAppImpl::GetUsageReport(LPWSTR* ppwszReport, LPWSTR* ppwszSecond, long* plResult)
{
    if (!ppwszReport || !ppwszSecond || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kNotEnoughMemory, S_FALSE, [&]() -> HRESULT {
        *ppwszReport = nullptr;
        *ppwszSecond = static_cast<wchar_t*>(::CoTaskMemAlloc(sizeof(wchar_t)));
        if (*ppwszSecond)
            **ppwszSecond = L'\0';
        const long result = BuildUsageReport(m_helper.get(), ppwszReport);
        *plResult = result;
        return result == 0 ? S_OK : S_FALSE;
    });
}

STDMETHODIMP CZelAppImpl::UnsupportedRequest(LPCWSTR pwszRequest, LPWSTR* ppwszResponse, long* plResult)
{
    if (!pwszRequest || !ppwszResponse || !plResult)
        return E_INVALIDARG;
    return Answer(plResult, MakeResultCode(ERROR_NOT_SUPPORTED));
}

STDMETHODIMP CZelAppImpl::DoRecentEventAction(DWORD dwAction, LPCWSTR pwszEventId, LPWSTR* ppwszResponse,
                                              long* plResult)
{
    return AcknowledgeAction(dwAction, pwszEventId, ppwszResponse, plResult);
}

STDMETHODIMP CZelAppImpl::DoLogAction(DWORD dwAction, LPCWSTR pwszLogId, LPWSTR* ppwszResponse, long* plResult)
{
    return AcknowledgeAction(dwAction, pwszLogId, ppwszResponse, plResult);
}

STDMETHODIMP CZelAppImpl::GetVersionText(LPWSTR* ppwszText, long* plResult)
{
    if (!ppwszText || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        Plinth::CRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, kProductKey, KEY_READ) != ERROR_SUCCESS)
            return E_FAIL;
        wchar_t build[kBuildChars];
        if (!ReadBuild(key, build))
            return E_FAIL;
        CutFourPartBuild(build);

        Plinth::UniqueCoTaskMem<wchar_t> checkerText;
        Plinth::ComPtr<IVkVersion> checker;
        if (CreateChecker(checker) == S_OK) {
            long checkerResult = 0;
            checker->GetVersionText(checkerText.put(), &checkerResult);
        }

        const size_t buildLength = std::wcslen(build);
        const size_t checkerLength = checkerText ? LengthWithoutLineFeeds(checkerText.get()) : 0;
        const bool withChecker = checkerText && checkerText.get()[0] != L'\0';
        const size_t units = std::size(kBuildPrefix) + buildLength + 1 + (withChecker ? checkerLength + 1 : 0);
        auto* text = static_cast<wchar_t*>(::CoTaskMemAlloc(units * sizeof(wchar_t)));
        *ppwszText = text;
        if (!text)
            return Answer(plResult, kOutOfMemory);
        const size_t prefixLength = std::size(kBuildPrefix) - 1;
        std::wmemcpy(text, kBuildPrefix, prefixLength);
        std::wmemcpy(text + prefixLength, build, buildLength);
        size_t at = prefixLength + buildLength;
        text[at++] = L'\n';
        if (withChecker) {
            std::wmemcpy(text + at, checkerText.get(), checkerLength);
            at += checkerLength;
            text[at++] = L'\n';
        }
        text[at] = L'\0';
        return Answer(plResult, 0);
    });
}

STDMETHODIMP CZelAppImpl::GetComponentStatus(LPWSTR* ppwszText, long* plResult)
{
    if (!ppwszText || !plResult)
        return E_INVALIDARG;
    return AnswerWithoutThrowing(plResult, kOutOfMemory, S_OK, [&]() -> HRESULT {
        *ppwszText = nullptr;
        *plResult = 0;
        Plinth::ComPtr<IVkVersion> checker;
        if (CreateChecker(checker) != S_OK)
            return S_OK;
        Plinth::UniqueCoTaskMem<wchar_t> checkerText;
        long checkerResult = 0;
        checker->GetComponentStatus(checkerText.put(), &checkerResult);
        if (!checkerText || checkerText.get()[0] == L'\0')
            return S_OK;
        const size_t length = LengthWithoutLineFeeds(checkerText.get());
        const size_t units = std::wcslen(checkerText.get()) + 2;
        auto* text = static_cast<wchar_t*>(::CoTaskMemAlloc(units * sizeof(wchar_t)));
        *ppwszText = text;
        if (!text)
            return Answer(plResult, kOutOfMemory);
        std::wmemcpy(text, checkerText.get(), length);
        text[length] = L'\n';
        text[length + 1] = L'\0';
        return S_OK;
    });
}

STDMETHODIMP CZelAppImpl::GetAppStatus(DWORD*, long*)
{
    return S_OK;
}

STDMETHODIMP CZelAppImpl::GetAppStatusText(LPWSTR*, long*)
{
    return S_OK;
}

STDMETHODIMP CZelAppImpl::NotifySubscriptionStatusChanged(DWORD, long* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    return Answer(plResult, 0);
}
