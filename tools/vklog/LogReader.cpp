#include "tools/vklog/LogReader.h"

#include <algorithm>
#include <cwchar>
#include <map>

#include "plinth/ObfuscatedIniReader.h"
#include "plinth/Owners.h"

namespace VkLog {

namespace {

// Bytes of a file's start remembered to notice that it was made anew.
constexpr size_t kSignatureBytes = 256;

bool ReadNumber(const std::wstring& line, size_t& at, wchar_t after, unsigned& value)
{
    const size_t start = at;
    value = 0;
    while (at < line.size() && line[at] >= L'0' && line[at] <= L'9' && at - start < 5)
        value = value * 10 + static_cast<unsigned>(line[at++] - L'0');
    if (at == start || at >= line.size() || line[at] != after)
        return false;
    ++at;
    return true;
}

// Time stamp and level of a record's first line: "MM/DD/YYYY hh:mm:ss AM$ -- (Level)$".
bool ParseHead(const std::wstring& line, Record& record, size_t& at)
{
    unsigned month, day, year, hour, minute, second;
    at = 0;
    if (!ReadNumber(line, at, L'/', month) || !ReadNumber(line, at, L'/', day) || !ReadNumber(line, at, L' ', year) ||
        !ReadNumber(line, at, L':', hour) || !ReadNumber(line, at, L':', minute) || !ReadNumber(line, at, L' ', second))
        return false;
    const bool pm = line.compare(at, 3, L"PM$") == 0;
    if (!pm && line.compare(at, 3, L"AM$") != 0)
        return false;
    at += 3;
    if (line.compare(at, 5, L" -- (") != 0)
        return false;
    at += 5;
    const size_t close = line.find(L")$", at);
    if (close == std::wstring::npos || hour == 0 || hour > 12)
        return false;
    record.level = line.substr(at, close - at);
    at = close + 2;
    hour = hour % 12 + (pm ? 12 : 0);
    record.time =
        ((((static_cast<uint64_t>(year) * 100 + month) * 100 + day) * 100 + hour) * 100 + minute) * 100 + second;
    return true;
}

// The bracketed columns after the level, each " [...]$" in the writer's fixed
// order, then one space and the message.
void ParseColumns(const std::wstring& line, Record& record, size_t at)
{
    int next = 0; // 0 module, 1 process, 2 source, 3 function
    for (;;) {
        // A column whose bit is set but whose value was empty leaves a lone space.
        while (line.compare(at, 3, L"  [") == 0)
            ++at;
        if (next == 4 || line.compare(at, 2, L" [") != 0)
            break;
        const size_t close = line.find(L"]$", at + 2);
        if (close == std::wstring::npos)
            break;
        const std::wstring inner = line.substr(at + 2, close - at - 2);
        int kind;
        if (inner.compare(0, 4, L"PID:") == 0)
            kind = 1;
        else if (inner.size() >= 2 && inner.compare(inner.size() - 2, 2, L"()") == 0)
            kind = 3;
        else if (inner.size() == 15)
            kind = 0;
        else if (inner.find(L':') != std::wstring::npos)
            kind = 2;
        else
            break;
        if (kind < next)
            break;
        if (kind == 0)
            record.module = Trim(inner);
        if (kind == 3)
            record.function = Trim(inner.substr(0, inner.size() - 2));
        next = kind + 1;
        at = close + 2;
    }
    record.message = at < line.size() ? line.substr(at + 1) : std::wstring();
}

bool Contains(const std::wstring& value, const std::wstring& part)
{
    return part.empty() || Lower(value).find(part) != std::wstring::npos;
}

bool IsLogName(const std::wstring& name)
{
    const size_t n = name.size();
    if (n < 8 || Lower(name.substr(n - 4)) != L".log")
        return false;
    for (size_t i = n - 7; i < n - 4; ++i) {
        if (name[i] < L'0' || name[i] > L'9')
            return false;
    }
    return true;
}

// The index of the file being written, from the folder's settings.
DWORD CurrentIndex(const std::wstring& directory)
{
    Plinth::CObfuscatedIniReader ini(true);
    int32_t index = 0;
    if (!ini.Load(directory + L"\\log.ini") || !ini.GetInt(L"Config", L"LastLogIdx", index) || index < 0)
        return 0;
    return static_cast<DWORD>(index);
}

// Position of a file from the oldest (the one after the current) to the current.
size_t Rank(DWORD index, DWORD current)
{
    return index > current ? index - current - 1 : static_cast<size_t>(1000) + index;
}

bool ReadAll(HANDLE file, std::string& bytes)
{
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return true;
}

bool ReadHead(HANDLE file, std::string& head)
{
    LARGE_INTEGER start = {};
    head.assign(kSignatureBytes, '\0');
    DWORD got = 0;
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
        !::ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &got, nullptr))
        return false;
    head.resize(got);
    return true;
}

} // namespace

std::wstring Lower(std::wstring text)
{
    if (!text.empty())
        ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(L' ');
    return first == std::wstring::npos ? std::wstring() : text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

bool Filter::Matches(const Record& record) const
{
    if (!levels.empty() && std::find(levels.begin(), levels.end(), Lower(record.level)) == levels.end())
        return false;
    return Contains(record.module, module) && Contains(record.function, function) && Contains(record.message, text);
}

LogReader::LogReader(std::wstring root, Filter filter) : m_root(std::move(root)), m_filter(std::move(filter)) {}

std::vector<Record> LogReader::Poll()
{
    Scan(m_root);
    std::vector<Record> records;
    for (size_t file = 0; file < m_files.size(); ++file)
        ReadNew(file, records);
    // The index is read after the files: a writer stores it before it
    // writes into the file it rotated to.
    std::map<std::wstring, DWORD> current;
    for (Record& record : records) {
        const std::wstring& directory = m_families[record.family].directory;
        auto known = current.find(directory);
        if (known == current.end())
            known = current.emplace(directory, CurrentIndex(directory)).first;
        record.rank = Rank(record.index, known->second);
    }
    records.erase(std::remove_if(records.begin(), records.end(), [](const Record& record) { return !record.shown; }),
                  records.end());
    std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        if (a.time != b.time)
            return a.time < b.time;
        if (a.family != b.family)
            return a.family < b.family;
        if (a.rank != b.rank)
            return a.rank < b.rank;
        return a.order < b.order;
    });
    return records;
}

void LogReader::Scan(const std::wstring& directory)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = directory + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            Scan(path);
        else if (IsLogName(name))
            Add(directory, name, path);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

void LogReader::Add(const std::wstring& directory, const std::wstring& name, const std::wstring& path)
{
    for (const LogFile& file : m_files) {
        if (file.path == path)
            return;
    }
    const std::wstring prefix = name.substr(0, name.size() - 7);
    size_t family = 0;
    while (family < m_families.size() &&
           (m_families[family].directory != directory || m_families[family].prefix != prefix))
        ++family;
    if (family == m_families.size())
        m_families.push_back({directory, prefix});
    LogFile file;
    file.path = path;
    file.family = family;
    file.index = std::wcstoul(name.substr(name.size() - 7, 3).c_str(), nullptr, 10);
    m_files.push_back(file);
}

void LogReader::ReadNew(size_t which, std::vector<Record>& records)
{
    LogFile& file = m_files[which];
    // Sharing everything lets writers go on writing, and rotating, while we read.
    const HANDLE opened =
        ::CreateFileW(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return;
    Plinth::UniqueHandle handle(opened);
    LARGE_INTEGER size;
    std::string head;
    if (!::GetFileSizeEx(handle.get(), &size) || !ReadHead(handle.get(), head))
        return;
    // A file made anew by rotation: shorter than what was taken, or another start.
    const size_t compared = std::min(head.size(), file.signature.size());
    if (static_cast<uint64_t>(size.QuadPart) < file.offset ||
        head.compare(0, compared, file.signature, 0, compared) != 0) {
        file.offset = 0;
        file.signature.clear();
        file.hasLast = false;
    }
    if (head.size() < 2 || head.compare(0, 2, "\xFF\xFE") != 0)
        return;
    if (file.offset == 0)
        file.offset = 2;
    LARGE_INTEGER from;
    from.QuadPart = static_cast<LONGLONG>(file.offset);
    std::string bytes;
    std::string headAfter;
    if (!::SetFilePointerEx(handle.get(), from, nullptr, FILE_BEGIN) || !ReadAll(handle.get(), bytes) ||
        !ReadHead(handle.get(), headAfter))
        return;
    // Rotated while we read: take it from the start at the next look.
    if (headAfter.compare(0, head.size(), head) != 0)
        return;
    if (file.signature.size() < kSignatureBytes)
        file.signature = head;

    // Only whole lines: a record may be half written at the end.
    const size_t chars = bytes.size() / 2;
    std::wstring text(chars, L'\0');
    std::copy(bytes.data(), bytes.data() + chars * 2, reinterpret_cast<char*>(text.data()));
    const size_t end = text.rfind(L'\n');
    if (end == std::wstring::npos)
        return;
    file.offset += (end + 1) * 2;
    Split(text.substr(0, end + 1), which, records);
}

void LogReader::Split(const std::wstring& text, size_t which, std::vector<Record>& records)
{
    LogFile& file = m_files[which];
    const size_t first = records.size();
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        end = end == std::wstring::npos ? text.size() : end + 1;
        const std::wstring line = text.substr(start, end - start);
        start = end;
        Record record;
        size_t at = 0;
        if (!ParseHead(line, record, at)) {
            // A message with line ends of its own continues the record before,
            // which an earlier look may have taken.
            if (records.size() > first) {
                records.back().text += line;
                records.back().message += line;
            } else if (file.hasLast) {
                Record more = file.last;
                more.text = line;
                more.message = line;
                more.continues = true;
                records.push_back(std::move(more));
            }
            continue;
        }
        size_t lineEnd = line.size();
        while (lineEnd > at && (line[lineEnd - 1] == L'\n' || line[lineEnd - 1] == L'\r'))
            --lineEnd;
        ParseColumns(line.substr(0, lineEnd), record, at);
        record.text = line;
        record.family = file.family;
        record.file = which;
        record.index = file.index;
        record.order = m_order++;
        records.push_back(std::move(record));
    }
    if (records.size() == first)
        return;
    // A record is judged by the filter once its lines of this look are in.
    for (size_t i = first; i < records.size(); ++i)
        records[i].shown = records[i].continues ? file.last.shown : m_filter.Matches(records[i]);
    file.last = records.back();
    file.last.text.clear();
    file.last.message.clear();
    file.hasLast = true;
}

} // namespace VkLog
