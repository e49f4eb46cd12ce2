#pragma once
// Removal of this program's own file. A running program's file cannot be
// deleted, but it can be renamed: the removal first moves it into a new
// folder below the temporary folder that only administrators and the system
// can write, so that everything the record names, the folders that held the
// program included, goes at once. A short-lived copy of the program, made and
// started in that folder, then deletes the moved file once this process has
// ended, moves itself out and deletes the folder. The copy was opened to be
// deleted on close and only the copy's process holds that handle, so its file
// goes when it ends. Nothing stays behind, no restart of Windows is needed,
// and nothing a user can write is loaded or run on the way.
#include <string>
#include <vector>

#include "plinth/Owners.h"

namespace VkInst {

// The switch the short-lived copy is started with.
constexpr wchar_t kFinishSwitch[] = L"/finish";

// The folder the program's file was moved into, held without delete sharing.
struct MovedImage
{
    std::wstring folder;
    Plinth::UniqueHandle handle;
    std::wstring path;
};

// Moves the running program's file into a new folder of its own. When it
// cannot be moved, it and the folders given (deepest first) are left to be
// deleted when Windows next starts, and moved.path is empty.
bool MoveImageAside(const std::wstring& image, const std::vector<std::wstring>& folders, MovedImage& moved);

// Starts the copy that deletes the moved file once this process has ended.
bool StartFinisher(MovedImage& moved);

// The copy's part, given the handles it inherited (as decimal numbers): waits
// for the process, deletes the moved file in the folder, then the folder.
int Finish(const std::wstring& process, const std::wstring& folder, const std::wstring& self);

} // namespace VkInst
