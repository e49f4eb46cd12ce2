#include "zelcom/VkSecureClassFactory.h"

#include "zelcom/ComBoundary.h"

namespace {

HRESULT AdmitEveryCaller(const void*)
{
    return S_OK;
}

CallerVerification g_verification = AdmitEveryCaller;

} // namespace

CallerVerification SetCallerVerification(CallerVerification verification)
{
    CallerVerification previous = g_verification;
    g_verification = verification ? verification : AdmitEveryCaller;
    return previous;
}

STDMETHODIMP CVkSecureClassFactory::CreateInstance(REFIID riid, void** ppv)
{
    // Taken here: inside the body's lambda it would name this function.
    const void* caller = ZEL_RETURN_ADDRESS();
    return CallWithoutThrowing([&] { return CreateVerified(caller, riid, ppv); });
}

HRESULT CVkSecureClassFactory::CreateVerified(const void* callerAddress, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    const HRESULT verified = g_verification(callerAddress);
    if (FAILED(verified))
        return verified == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_ACCESSDENIED;
    if (!m_createObject)
        return E_UNEXPECTED;
    return m_createObject(riid, ppv);
}

HRESULT CVkATLSecureClassFactory::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkClassFactory))
        *ppv = static_cast<IVkClassFactory*>(this);
    else if (::IsEqualIID(riid, IID_IVkClassFactory_PreComponentization))
        *ppv = static_cast<IVkClassFactory_PreComponentization*>(this);
    else
        return E_NOINTERFACE;
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}

HRESULT CVkATLSecureClassFactory::CreateClassObject(ObjectCreator createObject, REFIID riid, void** ppv)
{
    return CreateCachedClassObject<CVkATLSecureClassFactory>(createObject, riid, ppv);
}
