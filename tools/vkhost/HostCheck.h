#pragma once
// The host's expectations of an application-information provider, checked
// against a provider module loaded into this process: argument checks, task
// memory, result codes, QueryInterface rules, unloading and concurrent calls.
#include <string>
#include <vector>

namespace VkTools {

struct CheckRow
{
    // Area and subject, such as "null-args/GetAppID"; no blanks.
    std::string name;
    bool passed = false;
    // Why the check failed; empty when it passed.
    std::wstring reason;
};

struct HostCheckReport
{
    // The module the checks ran against.
    std::wstring module;
    std::vector<CheckRow> rows;
};

// Loads the module at modulePath (when null, the module registered for the
// class, else ZelLumoAp.dll beside this program), creates the object through
// the module's own DllGetClassObject and runs every check, in order. When the
// module cannot be loaded or the object made, the rows end with that failure.
// COM must be initialised for the multithreaded apartment.
HostCheckReport RunHostChecks(const wchar_t* modulePath);

// The module, one line per row with its verdict and reason, then a count.
std::wstring CheckTable(const HostCheckReport& report);

// True when there are rows and every one passed.
bool AllPassed(const HostCheckReport& report);

} // namespace VkTools
