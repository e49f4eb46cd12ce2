#pragma once
// Where the user-mode provider reads the mode, shared with its tests and the
// tools that configure it.

namespace UserMode {

constexpr wchar_t kDllName[] = L"ZelUserMode.dll";

// HKEY_LOCAL_MACHINE, DWORD "Mode", read at each call.
constexpr wchar_t kKeyPath[] = L"SOFTWARE\\Varkon\\ZEL\\UserMode";
constexpr wchar_t kModeValue[] = L"Mode";
constexpr long kDefaultMode = 1;

} // namespace UserMode
