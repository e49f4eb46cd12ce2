#pragma once
// Builds the line the file log writer appends for one message: the local time
// stamp, the level name, the columns the writer's options ask for, the message.
#include <windows.h>

#include <memory>

namespace ETWLogging::internal {

// Option bits of the log configuration that add a column, in line order.
enum : DWORD
{
    OptionDebuggerMirror = 1,
    OptionProcessThread = 4,
    OptionSourcePosition = 8,
    OptionModule = 16,
    OptionFunction = 32,
};

// What the builder reads of the writer.
struct RecordContext
{
    DWORD options = OptionModule;
    DWORD processId = 0;
    const wchar_t* moduleFileName = L"";
};

// Size of each formatted piece's buffer, terminator included.
constexpr size_t kPieceChars = 260;

// "MM/DD/YYYY hh:mm:ss AM$" on the 12-hour clock.
void FormatTimeStamp(const SYSTEMTIME& time, wchar_t (&stamp)[kPieceChars]);

// Builds one record with the current local time. Returns 0 with the line in
// record and its size in bytes (terminator included), 87 for an empty message,
// missing outs or a level without a name, 14 when memory runs out.
DWORD BuildLogRecord(const RecordContext& context, const wchar_t* file, const wchar_t* function, DWORD line,
                     DWORD level, const wchar_t* message, DWORD* bytes, std::unique_ptr<wchar_t[]>* record);

// The same with a given time, so the time stamp can be tested.
DWORD BuildLogRecordAt(const SYSTEMTIME& time, const RecordContext& context, const wchar_t* file,
                       const wchar_t* function, DWORD line, DWORD level, const wchar_t* message, DWORD* bytes,
                       std::unique_ptr<wchar_t[]>* record);

// The same with the current local time into a given buffer (chars characters,
// terminator included), for a caller that must not use the heap: 0, 87 as
// above, or 122 when the record does not fit.
DWORD BuildLogRecordInto(const RecordContext& context, const wchar_t* file, const wchar_t* function, DWORD line,
                         DWORD level, const wchar_t* message, wchar_t* buffer, size_t chars, DWORD* bytes);

} // namespace ETWLogging::internal
