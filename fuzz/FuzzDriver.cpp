// The fuzzer: drives each parser of what the component reads from outside with
// inputs mutated from small valid samples, every input ending at a no-access
// page, the process heaps validated after each one and a watchdog for inputs
// slower than kSlowMs. A finding is written as an input file, made as small as
// it can be while it still fails, that --replay runs again.
//
//   zelfuzz [--seconds N | --inputs N] [--seed N] [--seeds DIR] [--findings DIR] [TARGET...]
//   zelfuzz --replay FILE
//
// Exit codes: 0 no finding, 1 findings, 2 usage, 3 an input that never ended.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/Fuzz.h"
#include "plinth/Owners.h"

namespace ZelFuzz {

namespace {

constexpr ULONGLONG kSlowMs = 2000;
constexpr ULONGLONG kHungMs = 60000;
constexpr int kMinimizeRuns = 2000;
constexpr size_t kMaxInputBytes = 1 << 16;
// Lengths where buffers, fields and pieces end: around 256, 260, 520, 1024,
// 2080 and 4096 bytes.
constexpr size_t kBoundaryLengths[] = {0,    1,    2,    3,    4,    255,  256,  257,  259,  260,  261,
                                       517,  518,  519,  520,  521,  522,  1023, 1024, 1025, 2047, 2048,
                                       2049, 2078, 2079, 2080, 2081, 2082, 4095, 4096, 4097};

const Target* const kTargets[] = {&kSealedRegistryTarget, &kRegistryKeyTarget, &kIniTarget,
                                  &kSubstituteTarget,     &kVersionTarget,     &kUsageReportTarget,
                                  &kInstallRecordTarget,  &kLogReaderTarget};

using Bytes = std::vector<uint8_t>;

// The input running now, for the watchdog and the crash handler.
struct Current
{
    const Target* target = nullptr;
    Bytes input;
    std::atomic<ULONGLONG> startedMs{0};
    std::atomic<bool> slowWritten{false};
    std::string failure;
};

Current g_current;
std::wstring g_findings = L"fuzz-findings";

struct Options
{
    ULONGLONG seconds = 300;
    unsigned long long inputs = 0;
    unsigned long long seed = 1;
    std::wstring seeds = L"seeds";
    std::wstring replay;
    std::vector<const Target*> targets;
};

// splitmix64: the same seed gives the same inputs on every machine.
class Random
{
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t limit) { return limit ? static_cast<size_t>(Next() % limit) : 0; }

private:
    uint64_t m_state;
};

void PutUnit(Bytes& data, size_t at, uint16_t unit)
{
    const uint8_t bytes[] = {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)};
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(at & ~size_t{1}), bytes, bytes + 2);
}

void Mutate(Bytes& data, Random& random, const std::vector<Bytes>& seeds)
{
    const size_t at = random.Below(data.size() + 1);
    switch (random.Below(10)) {
    case 0: // a bit flipped
        if (!data.empty())
            data[random.Below(data.size())] ^= static_cast<uint8_t>(1u << random.Below(8));
        break;
    case 1: // bytes inserted
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), 1 + random.Below(8),
                    static_cast<uint8_t>(random.Next()));
        break;
    case 2: // bytes deleted
        if (at < data.size())
            data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                       data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + 1 + random.Below(16))));
        break;
    case 3: // cut or grown to where a buffer ends
        data.resize(kBoundaryLengths[random.Below(std::size(kBoundaryLengths))], static_cast<uint8_t>('A'));
        break;
    case 4: // an odd byte count, or an even one
        if (data.size() % 2 == 0)
            data.push_back(static_cast<uint8_t>(random.Next()));
        else
            data.pop_back();
        break;
    case 5: // a zero unit
        PutUnit(data, at, 0);
        break;
    case 6: // a lone surrogate
        PutUnit(data, at, random.Below(2) ? 0xD800 : 0xDFFF);
        break;
    case 7: { // growth: a piece of the input many times over
        if (data.empty())
            break;
        const size_t from = random.Below(data.size());
        const Bytes piece(data.begin() + static_cast<std::ptrdiff_t>(from),
                          data.begin() +
                              static_cast<std::ptrdiff_t>(std::min(data.size(), from + 1 + random.Below(8))));
        for (size_t times = 1 + random.Below(400); times > 0; --times)
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
        break;
    }
    case 8: { // the end of another sample
        const Bytes& other = seeds[random.Below(seeds.size())];
        const size_t from = random.Below(other.size() + 1);
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), other.begin() + static_cast<std::ptrdiff_t>(from),
                    other.end());
        break;
    }
    default: // two bytes swapped
        if (at + 2 <= data.size())
            std::swap(data[at], data[at + 1]);
        break;
    }
    if (data.size() > kMaxInputBytes)
        data.resize(kMaxInputBytes);
}

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + std::strlen(text));
}

uint32_t Fingerprint(const Bytes& data)
{
    uint32_t hash = 2166136261u;
    for (uint8_t byte : data)
        hash = (hash ^ byte) * 16777619u;
    return hash;
}

std::wstring WriteFinding(const Target& target, const char* kind, const Bytes& input)
{
    ::CreateDirectoryW(g_findings.c_str(), nullptr);
    char hash[16];
    std::snprintf(hash, sizeof(hash), "%08x", static_cast<unsigned>(Fingerprint(input)));
    const std::wstring path =
        g_findings + L"\\" + Widen(target.name) + L"-" + Widen(kind) + L"-" + Widen(hash) + L".bin";
    WriteFileBytes(path, input.data(), input.size());
    return path;
}

DWORD WINAPI Watchdog(void*)
{
    for (;;) {
        ::Sleep(100);
        const ULONGLONG started = g_current.startedMs.load();
        if (started == 0)
            continue;
        const ULONGLONG elapsed = ::GetTickCount64() - started;
        if (elapsed > kSlowMs && !g_current.slowWritten.exchange(true)) {
            const std::wstring path = WriteFinding(*g_current.target, "slow", g_current.input);
            std::printf("  %s: an input runs longer than %llu ms: %ls\n", g_current.target->name, kSlowMs,
                        path.c_str());
            std::fflush(stdout);
        }
        if (elapsed > kHungMs) {
            std::printf("  %s: an input ran %llu s without ending; stopping\n", g_current.target->name, kHungMs / 1000);
            std::fflush(stdout);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
    }
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception)
{
    if (g_current.target) {
        const std::wstring path = WriteFinding(*g_current.target, "crash", g_current.input);
        std::printf("  %s: exception 0x%08lX at %p: %ls\n", g_current.target->name,
                    exception->ExceptionRecord->ExceptionCode, exception->ExceptionRecord->ExceptionAddress,
                    path.c_str());
        std::fflush(stdout);
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

void RemoveWorkFolder()
{
    const std::wstring from = WorkFolder() + L'\0';
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    ::SHFileOperationW(&operation);
}

bool HeapsAreValid()
{
    HANDLE heaps[64];
    const DWORD count = ::GetProcessHeaps(static_cast<DWORD>(std::size(heaps)), heaps);
    for (DWORD i = 0; i < count && i < std::size(heaps); ++i) {
        if (!::HeapValidate(heaps[i], 0, nullptr))
            return false;
    }
    return true;
}

// Runs one input; the failure it shows, or empty. A slow input is written by
// the watchdog and counted here.
std::string RunOne(const Target& target, const Bytes& input, bool& slow)
{
    g_current.target = &target;
    g_current.input = input;
    g_current.failure.clear();
    g_current.slowWritten = false;
    g_current.startedMs = ::GetTickCount64();
    {
        GuardedBytes guarded(input.size(), input.data());
        target.run(guarded.Data(), guarded.Size());
    }
    g_current.startedMs = 0;
    slow = g_current.slowWritten.load();
    if (!HeapsAreValid() && g_current.failure.empty())
        g_current.failure = "a process heap fails validation";
    return g_current.failure;
}

// Takes away ever smaller pieces while the input still fails.
Bytes Minimize(const Target& target, Bytes input)
{
    int runs = 0;
    bool slow = false;
    for (size_t chunk = std::max<size_t>(input.size() / 2, 1); chunk >= 1 && runs < kMinimizeRuns; chunk /= 2) {
        for (size_t at = 0; at < input.size() && runs < kMinimizeRuns; ++runs) {
            Bytes smaller = input;
            smaller.erase(smaller.begin() + static_cast<std::ptrdiff_t>(at),
                          smaller.begin() + static_cast<std::ptrdiff_t>(std::min(input.size(), at + chunk)));
            if (!RunOne(target, smaller, slow).empty() && !slow)
                input.swap(smaller);
            else
                at += chunk;
        }
    }
    return input;
}

std::vector<Bytes> LoadSeeds(const std::wstring& folder, const Target& target)
{
    std::vector<Bytes> seeds;
    const std::wstring directory = folder + L"\\" + Widen(target.name);
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            std::ifstream file((directory + L"\\" + found.cFileName).c_str(), std::ios::binary);
            seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    std::sort(seeds.begin(), seeds.end());
    if (seeds.empty())
        seeds.emplace_back();
    return seeds;
}

// Runs inputs on one target until its share of time or inputs is used; the
// number of findings.
unsigned Fuzz(const Target& target, const Options& options, ULONGLONG milliseconds)
{
    if (target.setUp && !target.setUp()) {
        std::printf("%-11s cannot run here\n", target.name);
        return 1;
    }
    const std::vector<Bytes> seeds = LoadSeeds(options.seeds, target);
    Random random(options.seed * 1000003u + Fingerprint(Bytes(target.name, target.name + std::strlen(target.name))));
    const ULONGLONG start = ::GetTickCount64();
    unsigned long long count = 0;
    unsigned findings = 0;
    std::vector<uint32_t> seen;
    for (;; ++count) {
        if (options.inputs ? count >= options.inputs : ::GetTickCount64() - start >= milliseconds)
            break;
        Bytes input = seeds[count < seeds.size() ? count : random.Below(seeds.size())];
        if (count >= seeds.size()) {
            for (size_t mutations = 1 + random.Below(4); mutations > 0; --mutations)
                Mutate(input, random, seeds);
        }
        bool slow = false;
        std::string failure = RunOne(target, input, slow);
        findings += slow ? 1 : 0;
        if (failure.empty())
            continue;
        // One finding per kind of failure: its message without the numbers.
        Bytes kind;
        std::copy_if(failure.begin(), failure.end(), std::back_inserter(kind),
                     [](char c) { return c < '0' || c > '9'; });
        if (std::find(seen.begin(), seen.end(), Fingerprint(kind)) != seen.end())
            continue;
        seen.push_back(Fingerprint(kind));
        const Bytes smallest = Minimize(target, input);
        failure = RunOne(target, smallest, slow);
        ++findings;
        std::printf("  %s: %s: %ls\n", target.name, failure.c_str(), WriteFinding(target, "check", smallest).c_str());
    }
    if (target.tearDown)
        target.tearDown();
    std::printf("%-11s %10llu inputs %4u findings\n", target.name, count, findings);
    std::fflush(stdout);
    return findings;
}

int Replay(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring name = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    const Target* target = nullptr;
    for (const Target* candidate : kTargets) {
        if (name.compare(0, name.find(L'-'), Widen(candidate->name)) == 0)
            target = candidate;
    }
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!target || !file) {
        std::printf("no target's input: %ls\n", path.c_str());
        return 2;
    }
    const Bytes input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (target->setUp && !target->setUp())
        return 2;
    bool slow = false;
    const std::string failure = RunOne(*target, input, slow);
    if (target->tearDown)
        target->tearDown();
    RemoveWorkFolder();
    std::printf("%s, %llu bytes: %s\n", target->name, static_cast<unsigned long long>(input.size()),
                !failure.empty() ? failure.c_str()
                : slow           ? "slow"
                                 : "no finding");
    return failure.empty() && !slow ? 0 : 1;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--seconds" && hasValue) {
            options.seconds = std::wcstoull(argv[++i], nullptr, 10);
        } else if (arg == L"--inputs" && hasValue) {
            options.inputs = std::wcstoull(argv[++i], nullptr, 10);
        } else if (arg == L"--seed" && hasValue) {
            options.seed = std::wcstoull(argv[++i], nullptr, 10);
        } else if (arg == L"--seeds" && hasValue) {
            options.seeds = argv[++i];
        } else if (arg == L"--findings" && hasValue) {
            g_findings = argv[++i];
        } else if (arg == L"--replay" && hasValue) {
            options.replay = argv[++i];
        } else {
            const Target* chosen = nullptr;
            for (const Target* target : kTargets) {
                if (arg == Widen(target->name))
                    chosen = target;
            }
            if (!chosen)
                return false;
            options.targets.push_back(chosen);
        }
    }
    if (options.targets.empty())
        options.targets.assign(std::begin(kTargets), std::end(kTargets));
    return true;
}

int Run(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::printf("usage: zelfuzz [--seconds N | --inputs N] [--seed N] [--seeds DIR] [--findings DIR] [TARGET...]\n"
                    "       zelfuzz --replay FILE\ntargets:");
        for (const Target* target : kTargets)
            std::printf(" %s", target->name);
        std::printf("\n");
        return 2;
    }
    ::SetUnhandledExceptionFilter(OnCrash);
    const Plinth::UniqueHandle watchdog(::CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
    if (!options.replay.empty())
        return Replay(options.replay);
    unsigned findings = 0;
    const ULONGLONG share = options.seconds * 1000 / options.targets.size();
    for (const Target* target : options.targets)
        findings += Fuzz(*target, options, share);
    std::printf("%u findings\n", findings);
    RemoveWorkFolder();
    return findings ? 1 : 0;
}

} // namespace

GuardedBytes::GuardedBytes(size_t size, const void* data)
{
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    // One readable page before the bytes, whatever their size: only the end is watched.
    const size_t pages = (size + page - 1) / page + 1;
    m_base = ::VirtualAlloc(nullptr, (pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    if (!m_base || !::VirtualProtect(static_cast<uint8_t*>(m_base) + pages * page, page, PAGE_NOACCESS, &old)) {
        std::printf("no guarded memory for %llu bytes\n", static_cast<unsigned long long>(size));
        ::TerminateProcess(::GetCurrentProcess(), 2);
    }
    m_size = size;
    m_data = static_cast<uint8_t*>(m_base) + pages * page - size;
    if (data && size)
        std::memcpy(m_data, data, size);
}

GuardedBytes::~GuardedBytes()
{
    ::VirtualFree(m_base, 0, MEM_RELEASE);
}

std::wstring InputReader::Text(wchar_t separator)
{
    std::wstring text;
    while (m_size - m_at >= sizeof(wchar_t)) {
        const wchar_t unit = static_cast<wchar_t>(m_data[m_at] | m_data[m_at + 1] << 8);
        m_at += sizeof(wchar_t);
        if (unit == separator)
            break;
        text += unit;
    }
    return text;
}

bool SetRawValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, size_t bytes)
{
    // The registry counts a string's terminator in when the data lacks one and
    // a zero follows it: bytes after the data that are not zero keep it as given.
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + bytes);
    copy.insert(copy.end(), {0xBD, 0xBD});
    return ::RegSetKeyValueW(root, path, name, type, copy.data(), static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
}

const std::wstring& WorkFolder()
{
    static const std::wstring folder = [] {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        std::wstring path = std::wstring(temp) + L"zelfuzz-" + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }();
    return folder;
}

bool WriteFileBytes(const std::wstring& path, const void* data, size_t bytes)
{
    const HANDLE opened = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        CREATE_ALWAYS, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    const Plinth::UniqueHandle file(opened);
    DWORD written = 0;
    return ::WriteFile(file.get(), data, static_cast<DWORD>(bytes), &written, nullptr) && written == bytes;
}

void Fail(const char* format, ...)
{
    if (!g_current.failure.empty())
        return;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    g_current.failure = text;
}

} // namespace ZelFuzz

int main()
{
    int argc = 0;
    const Plinth::UniqueResource<LPWSTR*, &::LocalFree> argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!argv)
        return 2;
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    return ZelFuzz::Run(argc, argv.get());
}
