#include "etwlogging/DefaultLogBuilder.h"

#include <new>

#include "etwlogging/ETWLogging.h"
#include "etwlogging/FileLogging.h"
#include "etwlogging/ModuleLogger.h"
#include "plinth/ObfuscatedRegKey.h"

namespace ETWLogging {

namespace {

bool FileLoggingSelected(Plinth::CRegKey* key)
{
    DWORD mechanism = 0;
    if (key)
        return key->QueryDWORDValue(kLoggingMechanism, mechanism) == ERROR_SUCCESS && mechanism == kMechanismFile;
    Plinth::CObfuscatedRegKey logging;
    if (logging.Open(HKEY_LOCAL_MACHINE, kLoggingKeyPath, KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    return logging.QueryDWORDValue(kLoggingMechanism, mechanism) == ERROR_SUCCESS && mechanism == kMechanismFile;
}

bool EmptyButGiven(const wchar_t* text)
{
    return text && !*text;
}

template <typename Logger>
bool MakeLogger(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host, CLoggingIf** out)
{
    if (!out || *out || EmptyButGiven(group) || EmptyButGiven(host))
        return false;
    CLoggingIf* logger = new (std::nothrow) Logger;
    if (!logger)
        return false;
    auto* extended = dynamic_cast<CLoggingIf_ex*>(logger);
    const bool ready = (extended && extended->InitEx(appName, group, module, host, nullptr) == ERROR_SUCCESS) ||
                       logger->Init(group, module, host, nullptr) == ERROR_SUCCESS;
    if (!ready) {
        delete logger;
        return false;
    }
    *out = logger;
    logger->AddRef();
    return true;
}

} // namespace

bool CDefaultLogBuilder::CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                                      CLoggingIf** out, Plinth::CRegKey* key)
{
    return CreateLoggerEx(nullptr, group, module, host, mode, out, key);
}

bool CDefaultLogBuilder::CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module,
                                        const wchar_t* host, DWORD mode, CLoggingIf** out, Plinth::CRegKey* key)
{
    if (mode == kModeFileLogging || FileLoggingSelected(key))
        return MakeLogger<CLogging>(appName, group, module, host, out);
    return MakeLogger<CETWLogging>(appName, group, module, host, out);
}

DWORD CPlinthLogHandler::MapLevel(DWORD plinthLevel)
{
    switch (plinthLevel) {
    case Plinth::LogLevelNone:
    case Plinth::LogLevelInformation:
        return LevelNormal;
    case Plinth::LogLevelError:
        return LevelError;
    default:
        return LevelWarning;
    }
}

void CPlinthLogHandler::HandleLogMessage(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                         const wchar_t* message)
{
    ModuleLogger* holder = internal::ExistingModuleLogger();
    if (!holder || !holder->logger)
        return;
    CLoggingIf* logger = holder->logger;
    if (!internal::UnderLoaderLock() && logger->Register() != ERROR_SUCCESS)
        return;
    const DWORD mapped = MapLevel(level);
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logger))
        extended->LogEx(mapped, file, function, line, message);
    else
        logger->Log(file, function, line, mapped, message);
}

CPlinthLogHandler::~CPlinthLogHandler()
{
    ModuleLogger* holder = internal::ExistingModuleLogger();
    if (!holder || holder->bridgeHandler != this)
        return;
    Plinth::CLogger::UnregisterHandler(this);
    holder->bridgeHandler = nullptr;
}

} // namespace ETWLogging
