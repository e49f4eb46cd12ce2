// A writer process for the file log writer's cross-process tests.
//   filelog_writer write <root> <group> <writer> <threads> <records> <start event>
//     logs <records> records from each of <threads> threads once the event is set;
//     exits with 0, or the first code a write returned.
//   filelog_writer hold <root> <group> <ready event>
//     takes the write mutex, sets the event and waits to be killed.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "FileLogSupport.h"
#include "plinth/Owners.h"

namespace {

constexpr int kUsage = 9999;

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

int Write(ZelTest::RootedLogging& logger, unsigned writer, unsigned threads, unsigned records, const wchar_t* start)
{
    Plinth::UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, start));
    if (!event || ::WaitForSingleObject(event.get(), 30000) != WAIT_OBJECT_0)
        return kUsage;
    std::atomic<DWORD> firstFailure{ERROR_SUCCESS};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (unsigned seq = 0; seq < records; ++seq) {
                const DWORD result = logger.LogF(ETWLogging::LevelError, L"FileLogWriter", L"Write", __LINE__, L"%s",
                                                 ZelTest::WriterMessage(writer, t, seq).c_str());
                DWORD none = ERROR_SUCCESS;
                if (result != ERROR_SUCCESS)
                    firstFailure.compare_exchange_strong(none, result);
            }
        });
    }
    for (auto& thread : pool)
        thread.join();
    return static_cast<int>(firstFailure.load());
}

int Hold(const wchar_t* ready)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = std::wcsrchr(path, L'\\') + 1;
    name = name.substr(0, name.rfind(L'.')) + L"_" + ETWLogging::kWriteMutexId;
    Plinth::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    Plinth::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready));
    if (!mutex || !event || ::WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0)
        return kUsage;
    ::SetEvent(event.get());
    ::Sleep(INFINITE);
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv || argc < 5)
        return kUsage;
    wchar_t** args = argv.get();
    ZelTest::RootedLogging logger(args[2]);
    const DWORD init = logger.Init(args[3], nullptr, nullptr, nullptr);
    if (init != ERROR_SUCCESS)
        return static_cast<int>(init);
    if (std::wcscmp(args[1], L"hold") == 0)
        return Hold(args[4]);
    if (std::wcscmp(args[1], L"write") != 0 || argc != 8)
        return kUsage;
    return Write(logger, std::wcstoul(args[4], nullptr, 10), std::wcstoul(args[5], nullptr, 10),
                 std::wcstoul(args[6], nullptr, 10), args[7]);
}
