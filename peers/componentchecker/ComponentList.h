#pragma once
// The checker's configuration and what it learns about each listed file. These
// functions allocate through the standard library and may throw std::bad_alloc;
// the COM methods catch it.
#include <windows.h>

#include <string>
#include <vector>

namespace ComponentChecker {

struct Component
{
    std::wstring name;
    std::wstring path; // environment strings already expanded
};

// Reads every named REG_SZ and REG_EXPAND_SZ value of the key, ordered by name
// without regard to case; other values are skipped. An absent key is an empty list.
HRESULT ReadComponents(HKEY root, const wchar_t* keyPath, std::vector<Component>& components);

// True for an existing file; a folder is not a component file.
bool FileExists(const std::wstring& path);

// "a.b.c.d" from the file's fixed version information; false when it has none.
bool GetFileVersionText(const std::wstring& path, std::wstring& version);

} // namespace ComponentChecker
