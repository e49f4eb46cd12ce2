#include "etwlogging/LogRecordBuilder.h"

#include <cwchar>
#include <new>

#include "etwlogging/LoggingIf.h"
#include "plinth/WideFormat.h"

namespace ETWLogging::internal {

namespace {

constexpr size_t kModuleWidth = 15;
constexpr size_t kSourceWidth = 20;
constexpr size_t kFunctionWidth = 40;
// Room for the separators and the line end besides the measured parts.
constexpr size_t kRecordSlack = 30;

// Right-aligns the first width characters of value in width columns.
void Fit(const wchar_t* value, size_t width, wchar_t (&fitted)[kPieceChars])
{
    wchar_t copy[kPieceChars] = {};
    std::wcsncpy(copy, value, width);
    wchar_t format[16];
    Plinth::FormatWide(format, 16, L"%%%ds", static_cast<int>(width));
    Plinth::FormatWide(fitted, kPieceChars, format, copy);
}

const wchar_t* FileNamePart(const wchar_t* path)
{
    const wchar_t* slash = std::wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

bool IsEmpty(const wchar_t* text)
{
    return !text || !*text;
}

} // namespace

void FormatTimeStamp(const SYSTEMTIME& time, wchar_t (&stamp)[kPieceChars])
{
    WORD hour = time.wHour;
    const wchar_t* suffix = hour < 12 ? L"AM" : L"PM";
    if (hour == 0)
        hour = 12;
    else if (hour > 12)
        hour = static_cast<WORD>(hour - 12);
    Plinth::FormatWide(stamp, kPieceChars, L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", time.wMonth, time.wDay, time.wYear,
                       hour, time.wMinute, time.wSecond, suffix);
}

DWORD BuildLogRecord(const RecordContext& context, const wchar_t* file, const wchar_t* function, DWORD line,
                     DWORD level, const wchar_t* message, DWORD* bytes, std::unique_ptr<wchar_t[]>* record)
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return BuildLogRecordAt(now, context, file, function, line, level, message, bytes, record);
}

DWORD BuildLogRecordAt(const SYSTEMTIME& time, const RecordContext& context, const wchar_t* file,
                       const wchar_t* function, DWORD line, DWORD level, const wchar_t* message, DWORD* bytes,
                       std::unique_ptr<wchar_t[]>* record)
{
    if (IsEmpty(message) || !bytes || !record)
        return ERROR_INVALID_PARAMETER;
    *bytes = 0;
    record->reset();

    wchar_t module[kPieceChars] = {};
    wchar_t process[kPieceChars] = {};
    wchar_t source[kPieceChars] = {};
    wchar_t functionPiece[kPieceChars] = {};
    wchar_t fitted[kPieceChars];
    if ((context.options & OptionModule) && !IsEmpty(context.moduleFileName)) {
        Fit(context.moduleFileName, kModuleWidth, fitted);
        Plinth::FormatWide(module, kPieceChars, L"[%s]$", fitted);
    }
    if (context.options & OptionProcessThread)
        Plinth::FormatWide(process, kPieceChars, L"[PID:%5d TID:%5d]$", context.processId, ::GetCurrentThreadId());
    if ((context.options & OptionSourcePosition) && !IsEmpty(file)) {
        Fit(FileNamePart(file), kSourceWidth, fitted);
        Plinth::FormatWide(source, kPieceChars, L"[%s:%5d]$", fitted, line);
    }
    if ((context.options & OptionFunction) && !IsEmpty(function)) {
        Fit(function, kFunctionWidth, fitted);
        Plinth::FormatWide(functionPiece, kPieceChars, L"[%s()]$", fitted);
    }

    const wchar_t* levelName = LevelName(level);
    if (!levelName)
        return ERROR_INVALID_PARAMETER;
    wchar_t stamp[kPieceChars];
    FormatTimeStamp(time, stamp);

    const size_t messageChars = std::wcslen(message);
    const size_t capacity = messageChars + std::wcslen(levelName) + std::wcslen(stamp) + std::wcslen(module) +
                            std::wcslen(process) + std::wcslen(source) + std::wcslen(functionPiece) + kRecordSlack;
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[capacity]());
    if (!text)
        return ERROR_OUTOFMEMORY;

    int length = Plinth::FormatWide(text.get(), capacity, L"%s -- (%s)$", stamp, levelName);
    const struct
    {
        DWORD bit;
        const wchar_t* piece;
    } columns[] = {{OptionModule, module},
                   {OptionProcessThread, process},
                   {OptionSourcePosition, source},
                   {OptionFunction, functionPiece}};
    for (const auto& column : columns) {
        if (context.options & column.bit)
            length += Plinth::FormatWide(text.get() + length, capacity - length, L" %s", column.piece);
    }
    length += Plinth::FormatWide(text.get() + length, capacity - length, L" %s", message);
    if (message[messageChars - 1] != L'\n')
        length += Plinth::FormatWide(text.get() + length, capacity - length, L"\r\n");

    *bytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    *record = std::move(text);
    return ERROR_SUCCESS;
}

} // namespace ETWLogging::internal
