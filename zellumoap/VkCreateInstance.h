#pragma once
// Object creation through the host's class-factory interfaces.
#include <windows.h>

// Gets the class object for IVkClassFactory (falling back to
// IVkClassFactory_PreComponentization) and creates the object through it.
// pUnkOuter is not used.
HRESULT VkCreateInstanceNoAuth(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);
