/*
 * Proxy/stub of the product's interfaces, for the ones the automation
 * marshaler cannot carry: the class-object interfaces, whose CreateInstance
 * returns an interface named by its argument. The proxies are interpreted by
 * the platform's NDR engine, which turns a failed call into its HRESULT.
 */
#include <windows.h>
/* As the generated proxies see it: the layout of the proxy headers depends on it. */
#define USE_STUBLESS_PROXY
#include <rpcproxy.h>

#include "zelcom/ZelLumoAp.h"

extern const ProxyFileInfo ZelLumoAp_ProxyFileInfo;

static const ProxyFileInfo* g_proxyFiles[] = {&ZelLumoAp_ProxyFileInfo, NULL};
static CStdPSFactoryBuffer g_factoryBuffer;

/* The stubs release themselves through the module's factory. */
CSTDSTUBBUFFERRELEASE(&g_factoryBuffer)
CSTDSTUBBUFFER2RELEASE(&g_factoryBuffer)

HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    return NdrDllGetClassObject(rclsid, riid, ppv, g_proxyFiles, &IID_IVkClassFactory, &g_factoryBuffer);
}

HRESULT WINAPI DllCanUnloadNow(void)
{
    return NdrDllCanUnloadNow(&g_factoryBuffer);
}
