#include "tests/zellumoap/FaultSupport.h"

#include <cwctype>

#include "plinth/WideFormat.h"

namespace {

constexpr size_t kLoggedChars = 2079;

// Pointer values in a log line differ between runs; only null stays visible.
std::wstring WithoutPointers(std::wstring text)
{
    for (size_t at = text.find(L" = "); at != std::wstring::npos; at = text.find(L" = ", at + 1)) {
        const size_t start = at + 3;
        if (text.size() < start + 8)
            break;
        bool hex = true;
        for (size_t i = start; i < start + 8; ++i)
            hex = hex && std::iswxdigit(text[i]);
        if (hex && text.compare(start, 8, L"00000000") != 0)
            text.replace(start, 8, L"<p>");
    }
    return text;
}

} // namespace

Plinth::ComPtr<IVkApplicationInfo> CreateObject()
{
    Plinth::ComPtr<IVkApplicationInfo> object;
    EXPECT_EQ(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, object.put_void()), S_OK);
    return object;
}

std::wstring Line(DWORD level, const std::wstring& file, const std::wstring& function, const std::wstring& text)
{
    return L" L" + std::to_wstring(level) + L" " + file + L"!" + function + L":" + text.substr(0, kLoggedChars);
}

std::wstring Logged(DWORD level, const std::wstring& method, const std::wstring& text)
{
    return Line(level, L"ApplImpl", L"CZelAppImpl::" + method, text);
}

std::wstring Describe(HRESULT hr, long result, const std::wstring& values, const std::wstring& logs)
{
    wchar_t head[48];
    Plinth::FormatWide(head, 48, L"hr 0x%08X, result ", static_cast<unsigned>(hr));
    std::wstring code = L"unwritten";
    if (result != kUntouched) {
        wchar_t hex[16];
        Plinth::FormatWide(hex, 16, L"0x%08X", static_cast<unsigned>(result));
        code = hex;
    }
    return head + code + values + L" |" + logs;
}

Outcomes RunEveryMethod(IVkApplicationInfo* object, std::map<std::string, ULONGLONG>* elapsedMs)
{
    ZelTest::LoadInterfaces interfaces;
    EXPECT_EQ(interfaces.From(object), S_OK);
    if (!interfaces.info6)
        return {};
    ZelTest::LogCapture::Instance().Clear();
    Outcomes outcomes;
    for (size_t i = 0; i < ZelTest::kEveryMethodCount; ++i) {
        const ZelTest::Method& method = ZelTest::kEveryMethod[i];
        const ULONGLONG start = ::GetTickCount64();
        std::wstring answer = ZelTest::Shown(method.call(interfaces)) + L" |";
        if (elapsedMs)
            (*elapsedMs)[method.name] += ::GetTickCount64() - start;
        for (const ZelTest::LogRecord& record : ZelTest::LogCapture::Instance().Take())
            answer += Line(record.level, record.file, record.function, WithoutPointers(record.text));
        outcomes[method.name] = answer;
    }
    return outcomes;
}
