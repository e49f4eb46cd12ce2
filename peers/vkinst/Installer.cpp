#include "peers/vkinst/Installer.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <string>

#include "peers/vkinst/InstallLayout.h"
#include "peers/vkinst/InstallRecord.h"
#include "peers/vkinst/InstallSupport.h"
#include "peers/vkinst/Registration.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "plinth/Paths.h"
#include "plinth/RegKey.h"
#include "tools/ToolText.h"

namespace VkInst {

namespace {

constexpr wchar_t kDefaultThumbprints[] = L"trusted.thumbprint";
constexpr wchar_t kLogSection[] = L"Config";
constexpr wchar_t kLogSeverity[] = L"Severity";
// Every level, for the host demo.
constexpr int32_t kLogEveryLevel = 1;
constexpr LONGLONG kLargestThumbprintFile = 64 * 1024;

using UniqueFind = Plinth::UniqueResource<HANDLE, &::FindClose>;

// The language folders of the source that hold a satellite of the resource DLL.
std::vector<std::wstring> SatelliteLanguages(const std::wstring& source)
{
    std::vector<std::wstring> languages;
    WIN32_FIND_DATAW found;
    UniqueFind find(Plinth::HandleOrNull(::FindFirstFileExW(Join(source, L"*").c_str(), FindExInfoBasic, &found,
                                                            FindExSearchLimitToDirectories, nullptr, 0)));
    if (!find)
        return languages;
    do {
        const std::wstring name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L".." &&
            Exists(Join(Join(source, name), kResourceSatellite)))
            languages.push_back(name);
    } while (::FindNextFileW(find.get(), &found));
    std::sort(languages.begin(), languages.end());
    return languages;
}

// The thumbprints of the trusted publishers: hexadecimal words, one or more,
// separated by blanks or line ends.
bool ReadThumbprints(const std::wstring& path, std::vector<std::wstring>& thumbprints)
{
    const Plinth::UniqueHandle file(Plinth::HandleOrNull(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestThumbprintFile)
        return false;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size()))
        return false;
    std::wstring word;
    for (const char c : bytes + "\n") {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            word += static_cast<wchar_t>(c);
            continue;
        }
        if (!std::isspace(static_cast<unsigned char>(c)))
            return false;
        if (!word.empty())
            thumbprints.push_back(word);
        word.clear();
    }
    return !thumbprints.empty();
}

bool Covered(const InstallRecord& record, const std::wstring& path)
{
    for (const FileEntry& entry : record.files) {
        if (IsBelow(path, entry.path, true) && (entry.kind == FileEntryKind::Tree || SameName(path, entry.path)))
            return true;
    }
    return false;
}

bool KeyCovered(const InstallRecord& record, const std::wstring& key)
{
    for (const std::wstring& recorded : record.keys) {
        if (IsBelow(key, recorded, true))
            return true;
    }
    return false;
}

// The highest key of the path, below SOFTWARE, that does not exist; empty when all do.
std::wstring FirstMissingKey(const std::wstring& key)
{
    for (size_t slash = key.find(L'\\', std::wcslen(L"SOFTWARE\\"));; slash = key.find(L'\\', slash + 1)) {
        const std::wstring part = key.substr(0, slash);
        if (!KeyExists(part))
            return part;
        if (slash == std::wstring::npos)
            return {};
    }
}

unsigned NextCopy(const InstallRecord& record)
{
    unsigned copy = 0;
    for (const FileEntry& entry : record.files)
        copy = std::max(copy, entry.copy);
    return copy + 1;
}

// What this installation adds to the record: folders, files and keys that do
// not exist yet, the files and values it overwrites, everything not recorded
// by an earlier installation.
void Plan(const InstallLayout& layout, const std::vector<LayoutFile>& files, const std::vector<std::wstring>& folders,
          const std::vector<LayoutValue>& values, InstallRecord& record)
{
    record.installDir = layout.InstallDir();
    for (const std::wstring& folder : folders) {
        if (Covered(record, folder) || Exists(folder))
            continue;
        const bool tree = SameName(folder, layout.InstallDir()) || SameName(folder, layout.LogDir());
        record.files.push_back({tree ? FileEntryKind::Tree : FileEntryKind::Folder, folder, 0});
    }
    std::vector<std::wstring> targets;
    for (const LayoutFile& file : files)
        targets.push_back(file.target);
    targets.push_back(layout.LogSettings());
    for (const std::wstring& target : targets) {
        if (Covered(record, target))
            continue;
        if (!Exists(target))
            record.files.push_back({FileEntryKind::File, target, 0});
        else
            record.files.push_back({FileEntryKind::Backup, target, NextCopy(record)});
    }
    const bool backups = std::any_of(record.files.begin(), record.files.end(),
                                     [](const FileEntry& entry) { return entry.kind == FileEntryKind::Backup; });
    if (backups && !Covered(record, layout.BackupDir()) && !Exists(layout.BackupDir()))
        record.files.push_back({FileEntryKind::Tree, layout.BackupDir(), 0});
    for (const LayoutServer& server : layout.Servers()) {
        const bool known =
            std::any_of(record.servers.begin(), record.servers.end(),
                        [&server](const ServerEntry& entry) { return SameName(entry.path, server.path); });
        if (!known)
            record.servers.push_back({server.path, server.inproc});
    }
    for (const LayoutValue& value : values) {
        if (KeyCovered(record, value.key))
            continue;
        const std::wstring missing = FirstMissingKey(value.key);
        if (!missing.empty())
            record.keys.push_back(missing);
    }
    for (const LayoutValue& value : values) {
        const bool known = std::any_of(record.values.begin(), record.values.end(), [&value](const ValueEntry& entry) {
            return SameName(entry.key, value.key) && SameName(entry.name, value.name);
        });
        if (known)
            continue;
        ValueEntry entry{value.key, value.name, {}, {}};
        if (!KeyCovered(record, value.key) && ReadValue(value.key, value.name, entry.old) != ERROR_SUCCESS)
            entry.old = RegistryData();
        record.values.push_back(std::move(entry));
    }
}

bool CreateFolder(const std::wstring& folder)
{
    DWORD code = 0;
    if (Plinth::CreateDirectoryPath(folder.c_str(), &code))
        return true;
    Complain(L"cannot create " + folder);
    return false;
}

bool MakeBackups(const InstallLayout& layout, const InstallRecord& record, size_t firstNew)
{
    for (size_t i = firstNew; i < record.files.size(); ++i) {
        const FileEntry& entry = record.files[i];
        if (entry.kind != FileEntryKind::Backup)
            continue;
        const std::wstring copy = Join(layout.BackupDir(), std::to_wstring(entry.copy));
        if (!CreateFolder(layout.BackupDir()) || !::CopyFileW(entry.path.c_str(), copy.c_str(), FALSE)) {
            Complain(L"cannot keep a copy of " + entry.path + L" before overwriting it");
            return false;
        }
    }
    return true;
}

bool CopyFiles(const std::wstring& source, const std::vector<LayoutFile>& files)
{
    for (const LayoutFile& file : files) {
        const std::wstring from = Join(source, file.source);
        // The installed program installing again from its own folder.
        if (SameName(LongPath(from), LongPath(file.target)))
            continue;
        if (!::CopyFileW(from.c_str(), file.target.c_str(), FALSE)) {
            Complain(L"cannot copy " + file.target);
            return false;
        }
    }
    return true;
}

bool RegisterAll(const InstallLayout& layout)
{
    bool all = true;
    for (const LayoutServer& server : layout.Servers()) {
        std::wstring failure;
        if (!RegisterServer(server.path, server.inproc, true, failure)) {
            Complain(L"cannot register " + server.path + L": " + failure);
            all = false;
        }
    }
    return all;
}

LONG SetValue(const LayoutValue& value)
{
    const bool sealed = value.kind == ValueKind::SealedString || value.kind == ValueKind::SealedMulti ||
                        value.kind == ValueKind::SealedDword;
    Plinth::CObfuscatedRegKey sealedKey;
    Plinth::CRegKey plainKey;
    Plinth::CRegKey& key = sealed ? static_cast<Plinth::CRegKey&>(sealedKey) : plainKey;
    const LONG result = key.Create(HKEY_LOCAL_MACHINE, value.key.c_str());
    if (result != ERROR_SUCCESS)
        return result;
    switch (value.kind) {
    case ValueKind::String:
    case ValueKind::SealedString:
        return key.SetStringValue(value.name.c_str(), value.text.c_str());
    case ValueKind::SealedMulti: {
        const std::wstring list = value.text + L'\0';
        return key.SetMultiStringValue(value.name.c_str(), list.c_str());
    }
    default:
        return key.SetDWORDValue(value.name.c_str(), value.number);
    }
}

// Writes the values and notes in the record what each now holds, so that the
// removal can tell a value changed since.
bool SetValues(const std::vector<LayoutValue>& values, InstallRecord& record)
{
    bool all = true;
    for (const LayoutValue& value : values) {
        const LONG result = SetValue(value);
        if (result != ERROR_SUCCESS) {
            Complain(L"cannot write HKLM\\" + value.key + L"\\" + value.name + L" (error " + std::to_wstring(result) +
                     L")");
            all = false;
        }
        for (ValueEntry& entry : record.values) {
            if (SameName(entry.key, value.key) && SameName(entry.name, value.name) &&
                ReadValue(value.key, value.name, entry.installed) != ERROR_SUCCESS)
                entry.installed = RegistryData();
        }
    }
    return all;
}

bool SetLogLevel(const std::wstring& settings)
{
    Plinth::CObfuscatedIniReader reader(true);
    reader.Load(settings);
    int32_t severity = 0;
    if (reader.GetInt(kLogSection, kLogSeverity, severity) && severity == kLogEveryLevel)
        return true;
    if (reader.WriteInt(kLogSection, kLogSeverity, kLogEveryLevel))
        return true;
    Complain(L"cannot set the log level in " + settings);
    return false;
}

} // namespace

void Say(const std::wstring& text)
{
    ZelTools::Write(STD_OUTPUT_HANDLE, text + L"\n");
}

void Complain(const std::wstring& text)
{
    ZelTools::Write(STD_ERROR_HANDLE, L"VkInst: " + text + L"\n");
}

int Install(const std::wstring& sourceFolder, const std::wstring& thumbprints)
{
    const std::wstring source = LongPath(sourceFolder);
    if (source.empty() || !IsDirectory(source)) {
        Complain(L"there is no source folder " + sourceFolder);
        return kExitRefused;
    }
    InstallLayout layout;
    if (!layout.Load()) {
        Complain(L"this machine has no program, common-files or program-data folder");
        return kExitRefused;
    }
    const std::vector<std::wstring> languages = SatelliteLanguages(source);
    const std::vector<LayoutFile> files = layout.Files(languages);
    for (const LayoutFile& file : files) {
        if (!Exists(Join(source, file.source))) {
            Complain(L"the source folder has no " + file.source);
            return kExitRefused;
        }
    }
    const std::wstring thumbprintFile = thumbprints.empty() ? Join(source, kDefaultThumbprints) : thumbprints;
    std::vector<std::wstring> publishers;
    if (!ReadThumbprints(thumbprintFile, publishers)) {
        Complain(L"no thumbprints of trusted publishers in " + thumbprintFile);
        return kExitRefused;
    }

    InstallRecord record;
    std::wstring problem;
    if (Exists(layout.RecordPath()) &&
        (!ReadRecord(layout.RecordPath(), record, problem) || !CheckRecord(record, layout, problem))) {
        Complain(L"the earlier installation's record " + layout.RecordPath() + L" is damaged: " + problem);
        return kExitRefused;
    }
    const size_t firstNew = record.files.size();
    const std::vector<std::wstring> folders = layout.Folders(languages);
    const std::vector<LayoutValue> values = layout.Values(publishers);
    Plan(layout, files, folders, values, record);

    // The record goes into the install directory before anything else changes.
    if (!CreateFolder(layout.InstallDir()))
        return kExitIncomplete;
    if (!WriteRecord(layout.RecordPath(), record)) {
        Complain(L"cannot write " + layout.RecordPath());
        return kExitIncomplete;
    }
    for (const std::wstring& folder : folders) {
        if (!CreateFolder(folder))
            return kExitIncomplete;
    }
    if (!MakeBackups(layout, record, firstNew) || !CopyFiles(source, files))
        return kExitIncomplete;
    bool complete = RegisterAll(layout);
    complete = SetValues(values, record) && complete;
    complete = SetLogLevel(layout.LogSettings()) && complete;
    if (!WriteRecord(layout.RecordPath(), record)) {
        Complain(L"cannot write " + layout.RecordPath());
        return kExitIncomplete;
    }
    if (!complete)
        return kExitIncomplete;
    Say(L"Installed Varkon Parental Controls in " + layout.InstallDir());
    Say(L"Record of the installation: " + layout.RecordPath());
    return kExitOk;
}

} // namespace VkInst
