// What the ETW trace provider adds to a host query: with no session listening
// (the usual case), and per event with a simulated session taking every level.
// Each figure is a ratio to the same query with logging switched off, measured
// in the same run.
#include <windows.h>

#include "bench/BenchTiming.h"

#include <cstdio>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ETWLogging.h"
#include "etwlogging/ModuleLogger.h"
#include "peers/etwsessions/TraceSessionSimulator.h"
#include "plinth/RegKey.h"
#include "zellumoap/ApplImpl.h"

namespace {

// The default factory's ETW choice, whatever this machine selects: a key that
// holds no "Logging Mechanism" is handed to it.
class EtwOnlyBuilder : public ETWLogging::CLogBuilderIf
{
public:
    bool CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                      ETWLogging::CLoggingIf** out, Plinth::CRegKey*) override
    {
        Plinth::CRegKey unopened;
        return ETWLogging::CDefaultLogBuilder().CreateLogger(group, module, host, mode, out, &unopened);
    }
};

} // namespace

int main()
{
    EtwSim::TraceSessionSimulator sim;
    EtwOnlyBuilder builder;
    ETWLogging::internal::SetLogBuilder(&builder);
    ETWLogging::ModuleLogger* holder = ETWLogging::GetModuleLogger(nullptr, L"Zellumoap", nullptr, nullptr, 0);
    auto* logger = holder ? dynamic_cast<ETWLogging::CETWLogging*>(holder->logger) : nullptr;
    if (!logger) {
        std::printf("the module logger is not the ETW trace provider\n");
        return 1;
    }
    IVkApplicationInfo* object = nullptr;
    CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, reinterpret_cast<void**>(&object));
    auto query = [&](int) {
        LPWSTR id = nullptr;
        long result = 0;
        object->GetAppID(&id, &result);
        ::CoTaskMemFree(id);
    };
    constexpr int kCalls = 20000;

    logger->SetEnabled(false);
    const double off = BestNanosecondsPerCall(kCalls, query);
    logger->SetEnabled(true);
    const double silent = BestNanosecondsPerCall(kCalls, query);

    logger->Register();
    const TRACEHANDLE session = sim.StartSession();
    sim.EnableProvider(session, logger->Properties().GetProviderGuid(), 1, 0);
    const double listened = BestNanosecondsPerCall(kCalls, [&](int i) {
        query(i);
        if (i == kCalls - 1)
            sim.ClearEvents();
    });
    sim.StopSession(session);
    object->Release();

    std::printf("%-46s %8.1f ns\n", "GetAppID, logging off (baseline)", off);
    std::printf("%-46s %8.1f ns  = %5.3f x baseline (goal <= 1.05)\n", "GetAppID, ETW on, no session listening", silent,
                silent / off);
    std::printf("%-46s %8.1f ns  = %5.2f x baseline (%.1f ns per event)\n", "GetAppID, ETW on, session at level 1",
                listened, listened / off, listened - off);
    ReportRatio("GetAppID, ETW on, no session listening", silent / off, "GetAppID, logging off", Goal::AtMost, 1.05);
    ReportRatio("GetAppID, one event to a session", listened / off, "GetAppID, logging off");
    return 0;
}
