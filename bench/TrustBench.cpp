// What verifying a caller costs per CreateInstance: the check of the running
// image (the file held open and verified through its handle, then compared
// with the module in memory) against the check it replaced, which verified
// the file found at the module's path. Both read the trusted publishers, as
// every check does. Then what a verified creation costs against the same
// creation unverified (the class object from COM, then its CreateInstance,
// which is what CoCreateInstance does for a class with IClassFactory): of the
// component checker, an in-process server, and of the configuration service,
// a local server kept running by an object held throughout.
#include <windows.h>

#include "bench/BenchTiming.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/LoadHarness.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/TrustVerification.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

void Here() {}

HRESULT PathOnlyCheck(const wchar_t* path)
{
    std::vector<std::wstring> trusted;
    std::wstring reason;
    if (!ReadTrustedPublishers(trusted))
        return E_ACCESSDENIED;
    return VerifyFileSignature(path, nullptr, trusted, reason);
}

// The fastest of several creations of one class, verified and not, taken in
// turns so both see the same load. The pause before each, not timed, lets a
// local server offer its registration again, so that every creation finds it
// and none waits for a server to start. False when one did not create.
bool TimeCreations(REFCLSID clsid, DWORD context, REFIID iid, DWORD pauseMs, double& plain, double& verified)
{
    constexpr int kCreations = 20;
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    double best[2] = {1e300, 1e300};
    for (int i = 0; i < 2 * kCreations; ++i) {
        const bool verify = i % 2 != 0;
        ::Sleep(pauseMs);
        Plinth::ComPtr<IUnknown> object;
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        ::QueryPerformanceCounter(&start);
        const HRESULT hr = verify ? VkCreateInstanceVerified(clsid, nullptr, context, iid, object.put_void(), TRUE)
                                  : VkCreateInstanceNoAuth(clsid, nullptr, context, iid, object.put_void());
        ::QueryPerformanceCounter(&end);
        if (hr != S_OK)
            return false;
        const double ns = 1e9 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        if (ns < best[verify])
            best[verify] = ns;
    }
    plain = best[0];
    verified = best[1];
    return true;
}

int CompareCreations()
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    const ZelTest::LoadEnvironment installed(false, true);
    Plinth::ComPtr<IZelConfig> held;
    if (!installed.Problem().empty() || VkCreateInstanceNoAuth(CLSID_ZelConfig, nullptr, CLSCTX_LOCAL_SERVER,
                                                               IID_IZelConfig, held.put_void()) != S_OK) {
        std::printf("the checker and the service cannot be set up\n");
        return 1;
    }
    double plain = 0;
    double verified = 0;
    if (!TimeCreations(CLSID_ComponentVersionProvider, CLSCTX_INPROC_SERVER, IID_IVkVersion, 0, plain, verified))
        return 1;
    std::printf("component checker: %.0f us, verified %.0f us\n", plain / 1000, verified / 1000);
    ReportRatio("verified creation of an in-process class", verified / plain, "the creation unverified");
    if (!TimeCreations(CLSID_ZelConfig, CLSCTX_LOCAL_SERVER, IID_IZelConfig, 250, plain, verified))
        return 1;
    std::printf("configuration service: %.0f us, verified %.0f us\n", plain / 1000, verified / 1000);
    ReportRatio("verified creation of the configuration service", verified / plain, "the creation unverified",
                Goal::AtMost, 1.2);
    return 0;
}

} // namespace

int main()
{
    ZelTest::ScopedTrustedPublishers publishers;
    wchar_t path[MAX_PATH] = {};
    if (!::GetModuleFileNameW(nullptr, path, MAX_PATH))
        return 1;
    const void* here = reinterpret_cast<const void*>(&Here);
    if (PathOnlyCheck(path) != S_OK || VerifyCallingModule(here) != S_OK) {
        std::printf("this program must be signed with the trusted test certificate\n");
        return 1;
    }
    constexpr int kCalls = 20;
    const double before = BestNanosecondsPerCall(kCalls, [&](int) { PathOnlyCheck(path); });
    const double after = BestNanosecondsPerCall(kCalls, [&](int) { VerifyCallingModule(here); });
    std::printf("caller check: file at its path %.0f us, running image %.0f us\n", before / 1000, after / 1000);
    ReportRatio("caller check of the running image", after / before, "file at its path", Goal::AtMost, 1.5);
    return CompareCreations();
}
