#pragma once
// The running Windows version: platform family, a version kind code, service
// pack, the core library's version, and 32-bit emulation. The Windows calls go
// through a provider type so the logic can be driven by another provider.
#include <windows.h>

#include <memory>
#include <string>

namespace Plinth {

class WinOSVersionAPI
{
public:
    virtual ~WinOSVersionAPI() = default;
    virtual BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask);
};

namespace internal {

// Version kind codes.
enum : DWORD
{
    OSKindUnknown = 0,
    OSKind9x0 = 1,
    OSKind9xMid = 2,
    OSKindNTOld = 3,
    OSKindNT50 = 4,
    OSKind9xLate = 5,
    OSKindNT5x = 6,
    OSKindNT60 = 7,
    OSKindNT61 = 8,
    OSKindNT62 = 9,
    OSKindNT6x = 10,
    OSKindNT10 = 11,
    OSKindOther = 12,
};

struct OSVersionRecord
{
    DWORD major = 0;
    DWORD minor = 0;
    WORD servicePack = 0;
    DWORD fileVersion[4] = {};
    DWORD kind = 0;
    DWORD flag = 0;
};

// Splits a product version text "a.b.c.d" into up to four unsigned numbers.
// False for an empty text or a piece that is not a number.
bool ParseProductVersion(const std::wstring& text, DWORD (&parts)[4]);

// Fills the record from the core library's product version text, asking the
// provider for the platform and service pack. False when the platform is not
// one the system knows or the text is not a version.
template <class API>
bool ComputeOSVersion(API& provider, const std::wstring& productVersion, OSVersionRecord& record);

template <class API>
bool IsPlatform(API& provider, DWORD platform)
{
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = platform;
    const DWORDLONG condition = ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL);
    return provider.VerifyVersionInfo(&info, VER_PLATFORMID, condition) != FALSE;
}

template <class API>
class OSInfoProxy
{
public:
    // The one-time computation, shared by every copy of a proxy.
    class _Impl
    {
    public:
        explicit _Impl(const API& provider) : m_provider(provider) {}
        virtual ~_Impl() = default;
        // The product version text of the system folder's "kernel32.dll".
        virtual bool ReadSystemFileVersion(std::wstring& productVersion);

        // Runs the computation once; a failure is tried again by the next caller.
        bool Compute();
        const OSVersionRecord& Record() const { return m_record; }

    private:
        volatile LONG m_once = 0;
        LONG m_valid = 0;
        OSVersionRecord m_record;
        // Each computation record keeps its own provider, so a copy of a proxy
        // never reaches a provider that went with another copy.
        API m_provider;
    };

    explicit OSInfoProxy(const API& provider = API()) : OSInfoProxy(provider, nullptr) {}
    // impl: the computation record to share; null makes a new one.
    OSInfoProxy(const API& provider, std::shared_ptr<_Impl> impl)
        : m_provider(provider), m_impl(impl ? std::move(impl) : std::make_shared<_Impl>(provider))
    {
    }
    virtual ~OSInfoProxy() = default;

    virtual DWORD GetOSKind() { return m_impl->Compute() ? m_impl->Record().kind : OSKindUnknown; }
    virtual DWORD GetKindFlag() { return m_impl->Compute() ? m_impl->Record().flag : 2; }
    virtual bool GetOSVersion(DWORD& major, DWORD& minor, WORD& servicePack)
    {
        major = minor = 0;
        servicePack = 0;
        if (!m_impl->Compute() || m_impl->Record().kind == OSKindOther)
            return false;
        major = m_impl->Record().major;
        minor = m_impl->Record().minor;
        servicePack = m_impl->Record().servicePack;
        return true;
    }
    virtual bool GetOSKindAndFlag(DWORD& kind, DWORD& flag)
    {
        kind = OSKindUnknown;
        flag = 2;
        if (!m_impl->Compute())
            return false;
        kind = m_impl->Record().kind;
        flag = m_impl->Record().flag;
        return true;
    }
    virtual bool IsWow64();
    virtual bool IsNTPlatform() { return IsPlatform(m_provider, VER_PLATFORM_WIN32_NT); }
    virtual bool GetSystemFileVersion(DWORD (&parts)[4])
    {
        for (DWORD& part : parts)
            part = 0;
        if (!m_impl->Compute())
            return false;
        for (int i = 0; i < 4; ++i)
            parts[i] = m_impl->Record().fileVersion[i];
        return true;
    }

private:
    API m_provider;
    std::shared_ptr<_Impl> m_impl;
};

// Reads the product version of the system folder's "kernel32.dll".
bool ReadKernelProductVersion(std::wstring& productVersion);
bool QueryIsWow64();

template <class API>
bool OSInfoProxy<API>::_Impl::ReadSystemFileVersion(std::wstring& productVersion)
{
    return ReadKernelProductVersion(productVersion);
}

template <class API>
bool OSInfoProxy<API>::_Impl::Compute()
{
    for (;;) {
        const LONG state = ::InterlockedCompareExchange(&m_once, 1, 0);
        if (state == 2)
            return m_valid == 1;
        if (state == 0)
            break;
        while (m_once == 1)
            YieldProcessor();
    }
    bool ok = false;
    try {
        std::wstring productVersion;
        ok = ReadSystemFileVersion(productVersion) && ComputeOSVersion(m_provider, productVersion, m_record);
    } catch (...) {
        ok = false;
    }
    if (ok)
        m_valid = 1;
    ::InterlockedExchange(&m_once, ok ? 2 : 0);
    return ok;
}

template <class API>
bool OSInfoProxy<API>::IsWow64()
{
    return QueryIsWow64();
}

// The running minor version, found with less-than and equality questions; limit
// when it is not below the limit.
template <class API>
DWORD FindMinorVersion(API& provider, DWORD limit)
{
    auto ask = [&](DWORD value, BYTE condition) {
        OSVERSIONINFOEXW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMinorVersion = value;
        return provider.VerifyVersionInfo(&info, VER_MINORVERSION,
                                          ::VerSetConditionMask(0, VER_MINORVERSION, condition)) != FALSE;
    };
    const DWORD rounded = (limit + 7) / 8 * 8;
    DWORD v = 8;
    while (v <= rounded && !ask(v, VER_LESS))
        v += 8;
    if (v > rounded)
        return limit;
    v -= 4;
    for (DWORD step : {2u, 1u}) {
        if (ask(v, VER_LESS))
            v -= step;
        else
            v += step;
    }
    if (!ask(v, VER_EQUAL))
        v -= 1;
    return v;
}

template <class API>
bool ComputeOSVersion(API& provider, const std::wstring& productVersion, OSVersionRecord& record)
{
    record = OSVersionRecord();
    if (!ParseProductVersion(productVersion, record.fileVersion))
        return false;
    if (IsPlatform(provider, VER_PLATFORM_WIN32_WINDOWS)) {
        constexpr DWORD kLimit = 100;
        const DWORD minor = FindMinorVersion(provider, kLimit);
        if (minor == kLimit)
            return false;
        record.major = 4;
        record.minor = minor;
        record.kind = minor == 0 ? OSKind9x0 : minor < 90 ? OSKind9xMid : OSKind9xLate;
        return true;
    }
    if (!IsPlatform(provider, VER_PLATFORM_WIN32_NT))
        return false;
    record.major = record.fileVersion[0];
    record.minor = record.fileVersion[1];
    WORD probeFrom = 0;
    if (record.major < 5) {
        record.kind = OSKindNTOld;
    } else if (record.major == 5) {
        record.kind = record.minor == 0 ? OSKindNT50 : OSKindNT5x;
        probeFrom = record.minor == 0 ? 4 : 3;
    } else if (record.major == 6) {
        const DWORD kinds[] = {OSKindNT60, OSKindNT61, OSKindNT62};
        record.kind = record.minor < 3 ? kinds[record.minor] : OSKindNT6x;
        probeFrom = record.minor == 0 ? 2 : record.minor == 1 ? 1 : 0;
    } else {
        record.kind = record.major == 10 ? OSKindNT10 : OSKindOther;
    }
    record.flag = record.kind >= OSKindNT5x ? 1 : 0;
    for (WORD n = probeFrom; n >= 1; --n) {
        OSVERSIONINFOEXW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        info.wServicePackMajor = n;
        if (provider.VerifyVersionInfo(&info, VER_SERVICEPACKMAJOR,
                                       ::VerSetConditionMask(0, VER_SERVICEPACKMAJOR, VER_EQUAL))) {
            record.servicePack = n;
            break;
        }
    }
    return true;
}

} // namespace internal
} // namespace Plinth
