#pragma once
// Registration of a COM server: registry scripts applied by the platform's
// registrar, and the type library embedded in the module.
#include <windows.h>

#include "zelcom/ComServer.h"

struct RegistryReplacement
{
    const wchar_t* name;
    const wchar_t* value;
};

// Applies the "REGISTRY" resource scriptId of the module at modulePath, in
// registration or removal mode, with the given replacements.
HRESULT ApplyRegistryScript(const wchar_t* modulePath, UINT scriptId, const RegistryReplacement* replacements,
                            size_t count, bool registering);

// Registers or unregisters the module's "TYPELIB" resource 1.
HRESULT RegisterModuleTypeLib(const wchar_t* modulePath);
HRESULT UnregisterModuleTypeLib(const wchar_t* modulePath);

// The thread locale set to the system default for the lifetime of the scope.
class SystemLocaleScope
{
public:
    SystemLocaleScope() : m_saved(::GetThreadLocale()) { ::SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { ::SetThreadLocale(m_saved); }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

private:
    LCID m_saved;
};

// Full path of a module, or an empty string (and false) when it does not fit.
bool GetModulePath(HMODULE module, wchar_t* path, DWORD capacity);

// A module's path as registry scripts need it: raw, and with single quotes
// doubled for "%MODULE%", which the registrar reads inside single quotes.
struct ModuleScriptPaths
{
    wchar_t raw[MAX_PATH];
    wchar_t quoted[2 * MAX_PATH];
};

// False when the path does not fit in MAX_PATH characters.
bool GetModuleScriptPaths(HMODULE module, ModuleScriptPaths& paths);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" of a GUID; text holds 39 characters.
void GuidToText(REFGUID guid, wchar_t (&text)[39]);

// Applies the registry script of every class in the module's object map, in
// registration or removal mode, with the replacements "Module", "Module_Raw",
// "CLSID" (the entry's class) and the caller's others; stops at the first
// failure and returns it.
HRESULT ApplyClassScripts(CComModuleBase& module, const ModuleScriptPaths& paths, const RegistryReplacement* others,
                          size_t otherCount, bool registering);
