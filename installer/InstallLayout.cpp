#include "installer/InstallLayout.h"

#include <shlobj.h>

#include "installer/InstallSupport.h"
#include "plinth/Owners.h"

namespace VkInst {

namespace {

constexpr wchar_t kRecordName[] = L"zelli.inf";
constexpr wchar_t kBackupName[] = L"Backup";
constexpr wchar_t kVarkonKey[] = L"SOFTWARE\\Varkon";
// Below kVarkonKey, the keys that are the product's alone.
constexpr const wchar_t* kOwnedKeys[] = {L"\\ZEL", L"\\ComponentChecker", L"\\Logging"};

struct ProductFile
{
    const wchar_t* name;
    // Registered by DllRegisterServer, or by /RegServer.
    bool inprocServer;
    bool localServer;
};

// In registration order.
constexpr ProductFile kProductFiles[] = {
    {L"ZelLumoAp.dll", true, false},    {L"ZelRes2.DLL", false, false},     {L"VkComponentChecker.dll", true, false},
    {L"zelconfigsvc.exe", false, true}, {L"ZelConfigPS.dll", false, false}, {L"ZelUserMode.dll", true, false},
};

bool KnownFolder(REFKNOWNFOLDERID id, std::wstring& path)
{
    Plinth::UniqueCoTaskMem<wchar_t> text;
    if (FAILED(::SHGetKnownFolderPath(id, 0, nullptr, text.put())) || !text || !*text.get())
        return false;
    path = text.get();
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return true;
}

LayoutValue Text(const std::wstring& key, const wchar_t* name, const std::wstring& text)
{
    return LayoutValue{std::wstring(kVarkonKey) + key, name, ValueKind::String, text, 0};
}

LayoutValue Number(const std::wstring& key, const wchar_t* name, DWORD number)
{
    return LayoutValue{std::wstring(kVarkonKey) + key, name, ValueKind::Dword, L"", number};
}

} // namespace

bool InstallLayout::Load()
{
    std::wstring programFiles;
    std::wstring commonFiles;
    std::wstring commonFilesX86;
    std::wstring programData;
    if (!KnownFolder(FOLDERID_ProgramFiles, programFiles) || !KnownFolder(FOLDERID_ProgramFilesCommon, commonFiles) ||
        !KnownFolder(FOLDERID_ProgramFilesCommonX86, commonFilesX86) || !KnownFolder(FOLDERID_ProgramData, programData))
        return false;
    m_installDir = programFiles + L"\\Varkon\\Parental Controls";
    m_platformDir = commonFiles + L"\\Varkon\\Platform";
    m_programData = programData;
    m_logDir = programData;
    for (const Plinth::FolderStep& step : LogFolderSteps())
        m_logDir = Join(m_logDir, step.name);
    m_installerDir = commonFilesX86 + L"\\Varkon\\Installer";
    m_roots = {programFiles, commonFiles, commonFilesX86, programData};
    return true;
}

std::wstring InstallLayout::RecordPath() const
{
    return Join(m_installDir, kRecordName);
}

std::wstring InstallLayout::BackupDir() const
{
    return Join(m_installDir, kBackupName);
}

std::wstring InstallLayout::LogSettings() const
{
    return Join(m_logDir, L"log.ini");
}

std::wstring InstallLayout::LogSettingsDraft() const
{
    return Join(m_installDir, L"log.ini.new");
}

std::vector<Plinth::FolderStep> InstallLayout::LogFolderSteps() const
{
    return {{L"Varkon", Plinth::kProtectedFolderSddl},
            {L"VKLOGS", Plinth::kProtectedFolderSddl},
            {L"Zellumoap", Plinth::kLogGroupFolderSddl},
            {L"vkhost", Plinth::kProtectedFolderSddl}};
}

bool InstallLayout::IsUserWritable(const std::wstring& path) const
{
    return IsBelow(path, m_programData);
}

std::wstring InstallLayout::InstallerPath() const
{
    return Join(m_installerDir, L"VkInst.exe");
}

std::vector<LayoutFile> InstallLayout::Files(const std::vector<std::wstring>& languages) const
{
    std::vector<LayoutFile> files;
    for (const ProductFile& file : kProductFiles)
        files.push_back({file.name, Join(m_installDir, file.name)});
    for (const std::wstring& language : languages) {
        const std::wstring relative = Join(language, kResourceSatellite);
        files.push_back({relative, Join(m_installDir, relative)});
    }
    files.push_back({L"Varkon\\Platform\\VkRtMui.dll", Join(m_platformDir, L"VkRtMui.dll")});
    files.push_back({L"VkInst.exe", InstallerPath()});
    return files;
}

std::vector<std::wstring> InstallLayout::Folders(const std::vector<std::wstring>& languages) const
{
    std::vector<std::wstring> targets = {m_installDir};
    for (const std::wstring& language : languages)
        targets.push_back(Join(m_installDir, language));
    targets.insert(targets.end(), {m_platformDir, m_logDir, m_installerDir});

    std::vector<std::wstring> folders;
    auto add = [&folders](const std::wstring& folder) {
        for (const std::wstring& known : folders) {
            if (SameName(known, folder))
                return;
        }
        folders.push_back(folder);
    };
    for (const std::wstring& target : targets) {
        for (const std::wstring& root : m_roots) {
            if (!IsBelow(target, root))
                continue;
            for (size_t slash = target.find(L'\\', root.size() + 1); slash != std::wstring::npos;
                 slash = target.find(L'\\', slash + 1))
                add(target.substr(0, slash));
            add(target);
            break;
        }
    }
    return folders;
}

std::vector<LayoutServer> InstallLayout::Servers() const
{
    std::vector<LayoutServer> servers;
    for (const ProductFile& file : kProductFiles) {
        if (file.inprocServer || file.localServer)
            servers.push_back({Join(m_installDir, file.name), file.inprocServer});
    }
    return servers;
}

std::vector<LayoutValue> InstallLayout::Values(const std::vector<std::wstring>& publishers) const
{
    const std::wstring zel = L"\\ZEL";
    const std::wstring substitute = zel + L"\\AppInfo\\Substitute";
    const std::wstring host = L"\\DOV\\AppInfo\\Substitute";
    const std::wstring query = host + L"\\QueryParams";
    const std::wstring household = zel + L"\\ConfigService";
    const std::wstring users = household + L"\\Users\\";
    const std::wstring components = L"\\ComponentChecker\\Components";
    std::wstring publisherList;
    for (const std::wstring& publisher : publishers)
        publisherList.append(publisher).push_back(L'\0');
    const std::wstring varkon = kVarkonKey;
    return {
        Text(components, L"ZelLumoAp", Join(m_installDir, L"ZelLumoAp.dll")),
        Text(components, L"VkComponentChecker", Join(m_installDir, L"VkComponentChecker.dll")),
        Text(zel, L"Install Dir", m_installDir),
        Text(zel, L"Build", L"17.0.3038.0"),
        Text(zel, L"Last Update", L"2024-12-06"),
        Text(zel, L"Language Pack", L"en-US"),
        Text(substitute, L"build", L"3038"),
        Text(substitute, L"version2", L"17.0"),
        Text(substitute, L"appcode", L"zel"),
        Number(substitute, L"gmtdate", 1733486400),
        Text(host, L"domain", L"update.varkon.example"),
        Text(host, L"lcid", L"1033"),
        Text(host, L"lang", L"en-us"),
        Text(host, L"affid", L"100234"),
        Text(query, L"affid", L"100234"),
        Text(query, L"lang", L"en-us"),
        Text(query, L"langid", L"9"),
        Text(query, L"lcid", L"1033"),
        Number(users + L"parent", L"AgeGroup", 6),
        Number(users + L"parent", L"Protected", 0),
        Number(users + L"child", L"AgeGroup", 3),
        Number(users + L"child", L"Protected", 1),
        Number(users + L"teen", L"AgeGroup", 4),
        Number(users + L"teen", L"Protected", 0),
        Text(household, L"AdminPassword", L"demo-admin"),
        {varkon + zel, L"Trusted Publishers", ValueKind::SealedMulti, publisherList, 0},
        {varkon + zel + L"\\AppInfo", L"isdudatali", ValueKind::SealedString, L"install=demo-0001", 0},
        {varkon + L"\\Logging", L"Logging Mechanism", ValueKind::SealedDword, L"", 1},
    };
}

bool InstallLayout::IsLanguageFolder(const std::wstring& path) const
{
    return IsBelow(path, m_installDir) && SameName(ParentOf(path), m_installDir) &&
           IsLanguageTag(path.substr(m_installDir.size() + 1));
}

bool InstallLayout::IsFolder(const std::wstring& path, bool tree) const
{
    if (HasRelativeSegment(path))
        return false;
    if (tree)
        return SameName(path, m_installDir) || SameName(path, m_logDir) || SameName(path, BackupDir());
    if (IsLanguageFolder(path) || SameName(path, BackupDir()))
        return true;
    for (const std::wstring& folder : Folders({})) {
        if (SameName(path, folder))
            return true;
    }
    return false;
}

bool InstallLayout::IsFile(const std::wstring& path) const
{
    if (HasRelativeSegment(path))
        return false;
    const std::wstring folder = ParentOf(path);
    if (IsLanguageFolder(folder) && SameName(path.substr(folder.size() + 1), kResourceSatellite))
        return true;
    if (SameName(path, LogSettings()))
        return true;
    for (const LayoutFile& file : Files({})) {
        if (SameName(path, file.target))
            return true;
    }
    return false;
}

bool InstallLayout::IsServer(const std::wstring& path, bool inproc) const
{
    for (const LayoutServer& server : Servers()) {
        if (server.inproc == inproc && SameName(path, server.path))
            return true;
    }
    return false;
}

bool InstallLayout::IsOwnedKey(const std::wstring& key) const
{
    for (const wchar_t* owned : kOwnedKeys) {
        if (IsBelow(key, kVarkonKey + std::wstring(owned), true))
            return true;
    }
    return false;
}

bool InstallLayout::IsSharedKey(const std::wstring& key) const
{
    return IsBelow(key, kVarkonKey, true) && !IsOwnedKey(key);
}

bool InstallLayout::IsKey(const std::wstring& key, bool owned) const
{
    if (HasRelativeSegment(key) || (owned ? !IsOwnedKey(key) : !IsSharedKey(key)))
        return false;
    for (const LayoutValue& value : Values({})) {
        if (IsBelow(value.key, key, true))
            return true;
    }
    return false;
}

bool InstallLayout::IsValue(const std::wstring& key, const std::wstring& name) const
{
    for (const LayoutValue& value : Values({})) {
        if (SameName(key, value.key) && SameName(name, value.name))
            return true;
    }
    return false;
}

} // namespace VkInst
