// Module entry points of the component checker: the class object, the unload
// test, and registration.
#include <windows.h>

#include "ComponentVersionProvider.h"
#include "Registration.h"
#include "VkSecureClassFactory.h"

namespace {

constexpr UINT kClassScript = 100;

ObjectMapEntry g_objectMap[] = {
    {&CLSID_ComponentVersionProvider, kClassScript, &CVkATLSecureClassFactory::CreateClassObject,
     &CComObject<CComponentVersionProvider>::CreateInstance, nullptr},
};

class CComponentCheckerModule : public CComModuleBase
{
public:
    CComponentCheckerModule() : CComModuleBase(g_objectMap, sizeof(g_objectMap) / sizeof(g_objectMap[0])) {}
};

CComponentCheckerModule g_module;
HMODULE g_instance = nullptr;

struct RegistrationTexts
{
    wchar_t modulePath[MAX_PATH];
    wchar_t moduleQuoted[2 * MAX_PATH];
    wchar_t clsid[39];
};

// The registrar reads "%MODULE%" inside single quotes, so quotes are doubled.
bool Prepare(RegistrationTexts& texts)
{
    if (!GetModulePath(g_instance, texts.modulePath, MAX_PATH))
        return false;
    size_t out = 0;
    for (const wchar_t* in = texts.modulePath; *in; ++in) {
        texts.moduleQuoted[out++] = *in;
        if (*in == L'\'')
            texts.moduleQuoted[out++] = L'\'';
    }
    texts.moduleQuoted[out] = L'\0';
    return true;
}

HRESULT ApplyClassScripts(bool registering)
{
    SystemLocaleScope locale;
    RegistrationTexts texts;
    if (!Prepare(texts))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    for (size_t i = 0; i < g_module.EntryCount(); ++i) {
        const ObjectMapEntry& entry = g_module.Entries()[i];
        GuidToText(*entry.clsid, texts.clsid);
        const RegistryReplacement replacements[] = {
            {L"Module", texts.moduleQuoted}, {L"Module_Raw", texts.modulePath}, {L"CLSID", texts.clsid}};
        const HRESULT hr = ApplyRegistryScript(texts.modulePath, entry.registryScriptId, replacements,
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
