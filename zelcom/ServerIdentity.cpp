#include "zelcom/ServerIdentity.h"

#include <cstring>
#include <memory>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

namespace {

constexpr DWORD kLongPathChars = 32768;

std::wstring ErrorText(const wchar_t* what, DWORD error)
{
    wchar_t text[96];
    Plinth::FormatWide(text, 96, L"%s (error %u)", what, static_cast<unsigned>(error));
    return text;
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The long form of a full path, so that two names of one file compare equal.
std::wstring LongForm(const std::wstring& path)
{
    std::wstring full(kLongPathChars, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), kLongPathChars, full.data(), nullptr);
    if (length == 0 || length >= kLongPathChars)
        return path;
    full.resize(length);
    std::wstring longer(kLongPathChars, L'\0');
    length = ::GetLongPathNameW(full.c_str(), longer.data(), kLongPathChars);
    if (length == 0 || length >= kLongPathChars)
        return full;
    longer.resize(length);
    return longer;
}

bool RunsProgram(HANDLE process, const std::vector<std::wstring>& programs, std::wstring& reason)
{
    std::wstring image(kLongPathChars, L'\0');
    DWORD length = kLongPathChars;
    if (!::QueryFullProcessImageNameW(process, 0, image.data(), &length)) {
        reason = ErrorText(L"the serving process's program cannot be read", ::GetLastError());
        return false;
    }
    image.resize(length);
    for (const std::wstring& program : programs) {
        if (SameText(program, image) || SameText(LongForm(program), LongForm(image)))
            return true;
    }
    reason = L"the serving process runs another program: " + image;
    return false;
}

std::unique_ptr<BYTE[]> UserOf(HANDLE process)
{
    Plinth::UniqueHandle token;
    DWORD bytes = 0;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return nullptr;
    ::GetTokenInformation(token.get(), ::TokenUser, nullptr, 0, &bytes);
    std::unique_ptr<BYTE[]> user(new (std::nothrow) BYTE[bytes ? bytes : 1]);
    if (!user || !::GetTokenInformation(token.get(), ::TokenUser, user.get(), bytes, &bytes))
        return nullptr;
    return user;
}

// A process that runs as another user could be one its user started and
// changed; one that runs as this process's user, or as a service account,
// is out of reach of anyone this process is protected from.
bool RunsAsTrustedUser(HANDLE process, std::wstring& reason)
{
    const std::unique_ptr<BYTE[]> server = UserOf(process);
    const std::unique_ptr<BYTE[]> own = UserOf(::GetCurrentProcess());
    if (!server || !own) {
        reason = L"the serving process's user cannot be read";
        return false;
    }
    PSID serverSid = reinterpret_cast<TOKEN_USER*>(server.get())->User.Sid;
    if (::EqualSid(serverSid, reinterpret_cast<TOKEN_USER*>(own.get())->User.Sid))
        return true;
    for (WELL_KNOWN_SID_TYPE service : {WinLocalSystemSid, WinLocalServiceSid, WinNetworkServiceSid}) {
        if (::IsWellKnownSid(serverSid, service))
            return true;
    }
    reason = L"the serving process runs as another user";
    return false;
}

// Shares a section with the process, asks the class object to write into it
// and reads back whose call the process served.
bool ProvesConnection(IZelServerIdentity* identity, HANDLE process, std::wstring& reason)
{
    reason = L"the serving process does not show that this process's calls reach it";
    Plinth::UniqueHandle section(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ServerIdentityProof), nullptr));
    Plinth::UniqueView view(
        section ? ::MapViewOfFile(section.get(), kServerIdentitySectionAccess, 0, 0, sizeof(ServerIdentityProof))
                : nullptr);
    ServerIdentityProof proof = {};
    if (!view || FAILED(::CoCreateGuid(&proof.nonce)))
        return false;
    std::memcpy(view.get(), &proof, sizeof(proof));
    HANDLE remote = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), section.get(), process, &remote, kServerIdentitySectionAccess, FALSE,
                           0))
        return false;
    const HRESULT hr = identity->WriteCallerProcessId(reinterpret_cast<ULONG_PTR>(remote), proof.nonce);
    ::DuplicateHandle(process, remote, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
    std::memcpy(&proof, view.get(), sizeof(proof));
    return SUCCEEDED(hr) && proof.caller == ::GetCurrentProcessId();
}

} // namespace

HRESULT VerifyServingProcess(IUnknown* classObject, const std::vector<std::wstring>& programs, std::wstring& reason)
{
    // Asked of the class object itself, so the answer comes through the same
    // connection; a server handing out another object's pointer is refused.
    Plinth::ComPtr<IZelServerIdentity> identity;
    Plinth::ComPtr<IUnknown> objectIdentity;
    Plinth::ComPtr<IUnknown> answerIdentity;
    if (!classObject || FAILED(classObject->QueryInterface(IID_IZelServerIdentity, identity.put_void())) ||
        FAILED(classObject->QueryInterface(IID_IUnknown, objectIdentity.put_void())) ||
        FAILED(identity->QueryInterface(IID_IUnknown, answerIdentity.put_void())) ||
        objectIdentity.get() != answerIdentity.get()) {
        reason = L"the class object does not tell which process serves it";
        return E_ACCESSDENIED;
    }
    DWORD processId = 0;
    if (FAILED(identity->GetProcessId(&processId))) {
        reason = L"the class object does not tell which process serves it";
        return E_ACCESSDENIED;
    }
    Plinth::UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_DUP_HANDLE, FALSE, processId));
    if (!process) {
        reason = ErrorText(L"the serving process cannot be opened", ::GetLastError());
        return E_ACCESSDENIED;
    }
    if (!RunsProgram(process.get(), programs, reason) || !RunsAsTrustedUser(process.get(), reason) ||
        !ProvesConnection(identity.get(), process.get(), reason))
        return E_ACCESSDENIED;
    return S_OK;
}
