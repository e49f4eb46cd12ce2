#include "peers/vkinst/SelfRemoval.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "peers/vkinst/Installer.h"
#include "peers/vkinst/InstallSupport.h"
#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

namespace VkInst {

namespace {

constexpr wchar_t kTempPrefix[] = L"vki";
constexpr wchar_t kTempSuffix[] = L".tmp";
constexpr DWORD kParentWaitMs = 120000;
constexpr int kDeleteAttempts = 50;
constexpr DWORD kDeleteRetryMs = 100;

using UniqueAttributes = Plinth::UniqueResource<LPPROC_THREAD_ATTRIBUTE_LIST, &::DeleteProcThreadAttributeList>;

std::wstring TempFolder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        return {};
    std::wstring folder = LongPath(buffer);
    while (folder.size() > 3 && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

// A new empty file of ours in the temporary folder.
std::wstring NewTempFile()
{
    const std::wstring folder = TempFolder();
    wchar_t name[MAX_PATH] = {};
    if (folder.empty() || !::GetTempFileNameW(folder.c_str(), kTempPrefix, 0, name))
        return {};
    return name;
}

bool IsOurTempFile(const std::wstring& path)
{
    const std::wstring folder = TempFolder();
    const std::wstring full = LongPath(path);
    if (folder.empty() || full.empty() || !SameName(ParentOf(full), folder))
        return false;
    const std::wstring name = full.substr(folder.size() + 1);
    const size_t prefix = std::wcslen(kTempPrefix);
    const size_t suffix = std::wcslen(kTempSuffix);
    return name.size() > prefix + suffix && SameName(name.substr(0, prefix), kTempPrefix) &&
           SameName(name.substr(name.size() - suffix), kTempSuffix);
}

void DeleteAtRestart(const std::wstring& path)
{
    if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        Complain(L"cannot remove " + path + L", not even when Windows starts next");
}

} // namespace

bool MoveImageAside(const std::wstring& image, const std::vector<std::wstring>& folders, std::wstring& moved)
{
    moved = NewTempFile();
    if (!moved.empty() && ::MoveFileExW(image.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    if (!moved.empty())
        ::DeleteFileW(moved.c_str());
    moved.clear();
    Complain(L"cannot move " + image + L" out of the way; it goes when Windows starts next");
    DeleteAtRestart(image);
    for (const std::wstring& folder : folders)
        DeleteAtRestart(folder);
    return false;
}

bool StartFinisher(const std::wstring& moved)
{
    const std::wstring copy = NewTempFile();
    if (copy.empty() || !::CopyFileW(moved.c_str(), copy.c_str(), FALSE)) {
        if (!copy.empty())
            ::DeleteFileW(copy.c_str());
        DeleteAtRestart(moved);
        return false;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    // Opened for deletion on close before it runs: when the last handle, the
    // one the copy inherits, closes with the copy's process, the file goes.
    Plinth::UniqueHandle copyHandle(
        Plinth::HandleOrNull(::CreateFileW(copy.c_str(), DELETE | GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                           &inherit, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr)));
    Plinth::UniqueHandle self;
    if (!copyHandle || !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                                          self.put(), SYNCHRONIZE, TRUE, 0)) {
        if (!copyHandle)
            ::DeleteFileW(copy.c_str());
        DeleteAtRestart(moved);
        return false;
    }

    // Only these two handles go to the copy, not the caller's pipes.
    HANDLE inherited[] = {copyHandle.get(), self.get()};
    SIZE_T attributeBytes = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeBytes);
    std::vector<BYTE> attributeMemory(attributeBytes);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeMemory.data());
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeBytes)) {
        DeleteAtRestart(moved);
        return false;
    }
    const UniqueAttributes attributeOwner(attributes);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.lpAttributeList = attributes;
    std::wstring commandLine;
    PROCESS_INFORMATION process = {};
    const bool started = ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                     sizeof(inherited), nullptr, nullptr) &&
                         Plinth::FormatWideString(
                             commandLine, L"\"%s\" %s %llu \"%s\"", copy.c_str(), kFinishSwitch,
                             static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(self.get())), moved.c_str()) &&
                         ::CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                          DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                          &startup.StartupInfo, &process);
    if (!started) {
        DeleteAtRestart(moved);
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

int Finish(const std::wstring& processHandle, const std::wstring& moved)
{
    wchar_t* end = nullptr;
    const unsigned long long value = std::wcstoull(processHandle.c_str(), &end, 10);
    if (processHandle.empty() || *end != L'\0' || !IsOurTempFile(moved))
        return kExitUsage;
    const Plinth::UniqueHandle parent(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)));
    ::WaitForSingleObject(parent.get(), kParentWaitMs);
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        if (::DeleteFileW(moved.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND)
            return kExitOk;
        ::Sleep(kDeleteRetryMs);
    }
    DeleteAtRestart(moved);
    return kExitIncomplete;
}

} // namespace VkInst
