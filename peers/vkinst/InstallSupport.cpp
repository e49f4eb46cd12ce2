#include "peers/vkinst/InstallSupport.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "plinth/Owners.h"
#include "plinth/RegKey.h"

namespace VkInst {

namespace {

using UniqueFind = Plinth::UniqueResource<HANDLE, &::FindClose>;

// Splits a key into its parent and last name; false for a key without a parent.
bool SplitKey(const std::wstring& key, std::wstring& parent, std::wstring& name)
{
    const size_t slash = key.rfind(L'\\');
    if (slash == std::wstring::npos || slash == 0 || slash + 1 == key.size())
        return false;
    parent = key.substr(0, slash);
    name = key.substr(slash + 1);
    return true;
}

bool RemoveEntry(const std::wstring& path, const WIN32_FIND_DATAW& found, DWORD& error)
{
    const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (directory && !link)
        return RemoveTree(path, error);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        ::SetFileAttributesW(path.c_str(), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    if (directory ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str()))
        return true;
    error = ::GetLastError();
    return false;
}

} // namespace

bool SameData(const RegistryData& a, const RegistryData& b)
{
    return a.known == b.known && a.type == b.type && a.bytes == b.bytes;
}

bool SameName(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool IsBelow(const std::wstring& path, const std::wstring& folder, bool orSame)
{
    if (path.size() == folder.size())
        return orSame && SameName(path, folder);
    return path.size() > folder.size() + 1 && path[folder.size()] == L'\\' &&
           SameName(path.substr(0, folder.size()), folder);
}

bool HasRelativeSegment(const std::wstring& path)
{
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(L'\\', start);
        const std::wstring part = path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (part.empty() || part == L"." || part == L"..")
            return true;
        if (end == std::wstring::npos)
            return false;
        start = end + 1;
    }
}

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    return folder + L"\\" + name;
}

std::wstring ParentOf(const std::wstring& path)
{
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring LongPath(const std::wstring& path)
{
    const DWORD fullChars = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (fullChars == 0)
        return {};
    std::wstring full(fullChars, L'\0');
    const DWORD fullLength = ::GetFullPathNameW(path.c_str(), fullChars, full.data(), nullptr);
    if (fullLength == 0 || fullLength >= fullChars)
        return {};
    full.resize(fullLength);
    const DWORD longChars = ::GetLongPathNameW(full.c_str(), nullptr, 0);
    if (longChars == 0)
        return {};
    std::wstring result(longChars, L'\0');
    const DWORD longLength = ::GetLongPathNameW(full.c_str(), result.data(), longChars);
    if (longLength == 0 || longLength >= longChars)
        return {};
    result.resize(longLength);
    return result;
}

bool RemoveTree(const std::wstring& folder, DWORD& error)
{
    bool complete = true;
    WIN32_FIND_DATAW found;
    UniqueFind find(Plinth::HandleOrNull(
        ::FindFirstFileExW(Join(folder, L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0)));
    if (find) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                complete = RemoveEntry(Join(folder, name), found, error) && complete;
        } while (::FindNextFileW(find.get(), &found));
    }
    find.reset();
    if (::RemoveDirectoryW(folder.c_str()))
        return complete;
    if (complete)
        error = ::GetLastError();
    return false;
}

std::wstring ToHex(const std::vector<BYTE>& bytes)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (const BYTE byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

bool FromHex(const std::wstring& text, std::vector<BYTE>& bytes)
{
    if (text.size() % 2 != 0 ||
        !std::all_of(text.begin(), text.end(), [](wchar_t c) { return std::iswxdigit(c) != 0; }))
        return false;
    std::vector<BYTE> result;
    result.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2)
        result.push_back(static_cast<BYTE>(std::wcstoul(text.substr(i, 2).c_str(), nullptr, 16)));
    bytes.swap(result);
    return true;
}

bool KeyExists(const std::wstring& key)
{
    Plinth::CRegKey reg;
    return reg.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS;
}

LONG ReadValue(const std::wstring& key, const std::wstring& name, RegistryData& data)
{
    Plinth::CRegKey reg;
    LONG result = reg.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_QUERY_VALUE);
    if (result != ERROR_SUCCESS)
        return result;
    // The value may grow between the two reads; read until it fits.
    for (;;) {
        DWORD type = REG_NONE;
        ULONG bytes = 0;
        result = reg.QueryValue(name.c_str(), &type, nullptr, &bytes);
        if (result != ERROR_SUCCESS)
            return result;
        std::vector<BYTE> buffer(bytes);
        result = reg.QueryValue(name.c_str(), &type, buffer.data(), &bytes);
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS)
            return result;
        buffer.resize(bytes);
        data.known = true;
        data.type = type;
        data.bytes.swap(buffer);
        return ERROR_SUCCESS;
    }
}

LONG WriteValue(const std::wstring& key, const std::wstring& name, const RegistryData& data)
{
    Plinth::CRegKey reg;
    const LONG result = reg.Create(HKEY_LOCAL_MACHINE, key.c_str());
    if (result != ERROR_SUCCESS)
        return result;
    // The wrapper refuses empty data, which a value may well have held.
    if (data.bytes.empty())
        return ::RegSetValueExW(reg.GetHandle(), name.c_str(), 0, data.type, nullptr, 0);
    return reg.SetValue(name.c_str(), data.type, data.bytes.data(), static_cast<ULONG>(data.bytes.size()));
}

LONG DeleteValue(const std::wstring& key, const std::wstring& name)
{
    Plinth::CRegKey reg;
    const LONG result = reg.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_SET_VALUE);
    if (result != ERROR_SUCCESS)
        return result;
    return reg.DeleteValue(name.c_str());
}

LONG DeleteKeyTree(const std::wstring& key)
{
    std::wstring parent;
    std::wstring name;
    if (!SplitKey(key, parent, name))
        return ERROR_INVALID_PARAMETER;
    Plinth::CRegKey reg;
    const LONG result = reg.Open(HKEY_LOCAL_MACHINE, parent.c_str(), KEY_READ | KEY_WRITE);
    if (result != ERROR_SUCCESS)
        return result;
    return reg.RecurseDeleteKey(name.c_str());
}

} // namespace VkInst
