#include "ApplImpl.h"

#include "../etwlogging/ModuleLogger.h"
#include "../plinth/Owners.h"
#include "CoMemAlloc.h"
#include "ResultCode.h"
#include "VkCreateInstance.h"
#include "resources/ResourceDll.h"

#include <shlobj.h>

#include <cwchar>

using ETWLogging::LevelError;
using ETWLogging::LevelNormal;

const wchar_t kZelAppId[] = L"ZEL";
const wchar_t kZelAppIcon[] = L"lumo://vkcobres.dll::icon_m_16x16.gif";
const wchar_t kZelDefaultAppName[] = L"Varkon Parental Controls";

namespace {

constexpr wchar_t kFile[] = L"ApplImpl";
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

STDMETHODIMP CZelAppImpl::GetAppID(LPWSTR* ppwszId, long* plResult)
{
    if (!ppwszId || !plResult)
        return E_INVALIDARG;
    wchar_t* id = Plinth::CoTaskMemStrDup(kZelAppId);
    if (!id) {
        ZEL_LOG(LevelError, kFile, L"CZelAppImpl::GetAppID",
                L"IVkApplicationInfo->GetAppID() failed to allocate memory for app id.\r\n");
        *plResult = MakeResultCode(ERROR_OUTOFMEMORY);
        return S_OK;
    }
    *ppwszId = id;
    ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetAppID", L"IVkApplicationInfo->GetAppID() returning appid = [%s]\r\n",
            id);
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CZelAppImpl::GetAppName(LPWSTR* ppwszName, long* plResult)
{
    if (!ppwszName || !plResult)
        return E_INVALIDARG;
    CCoMemAlloc<wchar_t> name;
    if (LoadResString(kIdsProductName, name) && name.Get()) {
        *ppwszName = name.Detach();
        ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetAppName",
                L"IVkApplicationInfo->GetAppName() returning appid = [%s]\r\n", *ppwszName);
        *plResult = 0;
        return S_OK;
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
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CZelAppImpl::GetAppIcon(LPWSTR* ppwszIcon, long* plResult)
{
    if (!ppwszIcon || !plResult)
        return E_INVALIDARG;
    *ppwszIcon = Plinth::CoTaskMemStrDup(kZelAppIcon);
    if (!*ppwszIcon) {
        ZEL_LOG(LevelError, kFile, L"CZelAppImpl::GetAppIcon",
                L"IVkApplicationInfo->GetAppIcon() failed to allocate memory for app icon.\r\n");
        *plResult = MakeResultCode(ERROR_NOT_ENOUGH_MEMORY);
        return S_OK;
    }
    ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetAppIcon",
            L"IVkApplicationInfo->GetAppIcon() returning icon = [%s]\r\n", *ppwszIcon);
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CZelAppImpl::GetUninstallProgram(LPWSTR* ppwszCommandLine, long* plResult)
{
    if (!ppwszCommandLine || !plResult)
        return E_INVALIDARG;
    wchar_t installDir[MAX_PATH] = {};
    GetInstallDir(installDir, MAX_PATH, true);
    wchar_t argumentBuffer[MAX_PATH];
    BoundedText arguments(argumentBuffer, MAX_PATH);
    arguments.Append(L"\"");
    arguments.Append(installDir);
    arguments.Append(L"\\");
    arguments.Append(kUninstallInfoFile);
    arguments.Append(L"\"");
    arguments.Append(kUninstallSwitch);

    wchar_t commonFiles[MAX_PATH] = {};
    const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMONX86, nullptr, 0, commonFiles);
    if (hr != S_OK) {
        ZEL_LOG(LevelError, kFile, L"CZelAppImpl::GetUninstallProgram",
                L"IVkApplicationInfo->GetUninstallProgram() failed to get Common Files Directory path.\r\n");
        *plResult = MakeResultCode(static_cast<DWORD>(hr));
        return S_OK;
    }
    wchar_t commandBuffer[MAX_PATH];
    BoundedText command(commandBuffer, MAX_PATH);
    command.Append(L"\"");
    command.Append(commonFiles);
    command.Append(kUninstallerBelowCommonFiles);
    command.Append(L"\" ");
    command.Append(arguments.Get());
    // A cut command line could start another program, or uninstall with
    // another product's information file.
    if (!arguments.Fits() || !command.Fits()) {
        ZEL_LOG(LevelError, kFile, L"CZelAppImpl::GetUninstallProgram",
                L"IVkApplicationInfo->GetUninstallProgram() uninstall command line does not fit.\r\n");
        *plResult = MakeResultCode(ERROR_INSUFFICIENT_BUFFER);
        return S_OK;
    }

    *ppwszCommandLine = Plinth::CoTaskMemStrDup(command.Get());
    if (!*ppwszCommandLine) {
        ZEL_LOG(LevelError, kFile, L"CZelAppImpl::GetUninstallProgram",
                L"IVkApplicationInfo->GetUninstallProgram() failed to allocate memory for uninstall program.\r\n");
        *plResult = MakeResultCode(ERROR_NOT_ENOUGH_MEMORY);
        return S_OK;
    }
    ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetUninstallProgram",
            L"IVkApplicationInfo->GetUninstallProgram() returning uninstall program = [%s]\r\n", *ppwszCommandLine);
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CZelAppImpl::GetUserHelperCLSID(CLSID* pClsid, long* plResult)
{
    if (!pClsid || !plResult)
        return E_INVALIDARG;
    *pClsid = CLSID_ZelUserHelper;
    *plResult = 0;
    ZEL_LOG(LevelNormal, kFile, L"CZelAppImpl::GetUserHelperCLSID",
            L"IVkApplicationInfo->GetUserHelperClsID *plResult = %8x\r\n", *plResult);
    return S_OK;
}

STDMETHODIMP CZelAppImpl::CheckComponents(long* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    Plinth::ComPtr<IVkVersion> checker;
    HRESULT hr = VkCreateInstanceNoAuth(CLSID_ComponentVersionProvider, nullptr, kCheckerContext, IID_IVkVersion,
                                        checker.put_void());
    if (hr != S_OK) {
        *plResult = MakeResultCode(ERROR_FILE_NOT_FOUND);
        return hr;
    }
    Plinth::UniqueCoTaskMem<wchar_t> missing;
    long checkerResult = 0;
    hr = checker->GetComponentStatus(missing.put(), &checkerResult);
    if (hr != S_OK) {
        *plResult = MakeResultCode(ERROR_OUTOFMEMORY);
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
}

STDMETHODIMP CZelAppImpl::GetUpdateInformation(LPCWSTR, LPWSTR*, LPWSTR*, long*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CZelAppImpl::GetProductInfo(DWORD*, VKPRODUCT_INFO**, long*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CZelAppImpl::GetUsageReport(LPWSTR*, LPWSTR*, long*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CZelAppImpl::UnsupportedRequest(LPCWSTR, LPWSTR*, long*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CZelAppImpl::DoRecentEventAction(DWORD, LPCWSTR, LPWSTR*, long*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CZelAppImpl::DoLogAction(DWORD, LPCWSTR, LPWSTR*, long*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CZelAppImpl::GetVersionText(LPWSTR*, long*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CZelAppImpl::GetComponentStatus(LPWSTR*, long*)
{
    return E_NOTIMPL;
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
    *plResult = 0;
    return S_OK;
}
