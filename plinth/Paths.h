#pragma once
// Module directories and whole directory paths.
#include <windows.h>

#include <string>

namespace Plinth {

// Splits the module's path at its last backslash. False when the path cannot be
// had or has no backslash.
bool GetModuleDirectory(HMODULE module, std::wstring& directory, bool keepBackslash, std::wstring& fileName);

// Creates a directory and every missing parent. A relative path is taken from
// the current directory, a path beginning with "\" from its drive. code
// receives 0, 183 when the directory already existed, or the failure (87, 3, 82).
bool CreateDirectoryPath(const wchar_t* path, DWORD* code);

} // namespace Plinth
