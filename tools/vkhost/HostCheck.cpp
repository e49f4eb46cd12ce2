#include "tools/vkhost/HostCheck.h"

#include <windows.h>
#include <objbase.h>

#include <array>
#include <iterator>
#include <new>

#include "plinth/Owners.h"
#include "plinth/RegKey.h"
#include "plinth/WideFormat.h"
#include "tools/TaskMemorySpy.h"
#include "zelcom/ZelLumoAp.h"

namespace VkTools {

namespace {

using Plinth::ComPtr;
using ZelTools::CTaskMemorySpy;

// Every out-argument holds one of these before a call, so a write shows.
constexpr long kResultSentinel = 0x5A5A5A5A;
constexpr DWORD kCountSentinel = 0xDEADBEEF;
constexpr CLSID kClsidSentinel = {0x5A5A5A5A, 0x5A5A, 0x5A5A, {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}};
// Readable, so a provider that looks at an [in, out] argument finds text; and
// never a block of the task allocator.
wchar_t g_textSentinel[] = L"vkhost sentinel";
VKPRODUCT_INFO g_recordsSentinel = {g_textSentinel, g_textSentinel};

constexpr wchar_t kProbeId[] = L"vkhost";
constexpr wchar_t kDefaultModule[] = L"ZelLumoAp.dll";
// An identifier no interface has.
constexpr IID kMadeUpIid = {0x7D1C56A0, 0x3B8E, 0x4F21, {0x9A, 0x5C, 0x11, 0xE0, 0x42, 0x6B, 0xD3, 0x87}};
constexpr size_t kThreads = 8;
constexpr int kThreadRounds = 3;
// More records than any host would read: such a count is not believed.
constexpr DWORD kMaxRecords = 4096;

std::wstring Hex(HRESULT value)
{
    wchar_t text[16] = {};
    Plinth::FormatWide(text, ARRAYSIZE(text), L"0x%08X", static_cast<unsigned>(value));
    return text;
}

std::wstring Number(unsigned long value)
{
    wchar_t text[16] = {};
    Plinth::FormatWide(text, ARRAYSIZE(text), L"%u", static_cast<unsigned>(value));
    return text;
}

std::wstring Widen(const char* text)
{
    std::wstring wide;
    while (*text)
        wide += static_cast<wchar_t>(*text++);
    return wide;
}

std::wstring Join(const std::vector<std::wstring>& parts)
{
    std::wstring joined;
    for (const std::wstring& part : parts)
        joined += (joined.empty() ? L"" : L"; ") + part;
    return joined;
}

CheckRow Row(std::string name, const std::vector<std::wstring>& problems)
{
    return CheckRow{std::move(name), problems.empty(), Join(problems)};
}

// Takes the interface only when QueryInterface succeeded: what a failed call
// leaves in its out-pointer belongs to no one.
template <typename T>
HRESULT Query(IUnknown* object, REFIID iid, ComPtr<T>& out)
{
    T* raw = nullptr;
    const HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&raw));
    out = hr == S_OK ? ComPtr<T>::Attach(raw) : ComPtr<T>();
    return hr;
}

enum class Iface
{
    Info,
    RecentEvent,
    Log,
    Version,
    Info5,
    Info6
};

struct Interfaces
{
    ComPtr<IVkApplicationInfo> info;
    ComPtr<IVkRecentEventAction> recentEvent;
    ComPtr<IVkLogAction> log;
    ComPtr<IVkVersion> version;
    ComPtr<IVkApplicationInfo5> info5;
    ComPtr<IVkApplicationInfo6> info6;

    bool Has(Iface iface) const
    {
        switch (iface) {
        case Iface::Info:
            return static_cast<bool>(info);
        case Iface::RecentEvent:
            return static_cast<bool>(recentEvent);
        case Iface::Log:
            return static_cast<bool>(log);
        case Iface::Version:
            return static_cast<bool>(version);
        case Iface::Info5:
            return static_cast<bool>(info5);
        case Iface::Info6:
            return static_cast<bool>(info6);
        }
        return false;
    }
};

const char* IfaceName(Iface iface)
{
    switch (iface) {
    case Iface::Info:
        return "IVkApplicationInfo";
    case Iface::RecentEvent:
        return "IVkRecentEventAction";
    case Iface::Log:
        return "IVkLogAction";
    case Iface::Version:
        return "IVkVersion";
    case Iface::Info5:
        return "IVkApplicationInfo5";
    case Iface::Info6:
        return "IVkApplicationInfo6";
    }
    return "";
}

enum class Kind
{
    Unused,
    In,
    Text,
    Result,
    Count,
    Clsid,
    Records
};

// The arguments of one call. Each pointer argument, numbered from 0 in the
// order of the parameter list, points at a slot holding a sentinel; the
// argument at nullPosition is null instead.
class Args
{
public:
    static constexpr int kPositions = 4;

    explicit Args(int nullPosition = -1) : m_null(nullPosition)
    {
        m_kinds.fill(Kind::Unused);
        m_texts.fill(g_textSentinel);
    }

    LPCWSTR In(int position) { return Use(position, Kind::In) ? kProbeId : nullptr; }
    LPWSTR* Text(int position) { return Use(position, Kind::Text) ? &m_texts[position] : nullptr; }
    long* Result(int position) { return Use(position, Kind::Result) ? &m_result : nullptr; }
    DWORD* Count(int position) { return Use(position, Kind::Count) ? &m_count : nullptr; }
    CLSID* Clsid(int position) { return Use(position, Kind::Clsid) ? &m_clsid : nullptr; }
    VKPRODUCT_INFO** Records(int position) { return Use(position, Kind::Records) ? &m_records : nullptr; }

    bool IsNull(int position) const { return position == m_null; }
    Kind KindAt(int position) const { return m_kinds[position]; }

    bool Written(int position) const
    {
        switch (m_kinds[position]) {
        case Kind::Text:
            return m_texts[position] != g_textSentinel;
        case Kind::Result:
            return m_result != kResultSentinel;
        case Kind::Count:
            return m_count != kCountSentinel;
        case Kind::Clsid:
            return !::IsEqualGUID(m_clsid, kClsidSentinel);
        case Kind::Records:
            return m_records != &g_recordsSentinel;
        case Kind::Unused:
        case Kind::In:
            break;
        }
        return false;
    }

    LPWSTR TextAt(int position) const { return m_texts[position]; }
    bool ResultWritten() const { return m_result != kResultSentinel; }
    long ResultValue() const { return m_result; }
    bool CountWritten() const { return m_count != kCountSentinel; }
    DWORD CountValue() const { return m_count; }
    const CLSID& ClsidValue() const { return m_clsid; }
    VKPRODUCT_INFO* RecordsValue() const { return m_records; }

private:
    bool Use(int position, Kind kind)
    {
        if (position < 0 || position >= kPositions)
            return false;
        m_kinds[position] = kind;
        return position != m_null;
    }

    int m_null;
    std::array<Kind, kPositions> m_kinds{};
    std::array<LPWSTR, kPositions> m_texts{};
    long m_result = kResultSentinel;
    DWORD m_count = kCountSentinel;
    CLSID m_clsid = kClsidSentinel;
    VKPRODUCT_INFO* m_records = &g_recordsSentinel;
};

HRESULT GetAppStatus(IVkApplicationInfo5* table, Args& a)
{
    return table->GetAppStatus(a.Count(0), a.Result(1));
}

HRESULT GetAppStatusText(IVkApplicationInfo5* table, Args& a)
{
    return table->GetAppStatusText(a.Text(0), a.Result(1));
}

struct Method
{
    const char* name;
    Iface iface;
    // Pointer arguments the method must test; each null one gives E_INVALIDARG.
    int pointers;
    // Whether the argument and result-code rules apply: the two status
    // methods answer S_OK and touch nothing.
    bool contract;
    HRESULT (*call)(const Interfaces& o, Args& a);
};

const Method kMethods[] = {
    {"GetAppID", Iface::Info, 2, true,
     [](const Interfaces& o, Args& a) { return o.info->GetAppID(a.Text(0), a.Result(1)); }},
    {"GetAppName", Iface::Info, 2, true,
     [](const Interfaces& o, Args& a) { return o.info->GetAppName(a.Text(0), a.Result(1)); }},
    {"GetAppIcon", Iface::Info, 2, true,
     [](const Interfaces& o, Args& a) { return o.info->GetAppIcon(a.Text(0), a.Result(1)); }},
    {"GetUninstallProgram", Iface::Info, 2, true,
     [](const Interfaces& o, Args& a) { return o.info->GetUninstallProgram(a.Text(0), a.Result(1)); }},
    {"GetUserHelperCLSID", Iface::Info, 2, true,
     [](const Interfaces& o, Args& a) { return o.info->GetUserHelperCLSID(a.Clsid(0), a.Result(1)); }},
    {"CheckComponents", Iface::Info, 1, true,
     [](const Interfaces& o, Args& a) { return o.info->CheckComponents(a.Result(0)); }},
    // The first argument is the host's to pass and is never tested.
    {"GetUpdateInformation", Iface::Info, 3, true,
     [](const Interfaces& o, Args& a) {
         return o.info->GetUpdateInformation(nullptr, a.Text(0), a.Text(1), a.Result(2));
     }},
    {"GetProductInfo", Iface::Info, 3, true,
     [](const Interfaces& o, Args& a) { return o.info->GetProductInfo(a.Count(0), a.Records(1), a.Result(2)); }},
    {"GetUsageReport", Iface::Info, 3, true,
     [](const Interfaces& o, Args& a) { return o.info->GetUsageReport(a.Text(0), a.Text(1), a.Result(2)); }},
    {"UnsupportedRequest", Iface::Info, 3, true,
     [](const Interfaces& o, Args& a) { return o.info->UnsupportedRequest(a.In(0), a.Text(1), a.Result(2)); }},
    {"DoRecentEventAction", Iface::RecentEvent, 3, true,
     [](const Interfaces& o, Args& a) {
         return o.recentEvent->DoRecentEventAction(0, a.In(0), a.Text(1), a.Result(2));
     }},
    {"DoLogAction", Iface::Log, 3, true,
     [](const Interfaces& o, Args& a) { return o.log->DoLogAction(0, a.In(0), a.Text(1), a.Result(2)); }},
    {"GetVersionText", Iface::Version, 2, true,
     [](const Interfaces& o, Args& a) { return o.version->GetVersionText(a.Text(0), a.Result(1)); }},
    {"GetComponentStatus", Iface::Version, 2, true,
     [](const Interfaces& o, Args& a) { return o.version->GetComponentStatus(a.Text(0), a.Result(1)); }},
    {"GetAppStatus", Iface::Info5, 2, false,
     [](const Interfaces& o, Args& a) { return GetAppStatus(o.info5.get(), a); }},
    {"GetAppStatusText", Iface::Info5, 2, false,
     [](const Interfaces& o, Args& a) { return GetAppStatusText(o.info5.get(), a); }},
    {"NotifySubscriptionStatusChanged", Iface::Info6, 1, true,
     [](const Interfaces& o, Args& a) { return o.info6->NotifySubscriptionStatusChanged(0, a.Result(0)); }},
};
constexpr size_t kMethodCount = std::size(kMethods);

std::wstring ArgumentName(int position)
{
    return L"argument " + Number(static_cast<unsigned long>(position) + 1);
}

// The task allocator as the host sees it: without a spy every block is
// believed to be the allocator's.
class TaskMemory
{
public:
    explicit TaskMemory(const CTaskMemorySpy* spy) : m_spy(spy) { ::CoGetMalloc(MEMCTX_TASK, m_malloc.put()); }

    bool Owns(const void* block) const { return !m_spy || m_spy->IsLive(block); }

    // Whether the array holds count records and may be read.
    bool HoldsRecords(const VKPRODUCT_INFO* records, DWORD count) const
    {
        if (!records || count > kMaxRecords || !Owns(records))
            return false;
        if (!m_spy || !m_malloc)
            return true;
        return m_malloc->GetSize(const_cast<VKPRODUCT_INFO*>(records)) >= count * sizeof(VKPRODUCT_INFO);
    }

    // Frees a block the call handed out, as the host does; one the allocator
    // never made is reported and left alone.
    void Free(void* block, const std::wstring& what, std::vector<std::wstring>* problems) const
    {
        if (!block)
            return;
        if (!Owns(block)) {
            if (problems)
                problems->push_back(what + L" is not CoTaskMemAlloc memory");
            return;
        }
        ::CoTaskMemFree(block);
    }

private:
    const CTaskMemorySpy* m_spy;
    ComPtr<IMalloc> m_malloc;
};

bool RecordsReadable(const Args& a, int position, const TaskMemory& memory)
{
    return a.Written(position) && a.CountWritten() && memory.HoldsRecords(a.RecordsValue(), a.CountValue());
}

// Frees every block the call handed out.
void FreeReceived(const Args& a, const TaskMemory& memory, std::vector<std::wstring>* problems)
{
    for (int position = 0; position < Args::kPositions; ++position) {
        if (a.IsNull(position) || !a.Written(position))
            continue;
        if (a.KindAt(position) == Kind::Text)
            memory.Free(a.TextAt(position), ArgumentName(position), problems);
        if (a.KindAt(position) != Kind::Records || !a.RecordsValue())
            continue;
        VKPRODUCT_INFO* records = a.RecordsValue();
        if (RecordsReadable(a, position, memory)) {
            for (DWORD i = 0; i < a.CountValue(); ++i) {
                memory.Free(records[i].pwszName, L"the name of record " + Number(i), problems);
                memory.Free(records[i].pwszValue, L"the value of record " + Number(i), problems);
            }
        } else if (problems && memory.Owns(records)) {
            problems->push_back(L"the record array is smaller than the count given");
        }
        memory.Free(records, L"the record array", problems);
    }
}

// What one call answered: its HRESULT and every out-argument as text.
struct Answer
{
    HRESULT hr = S_OK;
    std::vector<std::wstring> values;

    bool operator==(const Answer& other) const { return hr == other.hr && values == other.values; }
    bool operator!=(const Answer& other) const { return !(*this == other); }
};

std::wstring Quoted(const wchar_t* text)
{
    return text ? L"\"" + std::wstring(text) + L"\"" : L"null";
}

Answer Describe(HRESULT hr, const Args& a, const TaskMemory& memory)
{
    Answer answer;
    answer.hr = hr;
    for (int position = 0; position < Args::kPositions; ++position) {
        const Kind kind = a.KindAt(position);
        if (kind == Kind::Unused || kind == Kind::In || a.IsNull(position))
            continue;
        const std::wstring name = ArgumentName(position) + L" = ";
        if (!a.Written(position)) {
            answer.values.push_back(ArgumentName(position) + L" unwritten");
            continue;
        }
        switch (kind) {
        case Kind::Text:
            answer.values.push_back(name + Quoted(a.TextAt(position)));
            break;
        case Kind::Result:
            answer.values.push_back(name + Hex(a.ResultValue()));
            break;
        case Kind::Count:
            answer.values.push_back(name + Number(a.CountValue()));
            break;
        case Kind::Clsid: {
            wchar_t text[40] = {};
            ::StringFromGUID2(a.ClsidValue(), text, ARRAYSIZE(text));
            answer.values.push_back(name + text);
            break;
        }
        case Kind::Records: {
            if (!RecordsReadable(a, position, memory)) {
                answer.values.push_back(name + (a.RecordsValue() ? L"unreadable" : L"null"));
                break;
            }
            std::wstring records = L"[";
            for (DWORD i = 0; i < a.CountValue(); ++i) {
                const VKPRODUCT_INFO& record = a.RecordsValue()[i];
                records += (i ? L", " : L"") + Quoted(record.pwszName) + L"=" + Quoted(record.pwszValue);
            }
            answer.values.push_back(name + records + L"]");
            break;
        }
        case Kind::Unused:
        case Kind::In:
            break;
        }
    }
    return answer;
}

std::wstring Shown(const Answer& answer)
{
    std::wstring text = L"hr " + Hex(answer.hr);
    for (const std::wstring& value : answer.values)
        text += L", " + value;
    return text;
}

// The outcomes a host can tell apart: 0 for success, otherwise what
// MakeResultCode makes of an error, 0x08000000 with the error's low 17 bits.
bool IsResultCode(long result)
{
    return result == 0 || (static_cast<DWORD>(result) & ~DWORD{0x1FFFF}) == 0x08000000;
}

void CheckResultCode(HRESULT hr, const Args& a, std::vector<std::wstring>& problems)
{
    const long result = a.ResultValue();
    if (hr == E_INVALIDARG)
        problems.push_back(L"E_INVALIDARG for valid arguments");
    else if (a.ResultWritten() && !IsResultCode(result))
        problems.push_back(L"plResult " + Hex(result) + L" is neither 0 nor a result code 0x0800xxxx/0x0801xxxx");
    else if (hr == S_OK && !a.ResultWritten())
        problems.push_back(L"S_OK without a result in plResult");
    else if (SUCCEEDED(hr) && hr != S_OK && (!a.ResultWritten() || result == 0))
        problems.push_back(L"success code " + Hex(hr) + L" other than S_OK for a successful outcome");
    else if (FAILED(hr) && a.ResultWritten() && result == 0)
        problems.push_back(L"failure " + Hex(hr) + L" with the outcome 0");
}

struct MethodOutcome
{
    bool reached = false;
    Answer answer;
    std::vector<std::wstring> nullArgs;
    std::vector<std::wstring> memory;
    std::vector<std::wstring> resultCode;
};

MethodOutcome CheckMethod(const Method& method, const Interfaces& o, const CTaskMemorySpy* spy)
{
    MethodOutcome outcome;
    if (!o.Has(method.iface))
        return outcome;
    outcome.reached = true;
    const TaskMemory memory(spy);
    Args args;
    const HRESULT hr = method.call(o, args);
    outcome.answer = Describe(hr, args, memory);
    FreeReceived(args, memory, &outcome.memory);
    if (method.contract)
        CheckResultCode(hr, args, outcome.resultCode);

    // Blocks are counted from the second call on: the first may leave caches
    // behind, of COM or of a service connection, that later calls reuse.
    const unsigned long long mark = spy ? spy->Mark() : 0;
    const unsigned long strayFrees = spy ? spy->StrayFrees() : 0;
    Args again;
    method.call(o, again);
    FreeReceived(again, memory, nullptr);

    for (int position = 0; method.contract && position < method.pointers; ++position) {
        Args refused(position);
        const HRESULT refusal = method.call(o, refused);
        const std::wstring which = ArgumentName(position) + L" null";
        if (refusal != E_INVALIDARG)
            outcome.nullArgs.push_back(which + L": " + Hex(refusal) + L" instead of E_INVALIDARG");
        for (int other = 0; other < Args::kPositions; ++other) {
            if (other != position && refused.Written(other))
                outcome.nullArgs.push_back(which + L": " + ArgumentName(other) + L" written");
        }
        FreeReceived(refused, memory, &outcome.memory);
    }

    if (spy) {
        const size_t left = spy->LiveSince(mark);
        if (left)
            outcome.memory.push_back(Number(static_cast<unsigned long>(left)) +
                                     L" block(s) left after the host freed what it got");
        const unsigned long stray = spy->StrayFrees() - strayFrees;
        if (stray)
            outcome.memory.push_back(Number(stray) + L" free(s) of memory the allocator did not hand out");
    }
    return outcome;
}

void AddMethodRows(std::vector<CheckRow>& rows, const std::array<MethodOutcome, kMethodCount>& outcomes,
                   const char* area, std::vector<std::wstring> MethodOutcome::*problems, bool contractOnly,
                   const std::wstring& unwatched)
{
    for (size_t i = 0; i < kMethodCount; ++i) {
        const Method& method = kMethods[i];
        if (contractOnly && !method.contract)
            continue;
        std::vector<std::wstring> found = outcomes[i].*problems;
        if (!outcomes[i].reached)
            found = {Widen(IfaceName(method.iface)) + L" not offered"};
        else if (!unwatched.empty())
            found.push_back(unwatched);
        rows.push_back(Row(std::string(area) + "/" + method.name, found));
    }
}

// Both IVkApplicationInfo5 tables, the object's own and the one that begins
// IVkApplicationInfo6, must give the same answers.
CheckRow CheckTables(const Interfaces& o, const CTaskMemorySpy* spy)
{
    if (!o.info5 || !o.info6)
        return Row("tables/IVkApplicationInfo5", {L"needs both IVkApplicationInfo5 and IVkApplicationInfo6"});
    const TaskMemory memory(spy);
    IVkApplicationInfo5* inside6 = o.info6.get();
    const struct
    {
        const char* name;
        HRESULT (*call)(IVkApplicationInfo5*, Args&);
    } methods[] = {{"GetAppStatus", GetAppStatus}, {"GetAppStatusText", GetAppStatusText}};
    std::vector<std::wstring> problems;
    for (const auto& method : methods) {
        Args own;
        Args shared;
        const Answer ownAnswer = Describe(method.call(o.info5.get(), own), own, memory);
        const Answer sharedAnswer = Describe(method.call(inside6, shared), shared, memory);
        FreeReceived(own, memory, nullptr);
        FreeReceived(shared, memory, nullptr);
        if (ownAnswer != sharedAnswer)
            problems.push_back(Widen(method.name) + L": " + Shown(ownAnswer) + L" through IVkApplicationInfo5 but " +
                               Shown(sharedAnswer) + L" through IVkApplicationInfo6");
    }
    return Row("tables/IVkApplicationInfo5", problems);
}

struct NamedIid
{
    const wchar_t* name;
    const IID* iid;
};

const NamedIid kAnswered[] = {
    {L"IUnknown", &IID_IUnknown},
    {L"IVkApplicationInfo", &IID_IVkApplicationInfo},
    {L"IVkRecentEventAction", &IID_IVkRecentEventAction},
    {L"IVkLogAction", &IID_IVkLogAction},
    {L"IVkVersion", &IID_IVkVersion},
    {L"IVkApplicationInfo5", &IID_IVkApplicationInfo5},
    {L"IVkApplicationInfo6", &IID_IVkApplicationInfo6},
};
constexpr size_t kAnsweredCount = std::size(kAnswered);

// Interfaces the object has no business answering.
const NamedIid kForeign[] = {
    {L"IClassFactory", &IID_IClassFactory}, {L"IDispatch", &IID_IDispatch},
    {L"IZelAppImpl", &IID_IZelAppImpl},     {L"IVkClassFactory", &IID_IVkClassFactory},
    {L"a made-up interface", &kMadeUpIid},
};

std::vector<CheckRow> CheckQueryInterface(IUnknown* object)
{
    std::array<ComPtr<IUnknown>, kAnsweredCount> pointers;
    std::vector<std::wstring> offers;
    for (size_t i = 0; i < kAnsweredCount; ++i) {
        const HRESULT hr = Query(object, *kAnswered[i].iid, pointers[i]);
        if (!pointers[i])
            offers.push_back(std::wstring(kAnswered[i].name) + L": " + Hex(hr == S_OK ? E_POINTER : hr));
    }

    std::vector<std::wstring> identity;
    ComPtr<IUnknown> canonical;
    Query(object, IID_IUnknown, canonical);
    for (size_t i = 0; i < kAnsweredCount; ++i) {
        ComPtr<IUnknown> unknown;
        if (pointers[i])
            Query(pointers[i].get(), IID_IUnknown, unknown);
        if (pointers[i] && (!canonical || unknown.get() != canonical.get()))
            identity.push_back(L"IUnknown through " + std::wstring(kAnswered[i].name) +
                               L" is not the object's IUnknown");
    }

    // reaches[i][j]: the pointer for interface i answers interface j.
    std::array<std::array<bool, kAnsweredCount>, kAnsweredCount> reaches{};
    for (size_t i = 0; i < kAnsweredCount; ++i) {
        for (size_t j = 0; j < kAnsweredCount && pointers[i]; ++j) {
            ComPtr<IUnknown> other;
            Query(pointers[i].get(), *kAnswered[j].iid, other);
            reaches[i][j] = static_cast<bool>(other);
        }
    }
    std::vector<std::wstring> reflexive;
    std::vector<std::wstring> symmetric;
    std::vector<std::wstring> transitive;
    for (size_t i = 0; i < kAnsweredCount; ++i) {
        if (!pointers[i])
            continue;
        if (!reaches[i][i])
            reflexive.push_back(std::wstring(kAnswered[i].name) + L" does not answer itself");
        for (size_t j = 0; j < kAnsweredCount; ++j) {
            if (!pointers[j] || !reaches[i][j])
                continue;
            if (!reaches[j][i])
                symmetric.push_back(std::wstring(kAnswered[i].name) + L" reaches " + kAnswered[j].name +
                                    L" but not the reverse");
            for (size_t k = 0; k < kAnsweredCount; ++k) {
                if (reaches[j][k] && !reaches[i][k])
                    transitive.push_back(std::wstring(kAnswered[i].name) + L" reaches " + kAnswered[j].name +
                                         L", which reaches " + kAnswered[k].name + L", but not " + kAnswered[k].name);
            }
        }
    }

    std::vector<std::wstring> unknownIid;
    std::vector<std::wstring> nullOut;
    for (size_t i = 0; i < kAnsweredCount; ++i) {
        if (!pointers[i])
            continue;
        const std::wstring through = L"through " + std::wstring(kAnswered[i].name) + L", ";
        for (const NamedIid& foreign : kForeign) {
            void* out = &g_recordsSentinel;
            const HRESULT hr = pointers[i]->QueryInterface(*foreign.iid, &out);
            if (SUCCEEDED(hr)) {
                unknownIid.push_back(through + foreign.name + L" is answered");
                if (out && out != &g_recordsSentinel)
                    static_cast<IUnknown*>(out)->Release();
                continue;
            }
            if (hr != E_NOINTERFACE)
                unknownIid.push_back(through + foreign.name + L": " + Hex(hr) + L" instead of E_NOINTERFACE");
            if (out)
                unknownIid.push_back(through + foreign.name + L": the out-pointer is not set to null");
        }
        for (const IID* iid : {kAnswered[i].iid, kForeign[0].iid}) {
            const HRESULT hr = pointers[i]->QueryInterface(*iid, nullptr);
            if (hr != E_POINTER && hr != E_INVALIDARG)
                nullOut.push_back(through + L"a null out-pointer gives " + Hex(hr));
        }
    }

    return {Row("qi/offers", offers),       Row("qi/identity", identity),     Row("qi/reflexive", reflexive),
            Row("qi/symmetric", symmetric), Row("qi/transitive", transitive), Row("qi/unknown-iid", unknownIid),
            Row("qi/null-out", nullOut)};
}

struct ThreadWork
{
    const Interfaces* o = nullptr;
    const CTaskMemorySpy* spy = nullptr;
    const std::array<MethodOutcome, kMethodCount>* expected = nullptr;
    HANDLE start = nullptr;
    std::wstring mismatch;
};

DWORD WINAPI RunThread(void* context)
{
    ThreadWork& work = *static_cast<ThreadWork*>(context);
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ::WaitForSingleObject(work.start, INFINITE);
    const TaskMemory memory(work.spy);
    try {
        for (int round = 0; round < kThreadRounds; ++round) {
            for (size_t i = 0; i < kMethodCount; ++i) {
                const MethodOutcome& expected = (*work.expected)[i];
                if (!expected.reached)
                    continue;
                Args args;
                const Answer answer = Describe(kMethods[i].call(*work.o, args), args, memory);
                FreeReceived(args, memory, nullptr);
                if (answer != expected.answer) {
                    work.mismatch = Widen(kMethods[i].name) + L" answered " + Shown(answer) + L" instead of " +
                                    Shown(expected.answer);
                    return 0;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        work.mismatch = L"out of memory";
    }
    return 0;
}

// Every thread calls every method at the same time as the others; all must
// answer as the single thread did.
CheckRow CheckThreads(const Interfaces& o, const CTaskMemorySpy* spy,
                      const std::array<MethodOutcome, kMethodCount>& expected)
{
    const char* name = "threads/same-answers";
    Plinth::UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!start)
        return Row(name, {L"cannot create an event: error " + Number(::GetLastError())});
    std::array<ThreadWork, kThreads> work;
    std::array<Plinth::UniqueHandle, kThreads> threads;
    std::array<HANDLE, kThreads> handles{};
    size_t started = 0;
    for (; started < kThreads; ++started) {
        work[started] = ThreadWork{&o, spy, &expected, start.get(), std::wstring()};
        threads[started].reset(::CreateThread(nullptr, 0, RunThread, &work[started], 0, nullptr));
        if (!threads[started])
            break;
        handles[started] = threads[started].get();
    }
    ::SetEvent(start.get());
    if (started)
        ::WaitForMultipleObjects(static_cast<DWORD>(started), handles.data(), TRUE, INFINITE);
    std::vector<std::wstring> problems;
    if (started < kThreads)
        problems.push_back(L"only " + Number(static_cast<unsigned long>(started)) + L" threads could be started");
    // The first difference stands for all: threads tend to differ alike.
    unsigned long differing = 0;
    std::wstring first;
    for (size_t i = 0; i < started; ++i) {
        if (work[i].mismatch.empty())
            continue;
        if (!differing++)
            first = L"thread " + Number(static_cast<unsigned long>(i) + 1) + L": " + work[i].mismatch;
    }
    if (differing)
        problems.push_back(Number(differing) + L" of " + Number(static_cast<unsigned long>(started)) +
                           L" threads answered differently; " + first);
    return Row(name, problems);
}

using GetClassObjectEntry = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowEntry = HRESULT(STDAPICALLTYPE*)();

template <typename Entry>
Entry Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The module the host demo would reach: the registered server of the class,
// or the module beside this program.
std::wstring DefaultModulePath()
{
    wchar_t clsid[40] = {};
    ::StringFromGUID2(CLSID_ZelAppImpl, clsid, ARRAYSIZE(clsid));
    Plinth::CRegKey key;
    std::wstring path;
    const std::wstring server = L"CLSID\\" + std::wstring(clsid) + L"\\InprocServer32";
    if (key.Open(HKEY_CLASSES_ROOT, server.c_str(), KEY_READ) == ERROR_SUCCESS &&
        key.QueryStringValue(nullptr, path) == ERROR_SUCCESS && !path.empty())
        return path;
    wchar_t self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return kDefaultModule;
    path.assign(self, length);
    const size_t slash = path.find_last_of(L"\\/");
    path.erase(slash == std::wstring::npos ? 0 : slash + 1);
    return path + kDefaultModule;
}

HRESULT CreateObject(GetClassObjectEntry getClassObject, ComPtr<IVkApplicationInfo>& app, std::wstring& step)
{
    ComPtr<IVkClassFactory> factory;
    step = L"DllGetClassObject";
    HRESULT hr = getClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory, factory.put_void());
    if (FAILED(hr))
        hr = getClassObject(CLSID_ZelAppImpl, IID_IVkClassFactory_PreComponentization, factory.put_void());
    if (FAILED(hr) || !factory)
        return FAILED(hr) ? hr : E_POINTER;
    step = L"CreateInstance";
    hr = factory->CreateInstance(IID_IVkApplicationInfo, app.put_void());
    if (SUCCEEDED(hr) && !app)
        return E_POINTER;
    return hr;
}

void QueryAll(IVkApplicationInfo* app, Interfaces& o)
{
    Query(app, IID_IVkApplicationInfo, o.info);
    Query(app, IID_IVkRecentEventAction, o.recentEvent);
    Query(app, IID_IVkLogAction, o.log);
    Query(app, IID_IVkVersion, o.version);
    Query(app, IID_IVkApplicationInfo5, o.info5);
    Query(app, IID_IVkApplicationInfo6, o.info6);
}

CheckRow UnloadRow(const char* name, CanUnloadNowEntry canUnloadNow, HRESULT expected, const wchar_t* when)
{
    if (!canUnloadNow)
        return Row(name, {L"the module does not export DllCanUnloadNow"});
    const HRESULT hr = canUnloadNow();
    if (hr == expected)
        return Row(name, {});
    return Row(name, {L"DllCanUnloadNow answered " + Hex(hr) + L" " + when});
}

// The checks that need the object, in the order the host would meet them.
void CheckObject(ComPtr<IVkApplicationInfo> app, CanUnloadNowEntry canUnloadNow, std::vector<CheckRow>& rows)
{
    const ComPtr<CTaskMemorySpy> spy = CTaskMemorySpy::Create();
    HRESULT spyResult = spy ? ::CoRegisterMallocSpy(spy.get()) : E_OUTOFMEMORY;
    const CTaskMemorySpy* watch = SUCCEEDED(spyResult) ? spy.get() : nullptr;
    const std::wstring unwatched =
        watch ? std::wstring() : L"cannot watch the task allocator (" + Hex(spyResult) + L")";

    {
        Interfaces o;
        QueryAll(app.get(), o);
        std::array<MethodOutcome, kMethodCount> outcomes;
        for (size_t i = 0; i < kMethodCount; ++i)
            outcomes[i] = CheckMethod(kMethods[i], o, watch);
        AddMethodRows(rows, outcomes, "null-args", &MethodOutcome::nullArgs, true, std::wstring());
        AddMethodRows(rows, outcomes, "memory", &MethodOutcome::memory, false, unwatched);
        AddMethodRows(rows, outcomes, "result-code", &MethodOutcome::resultCode, true, std::wstring());
        rows.push_back(CheckTables(o, watch));
        for (CheckRow& row : CheckQueryInterface(app.get()))
            rows.push_back(std::move(row));
        rows.push_back(UnloadRow("unload/object-alive", canUnloadNow, S_FALSE, L"while an object lives"));
        rows.push_back(CheckThreads(o, watch, outcomes));
    }
    app.reset();
    rows.push_back(UnloadRow("unload/released", canUnloadNow, S_OK, L"after the last release"));
    // COM keeps the spy while blocks it saw are still live; that is no failure
    // of the checks above.
    if (watch)
        ::CoRevokeMallocSpy();
}

} // namespace

HostCheckReport RunHostChecks(const wchar_t* modulePath)
{
    HostCheckReport report;
    report.module = modulePath ? modulePath : DefaultModulePath();
    std::vector<CheckRow>& rows = report.rows;

    const Plinth::UniqueModule module(::LoadLibraryW(report.module.c_str()));
    if (!module) {
        rows.push_back(Row("module/load", {L"LoadLibraryW failed with error " + Number(::GetLastError())}));
        return report;
    }
    const auto getClassObject = Export<GetClassObjectEntry>(module.get(), "DllGetClassObject");
    const auto canUnloadNow = Export<CanUnloadNowEntry>(module.get(), "DllCanUnloadNow");
    if (!getClassObject) {
        rows.push_back(Row("module/load", {L"the module does not export DllGetClassObject"}));
        return report;
    }
    rows.push_back(Row("module/load", {}));

    ComPtr<IVkApplicationInfo> app;
    std::wstring step;
    const HRESULT hr = CreateObject(getClassObject, app, step);
    if (FAILED(hr)) {
        std::wstring reason = step + L" failed with " + Hex(hr);
        if (hr == E_ACCESSDENIED)
            reason += L": the module does not trust this program's publisher";
        rows.push_back(Row("module/create", {reason}));
        return report;
    }
    rows.push_back(Row("module/create", {}));
    CheckObject(std::move(app), canUnloadNow, rows);
    return report;
}

std::wstring CheckTable(const HostCheckReport& report)
{
    constexpr size_t kResult = 44, kReason = 52;
    std::wstring table = L"Module: " + report.module + L"\r\n";
    auto line = [&table](const std::wstring& check, const wchar_t* result, const std::wstring& reason) {
        std::wstring text = check;
        text.append(text.size() < kResult ? kResult - text.size() : 1, L' ');
        text += result;
        if (!reason.empty()) {
            text.append(text.size() < kReason ? kReason - text.size() : 1, L' ');
            text += reason;
        }
        table += text + L"\r\n";
    };
    line(L"Check", L"Result", L"Reason");
    unsigned long failed = 0;
    for (const CheckRow& row : report.rows) {
        failed += row.passed ? 0 : 1;
        line(Widen(row.name.c_str()), row.passed ? L"pass" : L"FAIL", row.reason);
    }
    table += Number(static_cast<unsigned long>(report.rows.size())) + L" checks, " + Number(failed) + L" failed\r\n";
    return table;
}

bool AllPassed(const HostCheckReport& report)
{
    if (report.rows.empty())
        return false;
    for (const CheckRow& row : report.rows) {
        if (!row.passed)
            return false;
    }
    return true;
}

} // namespace VkTools
