#pragma once
// The component checker: tells the product which of its components are
// missing and which versions are installed. It keeps no state, so any thread
// may call it.
#include "zelcom/ComServer.h"
#include "zelcom/ZelLumoAp.h"

class CComponentVersionProvider : public CComObjectRootEx<CComMultiThreadModel>,
                                  public CComCoClass<CComponentVersionProvider, &CLSID_ComponentVersionProvider>,
                                  public IVkVersion
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    // IVkVersion
    STDMETHODIMP GetVersionText(LPWSTR* ppwszText, long* plResult) override;
    STDMETHODIMP GetComponentStatus(LPWSTR* ppwszText, long* plResult) override;
};
