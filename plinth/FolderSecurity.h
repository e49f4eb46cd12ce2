#pragma once
// Folders a privileged process shares with standard users: the descriptors the
// product creates its folders with, and the checks that keep such a process
// from acting through a link, a hard link or a folder a user made. Every check
// is made through the handle that is then used, so what was checked is what is
// written, read or deleted.
#include <windows.h>
#include <aclapi.h>

#include <string>

#include "plinth/Owners.h"

namespace Plinth {

// Protected from inheritance: SYSTEM and Administrators have full control,
// users may list and read, nothing more. For every folder the product creates
// under the program-data folder but the log groups.
constexpr wchar_t kProtectedFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// A log group's folder: as above, and users may add a folder (not a file) in
// it and have full control of what they added, so a process without privilege
// can keep its logs in a folder of its own.
constexpr wchar_t kLogGroupFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;BU)(A;OICIIO;FA;;;CO)";

// ERROR_REPARSE_POINT_ENCOUNTERED, which not every SDK names: a link or
// junction stood where a folder or file of our own was expected.
constexpr DWORD kErrorReparsePoint = 4395;

using UniqueLocalMemory = UniqueResource<HLOCAL, &::LocalFree>;

// A self-relative descriptor made from SDDL: 0, 87 for none, or the Win32 code.
DWORD MakeSecurityDescriptor(const wchar_t* sddl, UniqueLocalMemory& descriptor);

// Whether the process runs elevated or as the system account: then anything a
// standard user can reach must be checked before it is used.
bool IsPrivilegedProcess();

// The path the handle's file or folder has now, links resolved, without the
// "\\?\" prefix: 0 or the Win32 code.
DWORD GetFinalPath(HANDLE handle, std::wstring& path);

// 0 when a held file or folder is exactly expected (a fully qualified path in
// its final form): not itself a reparse point, and its final path is expected,
// so no link or junction lies anywhere on the way. 4395 when it is reached
// through one, or the Win32 code.
DWORD CheckHeldPath(HANDLE handle, const std::wstring& expected);

// As CheckHeldPath for a file that is to be written or truncated, which must
// also have a single name: 1142 when another name (a hard link) shares it.
DWORD CheckHeldFile(HANDLE file, const std::wstring& expected);

// 0 when the owner of a held object is SYSTEM, the Administrators group or the
// owner of the program-data folder (the system itself on Windows); 1307 for
// any other owner, or the Win32 code.
DWORD CheckOwner(HANDLE object, SE_OBJECT_TYPE type);

// Opens the folder name in parent (a checked folder, by its final path, which
// the caller holds) for
// access, without delete sharing, creating it first with the descriptor sddl
// when it is missing; created says which. The folder must pass CheckHeldPath
// and CheckOwner: a link or a folder someone else made is never adopted.
// Returns 0 or the code of the step that failed, with folder empty.
DWORD OpenTrustedFolder(const std::wstring& parent, const std::wstring& name, const wchar_t* sddl, DWORD access,
                        UniqueHandle& folder, bool& created);

// One folder of a path for OpenTrustedFolderPath, and its descriptor.
struct FolderStep
{
    const wchar_t* name;
    const wchar_t* sddl;
};

// Opens base\steps[0]\steps[1]... with OpenTrustedFolder, one after the
// other, and returns the last (opened for access) with its path. While a
// folder is opened the one above it stays held: Windows renames no folder
// that is held without delete sharing or has a held folder inside, so the
// path checked is the path used. Stops at the first refusal, creating
// nothing below it. base is a folder in its final form (GetBaseFolder).
DWORD OpenTrustedFolderPath(const std::wstring& base, const FolderStep* steps, size_t count, DWORD access,
                            UniqueHandle& folder, std::wstring& path);

// The final form of a trusted base folder (the program-data folder, say): its
// handle's final path, 0 or the Win32 code. Only its being a folder is checked.
DWORD GetBaseFolder(const std::wstring& path, std::wstring& finalPath);

// Test seams. Wine keeps no descriptor on files, and runs every process as one
// user: a test sees the descriptor each folder is created with, and may answer
// an object's owner check in place of the platform (return true with the code
// in result; false leaves the check to the platform). Each setter returns the
// hook it replaced.
using FolderCreatedHook = void (*)(const wchar_t* path, const wchar_t* sddl);
using OwnerCheckHook = bool (*)(HANDLE object, DWORD& result);
FolderCreatedHook SetFolderCreatedHook(FolderCreatedHook hook);
OwnerCheckHook SetOwnerCheckHook(OwnerCheckHook hook);

} // namespace Plinth
