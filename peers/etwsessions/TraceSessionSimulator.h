#pragma once
// Trace sessions for classic ETW providers, where the platform's are stubs:
// sessions with logger handles, enable and disable requests delivered to a
// provider's control callback on another thread, and every event a provider
// sends captured whole. While an instance lives, it is the process's ETW as
// far as the logging library is concerned.
#include <windows.h>
#include <evntrace.h>

#include <cstddef>
#include <mutex>
#include <vector>

#include "etwlogging/EtwEntryPoints.h"

namespace EtwSim {

struct CapturedEvent
{
    TRACEHANDLE session = 0;
    // The thread that sent the event, as the session stamps it.
    DWORD threadId = 0;
    // The header and MOF fields as the provider passed them, then the bytes the
    // first MOF field points at.
    std::vector<BYTE> header;
    std::vector<BYTE> payload;
};

class TraceSessionSimulator
{
public:
    TraceSessionSimulator();
    ~TraceSessionSimulator();
    TraceSessionSimulator(const TraceSessionSimulator&) = delete;
    TraceSessionSimulator& operator=(const TraceSessionSimulator&) = delete;

    TRACEHANDLE StartSession();
    // Disables every provider the session enabled, then ends it.
    void StopSession(TRACEHANDLE session);

    // Asks the provider of the control GUID to send to the session; the answer
    // of its callback, or 0 when it is not registered yet (it is then asked
    // when it registers).
    ULONG EnableProvider(TRACEHANDLE session, const GUID& control, UCHAR level, ULONG flags);
    ULONG DisableProvider(TRACEHANDLE session, const GUID& control);
    // Delivers any request code naming any logger handle, valid or not.
    ULONG SendRequest(const GUID& control, ULONG requestCode, TRACEHANDLE session);

    // The next registration fails with this code.
    void FailNextRegistration(ULONG code);
    size_t RegisterCalls() const;
    size_t UnregisterCalls() const;
    bool IsRegistered(const GUID& control) const;

    std::vector<CapturedEvent> Events() const;
    void ClearEvents();
    // TraceEvent calls that were refused.
    size_t RefusedEvents() const;

    static const ETWLogging::EtwEntryPoints& EntryPoints();

private:
    struct Registration
    {
        TRACEHANDLE handle;
        GUID control;
        WMIDPREQUEST callback;
        void* context;
    };
    struct Session
    {
        TRACEHANDLE handle;
        UCHAR level;
        ULONG flags;
        std::vector<GUID> enabled;
    };

    static ULONG WINAPI RegisterTraceGuids(WMIDPREQUEST callback, PVOID context, LPCGUID control, ULONG guidCount,
                                           PTRACE_GUID_REGISTRATION guids, LPCWSTR mofImagePath,
                                           LPCWSTR mofResourceName, PTRACEHANDLE registrationHandle);
    static ULONG WINAPI UnregisterTraceGuids(TRACEHANDLE registrationHandle);
    static TRACEHANDLE WINAPI GetTraceLoggerHandle(PVOID buffer);
    static UCHAR WINAPI GetTraceEnableLevel(TRACEHANDLE session);
    static ULONG WINAPI GetTraceEnableFlags(TRACEHANDLE session);
    static ULONG WINAPI TraceEvent(TRACEHANDLE session, PEVENT_TRACE_HEADER header);

    // The session's level or flags; 0 with ERROR_INVALID_HANDLE for an unknown session.
    template <typename T>
    static T EnableSetting(TRACEHANDLE session, T Session::*setting);
    Session* FindSession(TRACEHANDLE handle);
    const Registration* FindRegistration(const GUID& control) const;
    // Calls the provider's callback on a thread of its own and waits for it.
    static ULONG Deliver(const Registration& registration, ULONG requestCode, TRACEHANDLE session);

    mutable std::mutex m_lock;
    std::vector<Registration> m_registrations;
    std::vector<Session> m_sessions;
    std::vector<CapturedEvent> m_events;
    TRACEHANDLE m_nextHandle = 0x10000;
    ULONG m_failNextRegistration = ERROR_SUCCESS;
    size_t m_registerCalls = 0;
    size_t m_unregisterCalls = 0;
    size_t m_refusedEvents = 0;
    const ETWLogging::EtwEntryPoints* m_previous = nullptr;
};

} // namespace EtwSim
