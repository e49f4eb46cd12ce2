// Reads the file log writer's logs: every rotated file of every process below a
// folder, merged by time stamp and filtered; with --follow it keeps printing
// new records, across rotation. Exit codes: 0 success, 1 usage, 2 no folder.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "plinth/Owners.h"
#include "tools/ToolText.h"
#include "tools/vklog/LogReader.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr DWORD kPollMs = 200;

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

using VkLog::Filter;
using VkLog::Lower;
using VkLog::Record;
using VkLog::Trim;
using ZelTools::Write;

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

void Print(const std::vector<Record>& records)
{
    std::wstring out;
    for (const Record& record : records)
        out += record.text;
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

    VkLog::LogReader reader(folder, filter);
    Print(reader.Poll());
    while (follow) {
        ::Sleep(kPollMs);
        Print(reader.Poll());
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
