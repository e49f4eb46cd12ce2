// A host that ends while the module logs: four threads call GetAppID without
// pause, and once they have made kCallsBeforeExit calls the main thread ends
// the process with ExitProcess, killing them wherever they are.
#include <windows.h>

#include "plinth/Owners.h"
#include "tests/support/TestRegistry.h"
#include "zelcom/ZelLumoAp.h"

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
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
    HMODULE module = ::LoadLibraryW(ZelTest::BinPath(L"ZelLumoAp.dll").c_str());
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
