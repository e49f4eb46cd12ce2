#pragma once
// The class object of the host's factory interfaces. Before it creates
// anything it asks the module's caller-verification step whether the module
// that called it may create objects.
#include "zelcom/ComServer.h"
#include "zelcom/ZelLumoAp.h"

// Decides whether the module containing callerAddress may create objects:
// S_OK admits it, a failure (normally E_ACCESSDENIED) refuses it.
using CallerVerification = HRESULT (*)(const void* callerAddress);

// Replaces the verification step of this module's class objects; null restores
// the default. Returns the step it replaced.
CallerVerification SetCallerVerification(CallerVerification verification);

class CVkSecureClassFactory : public IVkClassFactory, public IVkClassFactory_PreComponentization
{
public:
    void SetObjectCreator(ObjectCreator createObject) { m_createObject = createObject; }

    // One body behind both factory interfaces; running out of memory, in the
    // caller's verification too, gives E_OUTOFMEMORY.
    STDMETHODIMP CreateInstance(REFIID riid, void** ppv) override;

protected:
    HRESULT CreateVerified(const void* callerAddress, REFIID riid, void** ppv);

private:
    ObjectCreator m_createObject = nullptr;
};

class CVkATLSecureClassFactory : public CComObjectRootEx<CComMultiThreadModel>, public CVkSecureClassFactory
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    // Makes the cached class object for one object-map entry.
    static HRESULT CreateClassObject(ObjectCreator createObject, REFIID riid, void** ppv);
};

// Makes the cached class object of a factory type derived from
// CVkSecureClassFactory for one object-map entry.
template <class Factory>
HRESULT CreateCachedClassObject(ObjectCreator createObject, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    CComObjectCached<Factory>* factory = nullptr;
    const HRESULT hr = ConstructObject(&factory);
    if (FAILED(hr))
        return hr;
    factory->SetObjectCreator(createObject);
    return QueryNewObject(factory, riid, ppv);
}
