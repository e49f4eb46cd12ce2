// A host that ends while the module logs: four threads call GetAppID without
// pause, and once they have made kCallsBeforeExit calls the main thread ends
// the process with ExitProcess, killing them wherever they are.
#include <windows.h>

#include <cwchar>

#include "ZelLumoAp.h"
#include "plinth/Owners.h"

namespace {

constexpr int kThreads = 4;
constexpr LONG kCallsBeforeExit = 400;
volatile LONG g_calls = 0;

DWORD WINAPI CallGetAppId(void* object)
{
    auto* info = static_cast<IVkApplicationInfo*>(object);
    for (;;) {
        LPWSTR id = nullptr;
        long result = 0;
        info->GetAppID(&id, &result);
        ::CoTaskMemFree(id);
        ::InterlockedIncrement(&g_calls);
    }
}

} // namespace

int main()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = length ? std::wcsrchr(path, L'\\') : nullptr;
    if (!slash || static_cast<size_t>(slash - path) + 16 >= MAX_PATH)
        return 2;
    std::wcscpy(slash + 1, L"ZelLumoAp.dll");
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    HMODULE module = ::LoadLibraryW(path);
    if (!module)
        return 2;
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    IVkClassFactory* factory = nullptr;
    if (!getClassObject ||
        FAILED(getClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory, reinterpret_cast<void**>(&factory))))
        return 3;
    IVkApplicationInfo* info = nullptr;
    const HRESULT hr = factory->CreateInstance(IID_IVkApplicationInfo, reinterpret_cast<void**>(&info));
    factory->Release();
    if (FAILED(hr))
        return 4;
    for (int i = 0; i < kThreads; ++i) {
        const Plinth::UniqueHandle thread(::CreateThread(nullptr, 0, CallGetAppId, info, 0, nullptr));
        if (!thread)
            return 5;
    }
    while (g_calls < kCallsBeforeExit)
        ::Sleep(10);
    ::ExitProcess(0);
}
