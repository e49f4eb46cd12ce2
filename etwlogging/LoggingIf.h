#pragma once
// The logger contract every logger of the logging library implements.
#include <windows.h>
#include <cstdarg>
#include <string>

namespace ETWLogging {

class LoggingConfigListenerIf;
namespace internal {
struct ETWEventRecord;
}

// Codes of the loggers' initialisation besides the Win32 ones.
constexpr DWORD kErrorAlreadyInitialised = 20001;
constexpr DWORD kErrorNotInitialised = 20002;

// Message levels.
enum : DWORD
{
    LevelNormal = 1,
    LevelWarning = 2,
    LevelInformation = 3,
    LevelError = 4,
    LevelCritical = 5,
    LevelInformationEx = 6,
};

// Name of a level as the log record prints it, or null for an unknown level.
const wchar_t* LevelName(DWORD level);

class CLoggingIf
{
public:
    // Size of the per-level operations' format buffer, terminator included.
    static constexpr size_t kFormatBufferChars = 4160;

    virtual ~CLoggingIf();
    virtual DWORD Init(const wchar_t* group, HMODULE module, const wchar_t* host,
                       LoggingConfigListenerIf* listener) = 0;
    // Makes the sink ready; the front end calls it before every message.
    virtual DWORD Register() = 0;
    virtual void GetModulePath(std::wstring& out);
    virtual void GetGroup(std::wstring& out);
    virtual DWORD Uninit() = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() = 0;
    virtual DWORD LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                       ...) = 0;
    virtual DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) = 0;
    virtual bool IsLevelEnabled(DWORD level) = 0;
    virtual void SetMaxEntries(DWORD entries) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual void SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() = 0;
    virtual void SetSeverity(DWORD severity) = 0;
    virtual DWORD GetSeverity() = 0;
    virtual ULONG AddRef();
    virtual ULONG Release();
    virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);

protected:
    // Formats into a 4160-character buffer (cut at 4159) and passes the text to Log.
    DWORD LogFormattedV(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                        va_list args);
};

// The extended contract: application name at initialisation, level-first
// logging, and the operations of the ETW trace provider.
class CLoggingIf_ex : public CLoggingIf
{
public:
    virtual DWORD InitEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                         LoggingConfigListenerIf* listener) = 0;
    virtual DWORD LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text) = 0;
    virtual bool IsSameSession(ULONG64 sessionHandle) = 0;
    virtual ULONG OnTraceControl(ULONG requestCode, void* buffer) = 0;
    virtual void SetEventClassGuid() = 0;
    virtual void GetModuleName(std::wstring& out, HMODULE module, bool stripExtension) = 0;
    virtual void BuildModulePath() = 0;
    virtual DWORD UnregisterTrace() = 0;
    virtual DWORD Stop() = 0;
    virtual DWORD MapLevel(DWORD level) = 0;
    virtual void FillRecord(const wchar_t* file, const wchar_t* function, int line,
                            internal::ETWEventRecord* record) = 0;
};

} // namespace ETWLogging
