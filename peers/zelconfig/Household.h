#pragma once
// The household as the registry describes it at the moment of the call. These
// functions allocate through the standard library and may throw std::bad_alloc;
// the COM methods catch it.
#include <windows.h>

#include <string>
#include <vector>

namespace ZelConfig {

struct UserRecord
{
    bool hasAgeGroup = false;
    DWORD ageGroup = 0;
    bool isProtected = false;
    bool noItem = false;
    bool noObject = false;
};

// Win32 error; an absent Users key is an empty household.
LONG ReadUsers(std::vector<UserRecord>& users);

// Win32 error; an absent key or value is an empty password.
LONG ReadAdminPassword(std::wstring& password);

} // namespace ZelConfig
