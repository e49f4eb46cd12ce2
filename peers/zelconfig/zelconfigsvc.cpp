// The configuration service: a local server started by COM on demand. It
// registers its class object, serves calls on RPC threads, and leaves once no
// object of it has lived for a short while.
#include <windows.h>

#include "peers/zelconfig/ConfigObjects.h"
#include "peers/zelconfig/ZelConfigData.h"
#include "zelcom/Registration.h"
#include "zelcom/LocalServerClassFactory.h"

namespace {

constexpr UINT kServiceScript = 100;
constexpr DWORD kPollMs = 100;
constexpr DWORD kIdleExitMs = 2000;

ObjectMapEntry g_objectMap[] = {
    {&CLSID_ZelConfig, kServiceScript, &CVkLocalServerClassFactory::CreateClassObject,
     &CComObject<CZelConfig>::CreateInstance, nullptr},
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
    wchar_t identity[39];
    GuidToText(CLSID_ZelConfig, clsid);
    GuidToText(IID_IVkClassFactory, factory);
    GuidToText(IID_IVkClassFactory_PreComponentization, preFactory);
    GuidToText(IID_IZelServerIdentity, identity);
    // The proxy/stub class is named after the first interface it serves.
    const RegistryReplacement replacements[] = {{L"Module", module.quoted},
                                                {L"Module_Raw", module.raw},
                                                {L"Proxy", proxy},
                                                {L"CLSID", clsid},
                                                {L"PSCLSID", factory},
                                                {L"IID_FACTORY", factory},
                                                {L"IID_PREFACTORY", preFactory},
                                                {L"IID_IDENTITY", identity}};
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

// The platform's COM withdraws an interface's RPC registration when the
// process's last stub of it goes, and waits there for the interface's calls
// under a lock that new stubs need; with stubs coming and going under load,
// the service hung. One stub of each interface the service hands out is kept
// for as long as it serves. They are disconnected at the end, which withdraws
// the registrations without that wait.
class CStubKeeper
{
public:
    CStubKeeper() = default;
    CStubKeeper(const CStubKeeper&) = delete;
    CStubKeeper& operator=(const CStubKeeper&) = delete;
    ~CStubKeeper()
    {
        for (size_t i = 0; i < m_count; ++i)
            ::CoDisconnectObject(m_objects[i].get(), 0);
    }

    template <class Object>
    void Keep(REFIID iid)
    {
        Plinth::ComPtr<IUnknown> object;
        if (SUCCEEDED(CComObject<Object>::CreateInstance(iid, object.put_void())))
            Keep(object.get(), iid);
    }

    // A table-strong marshal keeps the stub until the object is disconnected;
    // the marshaled data itself is not needed.
    void Keep(IUnknown* object, REFIID iid)
    {
        Plinth::ComPtr<IStream> stream;
        if (m_count == kMaxObjects || FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) ||
            FAILED(::CoMarshalInterface(stream.get(), iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG)))
            return;
        object->AddRef();
        m_objects[m_count++] = Plinth::ComPtr<IUnknown>::Attach(object);
    }

private:
    static constexpr size_t kMaxObjects = 8;
    Plinth::ComPtr<IUnknown> m_objects[kMaxObjects];
    size_t m_count = 0;
};

// An object of each interface, made for the purpose. The class object is one
// of its own, neither cached nor registered, so the cached one's references
// stay the clients'. It comes first: its stub loads the proxy DLL, which holds
// the service's type library before any automation stub takes it.
void KeepServedStubs(CStubKeeper& keeper)
{
    Plinth::ComPtr<IUnknown> factory;
    if (SUCCEEDED(CVkLocalServerClassFactory::CreateClassObject(nullptr, IID_IUnknown, factory.put_void()))) {
        keeper.Keep(factory.get(), IID_IVkClassFactory);
        keeper.Keep(factory.get(), IID_IVkClassFactory_PreComponentization);
        keeper.Keep(factory.get(), IID_IZelServerIdentity);
    }
    keeper.Keep<CZelConfig>(IID_IZelConfig);
    keeper.Keep<CZelUserCollection>(IID_IZelConfigCollection);
    keeper.Keep<CZelUserEnum>(IID_IEnumVARIANT);
    keeper.Keep<CZelUserItem>(IID_IZelConfigItem);
    keeper.Keep<CZelBareElement>(IID_IUnknown);
}

// What the service registers with COM in place of its class object. COM asks
// it for an interface only when a client that took the registration asks for
// the class object, so a query marks the registration as used. The class
// object comes from the module's cache, whose client references lock the
// module: a client holding it keeps the process until it has made its object.
class CRegistrationOffer final : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const HRESULT hr = GetComModule().GetClassObject(CLSID_ZelConfig, riid, ppv);
        if (SUCCEEDED(hr))
            ::InterlockedExchange(&m_taken, 1);
        return hr;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_references)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(::InterlockedDecrement(&m_references)); }

    // Whether a client was served since the last call.
    bool Taken() { return ::InterlockedExchange(&m_taken, 0) != 0; }
    // Whether COM still holds the offer: registered, or being asked by a client.
    bool Held() { return ::InterlockedCompareExchange(&m_references, 0, 0) != 0; }

private:
    volatile LONG m_references = 0;
    volatile LONG m_taken = 0;
};

CRegistrationOffer g_offer;

// Each registration serves one client: COM hands it out once, so a dead
// process's registration is reached by at most one lookup, which fails at
// once, and the creator's second lookup starts a new server.
HRESULT Offer(DWORD& cookie)
{
    return ::CoRegisterClassObject(CLSID_ZelConfig, &g_offer, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie);
}

HRESULT Serve()
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    if (FAILED(com.Result()))
        return com.Result();
    CStubKeeper keeper;
    KeepServedStubs(keeper);
    // The kept stubs' objects lock the module too.
    const LONG keptLocks = g_module.GetLockCount();
    DWORD cookie = 0;
    const HRESULT hr = Offer(cookie);
    if (FAILED(hr))
        return hr;
    DWORD idleMs = 0;
    while (idleMs < kIdleExitMs) {
        ::Sleep(kPollMs);
        // COM starts a server only for a lookup that finds no registration, so
        // a client whose server another client took would wait in vain: a new
        // registration is offered while this process serves.
        if (g_offer.Taken()) {
            ::CoRevokeClassObject(cookie);
            if (FAILED(Offer(cookie)))
                cookie = 0;
        }
        idleMs = g_module.GetLockCount() > keptLocks ? 0 : idleMs + kPollMs;
    }
    if (cookie)
        ::CoRevokeClassObject(cookie);
    // A client may have taken the registration just before it was withdrawn;
    // it is served to the end before the process leaves.
    while (g_offer.Held() || g_module.GetLockCount() > keptLocks)
        ::Sleep(kPollMs);
    return S_OK;
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
