#pragma once
// The six ETW entry points the trace provider calls, bound once per process.
// The product uses the system's own; a test may bind a session simulator.
#include <windows.h>
#include <evntrace.h>

namespace ETWLogging {

struct EtwEntryPoints
{
    decltype(&::RegisterTraceGuidsW) registerTraceGuids;
    decltype(&::UnregisterTraceGuids) unregisterTraceGuids;
    decltype(&::GetTraceLoggerHandle) getTraceLoggerHandle;
    decltype(&::GetTraceEnableLevel) getTraceEnableLevel;
    decltype(&::GetTraceEnableFlags) getTraceEnableFlags;
    decltype(&::TraceEvent) traceEvent;
};

const EtwEntryPoints& GetEtwEntryPoints();

namespace internal {
// Binds other entry points (null: the system's again) and returns the previous
// binding. Bind before the first logger registers; the binding is not locked.
const EtwEntryPoints* SetEtwEntryPoints(const EtwEntryPoints* entryPoints);
} // namespace internal

} // namespace ETWLogging
