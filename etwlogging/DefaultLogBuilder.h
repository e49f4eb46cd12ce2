#pragma once
// The module logger's factory and the bridge that carries the utility
// library's own messages into the same logger.
#include <windows.h>

#include "etwlogging/LogBuilderIf.h"
#include "plinth/Logging/internal_logging.h"

namespace ETWLogging {

// Name of the sealed DWORD under HKLM "SOFTWARE\Varkon\Logging" whose value 1
// selects the file log writer; anything else selects the ETW trace provider.
constexpr wchar_t kLoggingKeyPath[] = L"SOFTWARE\\Varkon\\Logging";
constexpr wchar_t kLoggingMechanism[] = L"Logging Mechanism";
constexpr DWORD kMechanismFile = 1;
// The mode that always selects the file log writer.
constexpr DWORD kModeFileLogging = 1;

class CDefaultLogBuilder : public CLogBuilderIf_ex
{
public:
    bool CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode, CLoggingIf** out,
                      Plinth::CRegKey* key) override;
    bool CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                        CLoggingIf** out, Plinth::CRegKey* key) override;
};

class CPlinthLogHandler : public Plinth::ILoggingHandler
{
public:
    CPlinthLogHandler() = default;
    // Unregisters itself when the module logger's holder still remembers it.
    ~CPlinthLogHandler();
    CPlinthLogHandler(const CPlinthLogHandler&) = delete;
    CPlinthLogHandler& operator=(const CPlinthLogHandler&) = delete;

    // Passes the message, unformatted and untested, to the module logger.
    void HandleLogMessage(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* message) override;

    // The module logger's level for a utility-library level.
    static DWORD MapLevel(DWORD plinthLevel);
};

} // namespace ETWLogging
