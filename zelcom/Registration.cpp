#include "zelcom/Registration.h"

#include <oleauto.h>

#include "plinth/Owners.h"
#include "zelcom/Registrar.h"

HRESULT ApplyRegistryScript(const wchar_t* modulePath, UINT scriptId, const RegistryReplacement* replacements,
                            size_t count, bool registering)
{
    Plinth::ComInitScope com;
    if (!com.Usable())
        return com.Result();
    Plinth::ComPtr<IRegistrar> registrar;
    HRESULT hr =
        ::CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar, registrar.put_void());
    if (FAILED(hr))
        return hr;
    for (size_t i = 0; i < count; ++i) {
        hr = registrar->AddReplacement(replacements[i].name, replacements[i].value);
        if (FAILED(hr))
            return hr;
    }
    return registering ? registrar->ResourceRegister(modulePath, scriptId, L"REGISTRY")
                       : registrar->ResourceUnregister(modulePath, scriptId, L"REGISTRY");
}

namespace {

HRESULT LoadModuleTypeLib(const wchar_t* modulePath, Plinth::ComPtr<ITypeLib>& typeLib)
{
    return ::LoadTypeLibEx(modulePath, REGKIND_NONE, typeLib.put());
}

} // namespace

HRESULT RegisterModuleTypeLib(const wchar_t* modulePath)
{
    Plinth::ComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadModuleTypeLib(modulePath, typeLib);
    if (FAILED(hr))
        return hr;
    return ::RegisterTypeLib(typeLib.get(), const_cast<LPOLESTR>(modulePath), nullptr);
}

HRESULT UnregisterModuleTypeLib(const wchar_t* modulePath)
{
    Plinth::ComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadModuleTypeLib(modulePath, typeLib);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attributes = nullptr;
    hr = typeLib->GetLibAttr(&attributes);
    if (FAILED(hr))
        return hr;
    hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                             attributes->syskind);
    typeLib->ReleaseTLibAttr(attributes);
    return hr;
}

bool GetModulePath(HMODULE module, wchar_t* path, DWORD capacity)
{
    const DWORD length = ::GetModuleFileNameW(module, path, capacity);
    if (length == 0 || length >= capacity) {
        if (capacity > 0)
            path[0] = L'\0';
        return false;
    }
    return true;
}

bool GetModuleScriptPaths(HMODULE module, ModuleScriptPaths& paths)
{
    paths.quoted[0] = L'\0';
    if (!GetModulePath(module, paths.raw, MAX_PATH))
        return false;
    size_t out = 0;
    for (const wchar_t* in = paths.raw; *in; ++in) {
        paths.quoted[out++] = *in;
        if (*in == L'\'')
            paths.quoted[out++] = L'\'';
    }
    paths.quoted[out] = L'\0';
    return true;
}

void GuidToText(REFGUID guid, wchar_t (&text)[39])
{
    ::StringFromGUID2(guid, text, 39);
}

HRESULT ApplyClassScripts(CComModuleBase& module, const ModuleScriptPaths& paths, const RegistryReplacement* others,
                          size_t otherCount, bool registering)
{
    constexpr size_t kMaxOthers = 8;
    if (otherCount > kMaxOthers)
        return E_INVALIDARG;
    for (size_t i = 0; i < module.EntryCount(); ++i) {
        const ObjectMapEntry& entry = module.Entries()[i];
        wchar_t clsid[39];
        GuidToText(*entry.clsid, clsid);
        RegistryReplacement replacements[3 + kMaxOthers] = {
            {L"Module", paths.quoted}, {L"Module_Raw", paths.raw}, {L"CLSID", clsid}};
        for (size_t j = 0; j < otherCount; ++j)
            replacements[3 + j] = others[j];
        const HRESULT hr =
            ApplyRegistryScript(paths.raw, entry.registryScriptId, replacements, 3 + otherCount, registering);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}
