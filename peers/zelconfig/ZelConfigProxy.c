/*
 * Proxy/stub of the product's interfaces, for the ones the automation
 * marshaler cannot carry: the class-object interfaces, whose CreateInstance
 * returns an interface named by its argument. The proxies are interpreted by
 * the platform's NDR engine, which turns a failed call into its HRESULT.
 *
 * A client loads this DLL for the service's class object, and the service for
 * its stub, before any proxy or stub of the service's automation interfaces
 * exists. The automation marshaler takes the service's type library and type
 * descriptions for each of those and lets them go with it, and the platform's
 * last release of a library can race another thread's first use of it: so
 * the DLL holds one reference to the library and to each description for the
 * life of the process.
 */
#define COBJMACROS
#include <windows.h>
/* As the generated proxies see it: the layout of the proxy headers depends on it. */
#define USE_STUBLESS_PROXY
#include <rpcproxy.h>

#include "zelcom/ZelLumoAp.h"
/* Defines the library's identifier only: the interfaces' are declared above. */
#include <initguid.h>
#include "peers/zelconfig/ZelConfigLib.h"

extern const ProxyFileInfo ZelLumoAp_ProxyFileInfo;

static const ProxyFileInfo* g_proxyFiles[] = {&ZelLumoAp_ProxyFileInfo, NULL};
static CStdPSFactoryBuffer g_factoryBuffer;

/* The stubs release themselves through the module's factory. */
CSTDSTUBBUFFERRELEASE(&g_factoryBuffer)
CSTDSTUBBUFFER2RELEASE(&g_factoryBuffer)

static INIT_ONCE g_typeLibHeld = INIT_ONCE_STATIC_INIT;

/* The references taken here are never given back. A library that cannot be
   loaded is tried again by the next caller. */
static BOOL CALLBACK HoldTypeLib(PINIT_ONCE once, PVOID parameter, PVOID* context)
{
    ITypeLib* library = NULL;
    UINT count;
    UINT i;
    (void)once;
    (void)parameter;
    (void)context;
    if (FAILED(LoadRegTypeLib(&LIBID_ZelConfigLib, 1, 0, LOCALE_NEUTRAL, &library)))
        return FALSE;
    count = ITypeLib_GetTypeInfoCount(library);
    for (i = 0; i < count; ++i) {
        ITypeInfo* info = NULL;
        ITypeLib_GetTypeInfo(library, i, &info);
    }
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    InitOnceExecuteOnce(&g_typeLibHeld, HoldTypeLib, NULL, NULL);
    return NdrDllGetClassObject(rclsid, riid, ppv, g_proxyFiles, &IID_IVkClassFactory, &g_factoryBuffer);
}

HRESULT WINAPI DllCanUnloadNow(void)
{
    return NdrDllCanUnloadNow(&g_factoryBuffer);
}
