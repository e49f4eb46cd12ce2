#include "etwlogging/ModuleLogger.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "etwlogging/DefaultLogBuilder.h"
#include "plinth/WideFormat.h"

namespace ETWLogging {

namespace {

// Set once by compare-exchange: creation takes no lock, so no caller ever
// waits for another's creation, and a creation that fails or throws leaves it
// unset for the next call to try again.
std::atomic<ModuleLogger*> g_holder{nullptr};
std::atomic<bool> g_processTerminating{false};
// The thread inside the module's entry point, which the loader lock serialises.
std::atomic<DWORD> g_loaderLockThread{0};
// When the last creation failed (0: none has); no other is tried for a second.
std::atomic<ULONGLONG> g_failedAt{0};
constexpr ULONGLONG kRetryMs = 1000;

// Destroys the holder, and with it the logger, when the module unloads.
struct HolderOwner
{
    ~HolderOwner()
    {
        // At process termination the logger is left to the system: a killed
        // thread may hold a lock that destroying it would wait for.
        if (g_processTerminating)
            return;
        delete g_holder.exchange(nullptr);
    }
};

// Destroyed in the reverse order of this list when the module unloads: the
// bridge handler unregisters first, then the factory goes, the holder last.
HolderOwner g_holderOwner;
CDefaultLogBuilder g_defaultBuilder;
CPlinthLogHandler g_bridgeHandler;

CLogBuilderIf* g_builder = &g_defaultBuilder;

void RegisterBridgeHandler(ModuleLogger& holder)
{
    if (Plinth::CLogger::RegisterHandler(&g_bridgeHandler) != ERROR_SUCCESS)
        return;
    if (holder.bridgeHandler && holder.bridgeHandler != &g_bridgeHandler)
        Plinth::CLogger::UnregisterHandler(holder.bridgeHandler);
    holder.bridgeHandler = &g_bridgeHandler;
}

// A holder with a logger from the factory; null when either cannot be made.
std::unique_ptr<ModuleLogger> CreateHolder(const LoggerSettings& settings)
{
    std::unique_ptr<ModuleLogger> holder(new (std::nothrow) ModuleLogger);
    if (!holder)
        return nullptr;
    CLogBuilderIf* builder = g_builder;
    CLoggingIf* logger = nullptr;
    bool created = false;
    if (auto* extended = dynamic_cast<CLogBuilderIf_ex*>(builder))
        created = extended->CreateLoggerEx(settings.appName, settings.group, settings.module, settings.host,
                                           settings.mode, &logger, nullptr);
    if (!created) {
        logger = nullptr;
        created =
            builder->CreateLogger(settings.group, settings.module, settings.host, settings.mode, &logger, nullptr);
    }
    if (!created || !logger)
        return nullptr;
    holder->logger = logger;
    return holder;
}

// Threads that race here each make a holder; the first to publish wins and
// the others destroy theirs.
ModuleLogger* CreateAndPublish(const LoggerSettings& settings)
{
    std::unique_ptr<ModuleLogger> made = CreateHolder(settings);
    if (!made)
        return nullptr;
    ModuleLogger* published = nullptr;
    if (!g_holder.compare_exchange_strong(published, made.get()))
        return published;
    ModuleLogger* holder = made.release();
    RegisterBridgeHandler(*holder);
    return holder;
}

// On the first log call outside the loader lock, whatever its level, so that a
// trace session can switch on a module whose messages are all below its
// threshold, without registering under the loader lock.
void RegisterOutsideLoaderLock(ModuleLogger& holder)
{
    if (holder.registerTried.load() || internal::UnderLoaderLock() || holder.registerTried.exchange(true))
        return;
    holder.registerResult = holder.logger->Register();
}

ModuleLogger* CurrentHolder()
{
    const LoggerSettings& settings = GetLoggerSettings();
    return GetModuleLogger(settings.appName, settings.group, settings.module, settings.host, settings.mode);
}

} // namespace

LoggerSettings& GetLoggerSettings()
{
    static LoggerSettings settings;
    return settings;
}

ModuleLogger::~ModuleLogger()
{
    if (bridgeHandler)
        Plinth::CLogger::UnregisterHandler(bridgeHandler);
    delete logger;
}

ModuleLogger* GetModuleLogger(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host,
                              DWORD mode)
{
    if (ModuleLogger* holder = g_holder.load())
        return holder;
    // Creating takes locks (the heap's aside) that a killed thread may hold.
    if (g_processTerminating)
        return nullptr;
    const ULONGLONG failedAt = g_failedAt.load();
    if (failedAt != 0 && ::GetTickCount64() - failedAt < kRetryMs)
        return nullptr;
    LoggerSettings settings;
    settings.appName = appName;
    settings.group = group;
    settings.module = module;
    settings.host = host;
    settings.mode = mode;
    // Logging never fails its caller: a creation that throws counts as failed.
    try {
        ModuleLogger* holder = CreateAndPublish(settings);
        if (!holder)
            g_failedAt = std::max<ULONGLONG>(::GetTickCount64(), 1);
        return holder;
    } catch (...) {
        return g_holder.load();
    }
}

void SetProcessTerminating()
{
    g_processTerminating = true;
}

LoaderLockScope::LoaderLockScope() : m_previous(g_loaderLockThread.exchange(::GetCurrentThreadId())) {}

LoaderLockScope::~LoaderLockScope()
{
    g_loaderLockThread = m_previous;
}

bool IsLogLevelEnabled(DWORD level)
{
    ModuleLogger* holder = CurrentHolder();
    if (!holder || !holder->logger)
        return false;
    RegisterOutsideLoaderLock(*holder);
    return holder->logger->IsLevelEnabled(level);
}

DWORD WriteLog(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    ModuleLogger* holder = CurrentHolder();
    CLoggingIf* logger = holder ? holder->logger : nullptr;
    if (!logger)
        return ERROR_FUNCTION_FAILED;
    auto* extended = dynamic_cast<CLoggingIf_ex*>(logger);
    if (g_processTerminating) {
        // Other threads were killed wherever they were, so no lock they may
        // hold is taken: no registration, and no event, whose payload needs
        // the heap.
        if (extended)
            return ERROR_SUCCESS;
    } else if (!internal::UnderLoaderLock()) {
        RegisterOutsideLoaderLock(*holder);
        const DWORD kept = holder->registerResult.exchange(ERROR_SUCCESS);
        const DWORD registered = kept != ERROR_SUCCESS ? kept : logger->Register();
        if (registered != ERROR_SUCCESS)
            return registered;
    }

    va_list args;
    va_start(args, format);
    DWORD result = ERROR_SUCCESS;
    if (extended) {
        if (extended->IsLevelEnabled(level)) {
            wchar_t text[kExtendedMessageChars] = {};
            Plinth::FormatWideV(text, kExtendedMessageChars, format, args);
            extended->LogEx(level, file, function, line, text);
        }
    } else {
        // Texts up to kPlainMessageLimit pass whole and longer ones are cut
        // shorter still, so a buffer of that size holds every result.
        const int length = Plinth::MeasureWideV(format, args);
        va_end(args);
        va_start(args, format);
        wchar_t text[kPlainMessageLimit + 1];
        Plinth::FormatWideV(text, kPlainMessageLimit + 1, format, args);
        if (length > static_cast<int>(kPlainMessageLimit))
            text[kExtendedMessageChars] = L'\0';
        result = logger->Log(file, function, line, level, text);
    }
    va_end(args);
    return result;
}

namespace internal {

CLogBuilderIf* SetLogBuilder(CLogBuilderIf* builder)
{
    CLogBuilderIf* previous = g_builder;
    g_builder = builder ? builder : &g_defaultBuilder;
    return previous;
}

ModuleLogger* ExistingModuleLogger()
{
    return g_holder.load();
}

bool ProcessTerminating()
{
    return g_processTerminating;
}

bool UnderLoaderLock()
{
    return g_loaderLockThread.load() == ::GetCurrentThreadId();
}

} // namespace internal

} // namespace ETWLogging
