#include "etwlogging/LoggingIf.h"

#include "plinth/WideFormat.h"

namespace ETWLogging {

const wchar_t* LevelName(DWORD level)
{
    switch (level) {
    case LevelNormal:
        return L"Normal";
    case LevelWarning:
        return L"Warning";
    case LevelInformation:
    case LevelInformationEx:
        return L"Information";
    case LevelError:
        return L"Error";
    case LevelCritical:
        return L"Critical";
    default:
        return nullptr;
    }
}

CLoggingIf::~CLoggingIf() = default;

void CLoggingIf::GetModulePath(std::wstring&) {}

void CLoggingIf::GetGroup(std::wstring&) {}

ULONG CLoggingIf::AddRef()
{
    return 0;
}

ULONG CLoggingIf::Release()
{
    return 0;
}

DWORD CLoggingIf::LogFormattedV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                                const wchar_t* format, va_list args)
{
    wchar_t text[kFormatBufferChars];
    Plinth::FormatWideV(text, kFormatBufferChars, format, args);
    return Log(file, function, line, level, text);
}

#define ZEL_LOG_AT_LEVEL(name, level)                                                                                  \
    DWORD CLoggingIf::name(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)         \
    {                                                                                                                  \
        va_list args;                                                                                                  \
        va_start(args, format);                                                                                        \
        const DWORD result = LogFormattedV(level, file, function, line, format, args);                                 \
        va_end(args);                                                                                                  \
        return result;                                                                                                 \
    }

ZEL_LOG_AT_LEVEL(LogNormal, LevelNormal)
ZEL_LOG_AT_LEVEL(LogError, LevelError)
ZEL_LOG_AT_LEVEL(LogWarning, LevelWarning)
ZEL_LOG_AT_LEVEL(LogCritical, LevelCritical)
ZEL_LOG_AT_LEVEL(LogInformation, LevelInformation)

#undef ZEL_LOG_AT_LEVEL

} // namespace ETWLogging
