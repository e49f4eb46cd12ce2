#include "ToolText.h"

namespace ZelTools {

void Write(DWORD which, const std::wstring& text)
{
    const HANDLE handle = ::GetStdHandle(which);
    if (!handle || handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr, nullptr);
    for (size_t done = 0; done < utf8.size();) {
        DWORD written = 0;
        if (!::WriteFile(handle, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

} // namespace ZelTools
