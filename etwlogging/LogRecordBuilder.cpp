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

namespace {

// The formatted parts of one record besides its message.
struct RecordPieces
{
    wchar_t stamp[kPieceChars] = {};
    const wchar_t* level = nullptr;
    wchar_t module[kPieceChars] = {};
    wchar_t process[kPieceChars] = {};
    wchar_t source[kPieceChars] = {};
    wchar_t function[kPieceChars] = {};
};

// 87 for a level without a name.
DWORD MakePieces(const SYSTEMTIME& time, const RecordContext& context, const wchar_t* file, const wchar_t* function,
                 DWORD line, DWORD level, RecordPieces& pieces)
{
    pieces.level = LevelName(level);
    if (!pieces.level)
        return ERROR_INVALID_PARAMETER;
    wchar_t fitted[kPieceChars];
    if ((context.options & OptionModule) && !IsEmpty(context.moduleFileName)) {
        Fit(context.moduleFileName, kModuleWidth, fitted);
        Plinth::FormatWide(pieces.module, kPieceChars, L"[%s]$", fitted);
    }
    if (context.options & OptionProcessThread)
        Plinth::FormatWide(pieces.process, kPieceChars, L"[PID:%5d TID:%5d]$", context.processId,
                           ::GetCurrentThreadId());
    if ((context.options & OptionSourcePosition) && !IsEmpty(file)) {
        Fit(FileNamePart(file), kSourceWidth, fitted);
        Plinth::FormatWide(pieces.source, kPieceChars, L"[%s:%5d]$", fitted, line);
    }
    if ((context.options & OptionFunction) && !IsEmpty(function)) {
        Fit(function, kFunctionWidth, fitted);
        Plinth::FormatWide(pieces.function, kPieceChars, L"[%s()]$", fitted);
    }
    FormatTimeStamp(time, pieces.stamp);
    return ERROR_SUCCESS;
}

// Characters the record needs, terminator included.
size_t Capacity(const RecordPieces& pieces, const wchar_t* message)
{
    return std::wcslen(message) + std::wcslen(pieces.level) + std::wcslen(pieces.stamp) + std::wcslen(pieces.module) +
           std::wcslen(pieces.process) + std::wcslen(pieces.source) + std::wcslen(pieces.function) + kRecordSlack;
}

// Writes the record into text, which holds Capacity characters; returns its length.
int Compose(const RecordPieces& pieces, DWORD options, const wchar_t* message, wchar_t* text, size_t capacity)
{
    int length = Plinth::FormatWide(text, capacity, L"%s -- (%s)$", pieces.stamp, pieces.level);
    const struct
    {
        DWORD bit;
        const wchar_t* piece;
    } columns[] = {{OptionModule, pieces.module},
                   {OptionProcessThread, pieces.process},
                   {OptionSourcePosition, pieces.source},
                   {OptionFunction, pieces.function}};
    for (const auto& column : columns) {
        if (options & column.bit)
            length += Plinth::FormatWide(text + length, capacity - length, L" %s", column.piece);
    }
    length += Plinth::FormatWide(text + length, capacity - length, L" %s", message);
    if (message[std::wcslen(message) - 1] != L'\n')
        length += Plinth::FormatWide(text + length, capacity - length, L"\r\n");
    return length;
}

} // namespace

DWORD BuildLogRecordAt(const SYSTEMTIME& time, const RecordContext& context, const wchar_t* file,
                       const wchar_t* function, DWORD line, DWORD level, const wchar_t* message, DWORD* bytes,
                       std::unique_ptr<wchar_t[]>* record)
{
    if (IsEmpty(message) || !bytes || !record)
        return ERROR_INVALID_PARAMETER;
    *bytes = 0;
    record->reset();
    RecordPieces pieces;
    const DWORD made = MakePieces(time, context, file, function, line, level, pieces);
    if (made != ERROR_SUCCESS)
        return made;
    const size_t capacity = Capacity(pieces, message);
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[capacity]());
    if (!text)
        return ERROR_OUTOFMEMORY;
    const int length = Compose(pieces, context.options, message, text.get(), capacity);
    *bytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    *record = std::move(text);
    return ERROR_SUCCESS;
}

DWORD BuildLogRecordInto(const RecordContext& context, const wchar_t* file, const wchar_t* function, DWORD line,
                         DWORD level, const wchar_t* message, wchar_t* buffer, size_t chars, DWORD* bytes)
{
    if (IsEmpty(message) || !buffer || !bytes)
        return ERROR_INVALID_PARAMETER;
    *bytes = 0;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    RecordPieces pieces;
    const DWORD made = MakePieces(now, context, file, function, line, level, pieces);
    if (made != ERROR_SUCCESS)
        return made;
    if (Capacity(pieces, message) > chars)
        return ERROR_INSUFFICIENT_BUFFER;
    const int length = Compose(pieces, context.options, message, buffer, chars);
    *bytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    return ERROR_SUCCESS;
}

} // namespace ETWLogging::internal
