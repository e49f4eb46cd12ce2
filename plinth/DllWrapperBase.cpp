#include "plinth/DllWrapperBase.h"

#include <cstdlib>

namespace Plinth {

bool IsFullyQualifiedModulePath(const wchar_t* path)
{
    if (!path)
        return false;
    wchar_t drive[3] = {};
    wchar_t directory[MAX_PATH] = {};
    wchar_t name[256] = {};
    wchar_t extension[256] = {};
    if (::_wsplitpath_s(path, drive, ARRAYSIZE(drive), directory, ARRAYSIZE(directory), name, ARRAYSIZE(name),
                        extension, ARRAYSIZE(extension)) != 0)
        return false;
    // "C:dir\file.dll" names a file relative to the drive's current directory.
    return drive[0] && (directory[0] == L'\\' || directory[0] == L'/') && name[0] && extension[0];
}

DWORD CDllWrapperBase::PreLoadCheck(const wchar_t*)
{
    return ERROR_SUCCESS;
}

DWORD CDllWrapperBase::Load(const wchar_t* path)
{
    const DWORD check = PreLoadCheck(path);
    if (check != ERROR_SUCCESS)
        return check;
    if (m_module)
        return ERROR_SUCCESS;
    if (!IsFullyQualifiedModulePath(path))
        return ERROR_BAD_PATHNAME;
    m_module.reset(::LoadLibraryExW(path, nullptr, 0));
    if (!m_module)
        return ::GetLastError();
    const DWORD lastError = ::GetLastError();
    const auto addRef = reinterpret_cast<DllRefCountFunction>(reinterpret_cast<void*>(Proc("DllAddRef")));
    ::SetLastError(lastError);
    if (addRef)
        addRef(0);
    return ERROR_SUCCESS;
}

void CDllWrapperBase::Release()
{
    if (!m_module)
        return;
    const auto release = reinterpret_cast<DllRefCountFunction>(reinterpret_cast<void*>(Proc("DllRelease")));
    if (release)
        release(0);
    m_module.reset();
}

FARPROC CDllWrapperBase::Proc(const char* name) const
{
    return m_module ? ::GetProcAddress(m_module.get(), name) : nullptr;
}

} // namespace Plinth
