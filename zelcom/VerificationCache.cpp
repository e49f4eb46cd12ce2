#include "zelcom/VerificationCache.h"

#include <cstring>
#include <utility>

#include "zelcom/TrustVerification.h"

namespace {

constexpr size_t kHeldFiles = 8;

// A file that verified, held since: while this handle is open no one can
// write the file, and its identity names no other file.
struct HeldVerification
{
    std::wstring path;
    FILE_ID_INFO identity = {};
    std::vector<std::wstring> trusted;
    FILETIME validUntil = {};
    Plinth::UniqueHandle file;
};

bool IdentityOf(HANDLE file, FILE_ID_INFO& identity)
{
    return ::GetFileInformationByHandleEx(file, FileIdInfo, &identity, sizeof(identity)) != FALSE;
}

bool SameIdentity(const FILE_ID_INFO& a, const FILE_ID_INFO& b)
{
    return a.VolumeSerialNumber == b.VolumeSerialNumber && std::memcmp(&a.FileId, &b.FileId, sizeof(a.FileId)) == 0;
}

// The held verifications, at most kHeldFiles, one per path. Their files are
// closed outside the lock; at the end of the process they are closed without
// it, so no thread that ended holding it can stop the module from unloading.
class HeldVerifications
{
public:
    bool Holds(const std::wstring& path, const FILE_ID_INFO& identity, const std::vector<std::wstring>& trusted)
    {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        ::AcquireSRWLockShared(&m_lock);
        bool held = false;
        for (const HeldVerification& entry : m_entries) {
            held = held || (entry.file && entry.path == path && SameIdentity(entry.identity, identity) &&
                            entry.trusted == trusted && ::CompareFileTime(&now, &entry.validUntil) < 0);
        }
        ::ReleaseSRWLockShared(&m_lock);
        return held;
    }

    // Puts entry in place of the one for its path, or of the oldest; an entry
    // without a file only removes the one for its path.
    void Replace(HeldVerification entry)
    {
        ::AcquireSRWLockExclusive(&m_lock);
        HeldVerification* slot = nullptr;
        for (HeldVerification& held : m_entries) {
            if (held.file && held.path == entry.path)
                slot = &held;
        }
        if (!slot && entry.file)
            slot = &m_entries[m_next++ % kHeldFiles];
        if (slot)
            std::swap(*slot, entry);
        ::ReleaseSRWLockExclusive(&m_lock);
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
    HeldVerification m_entries[kHeldFiles];
    size_t m_next = 0;
};

HeldVerifications g_held;

} // namespace

HRESULT OpenVerifiedFileOnce(const wchar_t* path, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file,
                             std::wstring& reason)
{
    file.reset(Plinth::HandleOrNull(
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    HeldVerification verified;
    verified.path = path;
    verified.trusted = trusted;
    if (file && IdentityOf(file.get(), verified.identity) && g_held.Holds(path, verified.identity, trusted)) {
        reason.clear();
        return S_OK;
    }
    const HRESULT hr = OpenVerifiedFile(path, trusted, file, reason, verified.validUntil);
    // The same file opened once more, now shared with renamers and deleters.
    if (SUCCEEDED(hr) && IdentityOf(file.get(), verified.identity))
        verified.file.reset(
            Plinth::HandleOrNull(::ReOpenFile(file.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 0)));
    const DWORD error = ::GetLastError();
    g_held.Replace(std::move(verified));
    ::SetLastError(error);
    return hr;
}
