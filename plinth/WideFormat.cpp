#include "plinth/WideFormat.h"

#include <cstdio>
#include <cwchar>
#include <new>

namespace Plinth {

int FormatWideV(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    if (!buffer || count == 0)
        return -1;
    if (!format) {
        buffer[0] = L'\0';
        return -1;
    }
    return _vsnwprintf_s(buffer, count, _TRUNCATE, format, args);
}

int FormatWide(wchar_t* buffer, size_t count, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = FormatWideV(buffer, count, format, args);
    va_end(args);
    return result;
}

int MeasureWideV(const wchar_t* format, va_list args)
{
    if (!format)
        return -1;
    return _vscwprintf(format, args);
}

bool FormatWideStringV(std::wstring& out, const wchar_t* format, va_list args)
{
    out.clear();
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = MeasureWideV(format, measureArgs);
    va_end(measureArgs);
    if (length < 0)
        return false;
    try {
        out.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (length > 0 && FormatWideV(out.data(), out.size() + 1, format, args) != length) {
        out.clear();
        return false;
    }
    return true;
}

bool FormatWideString(std::wstring& out, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool ok = FormatWideStringV(out, format, args);
    va_end(args);
    return ok;
}

} // namespace Plinth
