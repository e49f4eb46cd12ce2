// A long soak of the built module: eight threads calling every method, on one
// shared object and on an object per thread, with the product installed and
// every level logged to files. Reports the time per call against one thread's
// in the same run and fails (exit code 1) when any answer differs from the
// single thread's or task memory, handles or the module lock are left behind.
// --calls=N sets the calls per thread (20000); one thread makes N / 4.
// --service lets the usage report reach the configuration service.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/BenchTiming.h"
#include "tests/support/LoadHarness.h"

namespace {

constexpr unsigned kThreads = 8;

double SecondsPerCall(const ZelTest::LoadFigures& figures)
{
    return figures.calls ? figures.seconds / figures.calls : 0;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long calls = 20000;
    bool configService = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--calls=", 8) == 0)
            calls = std::strtoul(argv[i] + 8, nullptr, 10);
        configService = configService || std::strcmp(argv[i], "--service") == 0;
    }
    const ZelTest::LoadEnvironment environment(true, configService);
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::LoadRig rig;
    const std::wstring problem = environment.Problem() + rig.Problem();
    if (!problem.empty()) {
        std::printf("soak: FAIL, cannot start: %s\n", ZelTest::Ascii(problem).c_str());
        return 1;
    }

    const ZelTest::LoadFigures single = rig.Run(ZelTest::ObjectSharing::Shared, 1, calls / 4);
    const ZelTest::LoadFigures shared = rig.Run(ZelTest::ObjectSharing::Shared, kThreads, calls);
    const ZelTest::LoadFigures perThread = rig.Run(ZelTest::ObjectSharing::PerThread, kThreads, calls);
    const HRESULT unload = rig.ReleaseAndAskUnload();

    std::printf("%s\n", ZelTest::Summary("1 thread, one object", single).c_str());
    std::printf("%s\n", ZelTest::Summary("8 threads, one shared object", shared).c_str());
    std::printf("%s\n", ZelTest::Summary("8 threads, one object each", perThread).c_str());
    std::printf("DllCanUnloadNow after the last release: 0x%08lX\n", static_cast<unsigned long>(unload));
    const bool passed = single.Passed() && shared.Passed() && perThread.Passed() && unload == S_OK;
    std::printf("soak: %s\n", passed ? "pass" : "FAIL");

    // Calls share the file log writer's mutex, so eight threads need not be faster than one.
    const double baseline = SecondsPerCall(single);
    if (baseline > 0) {
        ReportRatio("soak: time per call, 8 threads on one object", SecondsPerCall(shared) / baseline,
                    "1 thread, one object");
        ReportRatio("soak: time per call, 8 threads on own objects", SecondsPerCall(perThread) / baseline,
                    "1 thread, one object");
    }
    return passed ? 0 : 1;
}
