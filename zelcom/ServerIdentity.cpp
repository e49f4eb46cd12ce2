#include "zelcom/ServerIdentity.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

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

// The process that last proved it serves a class object, held open so that
// its id names no other process while it is kept, and known to run as a user
// it may run as. Only its handle is kept: what it runs is read again for
// every creation.
class ProvenProcess
{
public:
    std::shared_ptr<Plinth::UniqueHandle> Get()
    {
        ::AcquireSRWLockShared(&m_lock);
        std::shared_ptr<Plinth::UniqueHandle> process = m_process;
        ::ReleaseSRWLockShared(&m_lock);
        return process;
    }

    // The one replaced is closed after the lock is released.
    void Set(std::shared_ptr<Plinth::UniqueHandle> process)
    {
        ::AcquireSRWLockExclusive(&m_lock);
        m_process.swap(process);
        ::ReleaseSRWLockExclusive(&m_lock);
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::shared_ptr<Plinth::UniqueHandle> m_process;
};

ProvenProcess g_proven;

// A section for the proof and its view in this process. It is shared with a
// process only for the length of one call, and each call writes a new nonce.
struct ProofSection
{
    Plinth::UniqueHandle section;
    Plinth::UniqueView view;
};

// One section kept for the next proof, taken and put back by an exchange,
// never under a lock: a proof that finds none makes one.
class SpareSection
{
public:
    ~SpareSection() { delete static_cast<ProofSection*>(m_spare); }

    std::unique_ptr<ProofSection> Take()
    {
        std::unique_ptr<ProofSection> taken(
            static_cast<ProofSection*>(::InterlockedExchangePointer(&m_spare, nullptr)));
        if (taken)
            return taken;
        taken.reset(new (std::nothrow) ProofSection);
        if (!taken)
            return nullptr;
        taken->section.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  sizeof(ServerIdentityProof), nullptr));
        if (taken->section)
            taken->view.reset(
                ::MapViewOfFile(taken->section.get(), kServerIdentitySectionAccess, 0, 0, sizeof(ServerIdentityProof)));
        return taken->view ? std::move(taken) : nullptr;
    }

    // The section already kept, if another proof put one back first, is closed.
    void PutBack(std::unique_ptr<ProofSection> section)
    {
        std::unique_ptr<ProofSection> replaced(
            static_cast<ProofSection*>(::InterlockedExchangePointer(&m_spare, section.release())));
    }

private:
    void* volatile m_spare = nullptr;
};

SpareSection g_spare;

// Shares a section with the process for one call, in which the class object
// is asked to write into it whose call it serves and to make the object. True,
// with the call's result in hr and, when it succeeded, the object in ppv, when
// the process wrote this process's id; an object made by any other process is
// released unused.
bool CreateProven(IZelServerIdentity* identity, HANDLE process, REFIID riid, void** ppv, HRESULT& hr)
{
    std::unique_ptr<ProofSection> shared = g_spare.Take();
    ServerIdentityProof proof = {};
    if (!shared || FAILED(::CoCreateGuid(&proof.nonce)))
        return false;
    std::memcpy(shared->view.get(), &proof, sizeof(proof));
    HANDLE remote = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), shared->section.get(), process, &remote, kServerIdentitySectionAccess,
                           FALSE, 0))
        return false;
    Plinth::ComPtr<IUnknown> object;
    hr = identity->CreateProvenInstance(reinterpret_cast<ULONG_PTR>(remote), proof.nonce, riid, object.put_void());
    Plinth::UniqueHandle returned;
    const bool closed = ::DuplicateHandle(process, remote, ::GetCurrentProcess(), returned.put(), 0, FALSE,
                                          DUPLICATE_CLOSE_SOURCE) != FALSE;
    std::memcpy(&proof, shared->view.get(), sizeof(proof));
    // A section the process may still hold is not used again.
    if (closed)
        g_spare.PutBack(std::move(shared));
    if (proof.caller != ::GetCurrentProcessId())
        return false;
    if (SUCCEEDED(hr))
        *ppv = object.detach();
    return true;
}

// The process the class object names, when it runs one of the programs as a
// user it may run as.
bool OpenNamedProcess(IZelServerIdentity* identity, const std::vector<std::wstring>& programs,
                      Plinth::UniqueHandle& process, std::wstring& reason)
{
    DWORD processId = 0;
    if (FAILED(identity->GetProcessId(&processId))) {
        reason = L"the class object does not tell which process serves it";
        return false;
    }
    process.reset(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_DUP_HANDLE, FALSE, processId));
    if (!process) {
        reason = ErrorText(L"the serving process cannot be opened", ::GetLastError());
        return false;
    }
    return RunsProgram(process.get(), programs, reason) && RunsAsTrustedUser(process.get(), reason);
}

} // namespace

HRESULT CreateFromServingProcess(IZelServerIdentity* classObject, const std::vector<std::wstring>& programs,
                                 REFIID riid, void** ppv, std::wstring& reason)
{
    *ppv = nullptr;
    HRESULT hr = E_ACCESSDENIED;
    const std::shared_ptr<Plinth::UniqueHandle> expected = g_proven.Get();
    if (expected && RunsProgram(expected->get(), programs, reason) &&
        CreateProven(classObject, expected->get(), riid, ppv, hr)) {
        reason.clear();
        return hr;
    }
    auto named = std::make_shared<Plinth::UniqueHandle>();
    if (!OpenNamedProcess(classObject, programs, *named, reason))
        return E_ACCESSDENIED;
    if (!CreateProven(classObject, named->get(), riid, ppv, hr)) {
        reason = L"the serving process does not show that this process's calls reach it";
        return E_ACCESSDENIED;
    }
    reason.clear();
    g_proven.Set(std::move(named));
    return hr;
}
