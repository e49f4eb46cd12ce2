#include "zelcom/InprocServerModule.h"

#include "zelcom/Registration.h"

namespace {

CComModuleBase g_module(g_serverObjectMap, g_serverObjectMapEntries);
HMODULE g_instance = nullptr;

HRESULT ApplyClassScripts(bool registering)
{
    SystemLocaleScope locale;
    ModuleScriptPaths paths;
    if (!GetModuleScriptPaths(g_instance, paths))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    return ApplyClassScripts(g_module, paths, nullptr, 0, registering);
}

} // namespace

CComModuleBase& GetComModule()
{
    return g_module;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        ::DisableThreadLibraryCalls(instance);
        return g_module.InitFailed() ? FALSE : TRUE;
    }
    return TRUE;
}

STDAPI DllRegisterServer()
{
    return ApplyClassScripts(true);
}

STDAPI DllUnregisterServer()
{
    return ApplyClassScripts(false);
}
