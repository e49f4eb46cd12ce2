#pragma once
// Where the product's files, registrations and registry values go on this
// machine. The installation lays out exactly these; its removal touches
// nothing outside them, whatever a damaged record says.
#include <windows.h>

#include <string>
#include <vector>

#include "plinth/FolderSecurity.h"

namespace VkInst {

// A language's satellite of the resource DLL, in a folder named after the language.
constexpr wchar_t kResourceSatellite[] = L"ZelRes2.DLL.mui";

enum class ValueKind
{
    String,
    Dword,
    SealedString,
    SealedMulti,
    SealedDword,
};

// Keys are below HKEY_LOCAL_MACHINE.
struct LayoutValue
{
    std::wstring key;
    std::wstring name;
    ValueKind kind;
    // String and SealedString; for SealedMulti the strings, each ended by a zero.
    std::wstring text;
    DWORD number;
};

struct LayoutFile
{
    // Relative to the source folder.
    std::wstring source;
    std::wstring target;
};

struct LayoutServer
{
    std::wstring path;
    bool inproc;
};

class InstallLayout
{
public:
    // Asks the shell for this machine's folders; false when one is unknown.
    bool Load();

    const std::wstring& InstallDir() const { return m_installDir; }
    std::wstring RecordPath() const;
    std::wstring BackupDir() const;
    // The host demo's log folder and its settings file.
    const std::wstring& LogDir() const { return m_logDir; }
    std::wstring LogSettings() const;
    // Where the log settings are made before they are written into the log folder.
    std::wstring LogSettingsDraft() const;
    // The program-data folder, and the log folder's steps below it, each with
    // the descriptor it is made with.
    const std::wstring& ProgramData() const { return m_programData; }
    std::vector<Plinth::FolderStep> LogFolderSteps() const;
    // Whether standard users may have written there: such files are never
    // copied to or from the install directory, and such folders are checked
    // before they are used.
    bool IsUserWritable(const std::wstring& path) const;
    // Where the module's uninstall command line finds this program.
    std::wstring InstallerPath() const;

    // The files for the given languages of the resource DLL.
    std::vector<LayoutFile> Files(const std::vector<std::wstring>& languages) const;
    // Every folder the files need, from below a known folder down, parents first.
    std::vector<std::wstring> Folders(const std::vector<std::wstring>& languages) const;
    // In registration order.
    std::vector<LayoutServer> Servers() const;
    std::vector<LayoutValue> Values(const std::vector<std::wstring>& publishers) const;
    // Where the installation writes values: below keys of the product's own
    // (with everything in them), or in keys it shares with the host and the
    // maker's other products (only what it wrote).
    bool IsOwnedKey(const std::wstring& key) const;
    bool IsSharedKey(const std::wstring& key) const;

    // Whether the installation can have made these. A tree is a folder removed
    // with everything in it.
    bool IsFolder(const std::wstring& path, bool tree) const;
    bool IsFile(const std::wstring& path) const;
    bool IsServer(const std::wstring& path, bool inproc) const;
    // A key the installation can have made: one of the product's own, or a
    // shared key, on the way to a value it writes.
    bool IsKey(const std::wstring& key, bool owned) const;
    bool IsValue(const std::wstring& key, const std::wstring& name) const;

private:
    // A language folder of the resource DLL below the install directory.
    bool IsLanguageFolder(const std::wstring& path) const;

    std::wstring m_installDir;
    std::wstring m_platformDir;
    std::wstring m_logDir;
    std::wstring m_installerDir;
    std::wstring m_programData;
    // The known folders the layout hangs from.
    std::vector<std::wstring> m_roots;
};

} // namespace VkInst
