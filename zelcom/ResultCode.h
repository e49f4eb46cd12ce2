#pragma once
#include <windows.h>

// The outcome a host reads from plResult: 0 for success, otherwise the error's
// low bits (17 when bit 16 is set, else 16) tagged with 0x08000000. Takes a
// Win32 error number or an HRESULT.
constexpr long MakeResultCode(DWORD code)
{
    if (code == 0)
        return 0;
    const DWORD mask = (code & 0x10000) ? 0x1FFFF : 0xFFFF;
    return static_cast<long>(0x08000000 | (code & mask));
}
