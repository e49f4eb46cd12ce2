#pragma once
// The user-mode provider: tells the product which mode its users run in. It
// keeps no state, so any thread may call it.
#include "zelcom/ComServer.h"
#include "zelcom/ZelLumoAp.h"

class CUserModeProvider : public CComObjectRootEx<CComMultiThreadModel>,
                          public CComCoClass<CUserModeProvider, &CLSID_UserModeProvider>,
                          public IUserModeProvider
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    // IUserModeProvider
    STDMETHODIMP GetProviderVersion(long* plVersion, long* plStatus) override;
    STDMETHODIMP GetProviderState(long* plState, long* plStatus) override;
    STDMETHODIMP GetSessionId(long* plSessionId, long* plStatus) override;
    STDMETHODIMP GetUserCount(long* plCount, long* plStatus) override;
    STDMETHODIMP GetUserName(long lIndex, BSTR* pbstrName, long* plStatus) override;
    STDMETHODIMP IsUserAdministrator(long lIndex, VARIANT_BOOL* pbAdmin, long* plStatus) override;
    STDMETHODIMP GetDefaultMode(long* plMode, long* plStatus) override;
    STDMETHODIMP SetUserMode(long lMode, long* plStatus) override;
    STDMETHODIMP GetUserMode(long* plMode, long* plStatus) override;
};
