#include "zelcom/LocalServerClassFactory.h"

#include <rpc.h>
#include <rpcdcep.h>

#include <cstring>

#include "plinth/Owners.h"
#include "zelcom/ComBoundary.h"
#include "zelcom/ServerIdentity.h"

HRESULT CVkLocalServerClassFactory::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (!::IsEqualIID(riid, IID_IZelServerIdentity))
        return CVkATLSecureClassFactory::InternalQueryInterface(riid, ppv);
    *ppv = static_cast<IZelServerIdentity*>(this);
    static_cast<IZelServerIdentity*>(this)->AddRef();
    return S_OK;
}

STDMETHODIMP CVkLocalServerClassFactory::GetProcessId(DWORD* processId)
{
    if (!processId)
        return E_POINTER;
    *processId = ::GetCurrentProcessId();
    return S_OK;
}

namespace {

HRESULT WriteCallerProcessId(ULONGLONG section, REFGUID nonce)
{
    ULONG caller = 0;
    if (::I_RpcBindingInqLocalClientPID(nullptr, &caller) != RPC_S_OK)
        return E_ACCESSDENIED;
    // A handle the caller did not share may name a section of this process's
    // own: it is written only when it holds the caller's nonce.
    const auto handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(section));
    Plinth::UniqueView view(::MapViewOfFile(handle, kServerIdentitySectionAccess, 0, 0, sizeof(ServerIdentityProof)));
    if (!view)
        return E_INVALIDARG;
    ServerIdentityProof proof;
    std::memcpy(&proof, view.get(), sizeof(proof));
    if (!::IsEqualGUID(proof.nonce, nonce))
        return E_INVALIDARG;
    proof.caller = caller;
    std::memcpy(view.get(), &proof, sizeof(proof));
    return S_OK;
}

} // namespace

STDMETHODIMP CVkLocalServerClassFactory::CreateProvenInstance(ULONGLONG section, REFGUID nonce, REFIID riid, void** ppv)
{
    // Taken here: inside the body's lambda it would name this function.
    const void* caller = ZEL_RETURN_ADDRESS();
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    const HRESULT hr = WriteCallerProcessId(section, nonce);
    if (FAILED(hr))
        return hr;
    return CallWithoutThrowing([&] { return CreateVerified(caller, riid, ppv); });
}

HRESULT CVkLocalServerClassFactory::CreateClassObject(ObjectCreator createObject, REFIID riid, void** ppv)
{
    return CreateCachedClassObject<CVkLocalServerClassFactory>(createObject, riid, ppv);
}
