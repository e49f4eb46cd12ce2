#pragma once
// The logging front end: every component logs through IsLogLevelEnabled and
// WriteLog, which hand messages to the process's one logger.
#include <windows.h>

#include <atomic>

#include "etwlogging/LoggingIf.h"
#include "plinth/Logging/internal_logging.h"

namespace ETWLogging {

class CLogBuilderIf;

// Values that shape the creation of the module logger. Set once at process
// attach, before the first log call; only the first call reads them.
struct LoggerSettings
{
    const wchar_t* appName = nullptr;
    const wchar_t* group = L"_no_group";
    HMODULE module = nullptr;
    const wchar_t* host = L"_no_host";
    DWORD mode = 0;
};

LoggerSettings& GetLoggerSettings();

// The process-wide holder of the module logger. A published holder always
// has a logger.
struct ModuleLogger
{
    ModuleLogger() = default;
    // Unregisters the bridge handler it remembers and destroys the logger.
    ~ModuleLogger();
    ModuleLogger(const ModuleLogger&) = delete;
    ModuleLogger& operator=(const ModuleLogger&) = delete;

    CLoggingIf* logger = nullptr;
    // Bridge handler this holder registered with the utility library's logger core.
    Plinth::ILoggingHandler* bridgeHandler = nullptr;
    // Set by the first log call outside the loader lock, which registers the
    // logger; the code of a failed registration waits for the next message.
    std::atomic<bool> registerTried{false};
    std::atomic<DWORD> registerResult{ERROR_SUCCESS};
};

// The holder, created on the first call with the given settings; later calls
// ignore their arguments. Null when the holder or its logger could not be
// made; a creation that failed is tried again only once a second has passed
// (one that threw, by the next call). Never blocks on another thread's
// creation and never throws.
ModuleLogger* GetModuleLogger(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                              DWORD mode);

// For the module's entry point when the process terminates, its other threads
// killed wherever they were: from then on no log call creates the logger or
// waits for a lock such a thread may hold, and the logger is left to the system.
void SetProcessTerminating();

// For the module's entry point: log calls this thread makes while the scope
// lives run under the loader lock. They do not register the ETW provider, and
// the file writer waits for its mutex only a few milliseconds: a line is lost
// rather than the loader held.
class LoaderLockScope
{
public:
    LoaderLockScope();
    ~LoaderLockScope();
    LoaderLockScope(const LoaderLockScope&) = delete;
    LoaderLockScope& operator=(const LoaderLockScope&) = delete;

private:
    DWORD m_previous;
};

bool IsLogLevelEnabled(DWORD level);

// Formats and logs one message. Returns 0, 1627 when there is no logger, or
// the logger's own code. Callers test IsLogLevelEnabled first. With the
// library's loggers neither operation throws.
DWORD WriteLog(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);

// Size of the extended path's message buffer, terminator included.
constexpr size_t kExtendedMessageChars = 2080;
// Plain-path texts longer than this are cut to kExtendedMessageChars.
constexpr size_t kPlainMessageLimit = 4160;

namespace internal {
// Replaces the factory that makes the module logger (null: the default one
// again); takes effect only before the first log call of the process. Returns
// the factory it replaced.
CLogBuilderIf* SetLogBuilder(CLogBuilderIf* builder);
// The holder when it exists; never creates it.
ModuleLogger* ExistingModuleLogger();
// True once SetProcessTerminating was called.
bool ProcessTerminating();
// True on the thread of a live LoaderLockScope.
bool UnderLoaderLock();
} // namespace internal

} // namespace ETWLogging

// Logs one line when its level is enabled, so dropped messages are never formatted.
#define ZEL_LOG(level, file, function, ...)                                                                            \
    do {                                                                                                               \
        if (::ETWLogging::IsLogLevelEnabled(level))                                                                    \
            ::ETWLogging::WriteLog((level), (file), (function), __LINE__, __VA_ARGS__);                                \
    } while (0)
