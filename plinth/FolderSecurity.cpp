#include "plinth/FolderSecurity.h"

#include <sddl.h>

#include <atomic>
#include <vector>

namespace Plinth {

namespace {

std::atomic<FolderCreatedHook> g_folderCreated{nullptr};
std::atomic<OwnerCheckHook> g_ownerCheck{nullptr};

DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The owner of the system folder: TrustedInstaller on Windows, and whoever
// stands for the system where the platform keeps no owners of its own.
DWORD GetSystemFolderOwner(UniqueLocalMemory& descriptor, PSID& owner)
{
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return LastErrorOr(ERROR_PATH_NOT_FOUND);
    const UniqueHandle folder(HandleOrNull(::CreateFileW(system, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    if (!folder)
        return LastErrorOr(ERROR_PATH_NOT_FOUND);
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD result = ::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                           nullptr, nullptr, &raw);
    descriptor.reset(raw);
    return result;
}

bool IsSystemOwner(PSID owner)
{
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return true;
    UniqueLocalMemory descriptor;
    PSID systemOwner = nullptr;
    return GetSystemFolderOwner(descriptor, systemOwner) == ERROR_SUCCESS && systemOwner &&
           ::EqualSid(owner, systemOwner);
}

} // namespace

DWORD MakeSecurityDescriptor(const wchar_t* sddl, UniqueLocalMemory& descriptor)
{
    if (!sddl)
        return ERROR_INVALID_PARAMETER;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr))
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    descriptor.reset(raw);
    return ERROR_SUCCESS;
}

bool IsPrivilegedProcess()
{
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    TOKEN_ELEVATION elevation = {};
    DWORD bytes = 0;
    if (::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &bytes) &&
        elevation.TokenIsElevated)
        return true;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    return ::GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &bytes) &&
           ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, WinLocalSystemSid);
}

DWORD GetFinalPath(HANDLE handle, std::wstring& path)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return LastErrorOr(ERROR_INVALID_HANDLE);
        if (length < buffer.size()) {
            std::wstring result(buffer.data(), length);
            if (result.compare(0, 8, L"\\\\?\\UNC\\") == 0)
                result.erase(2, 6);
            else if (result.compare(0, 4, L"\\\\?\\") == 0)
                result.erase(0, 4);
            path.swap(result);
            return ERROR_SUCCESS;
        }
        buffer.resize(length + 1);
    }
}

DWORD CheckHeldPath(HANDLE handle, const std::wstring& expected)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)))
        return LastErrorOr(ERROR_INVALID_HANDLE);
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return kErrorReparsePoint;
    std::wstring final;
    const DWORD result = GetFinalPath(handle, final);
    if (result != ERROR_SUCCESS)
        return result;
    return SamePath(final, expected) ? ERROR_SUCCESS : kErrorReparsePoint;
}

DWORD CheckHeldFile(HANDLE file, const std::wstring& expected)
{
    const DWORD result = CheckHeldPath(file, expected);
    if (result != ERROR_SUCCESS)
        return result;
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)))
        return LastErrorOr(ERROR_INVALID_HANDLE);
    return standard.NumberOfLinks > 1 ? ERROR_TOO_MANY_LINKS : ERROR_SUCCESS;
}

DWORD CheckOwner(HANDLE object, SE_OBJECT_TYPE type)
{
    DWORD answered = ERROR_SUCCESS;
    const OwnerCheckHook hook = g_ownerCheck.load();
    if (hook && hook(object, answered))
        return answered;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD result =
        ::GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &raw);
    const UniqueLocalMemory descriptor(raw);
    if (result != ERROR_SUCCESS)
        return result;
    return owner && IsSystemOwner(owner) ? ERROR_SUCCESS : ERROR_INVALID_OWNER;
}

DWORD OpenTrustedFolder(const std::wstring& parent, const std::wstring& name, const wchar_t* sddl, DWORD access,
                        UniqueHandle& folder, bool& created)
{
    folder.reset();
    created = false;
    if (parent.empty() || name.empty() || name.find_first_of(L"\\/") != std::wstring::npos)
        return ERROR_INVALID_PARAMETER;
    const std::wstring path = parent + L"\\" + name;
    UniqueLocalMemory descriptor;
    DWORD result = MakeSecurityDescriptor(sddl, descriptor);
    if (result != ERROR_SUCCESS)
        return result;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    if (::CreateDirectoryW(path.c_str(), &attributes)) {
        created = true;
        if (const FolderCreatedHook hook = g_folderCreated.load())
            hook(path.c_str(), sddl);
    } else if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        return LastErrorOr(ERROR_PATH_NOT_FOUND);
    }
    UniqueHandle opened(HandleOrNull(
        ::CreateFileW(path.c_str(), access | READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    if (!opened)
        return LastErrorOr(ERROR_PATH_NOT_FOUND);
    result = CheckHeldPath(opened.get(), path);
    if (result == ERROR_SUCCESS)
        result = CheckOwner(opened.get(), SE_FILE_OBJECT);
    if (result != ERROR_SUCCESS)
        return result;
    folder = std::move(opened);
    return ERROR_SUCCESS;
}

DWORD OpenTrustedFolderPath(const std::wstring& base, const FolderStep* steps, size_t count, DWORD access,
                            UniqueHandle& folder, std::wstring& path)
{
    folder.reset();
    if (!steps || count == 0)
        return ERROR_INVALID_PARAMETER;
    UniqueHandle held;
    std::wstring current = base;
    for (size_t index = 0; index < count; ++index) {
        UniqueHandle next;
        bool created = false;
        const DWORD stepAccess = index + 1 == count ? access : FILE_TRAVERSE;
        const DWORD result =
            OpenTrustedFolder(current, steps[index].name, steps[index].sddl, stepAccess, next, created);
        if (result != ERROR_SUCCESS)
            return result;
        current += L"\\";
        current += steps[index].name;
        held = std::move(next);
    }
    folder = std::move(held);
    path.swap(current);
    return ERROR_SUCCESS;
}

DWORD GetBaseFolder(const std::wstring& path, std::wstring& finalPath)
{
    const UniqueHandle folder(
        HandleOrNull(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    if (!folder)
        return LastErrorOr(ERROR_PATH_NOT_FOUND);
    FILE_BASIC_INFO basic = {};
    if (!::GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &basic, sizeof(basic)))
        return LastErrorOr(ERROR_INVALID_HANDLE);
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_DIRECTORY;
    return GetFinalPath(folder.get(), finalPath);
}

FolderCreatedHook SetFolderCreatedHook(FolderCreatedHook hook)
{
    return g_folderCreated.exchange(hook);
}

OwnerCheckHook SetOwnerCheckHook(OwnerCheckHook hook)
{
    return g_ownerCheck.exchange(hook);
}

} // namespace Plinth
