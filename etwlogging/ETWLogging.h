#pragma once
// The ETW trace provider: a classic provider that registers once (the front
// end has it register as soon as the logger is made), follows the enable and
// disable requests of one trace session, and sends each kept message as one
// event with a tag-length-value payload.
#include <windows.h>
#include <evntrace.h>

#include <atomic>
#include <memory>
#include <string>

#include "etwlogging/ETWAppProperties.h"
#include "etwlogging/ETWConfigurationListener.h"
#include "etwlogging/LoggingIf.h"
#include "plinth/ByteBuffer.h"
#include "plinth/Owners.h"

namespace ETWLogging {

// Names the provider's events.
extern const GUID kEventClassGuid;

namespace internal {

// The fields of one event's payload, pointing into the caller's strings.
struct ETWEventRecord
{
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* processFileName = L"";
    const wchar_t* file = L"";
    int line = 0;
    const wchar_t* function = L"";
    const wchar_t* loggingModuleFileName = L"";
    const wchar_t* loggingModuleVersion = L"";
    const wchar_t* group = L"";
    const wchar_t* message = L"";
    size_t messageChars = 0;
};

// Element tags and types of the payload.
enum : DWORD
{
    kTagProcessId = 4,
    kTagThreadId = 5,
    kTagSourceFile = 6,
    kTagLine = 7,
    kTagFunction = 8,
    kTagLoggingModule = 9,
    kTagLoggingModuleVersion = 10,
    kTagGroup = 11,
    kTagMessage = 12,
    kTagProcessFile = 13,
};
enum : DWORD
{
    kTypeInteger = 2,
    kTypeString = 4,
    kTypeSignedInteger = 5,
};

// Appends the payload of one record; false when memory runs out.
bool SerializeEventRecord(const ETWEventRecord& record, Plinth::CByteBuffer& out);

// The classic event: trace header followed by one MOF field naming the payload.
struct ETWEvent
{
    EVENT_TRACE_HEADER header;
    MOF_FIELD payload;
};
static_assert(sizeof(ETWEvent) == 64, "the event is a 48-byte header and a 16-byte field");

// File name and file version of the module that contains this library.
struct LoggingModuleInfo
{
    std::wstring fileName;
    std::wstring version;
};
const LoggingModuleInfo& GetLoggingModuleInfo();

} // namespace internal

class CETWLogging : public CLoggingIf_ex
{
public:
    static constexpr DWORD kDefaultSeverity = 3;
    static constexpr DWORD kHighestSeverity = 6;

    CETWLogging();
    ~CETWLogging() override;
    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    DWORD Init(const wchar_t* group, HMODULE module, const wchar_t* host, LoggingConfigListenerIf* listener) override;
    // Registers with ETW once; a failed registration is reported once and not retried.
    DWORD Register() override;
    void GetModulePath(std::wstring& out) override;
    void GetGroup(std::wstring& out) override;
    DWORD Uninit() override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() override;
    DWORD LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               ...) override;
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override;
    bool IsLevelEnabled(DWORD level) override;
    void SetMaxEntries(DWORD entries) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    void SetSeverity(DWORD severity) override;
    DWORD GetSeverity() override;

    // Takes ownership of the listener; without one, makes its own. 14 when
    // memory runs out.
    DWORD InitEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                 LoggingConfigListenerIf* listener) override;
    DWORD LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text) override;
    bool IsSameSession(ULONG64 sessionHandle) override;
    // An enable or disable request of a trace session.
    ULONG OnTraceControl(ULONG requestCode, void* buffer) override;
    void SetEventClassGuid() override;
    void GetModuleName(std::wstring& out, HMODULE module, bool stripExtension) override;
    void BuildModulePath() override;
    DWORD UnregisterTrace() override;
    DWORD Stop() override;
    DWORD MapLevel(DWORD level) override;
    void FillRecord(const wchar_t* file, const wchar_t* function, int line, internal::ETWEventRecord* record) override;

    const internal::ETWAppProperties& Properties() const { return m_properties; }

private:
    DWORD Initialise(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                     LoggingConfigListenerIf* listener);
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize, PVOID buffer);

    std::atomic<bool> m_registered{false};
    Plinth::CriticalSection m_registrationLock;
    DWORD m_processId = 0;
    GUID m_eventClassGuid = {};
    std::unique_ptr<LoggingConfigListenerIf> m_listener;
    std::atomic<bool> m_enabled{true};
    std::atomic<DWORD> m_severity{kDefaultSeverity};
    std::wstring m_group;
    std::wstring m_host;
    std::wstring m_processFileName;
    std::wstring m_moduleName;
    std::wstring m_modulePath;
    std::wstring m_loggingModuleFileName;
    std::wstring m_loggingModuleVersion;
    std::atomic<ULONG64> m_sessionHandle{0};
    TRACEHANDLE m_registrationHandle = 0;
    internal::ETWAppProperties m_properties;
};

} // namespace ETWLogging
