#include "peers/etwsessions/TraceSessionSimulator.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace EtwSim {

namespace {

TraceSessionSimulator* g_active = nullptr;

const TRACEHANDLE kInvalidHandle = reinterpret_cast<TRACEHANDLE>(INVALID_HANDLE_VALUE);

bool Contains(const std::vector<GUID>& guids, const GUID& guid)
{
    return std::find(guids.begin(), guids.end(), guid) != guids.end();
}

} // namespace

TraceSessionSimulator::TraceSessionSimulator()
{
    g_active = this;
    m_previous = ETWLogging::internal::SetEtwEntryPoints(&EntryPoints());
}

TraceSessionSimulator::~TraceSessionSimulator()
{
    ETWLogging::internal::SetEtwEntryPoints(m_previous);
    g_active = nullptr;
}

const ETWLogging::EtwEntryPoints& TraceSessionSimulator::EntryPoints()
{
    static const ETWLogging::EtwEntryPoints entryPoints = {
        &RegisterTraceGuids,  &UnregisterTraceGuids, &GetTraceLoggerHandle,
        &GetTraceEnableLevel, &GetTraceEnableFlags,  &TraceEvent,
    };
    return entryPoints;
}

TRACEHANDLE TraceSessionSimulator::StartSession()
{
    std::lock_guard<std::mutex> lock(m_lock);
    const TRACEHANDLE handle = m_nextHandle;
    m_nextHandle += 0x10;
    m_sessions.push_back(Session{handle, 0, 0, {}});
    return handle;
}

void TraceSessionSimulator::StopSession(TRACEHANDLE session)
{
    std::vector<GUID> enabled;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (Session* found = FindSession(session))
            enabled = found->enabled;
    }
    for (const GUID& control : enabled)
        DisableProvider(session, control);
    std::lock_guard<std::mutex> lock(m_lock);
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [session](const Session& s) { return s.handle == session; }),
                     m_sessions.end());
}

ULONG TraceSessionSimulator::EnableProvider(TRACEHANDLE session, const GUID& control, UCHAR level, ULONG flags)
{
    Registration registration = {};
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Session* found = FindSession(session);
        if (!found)
            return ERROR_INVALID_HANDLE;
        found->level = level;
        found->flags = flags;
        if (!Contains(found->enabled, control))
            found->enabled.push_back(control);
        const Registration* provider = FindRegistration(control);
        if (!provider)
            return ERROR_SUCCESS;
        registration = *provider;
    }
    return Deliver(registration, WMI_ENABLE_EVENTS, session);
}

ULONG TraceSessionSimulator::DisableProvider(TRACEHANDLE session, const GUID& control)
{
    Registration registration = {};
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Session* found = FindSession(session);
        if (!found || !Contains(found->enabled, control))
            return ERROR_INVALID_PARAMETER;
        found->enabled.erase(std::find(found->enabled.begin(), found->enabled.end(), control));
        const Registration* provider = FindRegistration(control);
        if (!provider)
            return ERROR_SUCCESS;
        registration = *provider;
    }
    return Deliver(registration, WMI_DISABLE_EVENTS, session);
}

ULONG TraceSessionSimulator::SendRequest(const GUID& control, ULONG requestCode, TRACEHANDLE session)
{
    Registration registration = {};
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const Registration* provider = FindRegistration(control);
        if (!provider)
            return ERROR_WMI_GUID_NOT_FOUND;
        registration = *provider;
    }
    return Deliver(registration, requestCode, session);
}

void TraceSessionSimulator::FailNextRegistration(ULONG code)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_failNextRegistration = code;
}

size_t TraceSessionSimulator::RegisterCalls() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_registerCalls;
}

size_t TraceSessionSimulator::UnregisterCalls() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_unregisterCalls;
}

bool TraceSessionSimulator::IsRegistered(const GUID& control) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return FindRegistration(control) != nullptr;
}

std::vector<CapturedEvent> TraceSessionSimulator::Events() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

void TraceSessionSimulator::ClearEvents()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_events.clear();
    m_refusedEvents = 0;
}

size_t TraceSessionSimulator::RefusedEvents() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_refusedEvents;
}

TraceSessionSimulator::Session* TraceSessionSimulator::FindSession(TRACEHANDLE handle)
{
    for (Session& session : m_sessions)
        if (session.handle == handle)
            return &session;
    return nullptr;
}

const TraceSessionSimulator::Registration* TraceSessionSimulator::FindRegistration(const GUID& control) const
{
    for (const Registration& registration : m_registrations)
        if (registration.control == control)
            return &registration;
    return nullptr;
}

ULONG TraceSessionSimulator::Deliver(const Registration& registration, ULONG requestCode, TRACEHANDLE session)
{
    // What the provider receives: a node header naming the session's logger.
    WNODE_HEADER node = {};
    node.BufferSize = sizeof(node);
    node.HistoricalContext = session;
    node.Guid = registration.control;
    node.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG size = sizeof(node);
    ULONG result = ERROR_SUCCESS;
    std::thread callbackThread([&] {
        result = registration.callback(static_cast<WMIDPREQUESTCODE>(requestCode), registration.context, &size, &node);
    });
    callbackThread.join();
    return result;
}

ULONG WINAPI TraceSessionSimulator::RegisterTraceGuids(WMIDPREQUEST callback, PVOID context, LPCGUID control,
                                                       ULONG guidCount, PTRACE_GUID_REGISTRATION guids, LPCWSTR,
                                                       LPCWSTR, PTRACEHANDLE registrationHandle)
{
    TraceSessionSimulator* self = g_active;
    if (!self)
        return ERROR_NOT_SUPPORTED;
    if (!callback || !control || !registrationHandle || (guidCount && !guids))
        return ERROR_INVALID_PARAMETER;
    std::vector<std::pair<Registration, TRACEHANDLE>> pending;
    {
        std::lock_guard<std::mutex> lock(self->m_lock);
        ++self->m_registerCalls;
        if (self->m_failNextRegistration != ERROR_SUCCESS) {
            const ULONG code = self->m_failNextRegistration;
            self->m_failNextRegistration = ERROR_SUCCESS;
            return code;
        }
        if (self->FindRegistration(*control))
            return ERROR_ALREADY_EXISTS;
        const Registration registration{self->m_nextHandle, *control, callback, context};
        self->m_nextHandle += 0x10;
        self->m_registrations.push_back(registration);
        *registrationHandle = registration.handle;
        for (ULONG i = 0; i < guidCount; ++i)
            guids[i].RegHandle = reinterpret_cast<HANDLE>(registration.handle);
        for (const Session& session : self->m_sessions)
            if (Contains(session.enabled, *control))
                pending.emplace_back(registration, session.handle);
    }
    // A session that enabled the provider before it registered is served now.
    for (const auto& request : pending)
        Deliver(request.first, WMI_ENABLE_EVENTS, request.second);
    return ERROR_SUCCESS;
}

ULONG WINAPI TraceSessionSimulator::UnregisterTraceGuids(TRACEHANDLE registrationHandle)
{
    TraceSessionSimulator* self = g_active;
    if (!self)
        return ERROR_NOT_SUPPORTED;
    std::lock_guard<std::mutex> lock(self->m_lock);
    ++self->m_unregisterCalls;
    auto found = std::find_if(self->m_registrations.begin(), self->m_registrations.end(),
                              [registrationHandle](const Registration& r) { return r.handle == registrationHandle; });
    if (found == self->m_registrations.end())
        return ERROR_INVALID_PARAMETER;
    self->m_registrations.erase(found);
    return ERROR_SUCCESS;
}

TRACEHANDLE WINAPI TraceSessionSimulator::GetTraceLoggerHandle(PVOID buffer)
{
    TraceSessionSimulator* self = g_active;
    if (!self || !buffer) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidHandle;
    }
    const TRACEHANDLE handle = static_cast<const WNODE_HEADER*>(buffer)->HistoricalContext;
    std::lock_guard<std::mutex> lock(self->m_lock);
    if (!self->FindSession(handle)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return kInvalidHandle;
    }
    return handle;
}

template <typename T>
T TraceSessionSimulator::EnableSetting(TRACEHANDLE session, T Session::*setting)
{
    TraceSessionSimulator* self = g_active;
    if (!self)
        return 0;
    std::lock_guard<std::mutex> lock(self->m_lock);
    const Session* found = self->FindSession(session);
    if (!found) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return found->*setting;
}

UCHAR WINAPI TraceSessionSimulator::GetTraceEnableLevel(TRACEHANDLE session)
{
    return EnableSetting(session, &Session::level);
}

ULONG WINAPI TraceSessionSimulator::GetTraceEnableFlags(TRACEHANDLE session)
{
    return EnableSetting(session, &Session::flags);
}

ULONG WINAPI TraceSessionSimulator::TraceEvent(TRACEHANDLE session, PEVENT_TRACE_HEADER header)
{
    TraceSessionSimulator* self = g_active;
    if (!self)
        return ERROR_NOT_SUPPORTED;
    std::lock_guard<std::mutex> lock(self->m_lock);
    if (!header || header->Size < sizeof(EVENT_TRACE_HEADER)) {
        ++self->m_refusedEvents;
        return ERROR_INVALID_PARAMETER;
    }
    if (!self->FindSession(session)) {
        ++self->m_refusedEvents;
        return ERROR_INVALID_HANDLE;
    }
    CapturedEvent event;
    event.session = session;
    event.threadId = ::GetCurrentThreadId();
    const auto* bytes = reinterpret_cast<const BYTE*>(header);
    event.header.assign(bytes, bytes + header->Size);
    if ((header->Flags & WNODE_FLAG_USE_MOF_PTR) && header->Size >= sizeof(EVENT_TRACE_HEADER) + sizeof(MOF_FIELD)) {
        MOF_FIELD field;
        std::memcpy(&field, bytes + sizeof(EVENT_TRACE_HEADER), sizeof(field));
        const auto* data = reinterpret_cast<const BYTE*>(static_cast<uintptr_t>(field.DataPtr));
        if (data)
            event.payload.assign(data, data + field.Length);
    }
    self->m_events.push_back(std::move(event));
    return ERROR_SUCCESS;
}

} // namespace EtwSim
