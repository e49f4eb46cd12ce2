#include "etwlogging/EtwEntryPoints.h"

namespace ETWLogging {

namespace {

const EtwEntryPoints kSystemEntryPoints = {
    &::RegisterTraceGuidsW, &::UnregisterTraceGuids, &::GetTraceLoggerHandle,
    &::GetTraceEnableLevel, &::GetTraceEnableFlags,  &::TraceEvent,
};

const EtwEntryPoints* g_entryPoints = &kSystemEntryPoints;

} // namespace

const EtwEntryPoints& GetEtwEntryPoints()
{
    return *g_entryPoints;
}

namespace internal {

const EtwEntryPoints* SetEtwEntryPoints(const EtwEntryPoints* entryPoints)
{
    const EtwEntryPoints* previous = g_entryPoints;
    g_entryPoints = entryPoints ? entryPoints : &kSystemEntryPoints;
    return previous;
}

} // namespace internal

} // namespace ETWLogging
