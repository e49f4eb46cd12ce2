#include "VkCreateInstance.h"

#include <objbase.h>

#include "../plinth/Owners.h"
#include "TrustVerification.h"
#include "ZelLumoAp.h"
#include "zellumoap/ComBoundary.h"

namespace {

// Gets the class object through IVkClassFactory, falling back to
// IVkClassFactory_PreComponentization; both have one CreateInstance after IUnknown.
HRESULT GetVkClassFactory(REFCLSID rclsid, DWORD dwClsContext, Plinth::ComPtr<IVkClassFactory>& factory)
{
    HRESULT hr = ::CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IVkClassFactory, factory.put_void());
    if (SUCCEEDED(hr))
        return hr;
    return ::CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IVkClassFactory_PreComponentization,
                              factory.put_void());
}

} // namespace

HRESULT VkCreateInstanceNoAuth(REFCLSID rclsid, IUnknown*, DWORD dwClsContext, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    Plinth::ComPtr<IVkClassFactory> factory;
    const HRESULT hr = GetVkClassFactory(rclsid, dwClsContext, factory);
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(riid, ppv);
}

namespace {

HRESULT CreateVerifiedInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv,
                               BOOL useFactory)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!useFactory)
        return ::CoCreateInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv);
    // The server is verified before COM loads it, so an untrusted module never
    // runs code in this process.
    if (FAILED(VerifyServingModule(rclsid, dwClsContext)))
        return E_ACCESSDENIED;
    Plinth::ComPtr<IVkClassFactory> factory;
    const HRESULT hr = GetVkClassFactory(rclsid, dwClsContext, factory);
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(riid, ppv);
}

} // namespace

HRESULT VkCreateInstanceVerified(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv,
                                 BOOL useFactory)
{
    return CallWithoutThrowing(
        [&] { return CreateVerifiedInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv, useFactory); });
}
