#include "peers/usermode/UserModeProvider.h"

#include <lmcons.h>

#include "peers/usermode/UserMode.h"
#include "plinth/Owners.h"
#include "zelcom/ResultCode.h"

namespace {

using UniqueSid = Plinth::UniqueResource<PSID, &::FreeSid>;

constexpr long kProviderVersion = 1;
constexpr long kStateRunning = 1;
// The provider answers for the user of the calling process only.
constexpr long kUserCount = 1;

HRESULT AnswerLong(long value, long* out, long* status)
{
    if (!out || !status)
        return E_INVALIDARG;
    *out = value;
    *status = 0;
    return S_OK;
}

bool IsKnownUser(long index, long* status)
{
    *status = index == 0 ? 0 : MakeResultCode(ERROR_NO_SUCH_USER);
    return index == 0;
}

} // namespace

HRESULT CUserModeProvider::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IUserModeProvider))
        return E_NOINTERFACE;
    *ppv = static_cast<IUserModeProvider*>(this);
    InternalAddRef();
    return S_OK;
}

STDMETHODIMP CUserModeProvider::GetProviderVersion(long* plVersion, long* plStatus)
{
    return AnswerLong(kProviderVersion, plVersion, plStatus);
}

STDMETHODIMP CUserModeProvider::GetProviderState(long* plState, long* plStatus)
{
    return AnswerLong(kStateRunning, plState, plStatus);
}

STDMETHODIMP CUserModeProvider::GetSessionId(long* plSessionId, long* plStatus)
{
    if (!plSessionId || !plStatus)
        return E_INVALIDARG;
    DWORD session = 0;
    *plSessionId = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
        *plStatus = MakeResultCode(::GetLastError());
        return S_OK;
    }
    return AnswerLong(static_cast<long>(session), plSessionId, plStatus);
}

STDMETHODIMP CUserModeProvider::GetUserCount(long* plCount, long* plStatus)
{
    return AnswerLong(kUserCount, plCount, plStatus);
}

STDMETHODIMP CUserModeProvider::GetUserName(long lIndex, BSTR* pbstrName, long* plStatus)
{
    if (!pbstrName || !plStatus)
        return E_INVALIDARG;
    *pbstrName = nullptr;
    if (!IsKnownUser(lIndex, plStatus))
        return S_OK;
    wchar_t name[UNLEN + 1] = {};
    DWORD chars = UNLEN + 1;
    if (!::GetUserNameW(name, &chars)) {
        *plStatus = MakeResultCode(::GetLastError());
        return S_OK;
    }
    *pbstrName = ::SysAllocString(name);
    return *pbstrName ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CUserModeProvider::IsUserAdministrator(long lIndex, VARIANT_BOOL* pbAdmin, long* plStatus)
{
    if (!pbAdmin || !plStatus)
        return E_INVALIDARG;
    *pbAdmin = VARIANT_FALSE;
    if (!IsKnownUser(lIndex, plStatus))
        return S_OK;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid administrators;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, administrators.put())) {
        *plStatus = MakeResultCode(::GetLastError());
        return S_OK;
    }
    BOOL member = FALSE;
    if (!::CheckTokenMembership(nullptr, administrators.get(), &member))
        *plStatus = MakeResultCode(::GetLastError());
    *pbAdmin = member ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CUserModeProvider::GetDefaultMode(long* plMode, long* plStatus)
{
    return AnswerLong(UserMode::kDefaultMode, plMode, plStatus);
}

// The mode is set by the product's installer, not through the provider.
STDMETHODIMP CUserModeProvider::SetUserMode(long, long* plStatus)
{
    if (!plStatus)
        return E_INVALIDARG;
    *plStatus = MakeResultCode(ERROR_ACCESS_DENIED);
    return S_OK;
}

STDMETHODIMP CUserModeProvider::GetUserMode(long* plMode, long* plStatus)
{
    if (!plMode || !plStatus)
        return E_INVALIDARG;
    DWORD mode = 0;
    DWORD bytes = sizeof(mode);
    const LONG error = ::RegGetValueW(HKEY_LOCAL_MACHINE, UserMode::kKeyPath, UserMode::kModeValue, RRF_RT_REG_DWORD,
                                      nullptr, &mode, &bytes);
    if (error == ERROR_SUCCESS)
        return AnswerLong(static_cast<long>(mode), plMode, plStatus);
    if (error == ERROR_FILE_NOT_FOUND)
        return AnswerLong(UserMode::kDefaultMode, plMode, plStatus);
    *plMode = 0;
    *plStatus = MakeResultCode(static_cast<DWORD>(error));
    return S_OK;
}
