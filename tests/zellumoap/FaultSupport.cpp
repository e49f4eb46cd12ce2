#include "tests/zellumoap/FaultSupport.h"

#include <shlobj.h>

#include <algorithm>
#include <cwctype>
#include <functional>

#include "plinth/WideFormat.h"

namespace {

constexpr size_t kLoggedChars = 2079;
wchar_t* const kSentinel = reinterpret_cast<wchar_t*>(static_cast<uintptr_t>(0xDEADBEEF));

// The text of an out-string the call handed over, freed here.
std::wstring Take(LPWSTR text)
{
    if (text == kSentinel)
        return L"<untouched>";
    const Plinth::UniqueCoTaskMem<wchar_t> owned(text);
    return owned ? std::wstring(owned.get()) : L"<null>";
}

// Pointer values in a log line differ between runs; only null stays visible.
std::wstring WithoutPointers(std::wstring text)
{
    for (size_t at = text.find(L" = "); at != std::wstring::npos; at = text.find(L" = ", at + 1)) {
        const size_t start = at + 3;
        if (text.size() < start + 8)
            break;
        const std::wstring digits = text.substr(start, 8);
        bool hex = true;
        for (wchar_t c : digits)
            hex = hex && std::iswxdigit(c);
        if (hex && digits != L"00000000")
            text.replace(start, 8, L"<p>");
    }
    return text;
}

std::wstring CapturedLogs()
{
    std::wstring logs;
    for (const ZelTest::LogRecord& record : ZelTest::LogCapture::Instance().Take())
        logs += Line(record.level, WithoutPointers(record.text));
    return logs;
}

std::wstring Answer(HRESULT hr, long result, const std::wstring& out)
{
    return Describe(hr, result, out, CapturedLogs());
}

std::wstring OneString(const std::function<HRESULT(LPWSTR*, long*)>& call)
{
    LPWSTR text = kSentinel;
    long result = kUntouched;
    const HRESULT hr = call(&text, &result);
    return Answer(hr, result, Take(text));
}

std::wstring TwoStrings(const std::function<HRESULT(LPWSTR*, LPWSTR*, long*)>& call)
{
    LPWSTR first = kSentinel;
    LPWSTR second = kSentinel;
    long result = kUntouched;
    const HRESULT hr = call(&first, &second, &result);
    const std::wstring out = Take(first) + L" ^ " + Take(second);
    return Answer(hr, result, out);
}

std::wstring ProductInfo(IVkApplicationInfo* object, std::vector<std::wstring>* labels)
{
    DWORD count = 0x5A5A;
    VKPRODUCT_INFO* records = nullptr;
    long result = kUntouched;
    const HRESULT hr = object->GetProductInfo(&count, &records, &result);
    const Plinth::UniqueCoTaskMem<VKPRODUCT_INFO> owned(records);
    std::vector<std::wstring> names;
    std::vector<std::wstring> values;
    for (DWORD i = 0; owned && i < count; ++i) {
        names.push_back(Take(records[i].pwszName));
        values.push_back(Take(records[i].pwszValue));
    }
    if (labels)
        labels->assign(names.begin(), names.begin() + std::min<size_t>(3, names.size()));
    std::wstring out = owned ? ProductInfoText(names, values) : L"<null>";
    if (names.size() != count)
        out += L" count " + std::to_wstring(count);
    return Answer(hr, result, out);
}

} // namespace

Plinth::ComPtr<IVkApplicationInfo> CreateObject()
{
    Plinth::ComPtr<IVkApplicationInfo> object;
    EXPECT_EQ(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, object.put_void()), S_OK);
    return object;
}

std::wstring Line(DWORD level, const std::wstring& text)
{
    return L" L" + std::to_wstring(level) + L":" + text.substr(0, kLoggedChars);
}

std::wstring Describe(HRESULT hr, long result, const std::wstring& out, const std::wstring& logs)
{
    wchar_t head[32];
    Plinth::FormatWide(head, 32, L"%08X %08X ", static_cast<unsigned>(hr), static_cast<unsigned>(result));
    return head + out + L" |" + logs;
}

std::wstring LogsOf(const std::wstring& described)
{
    return described.substr(described.find(L" |") + 2);
}

std::wstring ProductInfoText(const std::vector<std::wstring>& labels, const std::vector<std::wstring>& values)
{
    std::wstring text = L"6";
    for (size_t i = 0; i < 6; ++i) {
        const std::wstring name = i < labels.size() ? labels[i] : L"<null>";
        const std::wstring value = i < values.size() ? values[i] : L"<null>";
        text += L" {" + name + L"=" + value + L"}";
    }
    return text;
}

Outcomes RunEveryMethod(IVkApplicationInfo* object, std::vector<std::wstring>* labels,
                        std::map<std::string, ULONGLONG>* elapsedMs)
{
    Plinth::ComPtr<IVkVersion> version;
    Plinth::ComPtr<IVkRecentEventAction> recent;
    Plinth::ComPtr<IVkLogAction> log;
    Plinth::ComPtr<IVkApplicationInfo5> info5;
    Plinth::ComPtr<IVkApplicationInfo6> info6;
    EXPECT_EQ(object->QueryInterface(IID_IVkVersion, version.put_void()), S_OK);
    EXPECT_EQ(object->QueryInterface(IID_IVkRecentEventAction, recent.put_void()), S_OK);
    EXPECT_EQ(object->QueryInterface(IID_IVkLogAction, log.put_void()), S_OK);
    EXPECT_EQ(object->QueryInterface(IID_IVkApplicationInfo5, info5.put_void()), S_OK);
    EXPECT_EQ(object->QueryInterface(IID_IVkApplicationInfo6, info6.put_void()), S_OK);
    if (!version || !recent || !log || !info5 || !info6)
        return {};
    ZelTest::LogCapture::Instance().Clear();

    Outcomes outcomes;
    const auto run = [&](const std::string& method, const std::function<std::wstring()>& call) {
        const ULONGLONG start = ::GetTickCount64();
        outcomes[method] = call();
        if (elapsedMs)
            (*elapsedMs)[method] += ::GetTickCount64() - start;
    };
    run("GetAppID", [&] { return OneString([&](LPWSTR* t, long* r) { return object->GetAppID(t, r); }); });
    run("GetAppName", [&] { return OneString([&](LPWSTR* t, long* r) { return object->GetAppName(t, r); }); });
    run("GetAppIcon", [&] { return OneString([&](LPWSTR* t, long* r) { return object->GetAppIcon(t, r); }); });
    run("GetUninstallProgram",
        [&] { return OneString([&](LPWSTR* t, long* r) { return object->GetUninstallProgram(t, r); }); });
    run("GetUserHelperCLSID", [&] {
        CLSID clsid = GUID_NULL;
        long result = kUntouched;
        const HRESULT hr = object->GetUserHelperCLSID(&clsid, &result);
        wchar_t text[39] = {};
        ::StringFromGUID2(clsid, text, 39);
        return Answer(hr, result, text);
    });
    run("CheckComponents", [&] {
        long result = kUntouched;
        const HRESULT hr = object->CheckComponents(&result);
        return Answer(hr, result, L"");
    });
    run("GetUpdateInformation", [&] {
        return TwoStrings([&](LPWSTR* a, LPWSTR* b, long* r) { return object->GetUpdateInformation(L"x", a, b, r); });
    });
    run("GetProductInfo", [&] { return ProductInfo(object, labels); });
    run("GetUsageReport",
        [&] { return TwoStrings([&](LPWSTR* a, LPWSTR* b, long* r) { return object->GetUsageReport(a, b, r); }); });
    run("UnsupportedRequest",
        [&] { return OneString([&](LPWSTR* t, long* r) { return object->UnsupportedRequest(L"request", t, r); }); });
    run("DoRecentEventAction",
        [&] { return OneString([&](LPWSTR* t, long* r) { return recent->DoRecentEventAction(1, L"id", t, r); }); });
    run("DoLogAction", [&] { return OneString([&](LPWSTR* t, long* r) { return log->DoLogAction(1, L"id", t, r); }); });
    run("GetVersionText", [&] { return OneString([&](LPWSTR* t, long* r) { return version->GetVersionText(t, r); }); });
    run("GetComponentStatus",
        [&] { return OneString([&](LPWSTR* t, long* r) { return version->GetComponentStatus(t, r); }); });
    for (IVkApplicationInfo5* table : {info5.get(), static_cast<IVkApplicationInfo5*>(info6.get())}) {
        const std::string suffix = table == info5.get() ? "" : " (6)";
        run("GetAppStatus" + suffix, [&] {
            DWORD status = 0x5A5A;
            long result = kUntouched;
            const HRESULT hr = table->GetAppStatus(&status, &result);
            return Answer(hr, result, std::to_wstring(status));
        });
        run("GetAppStatusText" + suffix,
            [&] { return OneString([&](LPWSTR* t, long* r) { return table->GetAppStatusText(t, r); }); });
    }
    run("NotifySubscriptionStatusChanged", [&] {
        long result = kUntouched;
        const HRESULT hr = info6->NotifySubscriptionStatusChanged(3, &result);
        return Answer(hr, result, L"");
    });
    return outcomes;
}

std::wstring Uninstaller()
{
    wchar_t folder[MAX_PATH] = {};
    EXPECT_EQ(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMONX86, nullptr, 0, folder), S_OK);
    return L"\"" + std::wstring(folder) + L"\\Varkon\\Installer\\VkInst.exe\" ";
}

std::wstring ShortPath(const std::wstring& path)
{
    wchar_t buffer[MAX_PATH] = {};
    return !path.empty() && ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH) ? buffer : path;
}
