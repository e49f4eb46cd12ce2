#pragma once
// zelli.inf: what the installation added, and the old data of what it
// overwrote. An INF-format text file (UTF-16 with a byte-order mark) that
// GetPrivateProfileStringW reads:
//
//   [Version]   Signature="$Windows NT$"
//   [Install]   InstallDir=<folder>
//   [Files]     Count=<n>, then 1= to <n>=: tree,<folder> | folder,<folder> |
//               file,<path> | replaced,<path> | backup,<copy number>,<path>
//   [Servers]   Count=<n>, then inproc,<path> | local,<path>
//   [Registry]  Count=<n>, then key,HKLM\<key> | parent,HKLM\<key> |
//               value,HKLM\<key>,<name>,<type>,<hex data>[,<old type>,<old hex data>]
//
// A field holding a comma or a double quote is quoted, its quotes doubled.
// Every entry line is required: a record with a line missing does not read.
#include <windows.h>

#include <string>
#include <vector>

#include "installer/InstallLayout.h"
#include "installer/InstallSupport.h"

namespace VkInst {

enum class FileEntryKind
{
    // A folder removed with everything in it.
    Tree,
    // A folder removed once it is empty.
    Folder,
    File,
    // A file in a folder users may write that existed and was replaced: its
    // earlier content was not kept, and it goes like a file the installation made.
    Replaced,
    // A file overwritten; its earlier copy is Backup\<copy number>.
    Backup,
};

struct FileEntry
{
    FileEntryKind kind;
    std::wstring path;
    unsigned copy = 0;
};

struct ServerEntry
{
    std::wstring path;
    bool inproc;
};

// A value the installation wrote; old.known when it overwrote one.
struct ValueEntry
{
    std::wstring key;
    std::wstring name;
    RegistryData installed;
    RegistryData old;
};

struct InstallRecord
{
    std::wstring installDir;
    std::vector<FileEntry> files;
    std::vector<ServerEntry> servers;
    // Below HKEY_LOCAL_MACHINE: the highest key of the product's own on each
    // path that did not exist (removed with everything in it), and each shared
    // key that did not exist (removed only once it holds nothing).
    std::vector<std::wstring> keys;
    std::vector<std::wstring> parents;
    std::vector<ValueEntry> values;
};

std::wstring FormatRecord(const InstallRecord& record);
// Writes the record unless the file already holds exactly this text.
bool WriteRecord(const std::wstring& path, const InstallRecord& record);
// False, with the reason in problem, for a missing, incomplete or malformed file.
bool ReadRecord(const std::wstring& path, InstallRecord& record, std::wstring& problem);
// False, with the reason in problem, when an entry names something the
// installation cannot have made.
bool CheckRecord(const InstallRecord& record, const InstallLayout& layout, std::wstring& problem);

} // namespace VkInst
