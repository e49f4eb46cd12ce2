#pragma once
// The product's install directory and its resource DLL "ZelRes2.DLL", which
// holds the product's localised texts.
#include <windows.h>

#include "zelcom/CoMemAlloc.h"

// String ids of the resource DLL.
constexpr UINT kIdsProductName = 14011;
constexpr UINT kIdsVersionLabel = 11011;
constexpr UINT kIdsMajorMinorLabel = 11012;
constexpr UINT kIdsLastUpdateLabel = 11013;
constexpr UINT kIdsLanguagePackLabel = 11014;
constexpr UINT kIdsBuildLabel = 14119;

// "Install Dir" of HKLM\Software\Varkon\ZEL, in its short (8.3) form when
// asked. False, with an empty buffer, when the value is missing, malformed or
// longer than size - 1 units.
bool GetInstallDir(wchar_t* buffer, size_t size, bool shortForm);

// The full path of the file name in the install directory (short form):
// ERROR_SUCCESS, or with an empty buffer ERROR_FILE_NOT_FOUND when the install
// directory is not known, ERROR_FILENAME_EXCED_RANGE when the path does not fit
// the buffer whole, and ERROR_BAD_PATHNAME when it is not fully qualified
// (empty, relative or drive-relative), so that no search order or current
// folder can stand in for the install directory.
DWORD GetInstallFilePath(const wchar_t* name, wchar_t* buffer, size_t size);

// GetInstallFilePath of the resource DLL.
DWORD GetResourceDllPath(wchar_t* buffer, size_t size);

// String id of the resource DLL; true when a non-empty string was found, the
// owner then holding a copy (or null when memory ran out).
bool LoadResString(UINT id, CCoMemAlloc<wchar_t>& owner);

// The resource DLL of a process: loaded on the first request only, and never
// again after a failure. A path that GetResourceDllPath refuses is not loaded
// at all, and the reason is logged once.
class ResourceModuleState
{
public:
    using LoadFunction = HMODULE (*)(const wchar_t* path);
    explicit ResourceModuleState(LoadFunction load);
    ~ResourceModuleState();
    ResourceModuleState(const ResourceModuleState&) = delete;
    ResourceModuleState& operator=(const ResourceModuleState&) = delete;

    // Null when the DLL could not be loaded.
    HMODULE Module();
    bool LoadText(UINT id, CCoMemAlloc<wchar_t>& owner);

private:
    static BOOL CALLBACK LoadOnce(INIT_ONCE* once, void* state, void** context);

    LoadFunction m_load;
    INIT_ONCE m_tried = INIT_ONCE_STATIC_INIT;
    HMODULE m_module = nullptr;
};

ResourceModuleState& GetResourceModuleState();
