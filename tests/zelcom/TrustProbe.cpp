// Asks the module's class object for an object, the way a host does, and
// reports the answer: "<CreateInstance HRESULT> <DllCanUnloadNow HRESULT>".
// Built in signed, unsigned and tampered forms for the trust tests. With
// --swap it first renames its own running file and copies the signed probe to
// the name it was started from, as an attacker would, and puts both back at
// the end.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "zelcom/ZelLumoAp.h"

namespace {

// The running file's name, and the name it is moved to while the signed probe stands in for it.
wchar_t g_self[MAX_PATH];
wchar_t g_moved[MAX_PATH + 8];

bool Swap(const wchar_t* dir)
{
    wchar_t signedProbe[MAX_PATH + 16];
    std::swprintf(g_moved, MAX_PATH + 8, L"%ls.moved", g_self);
    std::swprintf(signedProbe, MAX_PATH + 16, L"%lstrust_probe.exe", dir);
    return ::MoveFileExW(g_self, g_moved, MOVEFILE_REPLACE_EXISTING) && ::CopyFileW(signedProbe, g_self, FALSE);
}

void Unswap()
{
    if (::GetFileAttributesW(g_moved) == INVALID_FILE_ATTRIBUTES)
        return;
    ::DeleteFileW(g_self);
    ::MoveFileExW(g_moved, g_self, MOVEFILE_REPLACE_EXISTING);
}

// Loads the module beside this program and asks its class object for an object.
int AskForObject(const wchar_t* path)
{
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

} // namespace

int main(int argc, char** argv)
{
    const DWORD length = ::GetModuleFileNameW(nullptr, g_self, MAX_PATH);
    const wchar_t* slash = length ? std::wcsrchr(g_self, L'\\') : nullptr;
    if (!slash || static_cast<size_t>(slash - g_self) + 16 >= MAX_PATH)
        return 2;
    wchar_t path[MAX_PATH] = {};
    std::wmemcpy(path, g_self, static_cast<size_t>(slash - g_self) + 1);
    const bool swap = argc > 1 && std::strcmp(argv[1], "--swap") == 0;
    const bool swapped = swap && Swap(path);
    std::wcscat(path, L"ZelLumoAp.dll");
    const int result = swap && !swapped ? 2 : AskForObject(path);
    if (swap)
        Unswap();
    return result;
}
