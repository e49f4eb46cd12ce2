#include "installer/SelfRemoval.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cwchar>
#include <vector>

#include "installer/InstallSupport.h"
#include "installer/Installer.h"
#include "installer/TreeRemoval.h"
#include "plinth/FolderSecurity.h"
#include "plinth/WideFormat.h"

namespace VkInst {

namespace {

constexpr wchar_t kFolderPrefix[] = L"vki";
constexpr wchar_t kMovedName[] = L"VkInst.old";
constexpr wchar_t kFinisherName[] = L"VkInst.exe";
constexpr int kFolderAttempts = 16;
constexpr DWORD kParentWaitMs = 120000;
constexpr int kDeleteAttempts = 50;
constexpr DWORD kDeleteRetryMs = 100;

using UniqueAttributes = Plinth::UniqueResource<LPPROC_THREAD_ATTRIBUTE_LIST, &::DeleteProcThreadAttributeList>;
using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);

// The temporary folder in its final form: GetTempPath2W's where the platform
// has it (for the system account a folder users cannot write), else GetTempPathW's.
std::wstring TempFolder()
{
    const auto tempPath2 = reinterpret_cast<GetTempPath2Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = tempPath2 ? tempPath2(MAX_PATH + 1, buffer) : ::GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring folder;
    if (length == 0 || length > MAX_PATH || Plinth::GetBaseFolder(buffer, folder) != ERROR_SUCCESS)
        return {};
    return folder;
}

std::wstring RandomName()
{
    ULONG bits = 0;
    std::wstring name;
    if (!::RtlGenRandom(&bits, sizeof(bits)) || !Plinth::FormatWideString(name, L"%s%08lx", kFolderPrefix, bits))
        return {};
    return name;
}

// A new folder below the temporary folder with the administrators-only
// descriptor, held without delete sharing; false when none could be made.
bool MakeFolder(MovedImage& moved)
{
    const std::wstring temp = TempFolder();
    Plinth::UniqueLocalMemory descriptor;
    if (temp.empty() ||
        Plinth::MakeSecurityDescriptor(Plinth::kAdministratorsOnlyFolderSddl, descriptor) != ERROR_SUCCESS)
        return false;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        const std::wstring name = RandomName();
        const std::wstring folder = Join(temp, name);
        if (name.empty() || !::CreateDirectoryW(folder.c_str(), &attributes))
            continue;
        moved.handle.reset(Plinth::HandleOrNull(::CreateFileW(
            folder.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
        if (moved.handle && Plinth::CheckHeldPath(moved.handle.get(), folder) == ERROR_SUCCESS) {
            moved.folder = folder;
            return true;
        }
        moved.handle.reset();
    }
    return false;
}

bool MarkForDeletion(HANDLE held)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(held, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

void DeleteAtRestart(const std::wstring& path)
{
    if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        Complain(L"cannot remove " + path + L", not even when Windows starts next");
}

void GiveUp(MovedImage& moved)
{
    DeleteAtRestart(moved.path);
    DeleteAtRestart(moved.folder);
}

bool ParseHandle(const std::wstring& text, HANDLE& handle)
{
    wchar_t* end = nullptr;
    const unsigned long long value = std::wcstoull(text.c_str(), &end, 10);
    if (text.empty() || *end != L'\0' || value == 0)
        return false;
    handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    return true;
}

// Moves the held file out of its folder, beside the folder, where it goes
// when its handle closes; the folder can go then.
bool MoveOut(HANDLE file, const std::wstring& folder)
{
    // A full path is given in its NT form.
    const std::wstring target = L"\\??\\" + folder + L".tmp";
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::wmemcpy(rename->FileName, target.c_str(), target.size() + 1);
    return ::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != FALSE;
}

} // namespace

bool MoveImageAside(const std::wstring& image, const std::vector<std::wstring>& folders, MovedImage& moved)
{
    if (MakeFolder(moved)) {
        moved.path = Join(moved.folder, kMovedName);
        if (::MoveFileExW(image.c_str(), moved.path.c_str(), 0))
            return true;
        MarkForDeletion(moved.handle.get());
        moved.handle.reset();
    }
    moved.path.clear();
    Complain(L"cannot move " + image + L" out of the way; it goes when Windows starts next");
    DeleteAtRestart(image);
    for (const std::wstring& folder : folders)
        DeleteAtRestart(folder);
    return false;
}

bool StartFinisher(MovedImage& moved)
{
    const std::wstring copy = Join(moved.folder, kFinisherName);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    // Opened for deletion on close before it runs, and shared with nobody who
    // would write or delete it: what starts is what was copied, and when the
    // last handle, the one the copy inherits, closes with its process, it goes.
    Plinth::UniqueHandle copyHandle;
    if (::CopyFileW(moved.path.c_str(), copy.c_str(), TRUE))
        copyHandle.reset(
            Plinth::HandleOrNull(::CreateFileW(copy.c_str(), DELETE | GENERIC_READ, FILE_SHARE_READ, &inherit,
                                               OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr)));
    Plinth::UniqueHandle self;
    if (!copyHandle || Plinth::CheckHeldFile(copyHandle.get(), copy) != ERROR_SUCCESS ||
        !::SetHandleInformation(moved.handle.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
        !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), self.put(),
                           SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0)) {
        GiveUp(moved);
        return false;
    }

    // Only these handles go to the copy, not the caller's pipes.
    HANDLE inherited[] = {copyHandle.get(), self.get(), moved.handle.get()};
    SIZE_T attributeBytes = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeBytes);
    std::vector<BYTE> attributeMemory(attributeBytes);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeMemory.data());
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeBytes)) {
        GiveUp(moved);
        return false;
    }
    const UniqueAttributes attributeOwner(attributes);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.lpAttributeList = attributes;
    std::wstring commandLine;
    PROCESS_INFORMATION process = {};
    const auto number = [](HANDLE handle) {
        return static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(handle));
    };
    const bool started =
        ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof(inherited),
                                    nullptr, nullptr) &&
        Plinth::FormatWideString(commandLine, L"\"%s\" %s %llu %llu %llu", copy.c_str(), kFinishSwitch,
                                 number(self.get()), number(moved.handle.get()), number(copyHandle.get())) &&
        ::CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                         DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                         &process);
    if (!started) {
        GiveUp(moved);
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

int Finish(const std::wstring& process, const std::wstring& folder, const std::wstring& self)
{
    HANDLE values[3] = {};
    if (!ParseHandle(process, values[0]) || !ParseHandle(folder, values[1]) || !ParseHandle(self, values[2]))
        return kExitUsage;
    const Plinth::UniqueHandle parent(values[0]);
    const Plinth::UniqueHandle heldFolder(values[1]);
    const Plinth::UniqueHandle image(values[2]);
    // Only the folder this copy runs from is ever touched, and only a process
    // is waited for: a handle that did not come through would otherwise hold
    // this copy, and a host waiting for it, for the whole wait.
    std::wstring folderPath;
    std::wstring imagePath;
    if (Plinth::GetFinalPath(heldFolder.get(), folderPath) != ERROR_SUCCESS ||
        Plinth::GetFinalPath(image.get(), imagePath) != ERROR_SUCCESS ||
        !SameName(imagePath, Join(folderPath, kFinisherName)) || ::GetProcessId(parent.get()) == 0)
        return kExitUsage;
    ::WaitForSingleObject(parent.get(), kParentWaitMs);
    const std::wstring moved = Join(folderPath, kMovedName);
    std::vector<Leftover> left;
    for (int attempt = 1; !RemoveFile(moved, left); ++attempt) {
        if (attempt == kDeleteAttempts) {
            DeleteAtRestart(moved);
            DeleteAtRestart(folderPath);
            return kExitIncomplete;
        }
        left.clear();
        ::Sleep(kDeleteRetryMs);
    }
    if (!MoveOut(image.get(), folderPath) || !MarkForDeletion(heldFolder.get())) {
        DeleteAtRestart(folderPath);
        return kExitIncomplete;
    }
    return kExitOk;
}

} // namespace VkInst
