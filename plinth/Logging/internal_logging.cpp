#include "plinth/Logging/internal_logging.h"

#include <cstdarg>
#include <memory>
#include <new>

#include "plinth/WideFormat.h"

namespace Plinth {

namespace {

constexpr wchar_t kFile[] = L"Logging\\internal_logging";
constexpr wchar_t kRegister[] = L"Plinth::CLogger::RegisterHandler";
constexpr wchar_t kUnregister[] = L"Plinth::CLogger::UnregisterHandler";
constexpr DWORD kErrorTextChars = 1024;

// Registration happens on one thread while the logging library starts and stops;
// other threads only read it.
ILoggingHandler* g_handler = nullptr;
CDefaultLoggingHandler g_defaultHandler;

// The system's text for a Win32 code, cut at its first zero; empty when there is none.
struct ErrorText
{
    explicit ErrorText(DWORD code)
    {
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                         kErrorTextChars, nullptr);
        text[kErrorTextChars - 1] = L'\0';
    }
    wchar_t text[kErrorTextChars] = {};
};

// The low 32 bits of a handler's address, as the messages print it.
unsigned Low32(const ILoggingHandler* handler)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handler));
}

} // namespace

void CDefaultLoggingHandler::HandleLogMessage(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                              const wchar_t* message)
{
    if (level == LogLevelNone)
        return;
    const wchar_t* format = level == LogLevelInformation ? L"%s(%d): [INFO]: [%s]: %s\n"
                            : level == LogLevelError     ? L"%s(%d): [ERROR]: [%s]: %s\n"
                                                         : L"%s(%d): [UNKNOWN]: [%s]: %s\n";
    std::wstring text;
    if (FormatWideString(text, format, file ? file : L"", line, function ? function : L"", message ? message : L""))
        ::OutputDebugStringW(text.c_str());
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler)
{
    if (!handler) {
        Log(LogLevelError, kFile, kRegister, 57, L"%s: Cannot Register (NULL) handler",
            ErrorText(ERROR_INVALID_PARAMETER).text);
        return ERROR_INVALID_PARAMETER;
    }
    if (!g_handler || g_handler == handler || g_handler == &g_defaultHandler) {
        g_handler = handler;
        return ERROR_SUCCESS;
    }
    Log(LogLevelError, kFile, kRegister, 67, L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
        ErrorText(ERROR_INVALID_STATE).text, Low32(g_handler), Low32(handler));
    return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler)
{
    if (!handler) {
        Log(LogLevelError, kFile, kUnregister, 92, L"%s: Cannot Unregister (NULL) handler",
            ErrorText(ERROR_INVALID_PARAMETER).text);
        return ERROR_INVALID_PARAMETER;
    }
    if (!g_handler) {
        // The requester learns of its failed request through itself.
        g_handler = handler;
        Log(LogLevelError, kFile, kUnregister, 102,
            L"%s: Request to Unregister Logging handler 0x%08X, but none are registered",
            ErrorText(ERROR_INVALID_STATE).text, Low32(handler));
        g_handler = nullptr;
        return ERROR_INVALID_STATE;
    }
    if (g_handler != handler) {
        ILoggingHandler* registered = g_handler;
        const ErrorText error(ERROR_INVALID_STATE);
        const wchar_t* format =
            L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)";
        Log(LogLevelError, kFile, kUnregister, 110, format, error.text, Low32(handler), Low32(registered));
        g_handler = handler;
        Log(LogLevelError, kFile, kUnregister, 115, format, error.text, Low32(handler), Low32(registered));
        g_handler = registered;
        return ERROR_INVALID_STATE;
    }
    g_handler = nullptr;
    return ERROR_SUCCESS;
}

void CLogger::Log(DWORD level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    if (!g_handler)
        RegisterHandler(&g_defaultHandler);
    ILoggingHandler* handler = g_handler;
    if (!handler)
        return;
    va_list args;
    va_start(args, format);
    const int length = MeasureWideV(format, args);
    va_end(args);
    const size_t chars = length < 0 ? 0 : static_cast<size_t>(length);
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[chars + 1]);
    if (!text) {
        handler->HandleLogMessage(LogLevelError, file, function, line,
                                  L"General memory-allocation failure in Plinth logger.");
        return;
    }
    text[0] = L'\0';
    va_start(args, format);
    FormatWideV(text.get(), chars + 1, format, args);
    va_end(args);
    handler->HandleLogMessage(level, file, function, line, text.get());
}

} // namespace Plinth
