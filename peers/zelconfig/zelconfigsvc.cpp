// The configuration service: a local server started by COM on demand. It
// registers its class object, serves calls on RPC threads, and leaves once no
// object of it has lived for a short while.
#include <windows.h>

#include <vector>

#include "peers/zelconfig/ConfigObjects.h"
#include "peers/zelconfig/ZelConfigData.h"
#include "zelcom/Registration.h"
#include "zelcom/VkSecureClassFactory.h"

namespace {

constexpr UINT kServiceScript = 100;
constexpr DWORD kPollMs = 100;
constexpr DWORD kIdleExitMs = 2000;

// Objects made by this process, read by the serving loop to see its registration taken.
LONG g_created = 0;

HRESULT CreateConfig(REFIID riid, void** ppv)
{
    const HRESULT hr = CComObject<CZelConfig>::CreateInstance(riid, ppv);
    if (SUCCEEDED(hr))
        ::InterlockedIncrement(&g_created);
    return hr;
}

ObjectMapEntry g_objectMap[] = {
    {&CLSID_ZelConfig, kServiceScript, &CVkATLSecureClassFactory::CreateClassObject, &CreateConfig, nullptr},
};

class CZelConfigModule : public CComModuleBase
{
public:
    CZelConfigModule() : CComModuleBase(g_objectMap) {}
};

CZelConfigModule g_module;

// The registrar reads "%PROXY%" inside single quotes, as it does "%MODULE%".
bool ProxyScriptPath(const wchar_t* modulePath, wchar_t (&quoted)[2 * MAX_PATH])
{
    wchar_t path[MAX_PATH];
    if (::wcscpy_s(path, modulePath) != 0)
        return false;
    wchar_t* slash = ::wcsrchr(path, L'\\');
    if (!slash)
        return false;
    slash[1] = L'\0';
    if (::wcscat_s(path, ZelConfig::kProxyDllName) != 0)
        return false;
    size_t out = 0;
    for (const wchar_t* in = path; *in; ++in) {
        quoted[out++] = *in;
        if (*in == L'\'')
            quoted[out++] = L'\'';
    }
    quoted[out] = L'\0';
    return true;
}

HRESULT ApplyServiceScript(const ModuleScriptPaths& module, bool registering)
{
    wchar_t proxy[2 * MAX_PATH];
    if (!ProxyScriptPath(module.raw, proxy))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    wchar_t clsid[39];
    wchar_t factory[39];
    wchar_t preFactory[39];
    GuidToText(CLSID_ZelConfig, clsid);
    GuidToText(IID_IVkClassFactory, factory);
    GuidToText(IID_IVkClassFactory_PreComponentization, preFactory);
    // The proxy/stub class is named after the first interface it serves.
    const RegistryReplacement replacements[] = {{L"Module", module.quoted},
                                                {L"Module_Raw", module.raw},
                                                {L"Proxy", proxy},
                                                {L"CLSID", clsid},
                                                {L"PSCLSID", factory},
                                                {L"IID_FACTORY", factory},
                                                {L"IID_PREFACTORY", preFactory}};
    return ApplyRegistryScript(module.raw, kServiceScript, replacements, sizeof(replacements) / sizeof(replacements[0]),
                               registering);
}

HRESULT Register()
{
    SystemLocaleScope locale;
    ModuleScriptPaths module;
    if (!GetModuleScriptPaths(nullptr, module))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    const HRESULT hr = ApplyServiceScript(module, true);
    if (FAILED(hr))
        return hr;
    return RegisterModuleTypeLib(module.raw);
}

// Removes whatever is left even when part of it is already gone.
HRESULT Unregister()
{
    SystemLocaleScope locale;
    ModuleScriptPaths module;
    if (!GetModuleScriptPaths(nullptr, module))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    HRESULT hr = UnregisterModuleTypeLib(module.raw);
    // The library is our own resource, so these can only mean it is not registered.
    if (hr == TYPE_E_REGISTRYACCESS || hr == E_INVALIDARG)
        hr = S_OK;
    const HRESULT scriptHr = ApplyServiceScript(module, false);
    return FAILED(hr) ? hr : scriptHr;
}

// The type library of the service's interfaces as the automation marshaler
// loads it, from its registration, and each of its type descriptions. The
// marshaler takes them for every stub and lets them go with it; a last
// release can race another thread's first use of the same description, so
// one reference to each is held while the process serves.
std::vector<Plinth::ComPtr<IUnknown>> HoldRegisteredTypeLib(const wchar_t* modulePath)
{
    std::vector<Plinth::ComPtr<IUnknown>> held;
    Plinth::ComPtr<ITypeLib> own;
    Plinth::ComPtr<ITypeLib> registered;
    TLIBATTR* attributes = nullptr;
    if (FAILED(::LoadTypeLibEx(modulePath, REGKIND_NONE, own.put())) || FAILED(own->GetLibAttr(&attributes)))
        return held;
    const HRESULT hr = ::LoadRegTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                        attributes->lcid, registered.put());
    own->ReleaseTLibAttr(attributes);
    if (FAILED(hr))
        return held;
    const UINT count = registered->GetTypeInfoCount();
    held.reserve(count + 1);
    for (UINT i = 0; i < count; ++i) {
        Plinth::ComPtr<ITypeInfo> info;
        if (SUCCEEDED(registered->GetTypeInfo(i, info.put())))
            held.emplace_back(Plinth::ComPtr<IUnknown>::Attach(info.detach()));
    }
    held.emplace_back(Plinth::ComPtr<IUnknown>::Attach(registered.detach()));
    return held;
}

HRESULT Serve()
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    if (FAILED(com.Result()))
        return com.Result();
    ModuleScriptPaths module;
    const std::vector<Plinth::ComPtr<IUnknown>> typeLib = GetModuleScriptPaths(nullptr, module)
                                                              ? HoldRegisteredTypeLib(module.raw)
                                                              : std::vector<Plinth::ComPtr<IUnknown>>();
    Plinth::ComPtr<IUnknown> factory;
    HRESULT hr = g_module.GetClassObject(CLSID_ZelConfig, IID_IUnknown, factory.put_void());
    if (FAILED(hr))
        return hr;
    // Each registration serves one client: COM hands it out once, so a dead
    // process's registration is reached by at most one lookup, which fails at
    // once; the creator's second lookup then starts a new server.
    DWORD cookie = 0;
    hr = ::CoRegisterClassObject(CLSID_ZelConfig, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie);
    if (FAILED(hr))
        return hr;
    // The registration's reference locks the module once; every live object adds one.
    const LONG idleLocks = g_module.GetLockCount();
    LONG served = 0;
    DWORD idleMs = 0;
    while (idleMs < kIdleExitMs) {
        ::Sleep(kPollMs);
        // A client took the registration. COM starts a server only for a lookup
        // that finds no registration, so a client whose server another client
        // took would wait in vain: a new registration is offered while this
        // process serves.
        const LONG created = ::InterlockedCompareExchange(&g_created, 0, 0);
        if (created != served && cookie) {
            served = created;
            ::CoRevokeClassObject(cookie);
            cookie = 0;
            if (FAILED(::CoRegisterClassObject(CLSID_ZelConfig, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE,
                                               &cookie)))
                cookie = 0;
        }
        idleMs = g_module.GetLockCount() > idleLocks ? 0 : idleMs + kPollMs;
    }
    return cookie ? ::CoRevokeClassObject(cookie) : S_OK;
}

void FreeArguments(LPWSTR* arguments)
{
    ::LocalFree(arguments);
}

using UniqueArguments = Plinth::UniqueResource<LPWSTR*, &FreeArguments>;

bool IsSwitch(const wchar_t* argument, const wchar_t* name)
{
    return (argument[0] == L'/' || argument[0] == L'-') &&
           ::CompareStringOrdinal(argument + 1, -1, name, -1, TRUE) == CSTR_EQUAL;
}

} // namespace

CComModuleBase& GetComModule()
{
    return g_module;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (g_module.InitFailed())
        return static_cast<int>(E_UNEXPECTED);
    int count = 0;
    const UniqueArguments arguments(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (arguments && count > 1 && IsSwitch(arguments.get()[1], L"RegServer"))
        return static_cast<int>(Register());
    if (arguments && count > 1 && IsSwitch(arguments.get()[1], L"UnregServer"))
        return static_cast<int>(Unregister());
    return static_cast<int>(Serve());
}
