#pragma once
// Paths, hexadecimal text and raw registry data, as the installation and its
// removal compare and record them.
#include <windows.h>

#include <string>
#include <vector>

namespace VkInst {

// A value as the registry stores it. known is false for a value the record
// names without its data.
struct RegistryData
{
    bool known = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

bool SameData(const RegistryData& a, const RegistryData& b);

// Case-insensitive comparison, as Windows compares file and key names.
bool SameName(const std::wstring& a, const std::wstring& b);
// Whether path lies strictly below folder (or is it, with orSame).
bool IsBelow(const std::wstring& path, const std::wstring& folder, bool orSame = false);
// Whether a path or key has an empty, "." or ".." component.
bool HasRelativeSegment(const std::wstring& path);
std::wstring Join(const std::wstring& folder, const std::wstring& name);
std::wstring ParentOf(const std::wstring& path);

bool Exists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// The long form of an existing path (short 8.3 names expanded), made absolute;
// empty when the path does not exist.
std::wstring LongPath(const std::wstring& path);
// Deletes a folder with everything in it. Links inside are removed, never
// followed. False (with the first error) when something stayed.
bool RemoveTree(const std::wstring& folder, DWORD& error);

std::wstring ToHex(const std::vector<BYTE>& bytes);
bool FromHex(const std::wstring& text, std::vector<BYTE>& bytes);

// Keys are below HKEY_LOCAL_MACHINE, in its 64-bit view.
bool KeyExists(const std::wstring& key);
// The stored type and bytes; the registry's error when the key or value is missing.
LONG ReadValue(const std::wstring& key, const std::wstring& name, RegistryData& data);
LONG WriteValue(const std::wstring& key, const std::wstring& name, const RegistryData& data);
LONG DeleteValue(const std::wstring& key, const std::wstring& name);
// Deletes the key with everything below it.
LONG DeleteKeyTree(const std::wstring& key);

} // namespace VkInst
