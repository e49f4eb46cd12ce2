// A DLL as an attacker would plant it where a search might find it: loading it
// leaves "planted.marker" in its folder, so a test can tell that its code ran.
#include <windows.h>

#include <cwchar>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    constexpr wchar_t kMarker[] = L"planted.marker";
    // Long enough for the over-long folders the tests plant in, written in
    // the form that lifts the MAX_PATH limit.
    wchar_t path[1024] = L"\\\\?\\";
    const DWORD room = ARRAYSIZE(path) - 4 - ARRAYSIZE(kMarker);
    const DWORD length = ::GetModuleFileNameW(instance, path + 4, room);
    wchar_t* slash = length && length < room ? std::wcsrchr(path, L'\\') : nullptr;
    if (!slash)
        return TRUE;
    std::wmemcpy(slash + 1, kMarker, ARRAYSIZE(kMarker));
    HANDLE marker = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE)
        ::CloseHandle(marker);
    return TRUE;
}
