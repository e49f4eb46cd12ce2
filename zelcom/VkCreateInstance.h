#pragma once
// Object creation through the host's class-factory interfaces.
#include <windows.h>

// Gets the class object for IVkClassFactory (falling back to
// IVkClassFactory_PreComponentization) and creates the object through it.
// pUnkOuter is not used.
HRESULT VkCreateInstanceNoAuth(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);

// With useFactory, verifies the servers the class is registered with before
// COM loads any of them, then that the class object came from one of them,
// and creates through the host's class-factory interfaces. E_ACCESSDENIED,
// with nothing loaded, when a server is not a fully qualified trusted file;
// E_ACCESSDENIED also when the class object comes from another module.
// Without useFactory, a plain CoCreateInstance. Never throws: running out of
// memory gives E_OUTOFMEMORY.
HRESULT VkCreateInstanceVerified(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv,
                                 BOOL useFactory);

// Runs between the verification of a class's servers and COM's load of one
// of them; tests stand in there for a file or registration changed in that
// moment. Null removes it. Returns the one it replaced.
using BeforeServerLoad = void (*)(REFCLSID clsid);
BeforeServerLoad SetBeforeServerLoad(BeforeServerLoad hook);
