#pragma once
// The application-information object the host asks who the product is.
#include <memory>

#include "zelcom/ComServer.h"
#include "zelcom/ZelLumoAp.h"
#include "ZelLUMO/ZelLUMOHelper.h"

// Gives the object its own IVkApplicationInfo5 table beside the one that
// begins IVkApplicationInfo6; both lead to the same two implementations.
class IVkApplicationInfo5Table : public IVkApplicationInfo5
{
};

class CZelAppImpl : public CComObjectRootEx<CComMultiThreadModel>,
                    public CComCoClass<CZelAppImpl, &CLSID_ZelAppImpl>,
                    public IVkApplicationInfo,
                    public IVkRecentEventAction,
                    public IVkLogAction,
                    public IVkVersion,
                    public IVkApplicationInfo5Table,
                    public IVkApplicationInfo6
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    // The configuration helper; without memory for it the object still works
    // and reports no configuration counts.
    HRESULT FinalConstruct();
    void FinalRelease();

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

    // IVkVersion
    STDMETHODIMP GetVersionText(LPWSTR* ppwszText, long* plResult) override;
    STDMETHODIMP GetComponentStatus(LPWSTR* ppwszText, long* plResult) override;

    // IVkApplicationInfo5, reached through its own table and through the first
    // part of the IVkApplicationInfo6 table.
    STDMETHODIMP GetAppStatus(DWORD* pdwStatus, long* plResult) override;
    STDMETHODIMP GetAppStatusText(LPWSTR* ppwszText, long* plResult) override;

    // IVkApplicationInfo6
    STDMETHODIMP NotifySubscriptionStatusChanged(DWORD dwStatus, long* plResult) override;

private:
    std::unique_ptr<CZelHelper> m_helper;
};

// Fixed answers of the identity queries.
extern const wchar_t kZelAppId[];
extern const wchar_t kZelAppIcon[];
// The name given when the product resource DLL has none.
extern const wchar_t kZelDefaultAppName[];

// The component checker's result code that marks its text as the list of
// missing components.
constexpr long kCheckerComponentsMissing = 0x08020000;
