#include "plinth/Paths.h"

#include <cwchar>

#include "plinth/WideFormat.h"

namespace Plinth {

namespace {

constexpr size_t kPathChars = MAX_PATH;

bool IsDirectory(const wchar_t* path)
{
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

DWORD CreateRecursively(const wchar_t* path)
{
    if (IsDirectory(path))
        return ERROR_SUCCESS;
    const wchar_t* first = std::wcschr(path, L'\\');
    if (!first)
        return ERROR_SUCCESS;
    const wchar_t* last = std::wcsrchr(path, L'\\');
    if (first != last) {
        wchar_t parent[kPathChars] = {};
        const size_t length = static_cast<size_t>(last - path);
        if (length >= kPathChars)
            return ERROR_FILENAME_EXCED_RANGE;
        std::wmemcpy(parent, path, length);
        const DWORD code = CreateRecursively(parent);
        if (code != ERROR_SUCCESS)
            return code;
    }
    if (::CreateDirectoryW(path, nullptr))
        return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : error;
}

void SetCode(DWORD* code, DWORD value)
{
    if (code)
        *code = value;
}

} // namespace

bool GetModuleDirectory(HMODULE module, std::wstring& directory, bool keepBackslash, std::wstring& fileName)
{
    wchar_t path[kPathChars] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, kPathChars);
    if (length == 0 || length >= kPathChars)
        return false;
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    if (!slash)
        return false;
    fileName.assign(slash + 1);
    directory.assign(path, static_cast<size_t>(slash - path) + (keepBackslash ? 1 : 0));
    return true;
}

bool CreateDirectoryPath(const wchar_t* path, DWORD* code)
{
    if (!path || !*path) {
        SetCode(code, ERROR_INVALID_PARAMETER);
        return false;
    }
    if (IsDirectory(path)) {
        SetCode(code, ERROR_ALREADY_EXISTS);
        return true;
    }
    wchar_t current[kPathChars] = {};
    const DWORD currentLength = ::GetCurrentDirectoryW(kPathChars, current);
    if (currentLength == 0 || currentLength >= kPathChars) {
        SetCode(code, ERROR_PATH_NOT_FOUND);
        return false;
    }
    // A path that does not fit would be cut into another directory's name.
    wchar_t absolute[kPathChars] = {};
    int written = 0;
    if (path[0] == L'\\')
        written = FormatWide(absolute, kPathChars, L"%.2s%s", current, path);
    else if (path[1] == L':')
        written = FormatWide(absolute, kPathChars, L"%s", path);
    else
        written = FormatWide(absolute, kPathChars, L"%s\\%s", current, path);
    if (written < 0 || CreateRecursively(absolute) != ERROR_SUCCESS) {
        SetCode(code, ERROR_CANNOT_MAKE);
        return false;
    }
    SetCode(code, ERROR_SUCCESS);
    return true;
}

} // namespace Plinth
