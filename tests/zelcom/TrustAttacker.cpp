// An unsigned program doing what an attacker on the machine would:
//   flip <class key> <path A> <path B> <stop event>: sets the key's default
//     value to A, B, A, ... until the event is set;
//   serve <stop event> [<process id>]: registers a class object for the
//     configuration service's class that claims that process (else this one),
//     sets "<stop event>-ready" and serves until the stop event is set; the
//     exit code is the number of objects it was asked for without a proof;
//   -Embedding (as COM starts a local server): leaves "planted.marker" beside it.
#include <windows.h>

#include <cwchar>
#include <string>

#include "zelcom/ZelLumoAp.h"

namespace {

constexpr DWORD kMaxRunMs = 120000;

int Flip(const wchar_t* key, const wchar_t* a, const wchar_t* b, HANDLE stop)
{
    const ULONGLONG end = ::GetTickCount64() + kMaxRunMs;
    for (int i = 0; ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT && ::GetTickCount64() < end; ++i) {
        const wchar_t* path = i % 2 ? b : a;
        ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key, nullptr, REG_SZ, path,
                          static_cast<DWORD>((std::wcslen(path) + 1) * sizeof(wchar_t)));
    }
    return 0;
}

// Answers as the service's class object would, but from this process.
class Impostor final : public IVkClassFactory, public IZelServerIdentity
{
public:
    explicit Impostor(DWORD claimed) : m_claimed(claimed) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkClassFactory))
            *ppv = static_cast<IVkClassFactory*>(this);
        else if (::IsEqualIID(riid, IID_IZelServerIdentity))
            *ppv = static_cast<IZelServerIdentity*>(this);
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(REFIID riid, void** ppv) override
    {
        ::InterlockedIncrement(&created);
        return QueryInterface(riid, ppv);
    }
    STDMETHODIMP GetProcessId(DWORD* processId) override
    {
        *processId = m_claimed;
        return S_OK;
    }
    // The section was shared into another process: nothing to write, but
    // an object all the same.
    STDMETHODIMP CreateProvenInstance(ULONGLONG, REFGUID, REFIID riid, void** ppv) override
    {
        return QueryInterface(riid, ppv);
    }

    volatile LONG created = 0;

private:
    DWORD m_claimed;
};

int Serve(HANDLE stop, const wchar_t* stopName, DWORD claimed)
{
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return -1;
    Impostor impostor(claimed ? claimed : ::GetCurrentProcessId());
    DWORD cookie = 0;
    if (FAILED(::CoRegisterClassObject(CLSID_ZelConfig, static_cast<IVkClassFactory*>(&impostor), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie)))
        return -1;
    const HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (std::wstring(stopName) + L"-ready").c_str());
    if (!ready || !::SetEvent(ready))
        return -1;
    ::WaitForSingleObject(stop, kMaxRunMs);
    ::CoRevokeClassObject(cookie);
    ::CoUninitialize();
    return impostor.created;
}

void LeaveMarker()
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    path = path.substr(0, path.rfind(L'\\') + 1) + L"planted.marker";
    ::CloseHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && std::wcscmp(argv[1] + (argv[1][0] == L'/' || argv[1][0] == L'-'), L"Embedding") == 0) {
        LeaveMarker();
        return 0;
    }
    const bool flip = argc == 6 && std::wcscmp(argv[1], L"flip") == 0;
    const bool serve = (argc == 3 || argc == 4) && std::wcscmp(argv[1], L"serve") == 0;
    HANDLE stop = flip || serve ? ::OpenEventW(SYNCHRONIZE, FALSE, argv[flip ? 5 : 2]) : nullptr;
    if (!stop)
        return -1;
    if (flip)
        return Flip(argv[2], argv[3], argv[4], stop);
    return Serve(stop, argv[2], argc == 4 ? std::wcstoul(argv[3], nullptr, 10) : 0);
}
