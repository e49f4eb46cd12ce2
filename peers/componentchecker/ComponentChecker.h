#pragma once
// What the component checker reads and answers, shared with its tests and the
// tools that configure it. The resource compiler reads the version lines only.

#define VK_CHECKER_VERSION_FIXED 5, 2, 40117, 3
#define VK_CHECKER_VERSION "5.2.40117.3"

#ifndef RC_INVOKED

namespace ComponentChecker {

constexpr wchar_t kDllName[] = L"VkComponentChecker.dll";

// HKEY_LOCAL_MACHINE: one string value per product component, the value name
// naming the component and the data holding the full path of its file.
constexpr wchar_t kCheckerKeyPath[] = L"SOFTWARE\\Varkon\\ComponentChecker";
constexpr wchar_t kComponentsKeyPath[] = L"SOFTWARE\\Varkon\\ComponentChecker\\Components";

// Result of GetComponentStatus when its text lists missing components.
constexpr long kComponentsMissing = 0x08020000;

// Stands in for the version in the version text when a file has no version resource.
constexpr wchar_t kNoVersionInformation[] = L"no version information";

} // namespace ComponentChecker

#endif
