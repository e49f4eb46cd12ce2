// Asks the module's class object for an object, the way a host does, and
// reports the answer: "<CreateInstance HRESULT> <DllCanUnloadNow HRESULT>".
// Built in signed, unsigned and tampered forms for the trust tests.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ZelLumoAp.h"

int main()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = length ? std::wcsrchr(path, L'\\') : nullptr;
    if (!slash || static_cast<size_t>(slash - path) + 16 >= MAX_PATH)
        return 2;
    std::wcscpy(slash + 1, L"ZelLumoAp.dll");
    HMODULE module = ::LoadLibraryW(path);
    if (!module)
        return 2;
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    auto canUnload =
        reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
    if (!getClassObject || !canUnload)
        return 2;

    IVkClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory, reinterpret_cast<void**>(&factory));
    IUnknown* object = nullptr;
    if (SUCCEEDED(hr)) {
        hr = factory->CreateInstance(IID_IVkApplicationInfo, reinterpret_cast<void**>(&object));
        factory->Release();
    }
    if (object)
        object->Release();
    std::printf("0x%08lX 0x%08lX\n", static_cast<unsigned long>(hr), static_cast<unsigned long>(canUnload()));
    ::FreeLibrary(module);
    return hr == S_OK ? 0 : 1;
}
