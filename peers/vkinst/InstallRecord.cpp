#include "peers/vkinst/InstallRecord.h"

#include <cwchar>
#include <cwctype>
#include <string>

#include "plinth/Owners.h"

namespace VkInst {

namespace {

constexpr wchar_t kSignature[] = L"$Windows NT$";
constexpr wchar_t kRootPrefix[] = L"HKLM\\";
// The longest line the profile functions hand back, and the most entries a list may have.
constexpr DWORD kLineChars = 32767;
constexpr unsigned long kMostEntries = 10000;
// What the profile functions return for an entry that is not there; no entry holds it.
constexpr wchar_t kAbsent[] = L"\x01";

std::wstring Quote(const std::wstring& field)
{
    const bool plain = field.find_first_of(L",\"") == std::wstring::npos &&
                       (field.empty() || (!std::iswspace(field.front()) && !std::iswspace(field.back())));
    if (plain)
        return field;
    std::wstring quoted = L"\"";
    for (const wchar_t c : field) {
        quoted += c;
        if (c == L'"')
            quoted += c;
    }
    return quoted + L"\"";
}

bool SplitFields(const std::wstring& line, std::vector<std::wstring>& fields)
{
    fields.clear();
    size_t at = 0;
    for (;;) {
        std::wstring field;
        if (at < line.size() && line[at] == L'"') {
            for (++at;; ++at) {
                if (at >= line.size())
                    return false;
                if (line[at] == L'"') {
                    if (at + 1 < line.size() && line[at + 1] == L'"') {
                        field += L'"';
                        ++at;
                        continue;
                    }
                    ++at;
                    break;
                }
                field += line[at];
            }
            if (at < line.size() && line[at] != L',')
                return false;
        } else {
            const size_t comma = line.find(L',', at);
            field = line.substr(at, comma == std::wstring::npos ? std::wstring::npos : comma - at);
            if (field.find(L'"') != std::wstring::npos)
                return false;
            at = comma == std::wstring::npos ? line.size() : comma;
        }
        fields.push_back(field);
        if (at >= line.size())
            return true;
        ++at;
    }
}

bool ParseNumber(const std::wstring& text, unsigned long limit, unsigned long& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long parsed = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        parsed = parsed * 10 + static_cast<unsigned>(c - L'0');
    }
    if (parsed > limit)
        return false;
    value = static_cast<unsigned long>(parsed);
    return true;
}

std::wstring DataFields(const RegistryData& data)
{
    if (!data.known)
        return L",";
    return std::to_wstring(data.type) + L"," + ToHex(data.bytes);
}

bool ParseData(const std::wstring& type, const std::wstring& hex, RegistryData& data)
{
    unsigned long number = 0;
    if (type.empty() && hex.empty()) {
        data = RegistryData();
        return true;
    }
    if (!ParseNumber(type, MAXDWORD, number) || !FromHex(hex, data.bytes))
        return false;
    data.known = true;
    data.type = number;
    return true;
}

const wchar_t* FileKindName(FileEntryKind kind)
{
    switch (kind) {
    case FileEntryKind::Tree:
        return L"tree";
    case FileEntryKind::Folder:
        return L"folder";
    case FileEntryKind::File:
        return L"file";
    default:
        return L"backup";
    }
}

class Reader
{
public:
    explicit Reader(const std::wstring& path) : m_path(path), m_line(kLineChars + 1) {}

    bool Entry(const wchar_t* section, const wchar_t* key, std::wstring& value, std::wstring& problem)
    {
        const DWORD length = ::GetPrivateProfileStringW(section, key, kAbsent, m_line.data(),
                                                        static_cast<DWORD>(m_line.size()), m_path.c_str());
        value.assign(m_line.data(), length);
        if (value == kAbsent) {
            problem = std::wstring(L"[") + section + L"] lacks its \"" + key + L"=\" line";
            return false;
        }
        if (length >= kLineChars) {
            problem = std::wstring(L"[") + section + L"] " + key + L" is too long";
            return false;
        }
        return true;
    }

    // Calls parse with the fields of every numbered entry of the section.
    template <typename Parse>
    bool List(const wchar_t* section, std::wstring& problem, Parse parse)
    {
        std::wstring text;
        unsigned long count = 0;
        if (!Entry(section, L"Count", text, problem))
            return false;
        if (!ParseNumber(text, kMostEntries, count)) {
            problem = std::wstring(L"[") + section + L"] Count is not a number of entries: " + text;
            return false;
        }
        std::vector<std::wstring> fields;
        for (unsigned long i = 1; i <= count; ++i) {
            if (!Entry(section, std::to_wstring(i).c_str(), text, problem))
                return false;
            if (!SplitFields(text, fields) || !parse(fields)) {
                problem = std::wstring(L"[") + section + L"] entry " + std::to_wstring(i) + L" is malformed: " + text;
                return false;
            }
        }
        return true;
    }

private:
    std::wstring m_path;
    std::vector<wchar_t> m_line;
};

bool ParseFile(const std::vector<std::wstring>& fields, std::vector<FileEntry>& files)
{
    if (fields.size() == 2) {
        for (const FileEntryKind kind : {FileEntryKind::Tree, FileEntryKind::Folder, FileEntryKind::File}) {
            if (fields[0] == FileKindName(kind) && !fields[1].empty()) {
                files.push_back({kind, fields[1], 0});
                return true;
            }
        }
        return false;
    }
    unsigned long copy = 0;
    if (fields.size() != 3 || fields[0] != FileKindName(FileEntryKind::Backup) ||
        !ParseNumber(fields[1], kMostEntries, copy) || copy == 0 || fields[2].empty())
        return false;
    files.push_back({FileEntryKind::Backup, fields[2], copy});
    return true;
}

bool ParseServer(const std::vector<std::wstring>& fields, std::vector<ServerEntry>& servers)
{
    if (fields.size() != 2 || fields[1].empty() || (fields[0] != L"inproc" && fields[0] != L"local"))
        return false;
    servers.push_back({fields[1], fields[0] == L"inproc"});
    return true;
}

bool ParseKeyPath(const std::wstring& text, std::wstring& key)
{
    const size_t prefix = std::wcslen(kRootPrefix);
    if (text.size() <= prefix || !SameName(text.substr(0, prefix), kRootPrefix))
        return false;
    key = text.substr(prefix);
    return true;
}

bool ParseRegistry(const std::vector<std::wstring>& fields, InstallRecord& record)
{
    std::wstring key;
    if (fields.size() < 2 || !ParseKeyPath(fields[1], key))
        return false;
    if (fields[0] == L"key" && fields.size() == 2) {
        record.keys.push_back(key);
        return true;
    }
    if (fields[0] != L"value" || (fields.size() != 5 && fields.size() != 7))
        return false;
    ValueEntry value{key, fields[2], {}, {}};
    if (!ParseData(fields[3], fields[4], value.installed))
        return false;
    if (fields.size() == 7 && (!ParseData(fields[5], fields[6], value.old) || !value.old.known))
        return false;
    record.values.push_back(std::move(value));
    return true;
}

bool ReadBytes(const std::wstring& path, std::string& bytes)
{
    const Plinth::UniqueHandle file(Plinth::HandleOrNull(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 24))
        return false;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return bytes.empty() || (::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                             read == bytes.size());
}

std::wstring Where(const wchar_t* section, size_t index)
{
    return std::wstring(L"[") + section + L"] entry " + std::to_wstring(index + 1) + L" ";
}

// The reason a path or key is refused, or empty when it may stay.
std::wstring Refusal(const std::wstring& path, bool allowed)
{
    if (HasRelativeSegment(path))
        return L"names a path with an empty, \".\" or \"..\" part: " + path;
    if (!allowed)
        return L"names something the installation does not make: " + path;
    return {};
}

} // namespace

std::wstring FormatRecord(const InstallRecord& record)
{
    std::wstring text = L"; Varkon Parental Controls: what the installation added, and the old data of what it\r\n"
                        L"; overwrote. \"<common files (x86)>\\Varkon\\Installer\\VkInst.exe\" \"<this file>\" "
                        L"/uninstall\r\n"
                        L"; takes away exactly that.\r\n";
    text += L"[Version]\r\nSignature=\"" + std::wstring(kSignature) + L"\"\r\n\r\n";
    text += L"[Install]\r\nInstallDir=" + record.installDir + L"\r\n";

    auto list = [&text](const wchar_t* section, const std::vector<std::wstring>& lines) {
        text += std::wstring(L"\r\n[") + section + L"]\r\nCount=" + std::to_wstring(lines.size()) + L"\r\n";
        for (size_t i = 0; i < lines.size(); ++i)
            text += std::to_wstring(i + 1) + L"=" + lines[i] + L"\r\n";
    };
    std::vector<std::wstring> lines;
    for (const FileEntry& file : record.files) {
        const std::wstring copy = file.kind == FileEntryKind::Backup ? std::to_wstring(file.copy) + L"," : L"";
        lines.push_back(std::wstring(FileKindName(file.kind)) + L"," + copy + Quote(file.path));
    }
    list(L"Files", lines);
    lines.clear();
    for (const ServerEntry& server : record.servers)
        lines.push_back(std::wstring(server.inproc ? L"inproc," : L"local,") + Quote(server.path));
    list(L"Servers", lines);
    lines.clear();
    for (const std::wstring& key : record.keys)
        lines.push_back(L"key," + Quote(kRootPrefix + key));
    for (const ValueEntry& value : record.values) {
        std::wstring line =
            L"value," + Quote(kRootPrefix + value.key) + L"," + Quote(value.name) + L"," + DataFields(value.installed);
        if (value.old.known)
            line += L"," + DataFields(value.old);
        lines.push_back(line);
    }
    list(L"Registry", lines);
    return text;
}

bool WriteRecord(const std::wstring& path, const InstallRecord& record)
{
    const std::wstring text = L"\xFEFF" + FormatRecord(record);
    const std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    std::string existing;
    if (ReadBytes(path, existing) && existing == bytes)
        return true;
    // Written beside and then moved over the old record, so that a failure
    // never leaves half a record.
    const std::wstring fresh = path + L".new";
    {
        Plinth::UniqueHandle file(Plinth::HandleOrNull(
            ::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (!file)
            return false;
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !::FlushFileBuffers(file.get())) {
            file.reset();
            ::DeleteFileW(fresh.c_str());
            return false;
        }
    }
    if (::MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    ::DeleteFileW(fresh.c_str());
    return false;
}

bool ReadRecord(const std::wstring& path, InstallRecord& record, std::wstring& problem)
{
    if (!Exists(path) || IsDirectory(path)) {
        problem = L"there is no installation record " + path;
        return false;
    }
    Reader reader(path);
    InstallRecord read;
    std::wstring signature;
    if (!reader.Entry(L"Version", L"Signature", signature, problem))
        return false;
    if (signature != kSignature) {
        problem = L"[Version] Signature is not \"" + std::wstring(kSignature) + L"\"";
        return false;
    }
    if (!reader.Entry(L"Install", L"InstallDir", read.installDir, problem))
        return false;
    const bool complete =
        reader.List(L"Files", problem, [&read](const auto& fields) { return ParseFile(fields, read.files); }) &&
        reader.List(L"Servers", problem, [&read](const auto& fields) { return ParseServer(fields, read.servers); }) &&
        reader.List(L"Registry", problem, [&read](const auto& fields) { return ParseRegistry(fields, read); });
    if (!complete)
        return false;
    record = std::move(read);
    return true;
}

bool CheckRecord(const InstallRecord& record, const InstallLayout& layout, std::wstring& problem)
{
    if (!SameName(record.installDir, layout.InstallDir())) {
        problem = L"[Install] InstallDir is not " + layout.InstallDir() + L": " + record.installDir;
        return false;
    }
    std::vector<unsigned> copies;
    for (size_t i = 0; i < record.files.size(); ++i) {
        const FileEntry& file = record.files[i];
        bool allowed = false;
        switch (file.kind) {
        case FileEntryKind::Tree:
        case FileEntryKind::Folder:
            allowed = layout.IsFolder(file.path, file.kind == FileEntryKind::Tree);
            break;
        default:
            allowed = layout.IsFile(file.path);
        }
        problem = Refusal(file.path, allowed);
        if (problem.empty() && file.kind == FileEntryKind::Backup) {
            for (const unsigned copy : copies) {
                if (copy == file.copy)
                    problem = L"repeats backup copy " + std::to_wstring(copy);
            }
            copies.push_back(file.copy);
        }
        if (!problem.empty()) {
            problem = Where(L"Files", i) + problem;
            return false;
        }
    }
    for (size_t i = 0; i < record.servers.size(); ++i) {
        problem = Refusal(record.servers[i].path, layout.IsServer(record.servers[i].path, record.servers[i].inproc));
        if (!problem.empty()) {
            problem = Where(L"Servers", i) + problem;
            return false;
        }
    }
    for (size_t i = 0; i < record.keys.size(); ++i) {
        problem = Refusal(record.keys[i], layout.IsKey(record.keys[i]));
        if (!problem.empty()) {
            problem = Where(L"Registry", i) + problem;
            return false;
        }
    }
    for (size_t i = 0; i < record.values.size(); ++i) {
        const ValueEntry& value = record.values[i];
        problem = Refusal(value.key, layout.IsValue(value.key, value.name));
        if (!problem.empty()) {
            problem = Where(L"Registry", record.keys.size() + i) + problem + L", " + value.name;
            return false;
        }
    }
    return true;
}

} // namespace VkInst
