// Records per second of the file log writer, in one thread and in 4 processes,
// each as a ratio to a baseline measured in the same run: open the file for
// appending, write the same UTF-16 line, close it.
#include <windows.h>
#include <shellapi.h>

#include "bench/BenchTiming.h"

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

#include "etwlogging/FileLogging.h"
#include "etwlogging/LogRecordBuilder.h"
#include "plinth/Owners.h"
#include "plinth/WideFormat.h"
#include "tests/support/FileLogSupport.h"

namespace {

constexpr int kRounds = 3;
constexpr int kSingleRecords = 2000;
constexpr int kProcesses = 4;
constexpr int kProcessRecords = 1000;
constexpr wchar_t kMessage[] = L"IVkApplicationInfo->GetAppID() returning appid = [ZEL]\r\n";

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

double Now()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The line the writer appends for kMessage, to write in the baseline.
std::wstring RecordLine()
{
    ETWLogging::internal::RecordContext context;
    context.moduleFileName = L"bench_filelog.exe";
    DWORD bytes = 0;
    std::unique_ptr<wchar_t[]> record;
    ETWLogging::internal::BuildLogRecord(context, L"bench", L"main", 1, ETWLogging::LevelError, kMessage, &bytes,
                                         &record);
    return record ? record.get() : L"";
}

bool AppendLine(const std::wstring& path, const std::wstring& line)
{
    Plinth::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        (void)file.release();
        return false;
    }
    DWORD written = 0;
    return ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
}

// Writes count records either way; false when one fails.
bool Run(const std::wstring& root, bool logger, int count)
{
    if (!logger) {
        const std::wstring path = root + L"\\baseline.log";
        const std::wstring line = RecordLine();
        for (int i = 0; i < count; ++i) {
            if (!AppendLine(path, line))
                return false;
        }
        return true;
    }
    ZelTest::RootedLogging log(root);
    if (log.Init(L"bench", nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    for (int i = 0; i < count; ++i) {
        if (log.Log(L"bench", L"main", 1, ETWLogging::LevelError, kMessage) != ERROR_SUCCESS)
            return false;
    }
    return true;
}

double BestRecordsPerSecond(const std::wstring& root, bool logger)
{
    double best = 0;
    for (int round = 0; round < kRounds; ++round) {
        const double start = Now();
        if (!Run(root, logger, kSingleRecords))
            return 0;
        const double rate = kSingleRecords / (Now() - start);
        best = rate > best ? rate : best;
    }
    return best;
}

double ProcessesRecordsPerSecond(const std::wstring& root, bool logger)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t eventName[64];
    Plinth::FormatWide(eventName, 64, L"zel-bench-filelog-%lu", ::GetCurrentProcessId());
    Plinth::UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, eventName));
    Plinth::UniqueHandle children[kProcesses];
    for (auto& child : children) {
        wchar_t line[MAX_PATH * 3];
        Plinth::FormatWide(line, MAX_PATH * 3, L"\"%s\" --child \"%s\" %s %s", self, root.c_str(),
                           logger ? L"logger" : L"baseline", eventName);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(self, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return 0;
        Plinth::UniqueHandle thread(info.hThread);
        child.reset(info.hProcess);
    }
    // Let the children start up before the clock runs.
    ::Sleep(1500);
    const double begin = Now();
    ::SetEvent(start.get());
    for (auto& child : children) {
        DWORD code = 1;
        ::WaitForSingleObject(child.get(), 120000);
        ::GetExitCodeProcess(child.get(), &code);
        if (code != 0)
            return 0;
    }
    return kProcesses * kProcessRecords / (Now() - begin);
}

int Child(const std::wstring& root, bool logger, const wchar_t* eventName)
{
    Plinth::UniqueHandle start(::OpenEventW(SYNCHRONIZE, FALSE, eventName));
    if (!start || ::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0)
        return 1;
    return Run(root, logger, kProcessRecords) ? 0 : 1;
}

void Report(const char* what, double logger, double baseline, double goal)
{
    std::printf("%-28s %9.0f records/s  baseline %9.0f records/s  cost ratio %5.2f (goal at most %.2f)\n", what, logger,
                baseline, logger > 0 ? baseline / logger : 0.0, goal);
    const std::string measure = std::string("one record, ") + what;
    ReportRatio(measure.c_str(), logger > 0 ? baseline / logger : 0.0, "open, append, close", Goal::AtMost, goal);
}

} // namespace

int main()
{
    int argc = 0;
    UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv)
        return 1;
    if (argc == 5 && std::wcscmp(argv.get()[1], L"--child") == 0)
        return Child(argv.get()[2], std::wcscmp(argv.get()[3], L"logger") == 0, argv.get()[4]);

    const ZelTest::TempFolder folder(L"bench-filelog");
    const std::wstring& root = folder.Path();

    const double singleBaseline = BestRecordsPerSecond(root, false);
    const double singleLogger = BestRecordsPerSecond(root, true);
    Report("one thread", singleLogger, singleBaseline, 2.5);
    const double processBaseline = ProcessesRecordsPerSecond(root, false);
    const double processLogger = ProcessesRecordsPerSecond(root, true);
    Report("4 processes, one file", processLogger, processBaseline, 3.0);
    return 0;
}
