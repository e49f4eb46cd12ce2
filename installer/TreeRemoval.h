#pragma once
// Removal of what the installation made, through handles held while each step
// is checked. A folder is held open without delete sharing and confirmed,
// through that handle, to be the folder that was named (not itself a link, its
// final path the expected one) before it is listed through the same handle;
// each entry is then opened, checked and deleted through its own handle. So a
// link swapped in at any moment is never followed: where the handle holds the
// link itself (Windows), the link alone is deleted; where the platform can
// only open what the link points at (Wine), the entry is left and named.
#include <windows.h>

#include <string>
#include <vector>

namespace VkInst {

// Something a removal left, with the reason: kErrorReparsePoint when it
// resolves to another place, else the Win32 code.
struct Leftover
{
    std::wstring path;
    DWORD error;
};

// Deletes a file the installation made; true when it is gone or was never there.
bool RemoveFile(const std::wstring& path, std::vector<Leftover>& left);

// Deletes a folder that holds nothing: 0 when it is gone or was never there,
// ERROR_DIR_NOT_EMPTY when it holds anything, else the reason.
DWORD RemoveEmptyFolder(const std::wstring& path);

// Deletes a folder with everything in it; true when it is gone or was never there.
bool RemoveTree(const std::wstring& folder, std::vector<Leftover>& left);

// Test seam: called with each entry's path after its folder was listed and
// before the entry is opened, the moment a swap would have to happen in a race
// that a test cannot otherwise win reliably. Returns the hook it replaced.
using EntryHook = void (*)(const std::wstring& path);
EntryHook SetBeforeEntryOpenHook(EntryHook hook);

} // namespace VkInst
