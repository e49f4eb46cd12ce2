#pragma once
// A logger that keeps every record it is given, and a factory that installs
// it as the module logger, so tests can assert each call site's output.
#include <mutex>
#include <string>
#include <vector>

#include "etwlogging/LogBuilderIf.h"
#include "etwlogging/LoggingIf.h"

namespace ZelTest {

struct LogRecord
{
    DWORD level;
    std::wstring file;
    std::wstring function;
    int line;
    std::wstring text;
};

struct LoggerInit
{
    std::wstring appName;
    std::wstring group;
    std::wstring host;
    bool groupNull = false;
    bool hostNull = false;
};

// Records kept by the capturing loggers of this process.
class LogCapture
{
public:
    static LogCapture& Instance();
    void Add(LogRecord record);
    std::vector<LogRecord> Take();
    void Clear();
    // Records of one function, in order.
    std::vector<LogRecord> For(const std::wstring& function);

private:
    std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

// The plain logger contract; severity threshold 1 keeps every level.
class CapturingLogger : public ETWLogging::CLoggingIf
{
public:
    DWORD Init(const wchar_t* group, HMODULE module, const wchar_t* host,
               ETWLogging::LoggingConfigListenerIf* listener) override;
    DWORD Register() override { return registerResult; }
    DWORD Uninit() override { return 0; }
    void SetEnabled(bool enabled) override { m_enabled = enabled; }
    bool IsEnabled() override { return m_enabled; }
    DWORD LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               ...) override;
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override;
    bool IsLevelEnabled(DWORD level) override { return level >= m_severity; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(DWORD severity) override { m_severity = severity; }
    DWORD GetSeverity() override { return m_severity; }

    LoggerInit init;
    DWORD registerResult = 0;

private:
    bool m_enabled = true;
    DWORD m_severity = 1;
};

// The extended contract, as the ETW provider and the file writer offer it.
class CapturingLoggerEx : public ETWLogging::CLoggingIf_ex
{
public:
    DWORD Init(const wchar_t* group, HMODULE module, const wchar_t* host,
               ETWLogging::LoggingConfigListenerIf* listener) override;
    DWORD Register() override { return registerResult; }
    DWORD Uninit() override { return 0; }
    void SetEnabled(bool enabled) override { m_enabled = enabled; }
    bool IsEnabled() override { return m_enabled; }
    DWORD LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
               ...) override;
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override;
    bool IsLevelEnabled(DWORD level) override { return level >= m_severity; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(DWORD severity) override { m_severity = severity; }
    DWORD GetSeverity() override { return m_severity; }

    DWORD InitEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                 ETWLogging::LoggingConfigListenerIf* listener) override;
    DWORD LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text) override;
    bool IsSameSession(ULONG64) override { return false; }
    ULONG OnTraceControl(ULONG, void*) override { return 0; }
    void SetEventClassGuid() override {}
    void GetModuleName(std::wstring& out, HMODULE, bool) override { out.clear(); }
    void BuildModulePath() override {}
    DWORD UnregisterTrace() override { return 0; }
    DWORD Stop() override { return 0; }
    DWORD MapLevel(DWORD level) override { return level; }
    void FillRecord(const wchar_t*, const wchar_t*, int, ETWLogging::internal::ETWEventRecord*) override {}

    LoggerInit init;
    DWORD registerResult = 0;

private:
    bool m_enabled = true;
    DWORD m_severity = 1;
};

// Makes a capturing logger of the chosen kind and counts how often it was asked.
class CapturingBuilder : public ETWLogging::CLogBuilderIf_ex
{
public:
    explicit CapturingBuilder(bool extended) : m_extended(extended) {}
    bool CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                      ETWLogging::CLoggingIf** out, Plinth::CRegKey* key) override;
    bool CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                        DWORD mode, ETWLogging::CLoggingIf** out, Plinth::CRegKey* key) override;

    volatile LONG calls = 0;

private:
    bool m_extended;
};

// Installs a capturing builder as the process's logger factory. Must run before
// the first log call of the process.
CapturingBuilder& InstallCapturingLogger(bool extended);

} // namespace ZelTest
