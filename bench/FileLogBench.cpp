// Records per second of the file log writer, in one thread and in 4 processes,
// each as a ratio to a baseline measured in the same run: open the file for
// appending, write the same UTF-16 line, close it. The writers of one file take
// turns through a named mutex, so the 4 processes are also held to the same
// baseline taken under one named mutex.
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
constexpr wchar_t kBaselineMutex[] = L"zel-bench-filelog-baseline";

enum class Writer
{
    Baseline,
    BaselineUnderMutex,
    Logger,
};
const wchar_t* const kWriterNames[] = {L"baseline", L"mutex", L"logger"};

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

bool AppendUnderMutex(HANDLE mutex, const std::wstring& path, const std::wstring& line)
{
    const DWORD waited = ::WaitForSingleObject(mutex, 7000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
        return false;
    const bool appended = AppendLine(path, line);
    ::ReleaseMutex(mutex);
    return appended;
}

// Writes count records the writer's way; false when one fails.
bool Run(const std::wstring& root, Writer writer, int count)
{
    if (writer != Writer::Logger) {
        const std::wstring path = root + L"\\baseline.log";
        const std::wstring line = RecordLine();
        const Plinth::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, kBaselineMutex));
        for (int i = 0; i < count; ++i) {
            if (writer == Writer::Baseline ? !AppendLine(path, line) : !AppendUnderMutex(mutex.get(), path, line))
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

double BestRecordsPerSecond(const std::wstring& root, Writer writer)
{
    double best = 0;
    for (int round = 0; round < kRounds; ++round) {
        const double start = Now();
        if (!Run(root, writer, kSingleRecords))
            return 0;
        const double rate = kSingleRecords / (Now() - start);
        best = rate > best ? rate : best;
    }
    return best;
}

double ProcessesRecordsPerSecond(const std::wstring& root, Writer writer)
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
                           kWriterNames[static_cast<int>(writer)], eventName);
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

int Child(const std::wstring& root, const wchar_t* writerName, const wchar_t* eventName)
{
    Plinth::UniqueHandle start(::OpenEventW(SYNCHRONIZE, FALSE, eventName));
    if (!start || ::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0)
        return 1;
    for (int writer = 0; writer < 3; ++writer) {
        if (std::wcscmp(writerName, kWriterNames[writer]) == 0)
            return Run(root, static_cast<Writer>(writer), kProcessRecords) ? 0 : 1;
    }
    return 1;
}

// goal 0: reported for reference only.
void Report(const char* what, double logger, double baseline, const char* baselineName, double goal)
{
    const double ratio = logger > 0 ? baseline / logger : 0.0;
    std::printf("%-28s %9.0f records/s  %s %9.0f records/s  cost ratio %5.2f\n", what, logger, baselineName, baseline,
                ratio);
    const std::string measure = std::string("one record, ") + what;
    ReportRatio(measure.c_str(), ratio, baselineName, goal > 0 ? Goal::AtMost : Goal::None, goal);
}

} // namespace

int main()
{
    int argc = 0;
    UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv)
        return 1;
    if (argc == 5 && std::wcscmp(argv.get()[1], L"--child") == 0)
        return Child(argv.get()[2], argv.get()[3], argv.get()[4]);

    const ZelTest::TempFolder folder(L"bench-filelog");
    const std::wstring& root = folder.Path();

    const double singleBaseline = BestRecordsPerSecond(root, Writer::Baseline);
    const double singleLogger = BestRecordsPerSecond(root, Writer::Logger);
    Report("one thread", singleLogger, singleBaseline, "open, append, close", 2.5);
    const double processBaseline = ProcessesRecordsPerSecond(root, Writer::Baseline);
    const double processMutex = ProcessesRecordsPerSecond(root, Writer::BaselineUnderMutex);
    const double processLogger = ProcessesRecordsPerSecond(root, Writer::Logger);
    Report("4 processes, one file", processLogger, processBaseline, "open, append, close", 0);
    Report("4 processes, one file", processLogger, processMutex, "the same under one named mutex", 2.5);
    return 0;
}
