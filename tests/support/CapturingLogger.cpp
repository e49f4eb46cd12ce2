#include "CapturingLogger.h"

#include <cstdarg>

#include "etwlogging/ModuleLogger.h"
#include "plinth/WideFormat.h"

namespace ZelTest {

namespace {

void Remember(LoggerInit& init, const wchar_t* appName, const wchar_t* group, const wchar_t* host)
{
    init.appName = appName ? appName : L"";
    init.groupNull = group == nullptr;
    init.group = group ? group : L"";
    init.hostNull = host == nullptr;
    init.host = host ? host : L"";
}

void Capture(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* text)
{
    LogCapture::Instance().Add({level, file ? file : L"", function ? function : L"", line, text ? text : L""});
}

} // namespace

LogCapture& LogCapture::Instance()
{
    static LogCapture capture;
    return capture;
}

void LogCapture::Add(LogRecord record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(std::move(record));
}

std::vector<LogRecord> LogCapture::Take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<LogRecord> records;
    records.swap(m_records);
    return records;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

std::vector<LogRecord> LogCapture::For(const std::wstring& function)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<LogRecord> records;
    for (const LogRecord& record : m_records) {
        if (record.function == function)
            records.push_back(record);
    }
    return records;
}

DWORD CapturingLogger::Init(const wchar_t* group, HMODULE, const wchar_t* host, ETWLogging::LoggingConfigListenerIf*)
{
    Remember(init, nullptr, group, host);
    return 0;
}

DWORD CapturingLogger::LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const DWORD result = LogFormattedV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CapturingLogger::Log(const wchar_t* file, const wchar_t* function, int line, DWORD level, const wchar_t* text)
{
    Capture(level, file, function, line, text);
    return 0;
}

DWORD CapturingLoggerEx::Init(const wchar_t* group, HMODULE module, const wchar_t* host,
                              ETWLogging::LoggingConfigListenerIf* listener)
{
    return InitEx(nullptr, group, module, host, listener);
}

DWORD CapturingLoggerEx::InitEx(const wchar_t* appName, const wchar_t* group, HMODULE, const wchar_t* host,
                                ETWLogging::LoggingConfigListenerIf*)
{
    Remember(init, appName, group, host);
    return 0;
}

DWORD CapturingLoggerEx::LogF(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const DWORD result = LogFormattedV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CapturingLoggerEx::Log(const wchar_t* file, const wchar_t* function, int line, DWORD level,
                             const wchar_t* text)
{
    return LogEx(level, file, function, line, text);
}

DWORD CapturingLoggerEx::LogEx(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* text)
{
    Capture(level, file, function, line, text);
    return 0;
}

bool CapturingBuilder::CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                                    ETWLogging::CLoggingIf** out, Plinth::CRegKey* key)
{
    return CreateLoggerEx(nullptr, group, module, host, mode, out, key);
}

bool CapturingBuilder::CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module,
                                      const wchar_t* host, DWORD, ETWLogging::CLoggingIf** out, Plinth::CRegKey*)
{
    ::InterlockedIncrement(&calls);
    if (*out)
        return false;
    if (m_extended) {
        auto* logger = new CapturingLoggerEx;
        logger->InitEx(appName, group, module, host, nullptr);
        *out = logger;
    } else {
        auto* logger = new CapturingLogger;
        logger->Init(group, module, host, nullptr);
        *out = logger;
    }
    return true;
}

CapturingBuilder& InstallCapturingLogger(bool extended)
{
    static CapturingBuilder plain(false);
    static CapturingBuilder ex(true);
    CapturingBuilder& builder = extended ? ex : plain;
    ETWLogging::internal::SetLogBuilder(&builder);
    return builder;
}

} // namespace ZelTest
