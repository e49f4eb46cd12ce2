// A DLL as an attacker would plant it where a search might find it: loading
// it leaves the file "planted.marker" in its folder, so a test can tell that
// its code ran.
#include <windows.h>

#include <cwchar>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    constexpr wchar_t kMarker[] = L"planted.marker";
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameW(instance, path, MAX_PATH);
    wchar_t* slash = length && length < MAX_PATH ? std::wcsrchr(path, L'\\') : nullptr;
    if (!slash || static_cast<size_t>(slash + 1 - path) + ARRAYSIZE(kMarker) > ARRAYSIZE(path))
        return TRUE;
    std::wmemcpy(slash + 1, kMarker, ARRAYSIZE(kMarker));
    HANDLE marker = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE)
        ::CloseHandle(marker);
    return TRUE;
}
