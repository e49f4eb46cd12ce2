// Logs once through the default factory, so the module logger and its bridge
// handler exist, then checks after every other static object of the program
// is destroyed that the logger core accepts a new handler again.
#include <windows.h>

#include <cstring>

#include "etwlogging/ModuleLogger.h"
#include "plinth/Logging/internal_logging.h"

namespace {

void Print(const char* text)
{
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

class QuietHandler : public Plinth::ILoggingHandler
{
public:
    void HandleLogMessage(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*) override {}
};

struct ExitCheck
{
    ~ExitCheck()
    {
        if (Plinth::CLogger::RegisterHandler(&probe) == ERROR_SUCCESS)
            Print("logger core free at exit\n");
        else
            Print("a handler is still registered at exit\n");
    }
    QuietHandler probe;
};

// Constructed before, so destroyed after, the logging library's own objects.
ExitCheck g_exitCheck __attribute__((init_priority(101)));

} // namespace

int main()
{
    ETWLogging::GetLoggerSettings().group = L"ZelProbe";
    ZEL_LOG(ETWLogging::LevelError, L"LoggingExitProbe", L"main", L"probe %d\r\n", 1);
    const ETWLogging::ModuleLogger* holder = ETWLogging::internal::ExistingModuleLogger();
    if (holder && holder->logger && holder->bridgeHandler)
        Print("bridged while running\n");
    return 0;
}
