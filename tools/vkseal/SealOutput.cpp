#include "tools/vkseal/SealOutput.h"

#include <windows.h>

#include <cstdarg>

#include "plinth/WideFormat.h"
#include "tools/ToolText.h"

namespace VkSeal {

void Out(const std::wstring& text)
{
    ZelTools::Write(STD_OUTPUT_HANDLE, text);
}

int Fail(const std::wstring& message)
{
    ZelTools::Write(STD_ERROR_HANDLE, L"vkseal: " + message + L"\n");
    return kExitFailed;
}

std::wstring Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text;
    Plinth::FormatWideStringV(text, format, args);
    va_end(args);
    return text;
}

} // namespace VkSeal
