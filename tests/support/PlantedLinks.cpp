#include "tests/support/PlantedLinks.h"

#include <windows.h>

#include <string>

#include "plinth/FolderSecurity.h"
#include "plinth/Owners.h"

namespace ZelTest {

namespace {

using UniqueFind = Plinth::UniqueResource<HANDLE, &::FindClose>;

// The Unix name of a Windows path, as Wine maps its drives; empty when there
// is none. The path need not exist.
std::wstring UnixPath(const std::wstring& path)
{
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = convert ? convert(path.c_str()) : nullptr;
    if (!name)
        return {};
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    std::wstring result(chars > 0 ? chars - 1 : 0, L'\0');
    if (chars > 1)
        ::MultiByteToWideChar(CP_UTF8, 0, name, -1, result.data(), chars);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs script with /bin/sh, the paths as $1 and $2. Wine does not wait for a
// Unix program it starts, so the script ends by making a marker file, and
// this waits for that (10 seconds at most). False when the script failed.
bool RunShell(const wchar_t* script, const std::wstring& first, const std::wstring& second)
{
    wchar_t temp[MAX_PATH] = {};
    wchar_t marker[MAX_PATH] = {};
    if (!::GetTempPathW(MAX_PATH, temp) || !::GetTempFileNameW(temp, L"lnk", 0, marker) || !::DeleteFileW(marker))
        return false;
    const std::wstring unixFirst = UnixPath(first);
    const std::wstring unixSecond = UnixPath(second);
    const std::wstring unixMarker = UnixPath(marker);
    if (unixFirst.empty() || unixSecond.empty() || unixMarker.empty())
        return false;
    std::wstring commandLine = L"/bin/sh -c \"" + std::wstring(script) + L" && touch \\\"$3\\\"\" sh \"" + unixFirst +
                               L"\" \"" + unixSecond + L"\" \"" + unixMarker + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return false;
    const Plinth::UniqueHandle processHandle(process.hProcess);
    const Plinth::UniqueHandle threadHandle(process.hThread);
    for (int attempt = 0; attempt < 500 && !Exists(marker); ++attempt)
        ::Sleep(20);
    return ::DeleteFileW(marker) != FALSE;
}

std::wstring Extended(const std::wstring& path)
{
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path : L"\\\\?\\" + path;
}

// Whether the entry resolves somewhere else than its own path. A path too long
// for Wine to give its final form counts as not linked, unless it says so.
bool IsLink(const std::wstring& path, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return true;
    const Plinth::UniqueHandle entry(Plinth::HandleOrNull(::CreateFileW(
        Extended(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    std::wstring final;
    if (!entry || Plinth::GetFinalPath(entry.get(), final) != ERROR_SUCCESS)
        return false;
    const std::wstring plain = path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
    return ::CompareStringOrdinal(final.c_str(), static_cast<int>(final.size()), plain.c_str(),
                                  static_cast<int>(plain.size()), TRUE) != CSTR_EQUAL;
}

} // namespace

bool PlantSymbolicLink(const std::wstring& link, const std::wstring& target)
{
    return Exists(target) && RunShell(L"ln -s -- \\\"$1\\\" \\\"$2\\\"", target, link);
}

bool RemovePlantedLink(const std::wstring& link)
{
    return RunShell(L"test -L \\\"$1\\\" && rm -f -- \\\"$1\\\"", link, link);
}

bool PlantHardLink(const std::wstring& link, const std::wstring& target)
{
    return ::CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE;
}

void RemoveTree(const std::wstring& path)
{
    if (path.empty())
        return;
    const std::wstring folder = Extended(path);
    WIN32_FIND_DATAW found = {};
    UniqueFind find(Plinth::HandleOrNull(
        ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0)));
    if (find) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring entry = folder + L"\\" + name;
            if (IsLink(entry, found.dwFileAttributes)) {
                RemovePlantedLink(entry.substr(4));
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(entry);
            } else {
                ::SetFileAttributesW(entry.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(entry.c_str());
            }
        } while (::FindNextFileW(find.get(), &found));
    }
    find.reset();
    ::RemoveDirectoryW(folder.c_str());
}

} // namespace ZelTest
