#include <windows.h>

#include <algorithm>
#include <vector>

#include "installer/Installer.h"
#include "installer/InstallLayout.h"
#include "installer/InstallRecord.h"
#include "installer/InstallSupport.h"
#include "installer/Registration.h"
#include "installer/SelfRemoval.h"
#include "installer/TreeRemoval.h"
#include "substitute/Substitute.h"

namespace VkInst {

namespace {

enum class ValueState
{
    AsInstalled,
    Changed,
    Missing,
};

std::wstring ValueName(const ValueEntry& value)
{
    return L"HKLM\\" + value.key + L"\\" + value.name;
}

ValueState StateOf(const ValueEntry& value)
{
    RegistryData current;
    if (ReadValue(value.key, value.name, current) != ERROR_SUCCESS)
        return ValueState::Missing;
    // A value whose installed data was never recorded is taken as the installation left it.
    if (!value.installed.known || SameData(current, value.installed))
        return ValueState::AsInstalled;
    return ValueState::Changed;
}

bool UnregisterAll(const InstallRecord& record)
{
    bool all = true;
    for (auto server = record.servers.rbegin(); server != record.servers.rend(); ++server) {
        if (!Exists(server->path))
            continue;
        std::wstring failure;
        if (!RegisterServer(server->path, server->inproc, false, failure)) {
            Complain(L"cannot unregister " + server->path + L": " + failure);
            all = false;
        }
    }
    return all;
}

// Shared keys the installation made go once they hold nothing, deepest
// first: what another program added keeps them. The module's run-time copy
// of the host's variables goes with the maker's key, when the installation
// made that.
bool RemoveSharedKeys(const InstallRecord& record)
{
    std::vector<std::wstring> keys = record.parents;
    if (std::any_of(keys.begin(), keys.end(),
                    [](const std::wstring& key) { return SameName(key, L"SOFTWARE\\Varkon"); })) {
        DeleteKeyTree(kVolatileSubstituteKey);
        for (std::wstring key = ParentOf(kVolatileSubstituteKey); !SameName(key, L"SOFTWARE\\Varkon");
             key = ParentOf(key))
            keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end(),
              [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    bool all = true;
    for (const std::wstring& key : keys) {
        const LONG result = DeleteKeyIfEmpty(key);
        if (result == ERROR_DIR_NOT_EMPTY) {
            Say(L"Kept HKLM\\" + key + L": it holds keys or values the installation did not put there");
        } else if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
            Complain(L"cannot delete HKLM\\" + key + L" (error " + std::to_wstring(result) + L")");
            all = false;
        }
    }
    return all;
}

// Keys the installation made go with everything below them, unless a value
// below was changed since; changed values stay, and so do the keys that hold them.
bool UndoRegistry(const InstallRecord& record)
{
    std::vector<ValueState> states;
    for (const ValueEntry& value : record.values)
        states.push_back(StateOf(value));
    bool all = true;
    std::vector<std::wstring> removedKeys;
    for (const std::wstring& key : record.keys) {
        bool keep = false;
        for (size_t i = 0; i < record.values.size(); ++i)
            keep = keep || (states[i] == ValueState::Changed && IsBelow(record.values[i].key, key, true));
        if (keep)
            continue;
        const LONG result = DeleteKeyTree(key);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
            Complain(L"cannot delete HKLM\\" + key + L" (error " + std::to_wstring(result) + L")");
            all = false;
            continue;
        }
        removedKeys.push_back(key);
    }
    for (size_t i = 0; i < record.values.size(); ++i) {
        const ValueEntry& value = record.values[i];
        const bool removed = std::any_of(removedKeys.begin(), removedKeys.end(),
                                         [&value](const std::wstring& key) { return IsBelow(value.key, key, true); });
        if (removed)
            continue;
        if (states[i] == ValueState::Changed) {
            Say(L"Kept " + ValueName(value) + L": it was changed after the installation");
            continue;
        }
        if (states[i] == ValueState::Missing) {
            if (value.old.known)
                Say(L"Left " + ValueName(value) + L" deleted: it was deleted after the installation");
            continue;
        }
        const LONG result =
            value.old.known ? WriteValue(value.key, value.name, value.old) : DeleteValue(value.key, value.name);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
            Complain(L"cannot restore " + ValueName(value) + L" (error " + std::to_wstring(result) + L")");
            all = false;
        }
    }
    return RemoveSharedKeys(record) && all;
}

bool IsFolderEntry(const FileEntry& entry)
{
    return entry.kind == FileEntryKind::Tree || entry.kind == FileEntryKind::Folder;
}

// When the record takes this program's own file, or a folder holding it, the
// file is moved out of the way first.
bool MoveSelfAside(const InstallRecord& record, MovedImage& moved)
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const std::wstring image = length > 0 && length < MAX_PATH ? LongPath(buffer) : std::wstring();
    if (image.empty())
        return true;
    std::vector<std::wstring> holders;
    bool named = false;
    for (const FileEntry& entry : record.files) {
        if (IsFolderEntry(entry) && IsBelow(image, entry.path))
            holders.push_back(entry.path);
        named = named || (!IsFolderEntry(entry) && SameName(image, entry.path));
    }
    if (!named && holders.empty())
        return true;
    std::sort(holders.begin(), holders.end(),
              [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    return MoveImageAside(image, holders, moved);
}

bool RestoreBackups(const InstallLayout& layout, const InstallRecord& record)
{
    bool all = true;
    for (const FileEntry& entry : record.files) {
        if (entry.kind != FileEntryKind::Backup)
            continue;
        const std::wstring copy = Join(layout.BackupDir(), std::to_wstring(entry.copy));
        if (!Exists(copy)) {
            Complain(L"left " + entry.path + L" as it is: its earlier copy is gone");
            all = false;
        } else if (!::CopyFileW(copy.c_str(), entry.path.c_str(), FALSE)) {
            Complain(L"cannot put back " + entry.path);
            all = false;
        }
    }
    return all;
}

bool UndoFiles(const InstallLayout& layout, const InstallRecord& record)
{
    // Overwritten files get their earlier copies back before the folders
    // holding the copies go.
    bool all = RestoreBackups(layout, record);
    std::vector<Leftover> left;
    for (const FileEntry& entry : record.files) {
        if (entry.kind == FileEntryKind::File || entry.kind == FileEntryKind::Replaced)
            RemoveFile(entry.path, left);
    }
    std::vector<FileEntry> folders;
    std::copy_if(record.files.begin(), record.files.end(), std::back_inserter(folders), IsFolderEntry);
    std::sort(folders.begin(), folders.end(),
              [](const FileEntry& a, const FileEntry& b) { return a.path.size() > b.path.size(); });
    for (const FileEntry& folder : folders) {
        if (folder.kind == FileEntryKind::Tree) {
            RemoveTree(folder.path, left);
            continue;
        }
        const DWORD result = RemoveEmptyFolder(folder.path);
        if (result == ERROR_DIR_NOT_EMPTY)
            Say(L"Kept " + folder.path + L": it holds files the installation did not put there");
        else if (result != ERROR_SUCCESS)
            left.push_back({folder.path, result});
    }
    for (const Leftover& leftover : left)
        Complain(L"left " + leftover.path + L": " + Reason(leftover.error));
    return all && left.empty();
}

} // namespace

int Uninstall(const std::wstring& recordPath)
{
    InstallLayout layout;
    if (!layout.Load()) {
        Complain(L"this machine has no program, common-files or program-data folder");
        return kExitRefused;
    }
    const std::wstring path = LongPath(recordPath);
    if (path.empty()) {
        Complain(L"there is no installation record " + recordPath);
        return kExitRefused;
    }
    if (!SameName(path, layout.RecordPath())) {
        Complain(recordPath + L" is not the installation's record " + layout.RecordPath());
        return kExitRefused;
    }
    InstallRecord record;
    std::wstring problem;
    if (!ReadRecord(path, record, problem) || !CheckRecord(record, layout, problem)) {
        Complain(L"the installation record " + recordPath + L" cannot be used, so nothing was changed: " + problem);
        return kExitRefused;
    }

    bool complete = UnregisterAll(record);
    complete = UndoRegistry(record) && complete;
    MovedImage moved;
    complete = MoveSelfAside(record, moved) && complete;
    complete = UndoFiles(layout, record) && complete;
    if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
        ::GetLastError() != ERROR_PATH_NOT_FOUND) {
        Complain(L"cannot delete " + path);
        complete = false;
    }
    if (!moved.path.empty() && !StartFinisher(moved))
        complete = false;
    Say(complete ? L"Removed Varkon Parental Controls"
                 : L"Removed Varkon Parental Controls, except what is named above");
    return complete ? kExitOk : kExitIncomplete;
}

} // namespace VkInst
