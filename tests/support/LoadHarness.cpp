#include "tests/support/LoadHarness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "etwlogging/DefaultLogBuilder.h"
#include "peers/componentchecker/ComponentChecker.h"
#include "peers/zelconfig/ZelConfigData.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Paths.h"
#include "plinth/WideFormat.h"
#include "substitute/Substitute.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ModuleLogFiles.h"

namespace ZelTest {

namespace {

constexpr wchar_t kAppInfoKey[] = L"SOFTWARE\\Varkon\\ZEL\\AppInfo";
constexpr wchar_t kHostQueryParams[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute\\QueryParams";

std::wstring Hex(unsigned long value)
{
    wchar_t text[16] = {};
    Plinth::FormatWide(text, ARRAYSIZE(text), L"0x%08X", static_cast<unsigned>(value));
    return text;
}

std::wstring ClassKey(REFCLSID clsid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(clsid, text, ARRAYSIZE(text));
    return L"CLSID\\" + std::wstring(text);
}

void EmptyFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ::DeleteFileW((folder + L"\\" + found.cFileName).c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// Registers a peer as its installer would; the environment's snapshot of the
// product's registrations takes it away again.
bool Register(const wchar_t* file, bool localServer)
{
    if (localServer)
        return RunChild(file, L"/RegServer").exitCode == 0;
    const Plinth::UniqueModule module(::LoadLibraryW(BinPath(file).c_str()));
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto entry =
        module ? reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(module.get(), "DllRegisterServer")))
               : nullptr;
    return entry && entry() == S_OK;
}

} // namespace

LoadEnvironment::LoadEnvironment(bool everyLevel, bool configService)
    : m_keys(HKEY_LOCAL_MACHINE, {kProductSubstituteKey, kHostSubstituteKey, ComponentChecker::kComponentsKeyPath}),
      m_logDir(ModuleLogFolder())
{
    for (const wchar_t* key : {kProductSubstituteKey, kHostSubstituteKey, ComponentChecker::kComponentsKeyPath})
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
    // The module picks its logger when it is loaded: the file writer, sealed as the installer seals it.
    m_values.push_back(std::make_unique<ScopedRegistryValue>(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                                             ETWLogging::kLoggingMechanism));
    Plinth::CObfuscatedRegKey logging;
    if (logging.Create(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath) != ERROR_SUCCESS ||
        logging.SetDWORDValue(ETWLogging::kLoggingMechanism, 1) != ERROR_SUCCESS)
        Fail(L"the file log writer cannot be selected");
    if (m_logDir.empty()) {
        Fail(L"the log folder cannot be found");
    } else {
        EmptyFolder(m_logDir);
        if (everyLevel) {
            DWORD code = 0;
            Plinth::CreateDirectoryPath(m_logDir.c_str(), &code);
            Plinth::CObfuscatedIniReader settings(true);
            settings.Load(m_logDir + L"\\log.ini");
            if (!settings.WriteInt(L"Config", L"Severity", 1))
                Fail(L"the log level cannot be set in " + m_logDir);
        }
    }

    // The resource DLL and its satellite in bin\, the multilingual loader below bin\Varkon\Platform.
    SetValue(kProductKey, L"Install Dir", BinDir());
    ::SetEnvironmentVariableW(L"CommonProgramFiles", BinDir().c_str());
    SetValue(kProductKey, L"Build", L"17.0.3038.0");
    SetValue(kProductKey, L"Last Update", L"2024-12-06");
    SetValue(kProductKey, L"Language Pack", L"en-US");
    SetValue(kProductSubstituteKey, L"build", L"3038");
    SetValue(kProductSubstituteKey, L"version2", L"17.0");
    SetValue(kProductSubstituteKey, L"appcode", L"zel");
    SetValue(kHostSubstituteKey, L"domain", L"update.varkon.example");
    SetValue(kHostSubstituteKey, L"lang", L"en-us");
    SetValue(kHostQueryParams, L"lang", L"en-us");
    SetValue(kHostQueryParams, L"lcid", L"1033");
    // The module copies the host's values once per boot; without a copy it makes one from the values above.
    m_hostCopy = std::make_unique<ScopedRegistryTree>(HKEY_LOCAL_MACHINE, kVolatileSubstituteKey);

    m_values.push_back(std::make_unique<ScopedRegistryValue>(HKEY_LOCAL_MACHINE, kAppInfoKey, L"isdudatali"));
    Plinth::CObfuscatedRegKey appInfo;
    if (appInfo.Create(HKEY_LOCAL_MACHINE, kAppInfoKey) != ERROR_SUCCESS ||
        appInfo.SetStringValue(L"isdudatali", L"install=load-0001") != ERROR_SUCCESS)
        Fail(L"the installation text cannot be sealed");

    SetValue(ComponentChecker::kComponentsKeyPath, L"ZelLumoAp", BinPath(L"ZelLumoAp.dll"));
    SetValue(ComponentChecker::kComponentsKeyPath, L"VkComponentChecker", BinPath(ComponentChecker::kDllName));

    m_users = std::make_unique<ScopedRegistryTree>(HKEY_LOCAL_MACHINE, ZelConfig::kUsersKeyPath);
    const struct
    {
        const wchar_t* name;
        DWORD ageGroup;
        DWORD isProtected;
    } household[] = {{L"parent", 6, 0}, {L"child", 3, 1}, {L"teen", 4, 0}};
    for (const auto& user : household) {
        const std::wstring path = std::wstring(ZelConfig::kUsersKeyPath) + L"\\" + user.name;
        Plinth::UniqueHKey key;
        const bool written =
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                              nullptr) == ERROR_SUCCESS &&
            ::RegSetValueExW(key.get(), ZelConfig::kAgeGroupValue, 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&user.ageGroup), sizeof(DWORD)) == ERROR_SUCCESS &&
            ::RegSetValueExW(key.get(), ZelConfig::kProtectedValue, 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&user.isProtected), sizeof(DWORD)) == ERROR_SUCCESS;
        if (!written)
            Fail(L"the household cannot be written");
    }
    SetValue(ZelConfig::kServiceKeyPath, ZelConfig::kAdminPasswordValue, L"load-admin");

    const struct
    {
        const wchar_t* file;
        bool localServer;
    } peers[] = {{ComponentChecker::kDllName, false}, {ZelConfig::kServerImage, true}, {L"ZelUserMode.dll", false}};
    // Without the service, one registered earlier stays out of reach too.
    if (!configService)
        ::RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey(CLSID_ZelConfig).c_str());
    for (const auto& peer : peers) {
        if ((!peer.localServer || configService) && !Register(peer.file, peer.localServer))
            Fail(std::wstring(peer.file) + L" cannot be registered");
    }
}

LoadEnvironment::~LoadEnvironment()
{
    if (m_logDir.empty())
        return;
    EmptyFolder(m_logDir);
    ::RemoveDirectoryW(m_logDir.c_str());
}

void LoadEnvironment::SetValue(const wchar_t* path, const wchar_t* name, const std::wstring& value)
{
    m_values.push_back(std::make_unique<ScopedRegistryValue>(HKEY_LOCAL_MACHINE, path, name));
    if (!m_values.back()->SetString(value))
        Fail(std::wstring(L"cannot set ") + path + L"\\" + name);
}

void LoadEnvironment::Fail(const std::wstring& what)
{
    m_problem += (m_problem.empty() ? L"" : L"; ") + what;
}

HRESULT LoadInterfaces::From(IVkApplicationInfo* object)
{
    if (!object)
        return E_POINTER;
    object->AddRef();
    info = Plinth::ComPtr<IVkApplicationInfo>::Attach(object);
    HRESULT hr = info.As(IID_IVkRecentEventAction, recentEvent);
    if (SUCCEEDED(hr))
        hr = info.As(IID_IVkLogAction, log);
    if (SUCCEEDED(hr))
        hr = info.As(IID_IVkVersion, version);
    if (SUCCEEDED(hr))
        hr = info.As(IID_IVkApplicationInfo5, info5);
    if (SUCCEEDED(hr))
        hr = info.As(IID_IVkApplicationInfo6, info6);
    return hr;
}

HRESULT LoadInterfaces::Create(IVkClassFactory* factory)
{
    Plinth::ComPtr<IVkApplicationInfo> object;
    const HRESULT hr = factory->CreateInstance(IID_IVkApplicationInfo, object.put_void());
    return FAILED(hr) ? hr : From(object.get());
}

namespace {

constexpr long kUnwritten = 0x5A5A5A5A;
constexpr DWORD kUnwrittenStatus = 0xDEADBEEF;
wchar_t* const kUnwrittenText = reinterpret_cast<wchar_t*>(static_cast<uintptr_t>(0xDEADBEEF));
constexpr wchar_t kRequest[] = L"load";
// More records than the object has; a larger count is not read.
constexpr DWORD kMaxRecords = 64;

// Frees a string the object handed out, as the host does, and describes it.
std::wstring Received(LPWSTR text)
{
    if (text == kUnwrittenText)
        return L"unwritten";
    const Plinth::UniqueCoTaskMem<wchar_t> owned(text);
    return text ? L"\"" + std::wstring(text) + L"\"" : L"null";
}

MethodAnswer Described(HRESULT hr, long result, const std::wstring& values = std::wstring())
{
    return {hr, L"result " + (result == kUnwritten ? std::wstring(L"unwritten") : Hex(result)) + values};
}

MethodAnswer ProductInfo(const LoadInterfaces& o)
{
    DWORD count = kUnwrittenStatus;
    VKPRODUCT_INFO* records = nullptr;
    long result = kUnwritten;
    const HRESULT hr = o.info->GetProductInfo(&count, &records, &result);
    const Plinth::UniqueCoTaskMem<VKPRODUCT_INFO> owned(records);
    std::wstring values = L", count " + Hex(count) + L", records";
    for (DWORD i = 0; records && count <= kMaxRecords && i < count; ++i)
        values += L" " + Received(records[i].pwszName) + L"=" + Received(records[i].pwszValue);
    return Described(hr, result, records ? values : values + L" null");
}

// A call that hands back one string and a result.
template <typename Call>
MethodAnswer OneText(const Call& call)
{
    LPWSTR text = kUnwrittenText;
    long result = kUnwritten;
    const HRESULT hr = call(&text, &result);
    return Described(hr, result, L", " + Received(text));
}

template <typename Call>
MethodAnswer TwoTexts(const Call& call)
{
    LPWSTR first = kUnwrittenText;
    LPWSTR second = kUnwrittenText;
    long result = kUnwritten;
    const HRESULT hr = call(&first, &second, &result);
    const std::wstring values = L", " + Received(first) + L", " + Received(second);
    return Described(hr, result, values);
}

template <typename Call>
MethodAnswer Status(const Call& call)
{
    DWORD status = kUnwrittenStatus;
    long result = kUnwritten;
    const HRESULT hr = call(&status, &result);
    return Described(hr, result, L", status " + Hex(status));
}

} // namespace

const Method kEveryMethod[] = {
    {"GetAppID",
     [](const LoadInterfaces& o) { return OneText([&](LPWSTR* t, long* r) { return o.info->GetAppID(t, r); }); }},
    {"GetAppName",
     [](const LoadInterfaces& o) { return OneText([&](LPWSTR* t, long* r) { return o.info->GetAppName(t, r); }); }},
    {"GetAppIcon",
     [](const LoadInterfaces& o) { return OneText([&](LPWSTR* t, long* r) { return o.info->GetAppIcon(t, r); }); }},
    {"GetUninstallProgram",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.info->GetUninstallProgram(t, r); });
     }},
    {"GetUserHelperCLSID",
     [](const LoadInterfaces& o) {
         CLSID clsid = GUID_NULL;
         long result = kUnwritten;
         const HRESULT hr = o.info->GetUserHelperCLSID(&clsid, &result);
         wchar_t text[40] = {};
         ::StringFromGUID2(clsid, text, ARRAYSIZE(text));
         return Described(hr, result, L", " + std::wstring(text));
     }},
    {"CheckComponents",
     [](const LoadInterfaces& o) {
         long result = kUnwritten;
         const HRESULT hr = o.info->CheckComponents(&result);
         return Described(hr, result);
     }},
    {"GetUpdateInformation",
     [](const LoadInterfaces& o) {
         return TwoTexts([&](LPWSTR* u, LPWSTR* v, long* r) { return o.info->GetUpdateInformation(nullptr, u, v, r); });
     }},
    {"GetProductInfo", ProductInfo},
    {"GetUsageReport",
     [](const LoadInterfaces& o) {
         return TwoTexts([&](LPWSTR* a, LPWSTR* b, long* r) { return o.info->GetUsageReport(a, b, r); });
     }},
    {"UnsupportedRequest",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.info->UnsupportedRequest(kRequest, t, r); });
     }},
    {"DoRecentEventAction",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.recentEvent->DoRecentEventAction(1, kRequest, t, r); });
     }},
    {"DoLogAction",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.log->DoLogAction(1, kRequest, t, r); });
     }},
    {"GetVersionText",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.version->GetVersionText(t, r); });
     }},
    {"GetComponentStatus",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.version->GetComponentStatus(t, r); });
     }},
    {"GetAppStatus",
     [](const LoadInterfaces& o) { return Status([&](DWORD* s, long* r) { return o.info5->GetAppStatus(s, r); }); }},
    {"GetAppStatusText",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.info5->GetAppStatusText(t, r); });
     }},
    {"GetAppStatus/IVkApplicationInfo6",
     [](const LoadInterfaces& o) { return Status([&](DWORD* s, long* r) { return o.info6->GetAppStatus(s, r); }); }},
    {"GetAppStatusText/IVkApplicationInfo6",
     [](const LoadInterfaces& o) {
         return OneText([&](LPWSTR* t, long* r) { return o.info6->GetAppStatusText(t, r); });
     }},
    {"NotifySubscriptionStatusChanged",
     [](const LoadInterfaces& o) {
         long result = kUnwritten;
         const HRESULT hr = o.info6->NotifySubscriptionStatusChanged(1, &result);
         return Described(hr, result);
     }},
};
const size_t kEveryMethodCount = std::size(kEveryMethod);

namespace {

size_t MethodIndex(const char* name)
{
    size_t index = 0;
    while (index < kEveryMethodCount && std::strcmp(kEveryMethod[index].name, name) != 0)
        ++index;
    return index;
}

const size_t kUsageReportMethod = MethodIndex("GetUsageReport");

} // namespace

std::wstring Shown(const MethodAnswer& answer)
{
    return L"hr " + Hex(static_cast<unsigned long>(answer.first)) + L", " + answer.second;
}

namespace {

// The warm-up gives every thread each method twice.
constexpr unsigned long kWarmUpCalls = 2 * std::size(kEveryMethod);

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + std::strlen(text));
}

// Wine answers GetProcessHandleCount with nothing; there the handle table is
// counted by asking after every handle value a process can hold.
DWORD HandleCount()
{
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count)
        return count;
    constexpr ULONG_PTR kLastProbed = 0x40000;
    for (ULONG_PTR value = 4; value <= kLastProbed; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

} // namespace

std::wstring ShortForm(const std::wstring& path)
{
    std::wstring result = path.substr(0, 2);
    for (size_t at = 3; at <= path.size() && path.size() > 3;) {
        const size_t end = std::min(path.find(L'\\', at), path.size());
        const std::wstring component = path.substr(at, end - at);
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW((result + L"\\" + component).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return path;
        ::FindClose(search);
        result += L"\\" + std::wstring(found.cAlternateFileName[0] ? found.cAlternateFileName : component.c_str());
        at = end + 1;
    }
    return result;
}

std::string Ascii(const std::wstring& text)
{
    std::string ascii;
    for (wchar_t c : text)
        ascii += c < 0x80 ? static_cast<char>(c) : '?';
    return ascii;
}

std::string Summary(const char* mode, const LoadFigures& f)
{
    char line[512] = {};
    std::snprintf(line, sizeof(line),
                  "%s: %lu calls in %.3f s (%.1f us per call), %lu differing, %lu task-memory blocks left, "
                  "%lu stray frees, handles %lu before and %lu after: %s",
                  mode, f.calls, f.seconds, f.calls ? 1e6 * f.seconds / f.calls : 0.0, f.mismatches,
                  static_cast<unsigned long>(f.blocksLeft), f.strayFrees, static_cast<unsigned long>(f.handlesBefore),
                  static_cast<unsigned long>(f.handlesAfter), f.Passed() ? "pass" : "FAIL");
    std::string summary = line;
    if (!f.firstMismatch.empty())
        summary += "; first difference: " + Ascii(f.firstMismatch);
    return summary;
}

std::string FirstUseSummary(const LoadFigures& f)
{
    char line[160] = {};
    std::snprintf(line, sizeof(line), "objects made at once: %lu in %.3f s, %lu without the service's answer: %s",
                  f.calls, f.seconds, f.mismatches, f.mismatches == 0 ? "pass" : "FAIL");
    std::string summary = line;
    if (!f.firstMismatch.empty())
        summary += "; first difference: " + Ascii(f.firstMismatch);
    return summary;
}

struct LoadRig::Worker
{
    const LoadRig* rig = nullptr;
    ObjectSharing sharing = ObjectSharing::Shared;
    unsigned index = 0;
    unsigned long calls = 0;
    HANDLE start = nullptr;
    unsigned long mismatches = 0;
    std::wstring first;
};

LoadRig::LoadRig()
{
    m_spy = ZelTools::CTaskMemorySpy::Create();
    const HRESULT spied = m_spy ? ::CoRegisterMallocSpy(m_spy.get()) : E_OUTOFMEMORY;
    if (FAILED(spied)) {
        m_problem = L"cannot watch the task allocator: " + Hex(static_cast<unsigned long>(spied));
        return;
    }
    m_spyRegistered = true;

    m_module.reset(::LoadLibraryW(BinPath(L"ZelLumoAp.dll").c_str()));
    if (!m_module) {
        m_problem = L"ZelLumoAp.dll cannot be loaded: error " + Hex(::GetLastError());
        return;
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(::GetProcAddress(m_module.get(), "DllGetClassObject")));
    m_canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(::GetProcAddress(m_module.get(), "DllCanUnloadNow")));
    if (!getClassObject || !m_canUnloadNow) {
        m_problem = L"ZelLumoAp.dll lacks its entry points";
        return;
    }
    HRESULT hr = getClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory, m_factory.put_void());
    if (SUCCEEDED(hr)) {
        m_shared = std::make_unique<LoadInterfaces>();
        hr = m_shared->Create(m_factory.get());
    }
    if (FAILED(hr)) {
        m_problem = L"the object cannot be made: " + Hex(static_cast<unsigned long>(hr));
        return;
    }

    // Two single-threaded rounds: the answers must already agree with each other.
    for (const Method& method : kEveryMethod)
        m_expected.push_back(method.call(*m_shared));
    for (size_t i = 0; i < kEveryMethodCount; ++i) {
        const MethodAnswer again = kEveryMethod[i].call(*m_shared);
        if (again != m_expected[i])
            m_problem += Widen(kEveryMethod[i].name) + L" answered " + Shown(again) + L" after " +
                         Shown(m_expected[i]) + L" on one thread; ";
    }
}

LoadRig::~LoadRig()
{
    m_shared.reset();
    m_factory.reset();
    // COM keeps the spy until the blocks it saw are freed.
    if (m_spyRegistered)
        ::CoRevokeMallocSpy();
}

DWORD WINAPI LoadRig::WorkerThread(void* context)
{
    Worker& worker = *static_cast<Worker*>(context);
    worker.rig->Work(worker);
    return 0;
}

void LoadRig::Work(Worker& worker) const
{
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ::WaitForSingleObject(worker.start, INFINITE);
    const std::wstring thread = L"thread " + std::to_wstring(worker.index + 1);
    LoadInterfaces own;
    const LoadInterfaces* object = m_shared.get();
    if (worker.sharing != ObjectSharing::Shared) {
        const HRESULT hr = own.Create(m_factory.get());
        if (FAILED(hr)) {
            worker.mismatches = worker.calls;
            worker.first = thread + L": the object cannot be made: " + Hex(static_cast<unsigned long>(hr));
            return;
        }
        object = &own;
    }
    for (unsigned long call = 0; call < worker.calls; ++call) {
        const size_t method = worker.sharing == ObjectSharing::FirstUsageReport
                                  ? kUsageReportMethod
                                  : (worker.index + call) % kEveryMethodCount;
        const MethodAnswer answer = kEveryMethod[method].call(*object);
        if (answer == m_expected[method])
            continue;
        if (!worker.mismatches++)
            worker.first = thread + L", call " + std::to_wstring(call + 1) + L": " + Widen(kEveryMethod[method].name) +
                           L" answered " + Shown(answer) + L" instead of " + Shown(m_expected[method]);
    }
}

double LoadRig::RunThreads(ObjectSharing sharing, unsigned threads, unsigned long callsPerThread, LoadFigures& figures)
{
    const Plinth::UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<Worker> workers(threads);
    std::vector<Plinth::UniqueHandle> owners;
    std::vector<HANDLE> handles;
    for (unsigned i = 0; i < threads; ++i) {
        workers[i] = Worker{this, sharing, i, callsPerThread, start.get(), 0, std::wstring()};
        owners.emplace_back(::CreateThread(nullptr, 0, WorkerThread, &workers[i], 0, nullptr));
        if (!owners.back()) {
            workers[i].mismatches = callsPerThread;
            workers[i].first = L"thread " + std::to_wstring(i + 1) + L" cannot be started";
            continue;
        }
        handles.push_back(owners.back().get());
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER begin;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begin);
    ::SetEvent(start.get());
    if (!handles.empty())
        ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    ::QueryPerformanceCounter(&end);
    for (const Worker& worker : workers) {
        figures.calls += worker.calls;
        figures.mismatches += worker.mismatches;
        if (figures.firstMismatch.empty())
            figures.firstMismatch = worker.first;
    }
    return static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LoadFigures LoadRig::Run(ObjectSharing sharing, unsigned threads, unsigned long callsPerThread)
{
    LoadFigures figures;
    if (!m_problem.empty()) {
        figures.mismatches = 1;
        figures.firstMismatch = m_problem;
        return figures;
    }
    // COM's proxies, the service's connections and the logger's files exist after
    // the warm-up; what the measured calls leave behind is theirs alone.
    LoadFigures warmUp;
    RunThreads(sharing, threads, kWarmUpCalls, warmUp);
    figures.mismatches = warmUp.mismatches;
    figures.firstMismatch = warmUp.firstMismatch;

    figures.handlesBefore = HandleCount();
    const unsigned long long mark = m_spy->Mark();
    const unsigned long strays = m_spy->StrayFrees();
    figures.seconds = RunThreads(sharing, threads, callsPerThread, figures);
    figures.handlesAfter = HandleCount();
    figures.blocksLeft = m_spy->LiveSince(mark);
    figures.strayFrees = m_spy->StrayFrees() - strays;
    return figures;
}

LoadFigures LoadRig::RunFirstUse(unsigned threads, unsigned rounds, double roundLimitSeconds)
{
    LoadFigures figures;
    if (!m_problem.empty()) {
        figures.mismatches = 1;
        figures.firstMismatch = m_problem;
        return figures;
    }
    for (unsigned round = 0; round < rounds; ++round) {
        LoadFigures made;
        const double seconds = RunThreads(ObjectSharing::FirstUsageReport, threads, 1, made);
        figures.seconds += seconds;
        figures.mismatches += made.mismatches;
        if (figures.firstMismatch.empty())
            figures.firstMismatch = made.firstMismatch;
        // The objects of a stalled round do not count as made.
        if (seconds >= roundLimitSeconds)
            break;
        figures.calls += made.calls;
    }
    return figures;
}

HRESULT LoadRig::ReleaseAndAskUnload()
{
    m_shared.reset();
    m_factory.reset();
    return m_canUnloadNow ? m_canUnloadNow() : E_FAIL;
}

} // namespace ZelTest
