// Cost of the logging front end and of an identity query, each reported as a
// ratio to a baseline measured in the same run (the machines are shared, so
// absolute times mean little).
#include <windows.h>

#include "bench/BenchTiming.h"

#include <cstdio>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ModuleLogger.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TestRegistry.h"
#include "zellumoap/ApplImpl.h"

namespace {

void Report(const char* what, double measured, const char* baselineName, double baseline)
{
    std::printf("%-44s %8.1f ns  = %5.2f x %s (%.1f ns)\n", what, measured, measured / baseline, baselineName,
                baseline);
}

// A log call of a process whose logger cannot be made: the trace provider is
// chosen, and its application key lacks its "Session" part.
double FailingCreation()
{
    ZelTest::ScopedRegistryValue mechanism(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                           ETWLogging::kLoggingMechanism);
    mechanism.Delete();
    ZelTest::ScopedRegistryTree application(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon.logging\\RUX");
    application.SetString(L"Log Path", L"\\Logs");
    if (ETWLogging::GetModuleLogger(nullptr, L"bench", nullptr, nullptr, 0))
        return 0;
    return BestNanosecondsPerCall(2000000,
                                  [](int i) { ZEL_LOG(ETWLogging::LevelError, L"bench", L"main", L"lost %d\r\n", i); });
}

} // namespace

int main()
{
    const double failing = FailingCreation();
    // The next creation, a second after the last failed one, makes the capturing logger.
    ZelTest::InstallCapturingLogger(true);
    ::Sleep(1100);
    ETWLogging::ModuleLogger* holder = ETWLogging::GetModuleLogger(nullptr, L"bench", nullptr, nullptr, 0);
    ETWLogging::CLoggingIf* volatile logger = holder->logger;
    logger->SetSeverity(3);

    const double virtualCall = BestNanosecondsPerCall(2000000, [&](int i) { logger->IsLevelEnabled(1 + (i & 1)); });
    const double dropped = BestNanosecondsPerCall(
        2000000, [](int i) { ZEL_LOG(ETWLogging::LevelNormal, L"bench", L"main", L"dropped %d\r\n", i); });
    Report("dropped log line (level below threshold)", dropped, "one virtual call", virtualCall);
    ReportRatio("dropped log line", dropped / virtualCall, "one virtual call");
    Report("log line while the logger cannot be made", failing, "a dropped log line", dropped);
    ReportRatio("log line while the logger cannot be made", failing / dropped, "a dropped log line", Goal::AtMost, 10);

    const double kept = BestNanosecondsPerCall(
        200000, [](int i) { ZEL_LOG(ETWLogging::LevelError, L"bench", L"main", L"kept %d [%s]\r\n", i, L"text"); });
    ZelTest::LogCapture::Instance().Clear();
    Report("kept log line (formatted, captured)", kept, "one virtual call", virtualCall);

    IVkApplicationInfo* object = nullptr;
    CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, reinterpret_cast<void**>(&object));
    const double allocFree = BestNanosecondsPerCall(500000, [](int) { ::CoTaskMemFree(::CoTaskMemAlloc(8)); });
    const double getAppId = BestNanosecondsPerCall(500000, [&](int) {
        LPWSTR id = nullptr;
        long result = 0;
        object->GetAppID(&id, &result);
        ::CoTaskMemFree(id);
    });
    Report("GetAppID with the host's free", getAppId, "CoTaskMemAlloc+Free", allocFree);
    ReportRatio("GetAppID with the host's free", getAppId / allocFree, "CoTaskMemAlloc+Free");
    object->Release();
    return 0;
}
