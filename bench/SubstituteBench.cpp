// The update-check query against the registry calls it cannot do without, and
// token expansion for growing templates; each reported as a ratio measured in
// the same run.
#include <windows.h>

#include "bench/BenchTiming.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "plinth/Owners.h"
#include "substitute/Substitute.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/ScriptedChecker.h"
#include "tests/support/TestRegistry.h"
#include "zellumoap/ApplImpl.h"

namespace {

constexpr int kRounds = 5;
constexpr wchar_t kVarkon[] = L"SOFTWARE\\Varkon";
constexpr wchar_t kBenchKey[] = L"Software\\ZelSubstituteBench";
constexpr wchar_t kBenchPath[] = L"HKCU\\Software\\ZelSubstituteBench";

template <typename Body>
double BestMicrosecondsPerCall(int calls, Body body)
{
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        ::QueryPerformanceCounter(&start);
        for (int i = 0; i < calls; ++i)
            body();
        ::QueryPerformanceCounter(&end);
        const double us =
            1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) / calls;
        if (us < best)
            best = us;
    }
    return best;
}

void SetText(HKEY root, const std::wstring& path, const wchar_t* name, const wchar_t* text)
{
    Plinth::UniqueHKey key;
    if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) != 0)
        return;
    ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                     static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t)));
}

// Sample values for a key the machine lacks, removed again at the end.
class SampleKey
{
public:
    SampleKey(const wchar_t* path, std::vector<std::pair<const wchar_t*, const wchar_t*>> values) : m_path(path)
    {
        Plinth::UniqueHKey existing;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, existing.put()) == ERROR_SUCCESS)
            return;
        m_created = true;
        for (const auto& value : values)
            SetText(HKEY_LOCAL_MACHINE, m_path, value.first, value.second);
    }
    ~SampleKey()
    {
        if (!m_created)
            return;
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_path.c_str());
    }

private:
    std::wstring m_path;
    bool m_created = false;
};

void ReadAllValues(HKEY root, const wchar_t* path)
{
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    DWORD count = 0;
    DWORD longest = 0;
    ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longest, nullptr,
                       nullptr, nullptr);
    wchar_t name[256];
    BYTE data[2080];
    for (DWORD i = 0; i < count; ++i) {
        DWORD chars = 256;
        if (::RegEnumValueW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        DWORD type = 0;
        DWORD bytes = sizeof(data);
        ::RegQueryValueExW(key.get(), name, nullptr, &type, data, &bytes);
    }
}

// What the update-check query must ask the registry: the product-root probe,
// the volatile copy's create-or-open, both substitute keys with their query
// parameters, and the build.
void RegistryBaseline()
{
    {
        Plinth::UniqueHKey varkon;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVarkon, 0, KEY_READ, varkon.put());
    }
    {
        Plinth::UniqueHKey copy;
        DWORD disposition = 0;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVolatileSubstituteKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, copy.put(), &disposition);
    }
    const std::wstring volatileParams = std::wstring(kVolatileSubstituteKey) + L"\\QueryParams";
    const std::wstring productParams = std::wstring(kProductSubstituteKey) + L"\\QueryParams";
    ReadAllValues(HKEY_LOCAL_MACHINE, kVolatileSubstituteKey);
    ReadAllValues(HKEY_LOCAL_MACHINE, volatileParams.c_str());
    ReadAllValues(HKEY_LOCAL_MACHINE, kProductSubstituteKey);
    ReadAllValues(HKEY_LOCAL_MACHINE, productParams.c_str());
    Plinth::UniqueHKey product;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, product.put()) == ERROR_SUCCESS) {
        wchar_t build[80];
        DWORD bytes = sizeof(build);
        ::RegQueryValueExW(product.get(), L"Build", nullptr, nullptr, reinterpret_cast<BYTE*>(build), &bytes);
    }
}

std::wstring Template(int tokens)
{
    static const wchar_t* const kTokens[] = {L"%domain%/", L"%lang%/", L"%appcode%/", L"%version2%/"};
    std::wstring text = L"https://";
    for (int i = 0; i < tokens; ++i)
        text += kTokens[i % 4];
    return text;
}

} // namespace

int main()
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::InstallCapturingLogger(true);
    const std::wstring hostParams = std::wstring(kHostSubstituteKey) + L"\\QueryParams";
    SampleKey host(kHostSubstituteKey, {{L"domain", L"update.varkon.example"}, {L"lang", L"en-us"}});
    SampleKey params(hostParams.c_str(), {{L"lang", L"en-us"}, {L"affid", L"100234"}});
    SampleKey product(kProductSubstituteKey, {{L"appcode", L"zel"}, {L"version2", L"17.0"}});
    SampleKey build(kProductKey, {{L"Build", L"17.0.3038.0"}});

    ZelTest::ScriptedChecker checker;
    checker.versionText = L"ZelLumoAp=17.0.3038.0\n";
    DWORD cookie = 0;
    ::CoRegisterClassObject(CLSID_ComponentVersionProvider, static_cast<IVkClassFactory*>(&checker),
                            CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    Plinth::ComPtr<IVkApplicationInfo> object;
    if (FAILED(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, object.put_void()))) {
        std::printf("the object cannot be created\n");
        return 1;
    }
    Plinth::UniqueCoTaskMem<wchar_t> url;
    Plinth::UniqueCoTaskMem<wchar_t> version;
    long result = 0;
    object->GetUpdateInformation(nullptr, url.put(), version.put(), &result);
    std::printf("address: %ls\n", url ? url.get() : L"(none)");

    constexpr int kCalls = 300;
    const double query = BestMicrosecondsPerCall(kCalls, [&] {
        object->GetUpdateInformation(nullptr, url.put(), version.put(), &result);
        ZelTest::LogCapture::Instance().Clear();
    });
    const double baseline = BestMicrosecondsPerCall(kCalls, RegistryBaseline);
    std::printf("GetUpdateInformation %.1f us, registry calls alone %.1f us: ratio %.2f\n", query, baseline,
                query / baseline);
    ReportRatio("GetUpdateInformation", query / baseline, "its registry calls alone", Goal::AtMost, 1.3);
    ::CoRevokeClassObject(cookie);

    SetText(HKEY_CURRENT_USER, kBenchKey, L"domain", L"update.varkon.example");
    SetText(HKEY_CURRENT_USER, kBenchKey, L"lang", L"en-us");
    SetText(HKEY_CURRENT_USER, kBenchKey, L"appcode", L"zel");
    SetText(HKEY_CURRENT_USER, kBenchKey, L"version2", L"17.0");
    std::vector<wchar_t> out(1 << 20);
    double previous = 0;
    for (const int tokens : {10, 100, 1000, 10000}) {
        const std::wstring input = Template(tokens);
        const double us = BestMicrosecondsPerCall(tokens >= 1000 ? 20 : 200, [&] {
            DWORD length = static_cast<DWORD>(out.size());
            ExpandSubstitutionString(kBenchPath, input.c_str(), false, false, out.data(), &length);
        });
        if (tokens == 10000)
            ReportRatio("expanding 10,000 tokens", us / previous, "1,000 tokens", Goal::AtMost, 12);
        if (previous > 0)
            std::printf("%5d tokens: %9.1f us, %.2f times the tenfold smaller template\n", tokens, us, us / previous);
        else
            std::printf("%5d tokens: %9.1f us\n", tokens, us);
        previous = us;
    }
    // Four values that nest would make about 500 million units of "%a%";
    // the expansion stops at its bound, so it costs about what the address does.
    const std::wstring nestedKey = std::wstring(kBenchKey) + L"\\Nested";
    const std::wstring nestedPath = std::wstring(kBenchPath) + L"\\Nested";
    ZelTest::SetRepeatedString(HKEY_CURRENT_USER, nestedKey, L"a", L"%b%", 346);
    ZelTest::SetRepeatedString(HKEY_CURRENT_USER, nestedKey, L"b", L"%c%", 346);
    ZelTest::SetRepeatedString(HKEY_CURRENT_USER, nestedKey, L"c", L"%d%", 4);
    ZelTest::SetRepeatedString(HKEY_CURRENT_USER, nestedKey, L"d", L"x", 1039);
    const std::wstring address = Template(4);
    auto expand = [&](const std::wstring& path, const std::wstring& input) {
        return BestMicrosecondsPerCall(200, [&] {
            wchar_t url[MAX_PATH];
            DWORD length = MAX_PATH;
            ExpandSubstitutionString(path.c_str(), input.c_str(), false, false, url, &length);
        });
    };
    const double plain = expand(kBenchPath, address);
    const double bounded = expand(nestedPath, L"%a%");
    std::printf("nested values into 260 units %.1f us, the address %.1f us\n", bounded, plain);
    ReportRatio("nested values stopped at the bound", bounded / plain, "expanding the address", Goal::AtMost, 3);

    // The replacement step alone, without the registry reads that hide it
    // for small templates.
    const TokenPair pairs[] = {{L"%domain%", L"update.varkon.example"},
                               {L"%lang%", L"en-us"},
                               {L"%appcode%", L"zel"},
                               {L"%version2%", L"17.0"}};
    previous = 0;
    for (const int tokens : {10, 100, 1000, 10000}) {
        const std::wstring input = Template(tokens);
        const double us = BestMicrosecondsPerCall(200000 / tokens, [&] {
            DWORD length = static_cast<DWORD>(out.size());
            ReplaceAllTokens(input.c_str(), pairs, 4, out.data(), &length);
        });
        std::printf("replacement only, %5d tokens: %8.2f us", tokens, us);
        if (previous > 0)
            std::printf(", %.2f times the tenfold smaller template", us / previous);
        std::printf("\n");
        previous = us;
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kBenchKey);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kBenchKey);
    return 0;
}
