#pragma once
// A provider of the application-information class that breaks the host's
// rules on purpose, one fault per rule, for the tests of vkhost --check. Every
// answer not named as a fault follows the rules.
#include "zelcom/ComServer.h"
#include "zelcom/ZelLumoAp.h"

// Fault: the object's own IVkApplicationInfo5 table writes a status, while
// the one that begins IVkApplicationInfo6 writes nothing.
class COwnStatusTable : public IVkApplicationInfo5
{
public:
    STDMETHODIMP GetAppStatus(DWORD* pdwStatus, long* plResult) override;
};

class CSubscriptionTable : public IVkApplicationInfo6
{
public:
    STDMETHODIMP GetAppStatus(DWORD* pdwStatus, long* plResult) override;
};

class CBrokenAppImpl : public CComObjectRootEx<CComMultiThreadModel>,
                       public CComCoClass<CBrokenAppImpl, &CLSID_ZelAppImpl>,
                       public IVkApplicationInfo,
                       public IVkRecentEventAction,
                       public IVkLogAction,
                       public COwnStatusTable,
                       public CSubscriptionTable
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);
    HRESULT FinalConstruct();

    // IVkApplicationInfo
    STDMETHODIMP GetAppID(LPWSTR* ppwszId, long* plResult) override;
    STDMETHODIMP GetAppName(LPWSTR* ppwszName, long* plResult) override;
    STDMETHODIMP GetAppIcon(LPWSTR* ppwszIcon, long* plResult) override;
    STDMETHODIMP GetUninstallProgram(LPWSTR* ppwszCommandLine, long* plResult) override;
    STDMETHODIMP GetUserHelperCLSID(CLSID* pClsid, long* plResult) override;
    STDMETHODIMP CheckComponents(long* plResult) override;
    STDMETHODIMP GetUpdateInformation(LPCWSTR pwszReserved, LPWSTR* pwszPingUrl, LPWSTR* pwszVersionInfo,
                                      long* plResult) override;
    STDMETHODIMP GetProductInfo(DWORD* pdwCount, VKPRODUCT_INFO** ppInfo, long* plResult) override;
    STDMETHODIMP GetUsageReport(LPWSTR* ppwszReport, LPWSTR* ppwszSecond, long* plResult) override;
    STDMETHODIMP UnsupportedRequest(LPCWSTR pwszRequest, LPWSTR* ppwszResponse, long* plResult) override;

    // IVkRecentEventAction, IVkLogAction
    STDMETHODIMP DoRecentEventAction(DWORD dwAction, LPCWSTR pwszEventId, LPWSTR* ppwszResponse,
                                     long* plResult) override;
    STDMETHODIMP DoLogAction(DWORD dwAction, LPCWSTR pwszLogId, LPWSTR* ppwszResponse, long* plResult) override;

    // IVkApplicationInfo5, both tables
    STDMETHODIMP GetAppStatusText(LPWSTR* ppwszText, long* plResult) override;

    // IVkApplicationInfo6
    STDMETHODIMP NotifySubscriptionStatusChanged(DWORD dwStatus, long* plResult) override;

    // IVkVersion, answered by a tear-off
    HRESULT GetVersionText(LPWSTR* ppwszText, long* plResult);
    HRESULT GetComponentStatus(LPWSTR* ppwszText, long* plResult);

private:
    DWORD m_creatingThread = 0;
};
