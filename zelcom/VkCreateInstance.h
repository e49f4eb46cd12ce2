#pragma once
// Object creation through the host's class-factory interfaces.
#include <windows.h>

// Gets the class object for IVkClassFactory (falling back to
// IVkClassFactory_PreComponentization) and creates the object through it.
// pUnkOuter is not used.
HRESULT VkCreateInstanceNoAuth(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);

// With useFactory, creates through the host's class-factory interfaces of a
// verified server (CreateVerifiedObject in TrustVerification.h):
// E_ACCESSDENIED when the server is not a fully qualified trusted file (none
// of its code runs) or its process does not prove it runs one (no object of
// it is used); RPC_E_WRONG_THREAD for an in-process server whose
// threading model does not allow the caller's apartment. Without useFactory,
// a plain CoCreateInstance. Never throws: running out of memory gives
// E_OUTOFMEMORY.
HRESULT VkCreateInstanceVerified(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv,
                                 BOOL useFactory);
