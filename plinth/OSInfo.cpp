#include "plinth/OSInfo.h"

#include <cwchar>

#include "plinth/FileVersionInfo.h"

namespace Plinth {

BOOL WinOSVersionAPI::VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask)
{
    return ::VerifyVersionInfoW(info, typeMask, conditionMask);
}

namespace internal {

bool ParseProductVersion(const std::wstring& text, DWORD (&parts)[4])
{
    for (DWORD& part : parts)
        part = 0;
    if (text.empty())
        return false;
    size_t start = 0;
    for (int index = 0; index < 4 && start <= text.size(); ++index) {
        size_t end = text.find(L'.', start);
        if (end == std::wstring::npos)
            end = text.size();
        if (end == start)
            return false;
        DWORD value = 0;
        for (size_t i = start; i < end; ++i) {
            if (text[i] < L'0' || text[i] > L'9')
                return false;
            value = value * 10 + static_cast<DWORD>(text[i] - L'0');
        }
        parts[index] = value;
        start = end + 1;
    }
    return true;
}

bool ReadKernelProductVersion(std::wstring& productVersion)
{
    SystemFileVersionInfo info;
    if (!info.Load(L"kernel32.dll"))
        return false;
    productVersion = info.GetString(L"ProductVersion");
    return !productVersion.empty();
}

bool QueryIsWow64()
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    if (!kernel)
        return false;
    auto isWow64Process =
        reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

} // namespace internal
} // namespace Plinth
