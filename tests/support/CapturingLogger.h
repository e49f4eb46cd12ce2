#pragma once
// A logger that keeps every record it is given, and a factory that installs
// it as the module logger, so tests can assert each call site's output.
#include <cstdarg>
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
};

// Records kept by the capturing loggers of this process.
class LogCapture
{
public:
    static LogCapture& Instance();
    void Add(LogRecord record);
    std::vector<LogRecord> Take();
    void Clear();

private:
    std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

// Keeps every record a logger of either contract is given; severity threshold
// 1 keeps every level.
template <class Contract>
class CapturingOperations : public Contract
{
public:
    DWORD Register() override { return registerResult; }
    DWORD Uninit() override { return 0; }
    void SetEnabled(bool enabled) override { m_enabled = enabled; }
    bool IsEnabled() override { return m_enabled; }
    DWORD LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override
    {
        va_list args;
        va_start(args, format);
        const DWORD result = this->LogFormattedV(level, file, function, line, format, args);
        va_end(args);
        return result;
    }
    DWORD Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text) override
    {
        Capture(level, file, function, line, text);
        return 0;
    }
    bool IsLevelEnabled(DWORD level) override { return level >= m_severity; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(DWORD severity) override { m_severity = severity; }
    DWORD GetSeverity() override { return m_severity; }

    LoggerInit init;
    DWORD registerResult = 0;

protected:
    static void Capture(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text)
    {
        LogCapture::Instance().Add({level, file ? file : L"", function ? function : L"", line, text ? text : L""});
    }

private:
    bool m_enabled = true;
    DWORD m_severity = 1;
};

class CapturingLogger : public CapturingOperations<ETWLogging::CLoggingIf>
{
public:
    DWORD Init(const wchar_t* group, HMODULE module, const wchar_t* host,
               ETWLogging::LoggingConfigListenerIf* listener) override;
};

class CapturingLoggerEx : public CapturingOperations<ETWLogging::CLoggingIf_ex>
{
public:
    DWORD Init(const wchar_t* group, HMODULE module, const wchar_t* host,
               ETWLogging::LoggingConfigListenerIf* listener) override;
    DWORD InitEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                 ETWLogging::LoggingConfigListenerIf* listener) override;
    DWORD LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text) override
    {
        Capture(level, file, function, line, text);
        return 0;
    }
    bool IsSameSession(ULONG64) override { return false; }
    ULONG OnTraceControl(ULONG, void*) override { return 0; }
    void SetEventClassGuid() override {}
    void GetModuleName(std::wstring& out, HMODULE, bool) override { out.clear(); }
    void BuildModulePath() override {}
    DWORD UnregisterTrace() override { return 0; }
    DWORD Stop() override { return 0; }
    DWORD MapLevel(DWORD level) override { return level; }
    void FillRecord(const wchar_t*, const wchar_t*, int, ETWLogging::internal::ETWEventRecord*) override {}
};

// Makes a capturing logger of the chosen kind and counts how often it was asked.
class CapturingBuilder : public ETWLogging::CLogBuilderIf_ex
{
public:
    explicit CapturingBuilder(bool extended) : m_extended(extended) {}
    bool CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                      ETWLogging::CLoggingIf** out, Plinth::CRegKey* key) override;
    bool CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                        ETWLogging::CLoggingIf** out, Plinth::CRegKey* key) override;

    volatile LONG calls = 0;

private:
    bool m_extended;
};

// Installs a capturing builder as the process's logger factory. Must run before
// the first log call of the process.
CapturingBuilder& InstallCapturingLogger(bool extended);

} // namespace ZelTest
