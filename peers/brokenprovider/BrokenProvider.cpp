#include "peers/brokenprovider/BrokenProvider.h"

#include <cstring>
#include <new>

#include "plinth/Owners.h"

namespace {

HRESULT HandOut(const wchar_t* text, LPWSTR* out, long* plResult)
{
    *out = Plinth::CoTaskMemStrDup(text);
    *plResult = *out ? 0 : 0x0800000E;
    return S_OK;
}

// Fault: IUnknown through this tear-off is the tear-off itself, so the object
// has two identities.
class CVersionTearOff final : public IVkVersion
{
public:
    explicit CVersionTearOff(CBrokenAppImpl* owner, IUnknown* ownerUnknown) : m_owner(owner)
    {
        ownerUnknown->AddRef();
        m_ownerUnknown = Plinth::ComPtr<IUnknown>::Attach(ownerUnknown);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkVersion)) {
            *ppv = static_cast<IVkVersion*>(this);
            AddRef();
            return S_OK;
        }
        return m_ownerUnknown->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refCount)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG count = static_cast<ULONG>(::InterlockedDecrement(&m_refCount));
        if (count == 0)
            delete this;
        return count;
    }

    STDMETHODIMP GetVersionText(LPWSTR* ppwszText, long* plResult) override
    {
        return m_owner->GetVersionText(ppwszText, plResult);
    }
    STDMETHODIMP GetComponentStatus(LPWSTR* ppwszText, long* plResult) override
    {
        return m_owner->GetComponentStatus(ppwszText, plResult);
    }

private:
    volatile LONG m_refCount = 1;
    CBrokenAppImpl* m_owner;
    Plinth::ComPtr<IUnknown> m_ownerUnknown;
};

} // namespace

STDMETHODIMP COwnStatusTable::GetAppStatus(DWORD* pdwStatus, long*)
{
    if (pdwStatus)
        *pdwStatus = 1;
    return S_OK;
}

STDMETHODIMP CSubscriptionTable::GetAppStatus(DWORD*, long*)
{
    return S_OK;
}

HRESULT CBrokenAppImpl::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (::IsEqualIID(riid, IID_IVkVersion)) {
        auto* tearOff = new (std::nothrow) CVersionTearOff(this, static_cast<IVkApplicationInfo*>(this));
        if (!tearOff)
            return E_OUTOFMEMORY;
        *ppv = static_cast<IVkVersion*>(tearOff);
        return S_OK;
    }
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkApplicationInfo))
        *ppv = static_cast<IVkApplicationInfo*>(this);
    else if (::IsEqualIID(riid, IID_IVkRecentEventAction))
        *ppv = static_cast<IVkRecentEventAction*>(this);
    else if (::IsEqualIID(riid, IID_IVkLogAction))
        *ppv = static_cast<IVkLogAction*>(this);
    else if (::IsEqualIID(riid, IID_IVkApplicationInfo5))
        *ppv = static_cast<IVkApplicationInfo5*>(static_cast<COwnStatusTable*>(this));
    else if (::IsEqualIID(riid, IID_IVkApplicationInfo6))
        *ppv = static_cast<IVkApplicationInfo6*>(this);
    else
        return E_NOINTERFACE;
    InternalAddRef();
    return S_OK;
}

HRESULT CBrokenAppImpl::FinalConstruct()
{
    m_creatingThread = ::GetCurrentThreadId();
    // Fault: a second module lock that is never given back, so the module
    // never agrees to be unloaded.
    GetComModule().Lock();
    return S_OK;
}

// Fault: another answer on any thread but the one that made the object.
STDMETHODIMP CBrokenAppImpl::GetAppID(LPWSTR* ppwszId, long* plResult)
{
    if (!ppwszId || !plResult)
        return E_INVALIDARG;
    return HandOut(::GetCurrentThreadId() == m_creatingThread ? L"ZEL" : L"ZEL?", ppwszId, plResult);
}

// Fault: a block of task memory is left behind on every call.
STDMETHODIMP CBrokenAppImpl::GetAppName(LPWSTR* ppwszName, long* plResult)
{
    if (!ppwszName || !plResult)
        return E_INVALIDARG;
    Plinth::CoTaskMemStrDup(L"scratch");
    return HandOut(L"Broken Provider", ppwszName, plResult);
}

// Fault: the icon comes from the C++ heap, which the host cannot free.
STDMETHODIMP CBrokenAppImpl::GetAppIcon(LPWSTR* ppwszIcon, long* plResult)
{
    if (!ppwszIcon || !plResult)
        return E_INVALIDARG;
    constexpr wchar_t kIcon[] = L"broken://icon.gif";
    auto* icon = new (std::nothrow) wchar_t[ARRAYSIZE(kIcon)];
    if (icon)
        std::memcpy(icon, kIcon, sizeof(kIcon));
    *ppwszIcon = icon;
    *plResult = icon ? 0 : 0x08000008;
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::GetUninstallProgram(LPWSTR* ppwszCommandLine, long* plResult)
{
    if (!ppwszCommandLine || !plResult)
        return E_INVALIDARG;
    return HandOut(L"\"C:\\Broken\\uninstall.exe\" /uninstall", ppwszCommandLine, plResult);
}

STDMETHODIMP CBrokenAppImpl::GetUserHelperCLSID(CLSID* pClsid, long* plResult)
{
    if (!pClsid || !plResult)
        return E_INVALIDARG;
    *pClsid = CLSID_ZelUserHelper;
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::CheckComponents(long* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::GetUpdateInformation(LPCWSTR, LPWSTR* pwszPingUrl, LPWSTR* pwszVersionInfo, long* plResult)
{
    if (!pwszPingUrl || !pwszVersionInfo || !plResult)
        return E_INVALIDARG;
    *pwszPingUrl = Plinth::CoTaskMemStrDup(L"https://broken.invalid/chkupd.asp");
    return HandOut(L"BuildNumber=1.0.0\n", pwszVersionInfo, plResult);
}

STDMETHODIMP CBrokenAppImpl::GetProductInfo(DWORD* pdwCount, VKPRODUCT_INFO** ppInfo, long* plResult)
{
    if (!pdwCount || !ppInfo || !plResult)
        return E_INVALIDARG;
    auto* records = static_cast<VKPRODUCT_INFO*>(::CoTaskMemAlloc(sizeof(VKPRODUCT_INFO)));
    if (records) {
        records->pwszName = Plinth::CoTaskMemStrDup(L"Version");
        records->pwszValue = Plinth::CoTaskMemStrDup(L"1.0.0");
    }
    *ppInfo = records;
    *pdwCount = records ? 1 : 0;
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::GetUsageReport(LPWSTR* ppwszReport, LPWSTR* ppwszSecond, long* plResult)
{
    if (!ppwszReport || !ppwszSecond || !plResult)
        return E_INVALIDARG;
    *ppwszSecond = Plinth::CoTaskMemStrDup(L"");
    return HandOut(L"ZEL\t1\t0", ppwszReport, plResult);
}

// Fault: the outcome is the bare Win32 error, not a result code.
STDMETHODIMP CBrokenAppImpl::UnsupportedRequest(LPCWSTR pwszRequest, LPWSTR* ppwszResponse, long* plResult)
{
    if (!pwszRequest || !ppwszResponse || !plResult)
        return E_INVALIDARG;
    *plResult = ERROR_NOT_SUPPORTED;
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::DoRecentEventAction(DWORD, LPCWSTR pwszEventId, LPWSTR* ppwszResponse, long* plResult)
{
    if (!pwszEventId || !ppwszResponse || !plResult)
        return E_INVALIDARG;
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::DoLogAction(DWORD, LPCWSTR pwszLogId, LPWSTR* ppwszResponse, long* plResult)
{
    if (!pwszLogId || !ppwszResponse || !plResult)
        return E_INVALIDARG;
    *plResult = 0;
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::GetAppStatusText(LPWSTR*, long*)
{
    return S_OK;
}

STDMETHODIMP CBrokenAppImpl::NotifySubscriptionStatusChanged(DWORD, long* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    *plResult = 0;
    return S_OK;
}

HRESULT CBrokenAppImpl::GetVersionText(LPWSTR* ppwszText, long* plResult)
{
    if (!ppwszText || !plResult)
        return E_INVALIDARG;
    return HandOut(L"BuildNumber=1.0.0\n", ppwszText, plResult);
}

// Fault: the text is cleared before the result pointer is tested.
HRESULT CBrokenAppImpl::GetComponentStatus(LPWSTR* ppwszText, long* plResult)
{
    if (!ppwszText)
        return E_INVALIDARG;
    *ppwszText = nullptr;
    if (!plResult)
        return E_INVALIDARG;
    *plResult = 0;
    return S_OK;
}
