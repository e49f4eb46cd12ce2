#include "zelcom/VkCreateInstance.h"

#include <objbase.h>

#include "plinth/Owners.h"
#include "zelcom/ComBoundary.h"
#include "zelcom/TrustVerification.h"
#include "zelcom/ZelLumoAp.h"

namespace {

// Gets the class object through IVkClassFactory, falling back to
// IVkClassFactory_PreComponentization; both have one CreateInstance after IUnknown.
// A class object handed out as null with success is refused with E_POINTER:
// calling through it would crash the caller.
HRESULT GetVkClassFactory(REFCLSID rclsid, DWORD dwClsContext, Plinth::ComPtr<IVkClassFactory>& factory)
{
    HRESULT hr = ::CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IVkClassFactory, factory.put_void());
    if (FAILED(hr))
        hr = ::CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IVkClassFactory_PreComponentization,
                                factory.put_void());
    if (SUCCEEDED(hr) && !factory)
        return E_POINTER;
    return hr;
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
    return CreateVerifiedObject(rclsid, dwClsContext, riid, ppv);
}

} // namespace

HRESULT VkCreateInstanceVerified(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv,
                                 BOOL useFactory)
{
    return CallWithoutThrowing(
        [&] { return CreateVerifiedInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv, useFactory); });
}
