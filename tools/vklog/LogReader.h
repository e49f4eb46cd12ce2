#pragma once
// The reader behind vklog: every rotated file of every process below a folder,
// read as far as whole lines go, its records merged by time stamp and filtered.
// Polled again, it returns only what was written since, across rotation.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VkLog {

std::wstring Lower(std::wstring text);
std::wstring Trim(const std::wstring& text);

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
    // The position of the record's first line among all records read.
    size_t order = 0;
    // Lines that continue a record an earlier poll returned: they come with
    // that record's time stamp, columns and order.
    bool continues = false;
    bool shown = false;
};

struct Filter
{
    std::vector<std::wstring> levels; // lower case; empty: all
    std::wstring module;
    std::wstring function;
    std::wstring text;

    bool Matches(const Record& record) const;
};

class LogReader
{
public:
    explicit LogReader(std::wstring root, Filter filter = Filter());

    // New complete records of every file that pass the filter, oldest first:
    // by time stamp, then in the order they were written. Lines that continue
    // a record of an earlier poll are shown when that record was.
    std::vector<Record> Poll();

private:
    // One log file as far as it has been read.
    struct LogFile
    {
        std::wstring path;
        size_t family = 0;
        DWORD index = 0;
        uint64_t offset = 0; // bytes taken, byte-order mark included
        std::string signature;
        // The last record taken from the file, without its text, while the
        // file is the one it came from.
        bool hasLast = false;
        Record last;
    };

    // The rotated files of one executable (and host) in one folder.
    struct Family
    {
        std::wstring directory;
        std::wstring prefix;
    };

    void Scan(const std::wstring& directory);
    void Add(const std::wstring& directory, const std::wstring& name, const std::wstring& path);
    void ReadNew(size_t which, std::vector<Record>& records);
    void Split(const std::wstring& text, size_t which, std::vector<Record>& records);

    std::wstring m_root;
    Filter m_filter;
    std::vector<Family> m_families;
    std::vector<LogFile> m_files;
    size_t m_order = 0;
};

} // namespace VkLog
