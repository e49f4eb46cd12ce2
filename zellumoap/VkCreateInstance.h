#pragma once
// Object creation through the host's class-factory interfaces.
#include <windows.h>

// Gets the class object for IVkClassFactory (falling back to
// IVkClassFactory_PreComponentization) and creates the object through it.
// pUnkOuter is not used.
HRESULT VkCreateInstanceNoAuth(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);

// With useFactory, verifies the module that serves the class and then creates
// through the host's class-factory interfaces (E_ACCESSDENIED, with nothing
// loaded, when the server is not trusted). Without it, a plain CoCreateInstance.
// Never throws: running out of memory gives E_OUTOFMEMORY.
HRESULT VkCreateInstanceVerified(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv,
                                 BOOL useFactory);
