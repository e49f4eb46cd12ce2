// A writer process for the file log writer's cross-process tests.
//   filelog_writer write <root> <group> <writer> <threads> <records> <start event>
//     logs <records> records from each of <threads> threads once the event is set;
//     exits with 0, or the first code a write returned.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"

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

} // namespace

int main()
{
    int argc = 0;
    UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv || argc != 8 || std::wcscmp(argv.get()[1], L"write") != 0)
        return kUsage;
    wchar_t** args = argv.get();
    ZelTest::RootedLogging logger(args[2]);
    const DWORD init = logger.Init(args[3], nullptr, nullptr, nullptr);
    if (init != ERROR_SUCCESS)
        return static_cast<int>(init);
    return Write(logger, std::wcstoul(args[4], nullptr, 10), std::wcstoul(args[5], nullptr, 10),
                 std::wcstoul(args[6], nullptr, 10), args[7]);
}
