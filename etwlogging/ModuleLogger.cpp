#include "etwlogging/ModuleLogger.h"

#include <memory>
#include <new>

#include "etwlogging/DefaultLogBuilder.h"
#include "plinth/WideFormat.h"

namespace ETWLogging {

namespace {

INIT_ONCE g_holderOnce = INIT_ONCE_STATIC_INIT;
ModuleLogger* g_holder = nullptr;

// Destroys the holder, and with it the logger, when the module unloads.
struct HolderOwner
{
    ~HolderOwner()
    {
        delete g_holder;
        g_holder = nullptr;
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

// Asks the factory for a logger and stores it in the holder, then lets the
// utility library's messages reach it. When the factory fails, the holder
// keeps no logger.
void CreateLoggerInto(ModuleLogger& holder, const LoggerSettings& settings)
{
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
        return;
    delete holder.logger;
    holder.logger = logger;
    RegisterBridgeHandler(holder);
}

BOOL CALLBACK CreateHolder(PINIT_ONCE, PVOID parameter, PVOID*)
{
    auto* holder = new (std::nothrow) ModuleLogger;
    if (holder)
        CreateLoggerInto(*holder, *static_cast<const LoggerSettings*>(parameter));
    g_holder = holder;
    return TRUE;
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
    LoggerSettings settings;
    settings.appName = appName;
    settings.group = group;
    settings.module = module;
    settings.host = host;
    settings.mode = mode;
    ::InitOnceExecuteOnce(&g_holderOnce, CreateHolder, &settings, nullptr);
    return g_holder;
}

bool IsLogLevelEnabled(DWORD level)
{
    ModuleLogger* holder = CurrentHolder();
    return holder && holder->logger && holder->logger->IsLevelEnabled(level);
}

DWORD WriteLog(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    ModuleLogger* holder = CurrentHolder();
    if (!holder)
        return ERROR_NOT_ENOUGH_MEMORY;
    CLoggingIf* logger = holder->logger;
    if (!logger)
        return ERROR_FUNCTION_FAILED;
    const DWORD registered = logger->Register();
    if (registered != ERROR_SUCCESS)
        return registered;

    va_list args;
    va_start(args, format);
    DWORD result = ERROR_SUCCESS;
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
        if (extended->IsLevelEnabled(level)) {
            wchar_t text[kExtendedMessageChars] = {};
            Plinth::FormatWideV(text, kExtendedMessageChars, format, args);
            extended->LogEx(level, file, function, line, text);
        }
    } else {
        // The plain path has no fixed buffer; only very long texts are cut.
        const int length = Plinth::MeasureWideV(format, args);
        va_end(args);
        va_start(args, format);
        const size_t chars = length > 0 ? static_cast<size_t>(length) : 0;
        std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[chars + 1]);
        if (!text) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            Plinth::FormatWideV(text.get(), chars + 1, format, args);
            if (chars > kPlainMessageLimit)
                text[kExtendedMessageChars] = L'\0';
            result = logger->Log(file, function, line, level, text.get());
        }
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
    return g_holder;
}

} // namespace internal

} // namespace ETWLogging
