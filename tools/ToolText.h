#pragma once
// Text output of the command-line tools: UTF-8 bytes written straight to a
// standard handle, so Wine and Windows consoles and pipes pass them unchanged.
#include <windows.h>

#include <string>

namespace ZelTools {

// Writes the text as UTF-8 to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
void Write(DWORD which, const std::wstring& text);

} // namespace ZelTools
