#include "plinth/SecurityAPI.h"

#include <shlwapi.h>

#include "plinth/OSInfo.h"
#include "plinth/Owners.h"

namespace Plinth {

namespace {

constexpr DWORD kLockSpinCount = 4000;

// Resolved in this order; the table is all-or-nothing.
constexpr const char* kFunctionNames[] = {
    "SetEntriesInAclW",
    "GetFileSecurityW",
    "SetFileSecurityW",
    "LookupAccountSidW",
    "GetExplicitEntriesFromAclW",
    "RegGetKeySecurity",
    "RegSetKeySecurity",
    "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl",
    "GetSecurityDescriptorDacl",
    "AllocateAndInitializeSid",
    "FreeSid",
    "OpenThreadToken",
    "GetTokenInformation",
    "InitializeAcl",
    "InitializeSid",
    "GetSidSubAuthority",
    "AddAccessAllowedAce",
    "GetSecurityInfo",
    "SetSecurityInfo",
    "QueryServiceStatusEx",
    "GetAce",
    "DeleteAce",
    "EqualSid",
    "GetAclInformation",
    "SetSecurityDescriptorControl",
};

using UniqueLocal = UniqueResource<HLOCAL, &::LocalFree>;

// Sets the descriptor on the key and, with recurse, on every sub-key below it.
DWORD ApplyToKey(AdvapiSecurityAPI& api, HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                 bool recurse)
{
    const LONG result = api.RegSetKeySecurity(key, information, descriptor);
    if (!recurse || result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);
    for (DWORD index = 0;; ++index) {
        char name[MAX_PATH] = {};
        DWORD nameChars = MAX_PATH;
        const LONG status = ::RegEnumKeyExA(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS)
            return static_cast<DWORD>(status);
        UniqueHKey subKey;
        if (::RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, subKey.put()) != ERROR_SUCCESS)
            continue;
        const DWORD code = ApplyToKey(api, subKey.get(), information, descriptor, true);
        if (code != ERROR_SUCCESS)
            return code;
    }
}

// True when the DACL already lets the trustee do everything, inherited by sub-keys.
bool AlreadyGranted(AdvapiSecurityAPI& api, PACL dacl, PSID trustee)
{
    if (!dacl)
        return false;
    constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!api.GetAce(dacl, i, reinterpret_cast<LPVOID*>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        const bool everything = (ace->Mask & GENERIC_ALL) || (ace->Mask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS;
        const bool inherited = (ace->Header.AceFlags & kInherit) == kInherit &&
                               !(ace->Header.AceFlags & (INHERIT_ONLY_ACE | INHERITED_ACE));
        if (everything && inherited && api.EqualSid(&ace->SidStart, trustee))
            return true;
    }
    return false;
}

} // namespace

static_assert(sizeof(kFunctionNames) / sizeof(kFunctionNames[0]) == 26, "one name per table entry");

AdvapiSecurityAPI::AdvapiSecurityAPI()
{
    ::InitializeCriticalSectionAndSpinCount(&m_lock, kLockSpinCount);
    m_usable = internal::OSInfoProxy<WinOSVersionAPI>().IsNTPlatform();
}

AdvapiSecurityAPI::~AdvapiSecurityAPI()
{
    ::DeleteCriticalSection(&m_lock);
    if (m_module)
        ::FreeLibrary(m_module);
}

bool AdvapiSecurityAPI::Resolve()
{
    ::EnterCriticalSection(&m_lock);
    if (!m_module) {
        wchar_t path[MAX_PATH] = {};
        const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
        HMODULE module = nullptr;
        if (length > 0 && length < MAX_PATH && ::PathAppendW(path, L"advapi32.dll"))
            module = ::LoadLibraryExW(path, nullptr, 0);
        if (!module) {
            ::LeaveCriticalSection(&m_lock);
            return false;
        }
        m_module = module;
        for (int i = 0; i < FunctionCount; ++i)
            m_functions[i] = ::GetProcAddress(m_module, kFunctionNames[i]);
    }
    bool complete = true;
    for (FARPROC function : m_functions)
        complete = complete && function;
    ::LeaveCriticalSection(&m_lock);
    return complete;
}

BOOL AdvapiSecurityAPI::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1,
                                                 DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID* sid)
{
    auto fn = Get<decltype(&::AllocateAndInitializeSid)>(AllocateAndInitializeSidFn);
    return fn ? fn(authority, count, a0, a1, a2, a3, a4, a5, a6, a7, sid) : FALSE;
}

BOOL AdvapiSecurityAPI::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    auto fn = Get<decltype(&::InitializeSecurityDescriptor)>(InitializeSecurityDescriptorFn);
    return fn ? fn(descriptor, revision) : FALSE;
}

BOOL AdvapiSecurityAPI::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                                  LPBOOL defaulted)
{
    auto fn = Get<decltype(&::GetSecurityDescriptorDacl)>(GetSecurityDescriptorDaclFn);
    return fn ? fn(descriptor, present, dacl, defaulted) : FALSE;
}

BOOL AdvapiSecurityAPI::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                                  BOOL defaulted)
{
    auto fn = Get<decltype(&::SetSecurityDescriptorDacl)>(SetSecurityDescriptorDaclFn);
    return fn ? fn(descriptor, present, dacl, defaulted) : FALSE;
}

LONG AdvapiSecurityAPI::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                          LPDWORD bytes)
{
    auto fn = Get<decltype(&::RegGetKeySecurity)>(RegGetKeySecurityFn);
    return fn ? fn(key, information, descriptor, bytes) : 1;
}

DWORD AdvapiSecurityAPI::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl)
{
    auto fn = Get<decltype(&::SetEntriesInAclW)>(SetEntriesInAclWFn);
    return fn ? fn(count, entries, oldAcl, newAcl) : 1;
}

PVOID AdvapiSecurityAPI::FreeSid(PSID sid)
{
    auto fn = Get<decltype(&::FreeSid)>(FreeSidFn);
    return fn ? fn(sid) : sid;
}

LONG AdvapiSecurityAPI::RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    auto fn = Get<decltype(&::RegSetKeySecurity)>(RegSetKeySecurityFn);
    return fn ? fn(key, information, descriptor) : ERROR_INVALID_FUNCTION;
}

BOOL AdvapiSecurityAPI::GetAce(PACL acl, DWORD index, LPVOID* ace)
{
    auto fn = Get<decltype(&::GetAce)>(GetAceFn);
    return fn ? fn(acl, index, ace) : FALSE;
}

BOOL AdvapiSecurityAPI::EqualSid(PSID first, PSID second)
{
    auto fn = Get<decltype(&::EqualSid)>(EqualSidFn);
    return fn ? fn(first, second) : FALSE;
}

DWORD GrantEveryoneFullAccess(HKEY key, bool recurse, AdvapiSecurityAPI* given)
{
    if (!key)
        return ERROR_INVALID_PARAMETER;
    AdvapiSecurityAPI own;
    AdvapiSecurityAPI& api = given ? *given : own;
    if (!api.Usable())
        return ERROR_SUCCESS;
    if (!api.Resolve())
        return ERROR_FILE_NOT_FOUND;

    DWORD bytes = 0;
    LONG status = api.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &bytes);
    if (status != ERROR_INSUFFICIENT_BUFFER)
        return static_cast<DWORD>(status);
    if (bytes == 0)
        return ERROR_BAD_LENGTH;
    UniqueLocal oldDescriptor(::LocalAlloc(LPTR, bytes));
    if (!oldDescriptor)
        return ERROR_OUTOFMEMORY;
    if (!api.InitializeSecurityDescriptor(oldDescriptor.get(), SECURITY_DESCRIPTOR_REVISION))
        return ::GetLastError();
    status = api.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, oldDescriptor.get(), &bytes);
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!api.GetSecurityDescriptorDacl(oldDescriptor.get(), &present, &oldDacl, &defaulted))
        return ::GetLastError();

    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!api.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return ::GetLastError();
    struct SidOwner
    {
        AdvapiSecurityAPI& api;
        PSID sid;
        ~SidOwner() { api.FreeSid(sid); }
    } sidOwner{api, everyone};

    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    // A grant that is already there is kept as it is: some platforms' merge
    // would add a second entry for the same trustee.
    PACL newDacl = oldDacl;
    UniqueLocal newDaclOwner;
    if (!AlreadyGranted(api, oldDacl, everyone)) {
        newDacl = nullptr;
        const DWORD merged = api.SetEntriesInAclW(1, &access, oldDacl, &newDacl);
        if (merged != ERROR_SUCCESS)
            return merged;
        newDaclOwner.reset(newDacl);
    }

    UniqueLocal newDescriptor(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!newDescriptor)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (!api.InitializeSecurityDescriptor(newDescriptor.get(), SECURITY_DESCRIPTOR_REVISION))
        return ::GetLastError();
    if (!api.SetSecurityDescriptorDacl(newDescriptor.get(), TRUE, newDacl, FALSE))
        return ::GetLastError();
    return ApplyToKey(api, key, DACL_SECURITY_INFORMATION, newDescriptor.get(), recurse);
}

} // namespace Plinth
