#include "tools/ToolText.h"

#include <algorithm>

namespace ZelTools {

std::string ToUtf8(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    const int chars = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string utf8(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

bool WriteBytes(HANDLE handle, std::string_view bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

bool Write(DWORD which, const std::wstring& text)
{
    const HANDLE handle = ::GetStdHandle(which);
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        return ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
    }
    return WriteBytes(handle, ToUtf8(text));
}

} // namespace ZelTools
