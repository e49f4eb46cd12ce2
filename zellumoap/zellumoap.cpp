// Module entry points: load and unload lines, the class object, the unload
// test, and registration.
#include <windows.h>

#include "etwlogging/ModuleLogger.h"
#include "zelcom/Registration.h"
#include "zelcom/TrustVerification.h"
#include "zelcom/Version.h"
#include "zelcom/VkSecureClassFactory.h"
#include "zellumoap/ApplImpl.h"

namespace {

constexpr wchar_t kFile[] = L"zellumoap";
constexpr UINT kClassScript = 100;
constexpr UINT kAppIdScript = 101;

ObjectMapEntry g_objectMap[] = {
    {&CLSID_ZelAppImpl, kClassScript, &CVkATLSecureClassFactory::CreateClassObject,
     &CComObject<CZelAppImpl>::CreateInstance, nullptr},
};

class CZelLumoApModule : public CComModuleBase
{
public:
    // Only modules signed by a trusted publisher may create the module's objects.
    CZelLumoApModule() : CComModuleBase(g_objectMap) { SetCallerVerification(VerifyCallingModule); }
};

CZelLumoApModule g_module;
HMODULE g_instance = nullptr;

// Identifiers and paths the registry scripts name, as text.
struct RegistrationTexts
{
    ModuleScriptPaths module;
    wchar_t appId[39];
    wchar_t secondClsid[39];
    wchar_t libId[39];
};

bool Prepare(RegistrationTexts& texts)
{
    if (!GetModuleScriptPaths(g_instance, texts.module))
        return false;
    GuidToText(APPID_ZelLumoAp, texts.appId);
    GuidToText(CLSID_ZelAppImplSecondKey, texts.secondClsid);
    GuidToText(LIBID_ZelAppLib, texts.libId);
    return true;
}

HRESULT ApplyAppIdScript(const RegistrationTexts& texts, bool registering)
{
    const RegistryReplacement replacements[] = {{L"APPID", texts.appId}};
    return ApplyRegistryScript(texts.module.raw, kAppIdScript, replacements, 1, registering);
}

HRESULT ApplyClassScripts(const RegistrationTexts& texts, bool registering)
{
    const RegistryReplacement others[] = {
        {L"APPID", texts.appId}, {L"SECONDCLSID", texts.secondClsid}, {L"LIBID", texts.libId}};
    return ApplyClassScripts(g_module, texts.module, others, sizeof(others) / sizeof(others[0]), registering);
}

// Logs one line of the entry point with the product version, which the
// resource holds as narrow text in the thread's ANSI code page.
void LogLoaded()
{
    wchar_t version[32] = {};
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, ZEL_PRODUCT_VERSION, -1, version, 31);
    ZEL_LOG(ETWLogging::LevelNormal, kFile, L"DllMain", L"ZelLumoAp Loaded (Version %s)\r\n", version);
}

} // namespace

CComModuleBase& GetComModule()
{
    return g_module;
}

// Nothing on this path throws: the logging front end keeps its exceptions to itself.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH: {
        g_instance = instance;
        ETWLogging::LoggerSettings& settings = ETWLogging::GetLoggerSettings();
        settings.appName = nullptr;
        settings.group = L"Zellumoap";
        settings.module = nullptr;
        settings.host = nullptr;
        settings.mode = 0;
        const ETWLogging::LoaderLockScope underLoaderLock;
        LogLoaded();
        return g_module.InitFailed() ? FALSE : TRUE;
    }
    case DLL_PROCESS_DETACH: {
        // Non-null when the process terminates: its other threads were killed
        // wherever they were, perhaps inside a log call.
        if (reserved)
            ETWLogging::SetProcessTerminating();
        const ETWLogging::LoaderLockScope underLoaderLock;
        ZEL_LOG(ETWLogging::LevelNormal, kFile, L"DllMain", L"ZelLumoAp Unloaded\r\n\r\n");
        return TRUE;
    }
    default:
        return TRUE;
    }
}

STDAPI DllRegisterServer()
{
    SystemLocaleScope locale;
    RegistrationTexts texts;
    if (!Prepare(texts))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    HRESULT hr = ApplyAppIdScript(texts, true);
    if (FAILED(hr))
        return hr;
    hr = ApplyClassScripts(texts, true);
    if (FAILED(hr))
        return hr;
    return RegisterModuleTypeLib(texts.module.raw);
}

STDAPI DllUnregisterServer()
{
    SystemLocaleScope locale;
    RegistrationTexts texts;
    if (!Prepare(texts))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    HRESULT hr = ApplyClassScripts(texts, false);
    if (FAILED(hr))
        return hr;
    hr = UnregisterModuleTypeLib(texts.module.raw);
    if (FAILED(hr))
        return hr;
    return ApplyAppIdScript(texts, false);
}
