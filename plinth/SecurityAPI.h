#pragma once
// Late-bound access to the Windows security functions, and the one operation
// the library builds on them: granting Everyone full access to a registry key.
#include <windows.h>
#include <aclapi.h>

namespace Plinth {

class AdvapiSecurityAPI
{
public:
    AdvapiSecurityAPI();
    ~AdvapiSecurityAPI();
    AdvapiSecurityAPI(const AdvapiSecurityAPI&) = delete;
    AdvapiSecurityAPI& operator=(const AdvapiSecurityAPI&) = delete;

    // False outside the NT family: every wrapper then returns its failure value.
    bool Usable() const { return m_usable; }
    // Loads "advapi32.dll" from the system folder once and resolves the whole
    // table; true only when every function was found.
    bool Resolve();

    BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1, DWORD a2,
                                  DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID* sid);
    BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
    BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted);
    BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted);
    LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD bytes);
    DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);
    PVOID FreeSid(PSID sid);
    LONG RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
    BOOL EqualSid(PSID first, PSID second);

    // Forces the platform answer, for tests of the non-NT path.
    void SetUsableForTest(bool usable) { m_usable = usable; }

private:
    enum Function
    {
        SetEntriesInAclWFn,
        GetFileSecurityWFn,
        SetFileSecurityWFn,
        LookupAccountSidWFn,
        GetExplicitEntriesFromAclWFn,
        RegGetKeySecurityFn,
        RegSetKeySecurityFn,
        InitializeSecurityDescriptorFn,
        SetSecurityDescriptorDaclFn,
        GetSecurityDescriptorDaclFn,
        AllocateAndInitializeSidFn,
        FreeSidFn,
        OpenThreadTokenFn,
        GetTokenInformationFn,
        InitializeAclFn,
        InitializeSidFn,
        GetSidSubAuthorityFn,
        AddAccessAllowedAceFn,
        GetSecurityInfoFn,
        SetSecurityInfoFn,
        QueryServiceStatusExFn,
        GetAceFn,
        DeleteAceFn,
        EqualSidFn,
        GetAclInformationFn,
        SetSecurityDescriptorControlFn,
        FunctionCount
    };

    template <typename Fn>
    Fn Get(Function function) const
    {
        return m_usable ? reinterpret_cast<Fn>(reinterpret_cast<void*>(m_functions[function])) : nullptr;
    }

    HMODULE m_module = nullptr;
    CRITICAL_SECTION m_lock;
    bool m_usable = false;
    FARPROC m_functions[FunctionCount] = {};
};

// Adds Everyone with full access, inherited by sub-keys, to the key's DACL;
// with recurse, applies the result to every sub-key below as well. Returns a
// Win32 code; outside the NT family it succeeds without changing anything.
DWORD GrantEveryoneFullAccess(HKEY key, bool recurse, AdvapiSecurityAPI* api = nullptr);

} // namespace Plinth
