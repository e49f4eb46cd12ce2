#pragma once
// Wide-string formatting with the Microsoft CRT rules: "%s" takes a wide
// string, as every format of this system expects. All formatting goes through
// these functions; the C library's swprintf follows other rules on MinGW.
#include <cstdarg>
#include <cstddef>
#include <string>

namespace Plinth {

// Formats into buffer (count characters, terminator included). Output that does
// not fit is cut to count - 1 characters; the buffer is always terminated when
// count > 0. Returns the number of characters stored, or -1 when the text was
// cut or the format was rejected.
int FormatWideV(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
int FormatWide(wchar_t* buffer, size_t count, const wchar_t* format, ...);

// Number of characters the formatted text needs, terminator excluded; -1 when
// the format is rejected.
int MeasureWideV(const wchar_t* format, va_list args);

// Formats without a length limit. Returns false (and leaves out empty) when the
// format is rejected or memory runs out; never throws.
bool FormatWideStringV(std::wstring& out, const wchar_t* format, va_list args);
bool FormatWideString(std::wstring& out, const wchar_t* format, ...);

} // namespace Plinth
