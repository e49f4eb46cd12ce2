#pragma once
// Text output of the command-line tools: a console gets UTF-16, a file or a
// pipe gets UTF-8 bytes, so Wine and Windows consoles and pipes show the same.
#include <windows.h>

#include <string>
#include <string_view>

namespace ZelTools {

// The platform's UTF-8 form of the text; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);

// Writes every byte to the handle; false when a write fails.
bool WriteBytes(HANDLE handle, std::string_view bytes);

// Writes the text to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE; false when it
// could not be written.
bool Write(DWORD which, const std::wstring& text);

} // namespace ZelTools
