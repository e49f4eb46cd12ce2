#pragma once
// What the configuration service serves and where it keeps it, shared with its
// tests and the tools that describe a household. The resource compiler reads
// the version lines only.

#define ZEL_CONFIG_VERSION_FIXED 3, 1, 20415, 0
#define ZEL_CONFIG_VERSION "3.1.20415.0"

#ifndef RC_INVOKED

#include "zelcom/ResultCode.h"

namespace ZelConfig {

constexpr wchar_t kServerImage[] = L"zelconfigsvc.exe";
// Proxy/stub DLL of the class-object interfaces, next to the server.
constexpr wchar_t kProxyDllName[] = L"ZelConfigPS.dll";

// HKEY_LOCAL_MACHINE, read afresh at every call:
//   SOFTWARE\Varkon\ZEL\ConfigService
//     AdminPassword   REG_SZ     the administrator password; absent means none (empty)
//     Users\<name>    one subkey per user, enumerated in the registry's order:
//       AgeGroup      REG_DWORD  property 203; 6 is an adult; absent: the property fails
//       Protected     REG_DWORD  property 315, nonzero for a protected user; absent: false
//       NoItem        REG_DWORD  1: the element's object does not answer IZelConfigItem
//       NoObject      REG_DWORD  1: the element is a VARIANT without an object (VT_EMPTY)
constexpr wchar_t kServiceKeyPath[] = L"SOFTWARE\\Varkon\\ZEL\\ConfigService";
constexpr wchar_t kUsersKeyPath[] = L"SOFTWARE\\Varkon\\ZEL\\ConfigService\\Users";
constexpr wchar_t kAdminPasswordValue[] = L"AdminPassword";
constexpr wchar_t kAgeGroupValue[] = L"AgeGroup";
constexpr wchar_t kProtectedValue[] = L"Protected";
constexpr wchar_t kNoItemValue[] = L"NoItem";
constexpr wchar_t kNoObjectValue[] = L"NoObject";

// IZelConfig::GetProperty
constexpr long kPropertyUsers = 102;         // VT_UNKNOWN: IZelConfigCollection
constexpr long kPropertyAdministrator = 109; // VT_UNKNOWN: IZelConfigItem
// IZelConfigItem of a user (GetProperty) and of the administrator (CheckProperty)
constexpr long kPropertyPassword = 202;  // CheckProperty with VT_BSTR
constexpr long kPropertyAgeGroup = 203;  // VT_I4
constexpr long kPropertyProtected = 315; // VT_BOOL

constexpr long kAgeGroupAdult = 6;

// Statuses: a status succeeds when its low 17 bits are zero.
constexpr long kStatusMismatch = MakeResultCode(ERROR_ACCESS_DENIED);
constexpr long kStatusReadOnly = MakeResultCode(ERROR_WRITE_PROTECT);
constexpr long kStatusUnknownProperty = MakeResultCode(ERROR_NOT_FOUND);
constexpr long kStatusWrongType = MakeResultCode(ERROR_INVALID_DATATYPE);

} // namespace ZelConfig

#endif
