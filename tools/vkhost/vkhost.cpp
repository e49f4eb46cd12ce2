// Stands in for the security-center host: creates the application-information
// object the way the host does, calls every method once and shows what came
// back; with --check, runs the host's expectations against a provider module;
// with --uninstall-command, prints only the uninstall command line it got.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"
#include "tools/ToolText.h"
#include "tools/vkhost/HostCheck.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

using Plinth::ComPtr;
using Plinth::UniqueCoTaskMem;
using OptionalText = std::optional<std::wstring>;

constexpr DWORD kProbeAction = 0;
constexpr wchar_t kProbeId[] = L"vkhost";
constexpr DWORD kProbeSubscriptionStatus = 0;

struct Value
{
    const char* key;
    OptionalText text;
    // Numbers and identifiers are shown without quotes in the table.
    bool quoted;
    // Responses of the request calls are shown but are no part of the contract.
    bool inJson;
};

Value Quoted(const char* key, OptionalText text)
{
    return Value{key, std::move(text), true, true};
}

Value Plain(const char* key, OptionalText text)
{
    return Value{key, std::move(text), false, true};
}

Value Response(OptionalText text)
{
    return Value{"response", std::move(text), true, false};
}

struct Record
{
    OptionalText name;
    OptionalText value;
};

struct Call
{
    const char* iface = "";
    const char* method = "";
    // The status queries have no place in the JSON contract.
    bool inJson = true;
    HRESULT hr = S_OK;
    long result = 0;
    bool reached = true;
    std::vector<Value> values;
    bool returnsRecords = false;
    std::optional<std::vector<Record>> records;
};

OptionalText Text(const UniqueCoTaskMem<wchar_t>& text)
{
    if (!text)
        return std::nullopt;
    return std::wstring(text.get());
}

std::wstring Hex(DWORD value)
{
    wchar_t buffer[16] = {};
    Plinth::FormatWide(buffer, ARRAYSIZE(buffer), L"0x%08X", static_cast<unsigned>(value));
    return buffer;
}

class Session
{
public:
    std::vector<Call> calls;

    Call& Add(const char* iface, const char* method, bool inJson = true)
    {
        Call& call = calls.emplace_back();
        call.iface = iface;
        call.method = method;
        call.inJson = inJson;
        return call;
    }

    // Every method of an interface the object would not give is reported with
    // the refusal in place of its own answer.
    void AddUnreached(const char* iface, std::initializer_list<const char*> methods, HRESULT hr, bool inJson)
    {
        for (const char* method : methods) {
            Call& call = Add(iface, method, inJson);
            call.hr = hr;
            call.reached = false;
        }
    }

    void ApplicationInfo(IVkApplicationInfo* app)
    {
        StringCall("IVkApplicationInfo", "GetAppID", "id", [&](LPWSTR* out, long* r) { return app->GetAppID(out, r); });
        StringCall("IVkApplicationInfo", "GetAppName", "name",
                   [&](LPWSTR* out, long* r) { return app->GetAppName(out, r); });
        StringCall("IVkApplicationInfo", "GetAppIcon", "icon",
                   [&](LPWSTR* out, long* r) { return app->GetAppIcon(out, r); });
        StringCall("IVkApplicationInfo", "GetUninstallProgram", "commandLine",
                   [&](LPWSTR* out, long* r) { return app->GetUninstallProgram(out, r); });
        {
            Call& call = Add("IVkApplicationInfo", "GetUserHelperCLSID");
            CLSID clsid = GUID_NULL;
            call.hr = app->GetUserHelperCLSID(&clsid, &call.result);
            wchar_t text[40] = {};
            const bool valid = SUCCEEDED(call.hr) && ::StringFromGUID2(clsid, text, ARRAYSIZE(text)) > 0;
            call.values.push_back(Plain("clsid", valid ? OptionalText(text) : std::nullopt));
        }
        {
            Call& call = Add("IVkApplicationInfo", "CheckComponents");
            call.hr = app->CheckComponents(&call.result);
        }
        {
            Call& call = Add("IVkApplicationInfo", "GetUpdateInformation");
            UniqueCoTaskMem<wchar_t> pingUrl;
            UniqueCoTaskMem<wchar_t> versionInfo;
            call.hr = app->GetUpdateInformation(nullptr, pingUrl.put(), versionInfo.put(), &call.result);
            call.values.push_back(Quoted("pingUrl", Text(pingUrl)));
            call.values.push_back(Quoted("versionInfo", Text(versionInfo)));
        }
        ProductInfo(app);
        {
            Call& call = Add("IVkApplicationInfo", "GetUsageReport");
            UniqueCoTaskMem<wchar_t> report;
            UniqueCoTaskMem<wchar_t> second;
            call.hr = app->GetUsageReport(report.put(), second.put(), &call.result);
            call.values.push_back(Quoted("report", Text(report)));
            call.values.push_back(Quoted("second", Text(second)));
        }
        {
            Call& call = Add("IVkApplicationInfo", "UnsupportedRequest");
            UniqueCoTaskMem<wchar_t> response;
            call.hr = app->UnsupportedRequest(kProbeId, response.put(), &call.result);
            call.values.push_back(Response(Text(response)));
        }
    }

    void RecentEventAction(IVkRecentEventAction* action)
    {
        Call& call = Add("IVkRecentEventAction", "DoRecentEventAction");
        UniqueCoTaskMem<wchar_t> response;
        call.hr = action->DoRecentEventAction(kProbeAction, kProbeId, response.put(), &call.result);
        call.values.push_back(Response(Text(response)));
    }

    void LogAction(IVkLogAction* action)
    {
        Call& call = Add("IVkLogAction", "DoLogAction");
        UniqueCoTaskMem<wchar_t> response;
        call.hr = action->DoLogAction(kProbeAction, kProbeId, response.put(), &call.result);
        call.values.push_back(Response(Text(response)));
    }

    void Version(IVkVersion* version)
    {
        StringCall("IVkVersion", "GetVersionText", "text",
                   [&](LPWSTR* out, long* r) { return version->GetVersionText(out, r); });
        StringCall("IVkVersion", "GetComponentStatus", "text",
                   [&](LPWSTR* out, long* r) { return version->GetComponentStatus(out, r); });
    }

    // Called once through each table that carries the two status methods.
    void ApplicationStatus(const char* iface, IVkApplicationInfo5* info)
    {
        {
            Call& call = Add(iface, "GetAppStatus", false);
            DWORD status = 0;
            call.hr = info->GetAppStatus(&status, &call.result);
            call.values.push_back(Plain("status", Hex(status)));
        }
        {
            Call& call = Add(iface, "GetAppStatusText", false);
            UniqueCoTaskMem<wchar_t> text;
            call.hr = info->GetAppStatusText(text.put(), &call.result);
            call.values.push_back(Quoted("text", Text(text)));
        }
    }

    void Subscription(IVkApplicationInfo6* info)
    {
        Call& call = Add("IVkApplicationInfo6", "NotifySubscriptionStatusChanged");
        call.hr = info->NotifySubscriptionStatusChanged(kProbeSubscriptionStatus, &call.result);
    }

private:
    template <typename Method>
    void StringCall(const char* iface, const char* method, const char* key, Method call)
    {
        Call& entry = Add(iface, method);
        UniqueCoTaskMem<wchar_t> text;
        entry.hr = call(text.put(), &entry.result);
        entry.values.push_back(Quoted(key, Text(text)));
    }

    void ProductInfo(IVkApplicationInfo* app)
    {
        Call& call = Add("IVkApplicationInfo", "GetProductInfo");
        call.returnsRecords = true;
        DWORD count = 0;
        VKPRODUCT_INFO* raw = nullptr;
        call.hr = app->GetProductInfo(&count, &raw, &call.result);
        const UniqueCoTaskMem<VKPRODUCT_INFO> array(raw);
        if (!array)
            return;
        call.records.emplace();
        for (DWORD i = 0; i < count; ++i) {
            const UniqueCoTaskMem<wchar_t> name(array.get()[i].pwszName);
            const UniqueCoTaskMem<wchar_t> value(array.get()[i].pwszValue);
            call.records->push_back({Text(name), Text(value)});
        }
    }
};

// Asks for one interface and, when the object gives it, runs its calls.
template <typename T, typename Run>
void WithInterface(Session& session, IVkApplicationInfo* app, REFIID iid, Run run, const char* iface,
                   std::initializer_list<const char*> methods, bool inJson = true)
{
    ComPtr<T> other;
    const HRESULT hr = app->QueryInterface(iid, other.put_void());
    if (FAILED(hr) || !other) {
        session.AddUnreached(iface, methods, FAILED(hr) ? hr : E_POINTER, inJson);
        return;
    }
    run(other.get());
}

void RunSession(Session& session, IVkApplicationInfo* app)
{
    session.ApplicationInfo(app);
    WithInterface<IVkRecentEventAction>(session, app, IID_IVkRecentEventAction,
                                        [&](IVkRecentEventAction* p) { session.RecentEventAction(p); },
                                        "IVkRecentEventAction", {"DoRecentEventAction"});
    WithInterface<IVkLogAction>(session, app, IID_IVkLogAction, [&](IVkLogAction* p) { session.LogAction(p); },
                                "IVkLogAction", {"DoLogAction"});
    WithInterface<IVkVersion>(session, app, IID_IVkVersion, [&](IVkVersion* p) { session.Version(p); }, "IVkVersion",
                              {"GetVersionText", "GetComponentStatus"});
    WithInterface<IVkApplicationInfo5>(
        session, app, IID_IVkApplicationInfo5,
        [&](IVkApplicationInfo5* p) { session.ApplicationStatus("IVkApplicationInfo5", p); }, "IVkApplicationInfo5",
        {"GetAppStatus", "GetAppStatusText"}, false);
    ComPtr<IVkApplicationInfo6> info6;
    const HRESULT hr = app->QueryInterface(IID_IVkApplicationInfo6, info6.put_void());
    if (FAILED(hr) || !info6) {
        const HRESULT refusal = FAILED(hr) ? hr : E_POINTER;
        session.AddUnreached("IVkApplicationInfo6", {"GetAppStatus", "GetAppStatusText"}, refusal, false);
        session.AddUnreached("IVkApplicationInfo6", {"NotifySubscriptionStatusChanged"}, refusal, true);
        return;
    }
    session.ApplicationStatus("IVkApplicationInfo6", info6.get());
    session.Subscription(info6.get());
}

std::wstring Widen(const char* text)
{
    return std::wstring(text, text + std::strlen(text));
}

std::wstring Shown(const Value& value)
{
    if (!value.text)
        return L"(null)";
    return value.quoted ? L"\"" + *value.text + L"\"" : *value.text;
}

void PadTo(std::wstring& line, size_t column)
{
    line.append(line.size() < column ? column - line.size() : 0, L' ');
    if (!line.empty() && line.back() != L' ')
        line += L' ';
}

std::wstring Table(const std::vector<Call>& calls)
{
    constexpr size_t kMethod = 22, kHr = 55, kResult = 67, kValues = 79;
    std::wstring line = L"Interface";
    PadTo(line, kMethod);
    line += L"Method";
    PadTo(line, kHr);
    line += L"HRESULT";
    PadTo(line, kResult);
    line += L"Result";
    PadTo(line, kValues);
    line += L"Values\r\n";
    std::wstring table = line;
    for (const Call& call : calls) {
        line = Widen(call.iface);
        PadTo(line, kMethod);
        line += Widen(call.method);
        PadTo(line, kHr);
        line += Hex(static_cast<DWORD>(call.hr));
        PadTo(line, kResult);
        if (!call.reached) {
            line += L"interface not available";
        } else if (call.hr == E_NOTIMPL) {
            line += L"not implemented yet";
        } else {
            line += Hex(static_cast<DWORD>(call.result));
            PadTo(line, kValues);
            for (const Value& value : call.values)
                line += Widen(value.key) + L": " + Shown(value) + L"  ";
            if (call.returnsRecords) {
                wchar_t count[32] = L"(null)";
                if (call.records)
                    Plinth::FormatWide(count, ARRAYSIZE(count), L"%u", static_cast<unsigned>(call.records->size()));
                line += L"records: ";
                line += count;
            }
        }
        while (!line.empty() && line.back() == L' ')
            line.pop_back();
        table += line + L"\r\n";
        if (!call.reached || call.hr == E_NOTIMPL || !call.records)
            continue;
        for (const Record& record : *call.records) {
            line.clear();
            PadTo(line, kValues + 2);
            line += Shown(Quoted("", record.name)) + L" = " + Shown(Quoted("", record.value));
            table += line + L"\r\n";
        }
    }
    return table;
}

// Members keep the order of the calls, as in the table.
using Json = nlohmann::ordered_json;

Json JsonText(const OptionalText& text)
{
    return text ? Json(ZelTools::ToUtf8(*text)) : Json(nullptr);
}

std::string JsonReport(const std::vector<Call>& calls)
{
    Json report = Json::object();
    for (const Call& call : calls) {
        if (!call.inJson)
            continue;
        Json& entry = report[call.method];
        entry["hr"] = ZelTools::ToUtf8(Hex(static_cast<DWORD>(call.hr)));
        entry["result"] = ZelTools::ToUtf8(Hex(static_cast<DWORD>(call.result)));
        for (const Value& value : call.values) {
            if (value.inJson)
                entry[value.key] = JsonText(value.text);
        }
        if (!call.returnsRecords)
            continue;
        Json& records = entry["records"];
        if (!call.records)
            continue;
        records = Json::array();
        for (const Record& record : *call.records)
            records.push_back(Json{{"name", JsonText(record.name)}, {"value", JsonText(record.value)}});
    }
    return report.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::wstring CreationFailure(HRESULT hr)
{
    std::wstring reason;
    switch (hr) {
    case REGDB_E_CLASSNOTREG:
        reason = L"the module is not registered; register ZelLumoAp.dll with regsvr32";
        break;
    case E_NOINTERFACE:
        reason = L"the object does not offer IVkApplicationInfo through the host's class factories";
        break;
    default: {
        wchar_t system[256] = {};
        const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                              static_cast<DWORD>(hr), 0, system, ARRAYSIZE(system), nullptr);
        reason.assign(system, length);
        while (!reason.empty() && (reason.back() == L'\r' || reason.back() == L'\n' || reason.back() == L' '))
            reason.pop_back();
        if (reason.empty())
            reason = L"no description available";
    }
    }
    return L"vkhost: cannot create ZelAppImpl (hr " + Hex(static_cast<DWORD>(hr)) + L"): " + reason + L"\r\n";
}

int Run(bool asJson)
{
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    if (!com.Usable()) {
        ZelTools::Write(STD_ERROR_HANDLE,
                        L"vkhost: COM initialisation failed (hr " + Hex(static_cast<DWORD>(com.Result())) + L")\r\n");
        return 1;
    }
    ComPtr<IVkApplicationInfo> app;
    const HRESULT hr =
        VkCreateInstanceNoAuth(CLSID_ZelAppImpl, nullptr, CLSCTX_INPROC_SERVER, IID_IVkApplicationInfo, app.put_void());
    if (FAILED(hr) || !app) {
        ZelTools::Write(STD_ERROR_HANDLE, CreationFailure(FAILED(hr) ? hr : E_POINTER));
        return 1;
    }
    Session session;
    RunSession(session, app.get());
    app.reset();

    if (!asJson)
        return ZelTools::Write(STD_OUTPUT_HANDLE, Table(session.calls)) ? 0 : 1;
    return ZelTools::WriteBytes(::GetStdHandle(STD_OUTPUT_HANDLE), JsonReport(session.calls)) ? 0 : 1;
}

int RunCheck(const wchar_t* modulePath)
{
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    if (!com.Usable()) {
        ZelTools::Write(STD_ERROR_HANDLE,
                        L"vkhost: COM initialisation failed (hr " + Hex(static_cast<DWORD>(com.Result())) + L")\r\n");
        return 1;
    }
    const VkTools::HostCheckReport report = VkTools::RunHostChecks(modulePath);
    if (!ZelTools::Write(STD_OUTPUT_HANDLE, VkTools::CheckTable(report)))
        return 1;
    return VkTools::AllPassed(report) ? 0 : 2;
}

// Prints only the uninstall command line the module hands out, for running it
// exactly as the host would.
int PrintUninstallCommand()
{
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ComPtr<IVkApplicationInfo> app;
    const HRESULT created = com.Usable() ? VkCreateInstanceNoAuth(CLSID_ZelAppImpl, nullptr, CLSCTX_INPROC_SERVER,
                                                                  IID_IVkApplicationInfo, app.put_void())
                                         : com.Result();
    if (FAILED(created) || !app) {
        ZelTools::Write(STD_ERROR_HANDLE, CreationFailure(FAILED(created) ? created : E_POINTER));
        return 1;
    }
    UniqueCoTaskMem<wchar_t> commandLine;
    long result = 0;
    const HRESULT hr = app->GetUninstallProgram(commandLine.put(), &result);
    if (FAILED(hr) || result != 0 || !commandLine) {
        ZelTools::Write(STD_ERROR_HANDLE, L"vkhost: no uninstall command line (hr " + Hex(static_cast<DWORD>(hr)) +
                                              L", result " + Hex(static_cast<DWORD>(result)) + L")\r\n");
        return 1;
    }
    return ZelTools::Write(STD_OUTPUT_HANDLE, std::wstring(commandLine.get()) + L"\r\n") ? 0 : 1;
}

using UniqueArgv = Plinth::UniqueResource<LPWSTR*, &::LocalFree>;

} // namespace

int main()
{
    int argc = 0;
    const UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    try {
        if (argv && argc == 1)
            return Run(false);
        if (argv && argc == 2 && std::wcscmp(argv.get()[1], L"--json") == 0)
            return Run(true);
        if (argv && (argc == 2 || argc == 3) && std::wcscmp(argv.get()[1], L"--check") == 0)
            return RunCheck(argc == 3 ? argv.get()[2] : nullptr);
        if (argv && argc == 2 && std::wcscmp(argv.get()[1], L"--uninstall-command") == 0)
            return PrintUninstallCommand();
        ZelTools::Write(
            STD_ERROR_HANDLE,
            L"usage: vkhost [--json]\r\n       vkhost --check [DLL]\r\n       vkhost --uninstall-command\r\n");
        return 1;
    } catch (const std::bad_alloc&) {
        ZelTools::Write(STD_ERROR_HANDLE, L"vkhost: out of memory\r\n");
        return 1;
    }
}
