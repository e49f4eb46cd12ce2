// What verifying a caller costs per CreateInstance: the check of the running
// image (the file held open and verified through its handle, then compared
// with the module in memory) against the check it replaced, which verified
// the file found at the module's path. Both read the trusted publishers, as
// every check does.
#include <windows.h>

#include "bench/BenchTiming.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/TrustedPublishers.h"
#include "zelcom/TrustVerification.h"

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
    return 0;
}
