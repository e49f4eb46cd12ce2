// A long soak of the built module: eight threads calling every method, on one
// shared object and on an object per thread, with the product installed, the
// usage reports served by the configuration service and every level logged to
// files; then rounds of eight objects made at once, each first asking for its
// usage report. Reports the time per call against one thread's in the same
// run and fails (exit code 1) when any answer differs from the single
// thread's, an object's activation of the service fails, or task memory,
// handles or the module lock are left behind. Each eight-thread load runs
// twice: the RPC runtime keeps up to a connection to the service per
// concurrent caller, opened mostly by the first run; the second may add one
// per thread at most. The automation runtime keeps freed strings for reuse,
// where they would count as blocks left, and reads OANOCACHE when it loads:
// the soak runs in a child of its own started with that cache off.
// --calls=N sets the calls per thread (10000); one thread makes N / 4.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/BenchTiming.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoadHarness.h"

namespace {

constexpr unsigned kThreads = 8;
constexpr unsigned kFirstUseRounds = 25;

double SecondsPerCall(const ZelTest::LoadFigures& figures)
{
    return figures.calls ? figures.seconds / figures.calls : 0;
}

// A first run opens the runtime's connections, so only its answers are judged.
void PrintFillRun(const char* mode, const ZelTest::LoadFigures& figures)
{
    std::printf("%s: %lu calls, %lu differing, handles %lu before and %lu after: %s\n", mode, figures.calls,
                figures.mismatches, static_cast<unsigned long>(figures.handlesBefore),
                static_cast<unsigned long>(figures.handlesAfter), figures.mismatches == 0 ? "pass" : "FAIL");
}

int RunWithoutStringCache(unsigned long calls)
{
    ZelTest::ChildProcess child;
    if (!::SetEnvironmentVariableW(L"OANOCACHE", L"1") ||
        !ZelTest::StartChild(L"bench_load.exe", L"--calls=" + std::to_wstring(calls), child)) {
        std::printf("soak: FAIL, cannot start without the string cache\n");
        return 1;
    }
    DWORD code = 1;
    ::WaitForSingleObject(child.process.get(), INFINITE);
    return ::GetExitCodeProcess(child.process.get(), &code) ? static_cast<int>(code) : 1;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long calls = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--calls=", 8) == 0)
            calls = std::strtoul(argv[i] + 8, nullptr, 10);
    }
    if (!::GetEnvironmentVariableW(L"OANOCACHE", nullptr, 0))
        return RunWithoutStringCache(calls);
    const ZelTest::LoadEnvironment environment(true, true);
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::LoadRig rig;
    const std::wstring problem = environment.Problem() + rig.Problem();
    if (!problem.empty()) {
        std::printf("soak: FAIL, cannot start: %s\n", ZelTest::Ascii(problem).c_str());
        return 1;
    }

    const ZelTest::LoadFigures single = rig.Run(ZelTest::ObjectSharing::Shared, 1, calls / 4);
    const ZelTest::LoadFigures sharedFill = rig.Run(ZelTest::ObjectSharing::Shared, kThreads, calls);
    ZelTest::LoadFigures shared = rig.Run(ZelTest::ObjectSharing::Shared, kThreads, calls);
    const ZelTest::LoadFigures perThreadFill = rig.Run(ZelTest::ObjectSharing::PerThread, kThreads, calls);
    ZelTest::LoadFigures perThread = rig.Run(ZelTest::ObjectSharing::PerThread, kThreads, calls);
    shared.handleAllowance = kThreads;
    perThread.handleAllowance = kThreads;
    const ZelTest::LoadFigures firstUse = rig.RunFirstUse(kThreads, kFirstUseRounds, 1e9);
    const HRESULT unload = rig.ReleaseAndAskUnload();

    std::printf("%s\n", ZelTest::Summary("1 thread, one object", single).c_str());
    PrintFillRun("8 threads, one shared object, first run", sharedFill);
    std::printf("%s\n", ZelTest::Summary("8 threads, one shared object", shared).c_str());
    PrintFillRun("8 threads, one object each, first run", perThreadFill);
    std::printf("%s\n", ZelTest::Summary("8 threads, one object each", perThread).c_str());
    std::printf("%s\n", ZelTest::FirstUseSummary(firstUse).c_str());
    std::printf("DllCanUnloadNow after the last release: 0x%08lX\n", static_cast<unsigned long>(unload));
    const bool passed = single.Passed() && sharedFill.mismatches == 0 && shared.Passed() &&
                        perThreadFill.mismatches == 0 && perThread.Passed() && firstUse.mismatches == 0 &&
                        firstUse.calls == kThreads * kFirstUseRounds && unload == S_OK;
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
