#include "zelcom/ClassRegistration.h"

#include <cwchar>

namespace ClassRegistration {

namespace {

constexpr size_t kMaxTreatAs = 8;
constexpr wchar_t kSystemHandlers[][12] = {L"ole32.dll", L"combase.dll"};

// A value below HKEY_CLASSES_ROOT, unexpanded, with its type; false when there is none.
bool ReadValue(const std::wstring& keyPath, const wchar_t* name, DWORD types, std::wstring& value, DWORD& type)
{
    const DWORD flags = types | RRF_NOEXPAND;
    DWORD bytes = 0;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, keyPath.c_str(), name, flags, &type, nullptr, &bytes) != ERROR_SUCCESS)
        return false;
    value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegGetValueW(HKEY_CLASSES_ROOT, keyPath.c_str(), name, flags, &type, value.data(), &bytes) != ERROR_SUCCESS)
        return false;
    value.resize(::wcslen(value.c_str()));
    return true;
}

std::wstring Expanded(const std::wstring& text)
{
    const DWORD length = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), length) != length)
        return std::wstring();
    expanded.resize(length - 1);
    return expanded;
}

std::wstring FileNamed(const std::wstring& text, bool localServer)
{
    if (!text.empty() && text[0] == L'"') {
        const size_t close = text.find(L'"', 1);
        return close == std::wstring::npos ? std::wstring() : text.substr(1, close - 1);
    }
    return localServer ? text.substr(0, text.find_first_of(L" \t")) : text;
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

const wchar_t* FormKey(DWORD form)
{
    switch (form) {
    case CLSCTX_INPROC_SERVER:
        return L"InprocServer32";
    case CLSCTX_INPROC_HANDLER:
        return L"InprocHandler32";
    default:
        return L"LocalServer32";
    }
}

} // namespace

std::wstring GuidText(REFCLSID clsid)
{
    wchar_t text[39] = {};
    ::StringFromGUID2(clsid, text, 39);
    return text;
}

HRESULT ReadTreatAsChain(REFCLSID clsid, std::vector<std::wstring>& chain, std::wstring& reason)
{
    chain.assign(1, GuidText(clsid));
    for (;;) {
        std::wstring next;
        DWORD type = 0;
        if (!ReadValue(L"CLSID\\" + chain.back() + L"\\TreatAs", nullptr, RRF_RT_REG_SZ, next, type))
            return S_OK;
        CLSID target;
        if (FAILED(::CLSIDFromString(next.c_str(), &target))) {
            reason = L"its TreatAs class cannot be read";
            return E_ACCESSDENIED;
        }
        const std::wstring guid = GuidText(target);
        for (const std::wstring& seen : chain) {
            if (SameText(seen, guid)) {
                reason = L"its TreatAs classes form a loop";
                return E_ACCESSDENIED;
            }
        }
        if (chain.size() == kMaxTreatAs) {
            reason = L"its TreatAs classes go on too long";
            return E_ACCESSDENIED;
        }
        chain.push_back(guid);
    }
}

bool ReadServer(const std::wstring& guid, DWORD form, Server& server)
{
    const std::wstring key = L"CLSID\\" + guid + L"\\" + FormKey(form);
    DWORD type = 0;
    server = Server{};
    server.form = form;
    if (!ReadValue(key, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, server.registered, type))
        return false;
    const bool localServer = form == CLSCTX_LOCAL_SERVER;
    server.file = FileNamed(type == REG_EXPAND_SZ ? Expanded(server.registered) : server.registered, localServer);
    if (localServer && type == REG_EXPAND_SZ && !SameText(server.file, FileNamed(server.registered, true)))
        server.file.clear();
    DWORD modelType = 0;
    if (!localServer)
        ReadValue(key, L"ThreadingModel", RRF_RT_REG_SZ, server.threadingModel, modelType);
    return true;
}

bool IsSystemHandler(const std::wstring& file)
{
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    for (const wchar_t* handler : kSystemHandlers) {
        if (SameText(file, handler))
            return true;
        if (length > 0 && length < MAX_PATH && SameText(file, std::wstring(system) + L"\\" + handler))
            return true;
    }
    return false;
}

bool ThreadingModelAdmits(const std::wstring& model, APTTYPE apartment)
{
    if (SameText(model, L"Both") || SameText(model, L"Neutral"))
        return true;
    if (SameText(model, L"Free"))
        return apartment == APTTYPE_MTA;
    if (SameText(model, L"Apartment"))
        return apartment == APTTYPE_STA || apartment == APTTYPE_MAINSTA;
    return apartment == APTTYPE_MAINSTA;
}

} // namespace ClassRegistration
