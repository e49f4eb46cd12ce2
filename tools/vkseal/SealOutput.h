#pragma once
// What every vkseal command prints and exits with.
#include <string>

namespace VkSeal {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;

// Writes to the standard output.
void Out(const std::wstring& text);
// Writes "vkseal: <message>" to the standard error and returns kExitFailed.
int Fail(const std::wstring& message);
std::wstring Format(const wchar_t* format, ...);

} // namespace VkSeal
