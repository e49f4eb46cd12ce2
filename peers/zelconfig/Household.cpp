#include "peers/zelconfig/Household.h"

#include "peers/zelconfig/ZelConfigData.h"
#include "plinth/Owners.h"

namespace ZelConfig {

namespace {

// The registry's own limit on the length of a key name.
constexpr DWORD kMaxKeyNameChars = 255;

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD bytes = sizeof(value);
    return ::RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) == ERROR_SUCCESS;
}

bool ReadFlag(HKEY key, const wchar_t* name)
{
    DWORD value = 0;
    return ReadDword(key, name, value) && value != 0;
}

} // namespace

LONG ReadUsers(std::vector<UserRecord>& users)
{
    users.clear();
    Plinth::UniqueHKey usersKey;
    LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUsersKeyPath, 0, KEY_READ, usersKey.put());
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
        return status;
    wchar_t name[kMaxKeyNameChars + 1];
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = kMaxKeyNameChars + 1;
        status = ::RegEnumKeyExW(usersKey.get(), index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS)
            return status;
        Plinth::UniqueHKey userKey;
        status = ::RegOpenKeyExW(usersKey.get(), name, 0, KEY_QUERY_VALUE, userKey.put());
        if (status != ERROR_SUCCESS)
            return status;
        UserRecord user;
        user.hasAgeGroup = ReadDword(userKey.get(), kAgeGroupValue, user.ageGroup);
        user.isProtected = ReadFlag(userKey.get(), kProtectedValue);
        user.noItem = ReadFlag(userKey.get(), kNoItemValue);
        user.noObject = ReadFlag(userKey.get(), kNoObjectValue);
        users.push_back(user);
    }
}

LONG ReadAdminPassword(std::wstring& password)
{
    password.clear();
    DWORD bytes = 0;
    LONG status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKeyPath, kAdminPasswordValue, RRF_RT_REG_SZ, nullptr,
                                 nullptr, &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS)
        return status;
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKeyPath, kAdminPasswordValue, RRF_RT_REG_SZ, nullptr,
                            text.data(), &bytes);
    if (status != ERROR_SUCCESS)
        return status;
    text.resize(::wcslen(text.c_str()));
    password = std::move(text);
    return ERROR_SUCCESS;
}

} // namespace ZelConfig
