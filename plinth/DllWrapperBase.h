#pragma once
// A wrapper of one dynamically loaded DLL. The DLL is loaded only by a fully
// qualified path, so the loader's search order can never pick up a planted copy.
#include <windows.h>

#include "plinth/Owners.h"

namespace Plinth {

// Optional exports of a wrapped DLL, told when it is loaded and before it is
// freed; the one argument is reserved and always 0.
using DllRefCountFunction = ULONG(WINAPI*)(DWORD reserved);

class CDllWrapperBase
{
public:
    CDllWrapperBase(const CDllWrapperBase&) = delete;
    CDllWrapperBase& operator=(const CDllWrapperBase&) = delete;

    // Loads the DLL once: 0 when it is loaded, otherwise the Win32 error that
    // stopped it (ERROR_BAD_PATHNAME for a path that is not fully qualified).
    DWORD Load(const wchar_t* path);
    // Tells the DLL it is going ("DllRelease") and frees it.
    void Release();

    HMODULE Module() const { return m_module.get(); }
    FARPROC Proc(const char* name) const;

protected:
    CDllWrapperBase() = default;
    ~CDllWrapperBase() { Release(); }

    // Asked before every load; a non-zero Win32 code refuses the load.
    virtual DWORD PreLoadCheck(const wchar_t* path);

private:
    UniqueModule m_module;
};

// True when path has a drive, a directory from the drive's root, a file name
// and an extension.
bool IsFullyQualifiedModulePath(const wchar_t* path);

} // namespace Plinth
