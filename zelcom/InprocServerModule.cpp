#include "zelcom/InprocServerModule.h"

#include "zelcom/Registration.h"

namespace {

CComModuleBase g_module(g_serverObjectMap, g_serverObjectMapEntries);
HMODULE g_instance = nullptr;

HRESULT ApplyClassScripts(bool registering)
{
    SystemLocaleScope locale;
    ModuleScriptPaths module;
    if (!GetModuleScriptPaths(g_instance, module))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    wchar_t clsid[39];
    for (size_t i = 0; i < g_module.EntryCount(); ++i) {
        const ObjectMapEntry& entry = g_module.Entries()[i];
        GuidToText(*entry.clsid, clsid);
        const RegistryReplacement replacements[] = {
            {L"Module", module.quoted}, {L"Module_Raw", module.raw}, {L"CLSID", clsid}};
        const HRESULT hr = ApplyRegistryScript(module.raw, entry.registryScriptId, replacements,
                                               sizeof(replacements) / sizeof(replacements[0]), registering);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
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

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return g_module.GetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return g_module.CanUnloadNow();
}

STDAPI DllRegisterServer()
{
    return ApplyClassScripts(true);
}

STDAPI DllUnregisterServer()
{
    return ApplyClassScripts(false);
}
