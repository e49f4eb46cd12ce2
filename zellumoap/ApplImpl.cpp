#include "ApplImpl.h"

#include "../etwlogging/ModuleLogger.h"
#include "../plinth/Owners.h"
#include "ResultCode.h"
#include "VkCreateInstance.h"

using ETWLogging::LevelError;
using ETWLogging::LevelNormal;

const wchar_t kZelAppId[] = L"ZEL";
const wchar_t kZelAppIcon[] = L"lumo://vkcobres.dll::icon_m_16x16.gif";

namespace {

constexpr wchar_t kFile[] = L"ApplImpl";
// The component checker may live in any kind of server.
constexpr DWORD kCheckerContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

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

STDMETHODIMP CZelAppImpl::GetAppName(LPWSTR*, long*)
{
    return E_NOTIMPL;
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

STDMETHODIMP CZelAppImpl::GetUninstallProgram(LPWSTR*, long*)
{
    return E_NOTIMPL;
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
