// Reads the file log writer's logs: every rotated file of every process below a
// folder, merged by time stamp and filtered; with --follow it keeps printing
// new records, across rotation. Exit codes: 0 success, 1 usage, 2 no folder.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "plinth/ObfuscatedIniReader.h"
#include "plinth/Owners.h"
#include "tools/ToolText.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr DWORD kPollMs = 200;
// Bytes of a file's start remembered to notice that it was made anew.
constexpr size_t kSignatureBytes = 256;

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

using ZelTools::Write;

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

struct Record
{
    uint64_t time = 0; // YYYYMMDDhhmmss on the 24-hour clock
    std::wstring level;
    std::wstring module;
    std::wstring function;
    std::wstring message;
    std::wstring text; // the record as written, line end included
    size_t family = 0;
    size_t file = 0;
    DWORD index = 0;
    size_t rank = 0;
    size_t order = 0;
};

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

struct Filter
{
    std::vector<std::wstring> levels; // lower case; empty: all
    std::wstring module;
    std::wstring function;
    std::wstring text;

    bool Matches(const Record& record) const
    {
        if (!levels.empty() && std::find(levels.begin(), levels.end(), Lower(record.level)) == levels.end())
            return false;
        return Contains(record.module, module) && Contains(record.function, function) && Contains(record.message, text);
    }

private:
    static bool Contains(const std::wstring& value, const std::wstring& part)
    {
        return part.empty() || Lower(value).find(part) != std::wstring::npos;
    }
};

// One log file as far as it has been read.
struct LogFile
{
    std::wstring path;
    size_t family = 0;
    DWORD index = 0;
    uint64_t offset = 0; // bytes taken, byte-order mark included
    std::string signature;
};

// The rotated files of one executable (and host) in one folder.
struct Family
{
    std::wstring directory;
    std::wstring prefix;
};

class LogReader
{
public:
    explicit LogReader(std::wstring root) : m_root(std::move(root)) {}

    // New complete records of every file, in the order they were written.
    std::vector<Record> Poll()
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

private:
    static bool IsLogName(const std::wstring& name)
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

    void Scan(const std::wstring& directory)
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

    void Add(const std::wstring& directory, const std::wstring& name, const std::wstring& path)
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

    // The index of the file being written, from the folder's settings.
    static DWORD CurrentIndex(const std::wstring& directory)
    {
        Plinth::CObfuscatedIniReader ini(true);
        int32_t index = 0;
        if (!ini.Load(directory + L"\\log.ini") || !ini.GetInt(L"Config", L"LastLogIdx", index) || index < 0)
            return 0;
        return static_cast<DWORD>(index);
    }

    // Position of a file from the oldest (the one after the current) to the current.
    static size_t Rank(DWORD index, DWORD current)
    {
        return index > current ? index - current - 1 : static_cast<size_t>(1000) + index;
    }

    static bool ReadAll(HANDLE file, std::string& bytes)
    {
        char chunk[65536];
        DWORD got = 0;
        while (::ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
            bytes.append(chunk, got);
        return true;
    }

    static bool ReadHead(HANDLE file, std::string& head)
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

    void ReadNew(size_t which, std::vector<Record>& records)
    {
        LogFile& file = m_files[which];
        // Sharing everything lets writers go on writing, and rotating, while we read.
        const HANDLE opened =
            ::CreateFileW(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

    void Split(const std::wstring& text, size_t which, std::vector<Record>& records)
    {
        const LogFile& file = m_files[which];
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find(L'\n', start);
            end = end == std::wstring::npos ? text.size() : end + 1;
            const std::wstring line = text.substr(start, end - start);
            start = end;
            Record record;
            size_t at = 0;
            if (!ParseHead(line, record, at)) {
                // A message with line ends of its own continues the record before.
                if (!records.empty() && records.back().file == which) {
                    records.back().text += line;
                    records.back().message += line;
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
    }

    std::wstring m_root;
    std::vector<Family> m_families;
    std::vector<LogFile> m_files;
    size_t m_order = 0;
};

void PrintUsage()
{
    Write(STD_ERROR_HANDLE, L"usage: vklog [options] <folder>\n"
                            L"  Prints the records of every log file below <folder>, oldest first.\n"
                            L"  --level <names>     only these levels, comma-separated: Normal, Warning,\n"
                            L"                      Information, Error, Critical or their numbers 1-6\n"
                            L"  --module <text>     only records whose module column contains <text>\n"
                            L"  --function <text>   only records whose function column contains <text>\n"
                            L"  --text <text>       only records whose message contains <text>\n"
                            L"  --follow            keep printing new records until stopped\n"
                            L"Text filters ignore case.\n");
}

bool ParseLevels(const std::wstring& list, std::vector<std::wstring>& levels)
{
    static const wchar_t* const kNames[] = {L"normal", L"warning",  L"information",
                                            L"error",  L"critical", L"information"};
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(L',', start);
        if (end == std::wstring::npos)
            end = list.size();
        const std::wstring item = Lower(Trim(list.substr(start, end - start)));
        start = end + 1;
        if (item.size() == 1 && item[0] >= L'1' && item[0] <= L'6') {
            levels.push_back(kNames[item[0] - L'1']);
            continue;
        }
        if (std::find(std::begin(kNames), std::end(kNames), item) == std::end(kNames))
            return false;
        levels.push_back(item);
    }
    return true;
}

void Print(const std::vector<Record>& records, const Filter& filter)
{
    std::wstring out;
    for (const Record& record : records) {
        if (filter.Matches(record))
            out += record.text;
    }
    Write(STD_OUTPUT_HANDLE, out);
}

int Run(int argc, wchar_t** argv)
{
    Filter filter;
    bool follow = false;
    std::wstring folder;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--follow") {
            follow = true;
        } else if (arg == L"--level" && hasValue) {
            if (!ParseLevels(argv[++i], filter.levels)) {
                PrintUsage();
                return kExitUsage;
            }
        } else if (arg == L"--module" && hasValue) {
            filter.module = Lower(argv[++i]);
        } else if (arg == L"--function" && hasValue) {
            filter.function = Lower(argv[++i]);
        } else if (arg == L"--text" && hasValue) {
            filter.text = Lower(argv[++i]);
        } else if (folder.empty() && arg.compare(0, 2, L"--") != 0) {
            folder = arg;
        } else {
            PrintUsage();
            return kExitUsage;
        }
    }
    if (folder.empty()) {
        PrintUsage();
        return kExitUsage;
    }
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Write(STD_ERROR_HANDLE, L"vklog: not a folder: " + folder + L"\n");
        return kExitFailed;
    }

    LogReader reader(folder);
    Print(reader.Poll(), filter);
    while (follow) {
        ::Sleep(kPollMs);
        Print(reader.Poll(), filter);
    }
    return kExitOk;
}

} // namespace

int main()
{
    int argc = 0;
    UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv) {
        Write(STD_ERROR_HANDLE, L"vklog: cannot read the command line\n");
        return kExitUsage;
    }
    try {
        return Run(argc, argv.get());
    } catch (const std::bad_alloc&) {
        Write(STD_ERROR_HANDLE, L"vklog: out of memory\n");
        return kExitFailed;
    }
}
