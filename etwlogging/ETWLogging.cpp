#include "etwlogging/ETWLogging.h"

#include <cwchar>
#include <memory>
#include <new>

#include "etwlogging/EtwEntryPoints.h"
#include "plinth/FileVersionInfo.h"
#include "plinth/WideFormat.h"

namespace ETWLogging {

// {2F6A9D13-84E5-4C7B-A0D2-5E91B3C8F746}
const GUID kEventClassGuid = {0x2f6a9d13, 0x84e5, 0x4c7b, {0xa0, 0xd2, 0x5e, 0x91, 0xb3, 0xc8, 0xf7, 0x46}};

namespace {

constexpr DWORD kSpinCount = 4000;
// ERROR_UNHANDLED_EXCEPTION, which not every SDK names.
constexpr ULONG kErrorUnhandledException = 574;
constexpr size_t kMessageLimit = 4160;
constexpr size_t kCutMessageChars = 2080;
// An element's length is 16 bits of bytes, so longer strings are cut to fit.
constexpr size_t kMostElementChars = 0xFFFF / sizeof(wchar_t);
constexpr UCHAR kEventType = 1;
constexpr USHORT kEventVersion = 1;
constexpr ULONG kEventFlags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;

// Each append reports whether the buffer took every byte.
bool AppendElementHeader(Plinth::CByteBuffer& out, DWORD tag, DWORD type, USHORT length)
{
    return out.Append(&tag, sizeof(tag)) && out.Append(&type, sizeof(type)) && out.Append(&length, sizeof(length));
}

bool AppendInteger(Plinth::CByteBuffer& out, DWORD tag, DWORD type, DWORD value)
{
    return AppendElementHeader(out, tag, type, sizeof(value)) && out.Append(&value, sizeof(value));
}

bool AppendString(Plinth::CByteBuffer& out, DWORD tag, const wchar_t* text, size_t chars)
{
    if (chars > kMostElementChars)
        chars = kMostElementChars;
    const auto bytes = static_cast<USHORT>(chars * sizeof(wchar_t));
    return AppendElementHeader(out, tag, internal::kTypeString, bytes) && (bytes == 0 || out.Append(text, bytes));
}

bool AppendString(Plinth::CByteBuffer& out, DWORD tag, const wchar_t* text)
{
    return AppendString(out, tag, text ? text : L"", text ? std::wcslen(text) : 0);
}

// "1,2,3,4" as "1.2.3.4"; any other text unchanged.
std::wstring DottedVersion(const std::wstring& version)
{
    unsigned parts[4] = {};
    if (std::swscanf(version.c_str(), L"%u,%u,%u,%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4)
        return version;
    std::wstring dotted;
    if (!Plinth::FormatWideString(dotted, L"%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]))
        return version;
    return dotted;
}

internal::LoggingModuleInfo MakeLoggingModuleInfo()
{
    internal::LoggingModuleInfo info;
    MEMORY_BASIC_INFORMATION memory = {};
    if (!::VirtualQuery(reinterpret_cast<const void*>(&MakeLoggingModuleInfo), &memory, sizeof(memory)))
        return info;
    wchar_t path[MAX_PATH] = {};
    const DWORD chars = ::GetModuleFileNameW(static_cast<HMODULE>(memory.AllocationBase), path, MAX_PATH);
    if (chars == 0)
        return info;
    path[MAX_PATH - 1] = L'\0';
    const wchar_t* name = std::wcsrchr(path, L'\\');
    info.fileName = name ? name + 1 : path;
    Plinth::FileVersionInfo version;
    if (version.Load(path))
        info.version = DottedVersion(version.GetString(L"FileVersion"));
    return info;
}

} // namespace

namespace internal {

bool SerializeEventRecord(const ETWEventRecord& record, Plinth::CByteBuffer& out)
{
    return AppendInteger(out, kTagProcessId, kTypeInteger, record.processId) &&
           AppendInteger(out, kTagThreadId, kTypeInteger, record.threadId) &&
           AppendString(out, kTagProcessFile, record.processFileName) &&
           AppendString(out, kTagSourceFile, record.file) &&
           AppendInteger(out, kTagLine, kTypeSignedInteger, static_cast<DWORD>(record.line)) &&
           AppendString(out, kTagFunction, record.function) &&
           AppendString(out, kTagLoggingModule, record.loggingModuleFileName) &&
           AppendString(out, kTagLoggingModuleVersion, record.loggingModuleVersion) &&
           AppendString(out, kTagGroup, record.group) &&
           AppendString(out, kTagMessage, record.message, record.messageChars);
}

const LoggingModuleInfo& GetLoggingModuleInfo()
{
    static const LoggingModuleInfo info = MakeLoggingModuleInfo();
    return info;
}

} // namespace internal

CETWLogging::CETWLogging()
{
    // Cannot fail on the systems the product supports.
    (void)m_registrationLock.Init(kSpinCount);
}

CETWLogging::~CETWLogging()
{
    Uninit();
    UnregisterTrace();
}

DWORD CETWLogging::Init(const wchar_t* group, HMODULE module, const wchar_t* host, LoggingConfigListenerIf* listener)
{
    return InitEx(nullptr, group, module, host, listener);
}

DWORD CETWLogging::InitEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                          LoggingConfigListenerIf* listener)
{
    try {
        return Initialise(appName, group, module, host, listener);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

DWORD CETWLogging::Initialise(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                              LoggingConfigListenerIf* listener)
{
    if (m_registered)
        return kErrorAlreadyInitialised;
    if (group) {
        if (!*group)
            return ERROR_INVALID_PARAMETER;
        m_group = group;
    }
    if (host) {
        if (!*host)
            return ERROR_INVALID_PARAMETER;
        m_host = host;
    }
    if (!m_properties.Init(appName))
        return ERROR_INVALID_PARAMETER;

    GetModuleName(m_processFileName, nullptr, false);
    GetModuleName(m_moduleName, module, true);
    BuildModulePath();

    m_listener.reset(listener);
    if (m_listener)
        m_listener->SetLogger(this);
    else
        m_listener.reset(new (std::nothrow) CETWConfigurationListener(m_properties, this));
    if (m_listener)
        m_listener->OnConfigChanged(1, kDefaultSeverity, 0);

    m_processId = ::GetCurrentProcessId();
    const internal::LoggingModuleInfo& info = internal::GetLoggingModuleInfo();
    m_loggingModuleFileName = info.fileName;
    m_loggingModuleVersion = info.version;
    SetEventClassGuid();
    return ERROR_SUCCESS;
}

DWORD CETWLogging::Register()
{
    if (m_registered)
        return ERROR_SUCCESS;
    Plinth::CriticalSectionLock lock(m_registrationLock);
    if (m_registered)
        return ERROR_SUCCESS;

    const EtwEntryPoints& etw = GetEtwEntryPoints();
    TRACE_GUID_REGISTRATION registration = {&m_eventClassGuid, nullptr};
    TRACEHANDLE handle = 0;
    const ULONG result = etw.registerTraceGuids(&CETWLogging::ControlCallback, this, &m_properties.GetProviderGuid(), 1,
                                                &registration, nullptr, nullptr, &handle);
    if (result == ERROR_SUCCESS) {
        if (m_registrationHandle)
            etw.unregisterTraceGuids(m_registrationHandle);
        m_registrationHandle = handle;
    }
    m_registered = true;
    return result;
}

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG*, PVOID buffer)
{
    if (!context)
        return ERROR_INVALID_PARAMETER;
    try {
        return static_cast<CETWLogging*>(context)->OnTraceControl(requestCode, buffer);
    } catch (...) {
        return kErrorUnhandledException;
    }
}

ULONG CETWLogging::OnTraceControl(ULONG requestCode, void* buffer)
{
    const EtwEntryPoints& etw = GetEtwEntryPoints();
    const TRACEHANDLE invalid = reinterpret_cast<TRACEHANDLE>(INVALID_HANDLE_VALUE);
    switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
        ::SetLastError(ERROR_SUCCESS);
        const TRACEHANDLE session = etw.getTraceLoggerHandle(buffer);
        if (session == invalid || session == 0)
            return ::GetLastError();
        const ULONG64 held = m_sessionHandle;
        if (held != 0 && held != session)
            return ERROR_SUCCESS;
        m_sessionHandle = session;
        if (!m_listener)
            return ERROR_SUCCESS;
        const UCHAR level = etw.getTraceEnableLevel(session);
        if (level == 0)
            return ::GetLastError();
        const ULONG flags = etw.getTraceEnableFlags(session);
        m_listener->OnConfigChanged(1, level, flags);
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS: {
        // Only the session the provider follows may switch it off; another
        // session's request is ignored as its enable request was.
        const TRACEHANDLE session = etw.getTraceLoggerHandle(buffer);
        const bool valid = session != invalid && session != 0;
        const ULONG64 held = m_sessionHandle;
        if (held != 0 && (!valid || held != session))
            return ERROR_SUCCESS;
        if (m_listener)
            m_listener->OnConfigChanged(0, m_severity, 0);
        if (valid && held != 0 && IsSameSession(session))
            m_sessionHandle = 0;
        return ERROR_SUCCESS;
    }
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

void CETWLogging::GetModulePath(std::wstring& out)
{
    out = m_modulePath;
}

void CETWLogging::GetGroup(std::wstring& out)
{
    out = m_group;
}

DWORD CETWLogging::Uninit()
{
    if (!m_registered)
        return ERROR_SUCCESS;
    const DWORD stopped = Stop();
    if (stopped != ERROR_SUCCESS)
        return stopped;
    m_registered = false;
    return ERROR_SUCCESS;
}

void CETWLogging::SetEnabled(bool enabled)
{
    m_enabled = enabled;
}

bool CETWLogging::IsEnabled()
{
    return m_enabled;
}

DWORD CETWLogging::LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    if (!m_enabled || !IsLevelEnabled(level) || !format)
        return ERROR_SUCCESS;
    va_list args;
    va_start(args, format);
    const int length = Plinth::MeasureWideV(format, args);
    va_end(args);
    if (length <= 0)
        return ERROR_SUCCESS;
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[static_cast<size_t>(length) + 1]);
    if (!text)
        return ERROR_NOT_ENOUGH_MEMORY;
    va_start(args, format);
    Plinth::FormatWideV(text.get(), static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    return LogEx(level, file, function, line, text.get());
}

DWORD CETWLogging::Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text)
{
    LogEx(level, file, function, line, text);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsLevelEnabled(DWORD level)
{
    return level >= m_severity || level == LevelInformation;
}

void CETWLogging::SetMaxEntries(DWORD) {}

DWORD CETWLogging::GetMaxEntries()
{
    return 0;
}

void CETWLogging::SetMaxSize(DWORD) {}

DWORD CETWLogging::GetMaxSize()
{
    return 0;
}

void CETWLogging::SetSeverity(DWORD severity)
{
    m_severity = severity == 0 ? 1 : severity > kHighestSeverity ? kHighestSeverity : severity;
}

DWORD CETWLogging::GetSeverity()
{
    return m_severity;
}

DWORD CETWLogging::LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text)
{
    if (!m_enabled || !IsLevelEnabled(level) || !text || !*text)
        return ERROR_SUCCESS;
    const DWORD eventLevel = MapLevel(level);

    internal::ETWEventRecord record;
    FillRecord(file, function, line, &record);
    const size_t chars = std::wcslen(text);
    record.message = text;
    record.messageChars = chars > kMessageLimit ? kCutMessageChars : chars;

    Plinth::CByteBuffer payload;
    if (!internal::SerializeEventRecord(record, payload))
        return ERROR_SUCCESS;

    internal::ETWEvent event = {};
    event.header.Size = sizeof(event);
    event.header.Class.Type = kEventType;
    event.header.Class.Level = static_cast<UCHAR>(eventLevel >= 1 && eventLevel <= 5 ? eventLevel : 3);
    event.header.Class.Version = kEventVersion;
    event.header.Guid = m_eventClassGuid;
    event.header.Flags = kEventFlags;
    event.payload.DataPtr = reinterpret_cast<ULONG64>(payload.Data());
    event.payload.Length = static_cast<ULONG>(payload.Size());
    // Fails while no session listens; the event is then lost by design.
    GetEtwEntryPoints().traceEvent(m_sessionHandle, &event.header);
    return ERROR_SUCCESS;
}

bool CETWLogging::IsSameSession(ULONG64 sessionHandle)
{
    return sessionHandle == m_sessionHandle;
}

void CETWLogging::SetEventClassGuid()
{
    m_eventClassGuid = kEventClassGuid;
}

void CETWLogging::GetModuleName(std::wstring& out, HMODULE module, bool stripExtension)
{
    out.clear();
    wchar_t path[MAX_PATH] = {};
    if (::GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return;
    path[MAX_PATH - 1] = L'\0';
    const wchar_t* name = std::wcsrchr(path, L'\\');
    out = name ? name + 1 : path;
    if (!stripExtension)
        return;
    const size_t dot = out.rfind(L'.');
    if (dot != std::wstring::npos)
        out.resize(dot);
}

void CETWLogging::BuildModulePath()
{
    m_modulePath = m_group;
    if (!m_moduleName.empty())
        m_modulePath += L"\\" + m_moduleName;
}

DWORD CETWLogging::UnregisterTrace()
{
    Plinth::CriticalSectionLock lock(m_registrationLock);
    if (!m_registrationHandle)
        return ERROR_SUCCESS;
    const ULONG result = GetEtwEntryPoints().unregisterTraceGuids(m_registrationHandle);
    m_registrationHandle = 0;
    m_registered = false;
    return result;
}

DWORD CETWLogging::Stop()
{
    SetEnabled(false);
    return UnregisterTrace();
}

DWORD CETWLogging::MapLevel(DWORD level)
{
    return level == LevelInformationEx ? LevelInformation : level;
}

void CETWLogging::FillRecord(const wchar_t* file, const wchar_t* function, int line, internal::ETWEventRecord* record)
{
    if (!record)
        return;
    record->processId = m_processId;
    record->threadId = ::GetCurrentThreadId();
    record->processFileName = m_processFileName.c_str();
    record->file = file ? file : L"";
    record->line = line;
    record->function = function ? function : L"";
    record->loggingModuleFileName = m_loggingModuleFileName.c_str();
    record->loggingModuleVersion = m_loggingModuleVersion.c_str();
    record->group = m_group.c_str();
}

} // namespace ETWLogging
