#pragma once
// Removal of this program's own file. A running program's file cannot be
// deleted, but it can be renamed: the removal first moves it into the
// temporary folder, so that everything the record names, the folders that held
// the program included, goes at once. A short-lived copy of the program,
// started from the temporary folder, then deletes the moved file once this
// process has ended. The copy was opened to be deleted on close and the copy's
// process holds that handle, so its file goes when it ends. Nothing stays
// behind, and no restart of Windows is needed.
#include <string>
#include <vector>

namespace VkInst {

// The switch the short-lived copy is started with.
constexpr wchar_t kFinishSwitch[] = L"/finish";

// Moves the running program's file into the temporary folder. When it cannot
// be moved, it and the folders given (deepest first) are left to be deleted
// when Windows next starts, and moved is empty.
bool MoveImageAside(const std::wstring& image, const std::vector<std::wstring>& folders, std::wstring& moved);

// Starts the copy that deletes moved once this process has ended.
bool StartFinisher(const std::wstring& moved);

// The copy's part: waits for the process whose handle it inherited, then
// deletes the moved file, which must be one of ours in the temporary folder.
int Finish(const std::wstring& processHandle, const std::wstring& moved);

} // namespace VkInst
