#pragma once
// The utility library's one logging sink: messages go to exactly one registered
// handler, or to the debugger output until a component registers its own.
#include <windows.h>

namespace Plinth {

// Levels of the library's messages.
enum : DWORD
{
    LogLevelNone = 0,
    LogLevelInformation = 1,
    LogLevelError = 2,
};

class ILoggingHandler
{
public:
    virtual void HandleLogMessage(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                  const wchar_t* message) = 0;

protected:
    ~ILoggingHandler() = default;
};

// Writes each message as one line to the debugger output.
class CDefaultLoggingHandler : public ILoggingHandler
{
public:
    void HandleLogMessage(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* message) override;
};

class CLogger
{
public:
    // 0; 87 for a null handler; 5023 when another component's handler is registered.
    static DWORD RegisterHandler(ILoggingHandler* handler);
    // 0; 87 for a null handler; 5023 when the handler is not the registered one.
    static DWORD UnregisterHandler(ILoggingHandler* handler);
    static void Log(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
};

} // namespace Plinth
