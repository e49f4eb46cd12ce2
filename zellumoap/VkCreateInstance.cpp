#include "VkCreateInstance.h"

#include <objbase.h>

#include "../plinth/Owners.h"
#include "ZelLumoAp.h"

HRESULT VkCreateInstanceNoAuth(REFCLSID rclsid, IUnknown*, DWORD dwClsContext, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;

    // Both factory interfaces have the same layout: one CreateInstance after IUnknown.
    Plinth::ComPtr<IVkClassFactory> factory;
    HRESULT hr = ::CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IVkClassFactory, factory.put_void());
    if (FAILED(hr)) {
        Plinth::ComPtr<IVkClassFactory_PreComponentization> older;
        hr = ::CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IVkClassFactory_PreComponentization,
                                older.put_void());
        if (FAILED(hr))
            return hr;
        return older->CreateInstance(riid, ppv);
    }
    return factory->CreateInstance(riid, ppv);
}
