#include "installer/TreeRemoval.h"

#include <atomic>

#include "plinth/FolderSecurity.h"
#include "plinth/Owners.h"

namespace VkInst {

namespace {

std::atomic<EntryHook> g_beforeEntryOpen{nullptr};

constexpr DWORD kListBytes = 64 * 1024;

bool IsGone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Any length of path, as the platform's own paths are.
std::wstring Extended(const std::wstring& path)
{
    return path.compare(0, 2, L"\\\\") == 0 ? path : L"\\\\?\\" + path;
}

// Opens the entry itself, not what a link points at (where the platform
// allows), with no delete sharing, so that it is not renamed while held.
Plinth::UniqueHandle OpenEntry(const std::wstring& path)
{
    return Plinth::UniqueHandle(Plinth::HandleOrNull(::CreateFileW(
        Extended(path).c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
}

// What a held entry is: 0 with its attributes for one of ours, or
// kErrorReparsePoint when the handle reached another place through a link.
DWORD Inspect(HANDLE entry, const std::wstring& path, DWORD& attributes)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof(tag)))
        return ::GetLastError();
    attributes = tag.FileAttributes;
    // The handle holds the link itself, which goes as a link.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return ERROR_SUCCESS;
    return Plinth::CheckHeldPath(entry, path);
}

// Marks the held entry for deletion when its last handle closes; a folder
// must be empty by then.
DWORD DeleteHeld(HANDLE entry, DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic = {};
        const DWORD rest = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT);
        basic.FileAttributes = rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof(basic)))
            return ::GetLastError();
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof(disposition))
               ? ERROR_SUCCESS
               : ::GetLastError();
}

// The names in a held folder, listed through its handle.
DWORD ListHeld(HANDLE folder, std::vector<std::wstring>& names)
{
    std::vector<BYTE> buffer(kListBytes);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(folder, kind, buffer.data(), kListBytes)) {
            const DWORD error = ::GetLastError();
            return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
        }
        kind = FileIdBothDirectoryInfo;
        for (size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                names.push_back(name);
            if (entry->NextEntryOffset == 0)
                break;
            offset += entry->NextEntryOffset;
        }
    }
}

class Removal
{
public:
    explicit Removal(std::vector<Leftover>& left) : m_left(left) {}

    // Deletes the entry at path: a file, a link, or a folder with everything in it.
    bool Entry(const std::wstring& path, bool folderAllowed)
    {
        const Plinth::UniqueHandle entry = OpenEntry(path);
        if (!entry)
            return IsGone(::GetLastError()) || Leave(path, ::GetLastError());
        DWORD attributes = 0;
        const DWORD checked = Inspect(entry.get(), path, attributes);
        if (checked != ERROR_SUCCESS)
            return Leave(path, checked);
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (folder && !folderAllowed)
            return Leave(path, ERROR_DIRECTORY);
        if (folder && !Contents(entry.get(), path))
            return false;
        const DWORD deleted = DeleteHeld(entry.get(), attributes);
        return deleted == ERROR_SUCCESS || Leave(path, deleted);
    }

private:
    bool Contents(HANDLE folder, const std::wstring& path)
    {
        std::vector<std::wstring> names;
        const DWORD listed = ListHeld(folder, names);
        if (listed != ERROR_SUCCESS)
            return Leave(path, listed);
        bool all = true;
        for (const std::wstring& name : names) {
            const std::wstring child = path + L"\\" + name;
            if (const EntryHook hook = g_beforeEntryOpen.load())
                hook(child);
            all = Entry(child, true) && all;
        }
        return all;
    }

    bool Leave(const std::wstring& path, DWORD error)
    {
        m_left.push_back({path, error});
        return false;
    }

    std::vector<Leftover>& m_left;
};

} // namespace

bool RemoveFile(const std::wstring& path, std::vector<Leftover>& left)
{
    return Removal(left).Entry(path, false);
}

DWORD RemoveEmptyFolder(const std::wstring& path)
{
    const Plinth::UniqueHandle folder = OpenEntry(path);
    if (!folder)
        return IsGone(::GetLastError()) ? ERROR_SUCCESS : ::GetLastError();
    DWORD attributes = 0;
    DWORD result = Inspect(folder.get(), path, attributes);
    if (result != ERROR_SUCCESS)
        return result;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::vector<std::wstring> names;
        result = ListHeld(folder.get(), names);
        if (result != ERROR_SUCCESS)
            return result;
        if (!names.empty())
            return ERROR_DIR_NOT_EMPTY;
    }
    return DeleteHeld(folder.get(), attributes);
}

bool RemoveTree(const std::wstring& folder, std::vector<Leftover>& left)
{
    const size_t before = left.size();
    Removal(left).Entry(folder, true);
    // A folder is deleted when its handle closes, once it is empty; anything
    // the listing could not show (a link to nothing, say) keeps it.
    if (left.size() == before && ::GetFileAttributesW(Extended(folder).c_str()) != INVALID_FILE_ATTRIBUTES)
        left.push_back({folder, ERROR_DIR_NOT_EMPTY});
    return left.size() == before;
}

EntryHook SetBeforeEntryOpenHook(EntryHook hook)
{
    return g_beforeEntryOpen.exchange(hook);
}

} // namespace VkInst
