#include "tests/support/CapturingLogger.h"

#include "etwlogging/ModuleLogger.h"

namespace ZelTest {

namespace {

void Remember(LoggerInit& init, const wchar_t* appName, const wchar_t* group, const wchar_t* host)
{
    init.appName = appName ? appName : L"";
    init.group = group ? group : L"";
    init.host = host ? host : L"";
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

DWORD CapturingLogger::Init(const wchar_t* group, HMODULE, const wchar_t* host, ETWLogging::LoggingConfigListenerIf*)
{
    Remember(init, nullptr, group, host);
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

bool CapturingBuilder::CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                                    ETWLogging::CLoggingIf** out, Plinth::CRegKey* key)
{
    return CreateLoggerEx(nullptr, group, module, host, mode, out, key);
}

bool CapturingBuilder::CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                                      DWORD, ETWLogging::CLoggingIf** out, Plinth::CRegKey*)
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
