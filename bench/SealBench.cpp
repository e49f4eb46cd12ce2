// Our MD5 against the platform's (advapi32), and the cost of sealing and
// opening one value, each reported as a ratio to a baseline measured in the
// same run.
#include <windows.h>

#include "bench/BenchTiming.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plinth/Md5.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/Owners.h"

namespace {

// The published layout of the platform's MD5 context.
struct PlatformMd5Context
{
    ULONG count[2];
    ULONG state[4];
    unsigned char buffer[64];
    unsigned char digest[16];
};
static_assert(sizeof(PlatformMd5Context) == 104, "MD5_CTX layout");

using Md5InitFn = void(WINAPI*)(PlatformMd5Context*);
using Md5UpdateFn = void(WINAPI*)(PlatformMd5Context*, const unsigned char*, unsigned int);
using Md5FinalFn = void(WINAPI*)(PlatformMd5Context*);

} // namespace

int main()
{
    Plinth::UniqueModule advapi(::LoadLibraryW(L"advapi32.dll"));
    auto bind = [&advapi](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(advapi.get(), name)); };
    const auto init = reinterpret_cast<Md5InitFn>(bind("MD5Init"));
    const auto update = reinterpret_cast<Md5UpdateFn>(bind("MD5Update"));
    const auto final = reinterpret_cast<Md5FinalFn>(bind("MD5Final"));
    if (!init || !update || !final) {
        std::printf("the platform's MD5 is not available\n");
        return 1;
    }

    std::vector<unsigned char> data(65536);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 131 + 7);

    uint8_t ours[Plinth::kMd5DigestBytes];
    PlatformMd5Context context;
    Plinth::Md5(data.data(), data.size(), ours);
    init(&context);
    update(&context, data.data(), static_cast<unsigned>(data.size()));
    final(&context);
    if (std::memcmp(ours, context.digest, sizeof(ours)) != 0) {
        std::printf("digests differ: the context layout is not the platform's\n");
        return 1;
    }

    double platform64 = 0;
    for (size_t bytes : {size_t{64}, size_t{1024}, size_t{65536}}) {
        const int calls = static_cast<int>(20000000 / (bytes + 64));
        const double oursNs = BestNanosecondsPerCall(calls, [&](int i) {
            data[0] = static_cast<unsigned char>(i);
            Plinth::Md5(data.data(), bytes, ours);
        });
        const double platformNs = BestNanosecondsPerCall(calls, [&](int i) {
            data[0] = static_cast<unsigned char>(i);
            init(&context);
            update(&context, data.data(), static_cast<unsigned>(bytes));
            final(&context);
        });
        if (bytes == 64)
            platform64 = platformNs;
        std::printf("MD5 of %6zu bytes: ours %7.1f MB/s, platform %7.1f MB/s  = %4.2f x platform\n", bytes,
                    1e3 * bytes / oursNs, 1e3 * bytes / platformNs, platformNs / oursNs);
        const std::string what = "our MD5 throughput, " + std::to_string(bytes) + " bytes";
        ReportRatio(what.c_str(), platformNs / oursNs, "platform MD5", bytes == 65536 ? Goal::AtLeast : Goal::None,
                    0.9);
    }

    const uint8_t value[] = "Logging Mechanism";
    const size_t valueBytes = sizeof(value) - 1;
    uint8_t encoded[sizeof(value)];
    uint8_t header[Plinth::kIniSealHeaderBytes];
    uint8_t plain[sizeof(value)];
    const double sealNs = BestNanosecondsPerCall(
        200000, [&](int) { Plinth::SealIniValue(value, valueBytes, 1, encoded, sizeof(encoded), header); });
    const double openNs = BestNanosecondsPerCall(
        200000, [&](int) { Plinth::OpenIniValue(encoded, valueBytes, header, plain, sizeof(plain)); });
    std::printf("seal a %zu-byte value %8.1f ns  = %5.2f x platform MD5 of 64 bytes (%.1f ns)\n", valueBytes, sealNs,
                sealNs / platform64, platform64);
    std::printf("open a %zu-byte value %8.1f ns  = %5.2f x platform MD5 of 64 bytes (%.1f ns)\n", valueBytes, openNs,
                openNs / platform64, platform64);
    ReportRatio("seal a value", sealNs / platform64, "platform MD5 of 64 bytes");
    ReportRatio("open a value", openNs / platform64, "platform MD5 of 64 bytes");
    return 0;
}
