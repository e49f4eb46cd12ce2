#include "TrustVerification.h"

#include <wintrust.h>
#include <softpub.h>
#include <wincrypt.h>

#include <cwctype>

#include "../etwlogging/ModuleLogger.h"
#include "../plinth/ObfuscatedRegKey.h"
#include "../plinth/Owners.h"
#include "../plinth/WideFormat.h"

namespace {

constexpr wchar_t kFile[] = L"TrustVerification";
constexpr DWORD kLongPathChars = 32768;
constexpr DWORD kThumbprintBytes = 20;

// Closes the verification state WinVerifyTrust keeps between its calls.
struct TrustState
{
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file = {};
    WINTRUST_DATA data = {};
    ~TrustState()
    {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
};

std::wstring Describe(LONG status)
{
    switch (status) {
    case TRUST_E_NOSIGNATURE:
        return L"the file is not signed";
    case TRUST_E_BAD_DIGEST:
        return L"the file was changed after it was signed";
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return L"the file cannot be read";
    default: {
        wchar_t text[64];
        Plinth::FormatWide(text, 64, L"the signature does not verify (0x%08X)", static_cast<unsigned>(status));
        return text;
    }
    }
}

std::wstring SignerThumbprint(HANDLE stateData)
{
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(stateData);
    CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (!certificate || !certificate->pCert)
        return std::wstring();
    BYTE hash[kThumbprintBytes] = {};
    DWORD bytes = kThumbprintBytes;
    if (!::CertGetCertificateContextProperty(certificate->pCert, CERT_SHA1_HASH_PROP_ID, hash, &bytes) ||
        bytes != kThumbprintBytes)
        return std::wstring();
    wchar_t text[2 * kThumbprintBytes + 1] = {};
    for (DWORD i = 0; i < kThumbprintBytes; ++i)
        Plinth::FormatWide(text + 2 * i, 3, L"%02X", hash[i]);
    return text;
}

bool SameThumbprint(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i]))
            return false;
    }
    return true;
}

HRESULT Refuse(const wchar_t* function, const std::wstring& path, const std::wstring& reason)
{
    ZEL_LOG(ETWLogging::LevelError, kFile, function, L"Refused module [%s]: %s\r\n", path.c_str(), reason.c_str());
    return E_ACCESSDENIED;
}

HRESULT VerifyPath(const wchar_t* function, const std::wstring& path)
{
    std::vector<std::wstring> trusted;
    std::wstring reason;
    if (!ReadTrustedPublishers(trusted))
        return Refuse(function, path, L"no trusted publishers are configured");
    if (FAILED(VerifyModuleSignature(path.c_str(), trusted, reason)))
        return Refuse(function, path, reason);
    return S_OK;
}

// The file named by a server registration: expanded, without quotes or arguments.
std::wstring ServerFile(const std::wstring& registered, bool localServer)
{
    wchar_t expanded[kLongPathChars];
    const DWORD length = ::ExpandEnvironmentStringsW(registered.c_str(), expanded, kLongPathChars);
    std::wstring text = length > 0 && length <= kLongPathChars ? std::wstring(expanded) : registered;
    if (!text.empty() && text[0] == L'"') {
        const size_t close = text.find(L'"', 1);
        return close == std::wstring::npos ? std::wstring() : text.substr(1, close - 1);
    }
    if (localServer) {
        const size_t exe = text.find(L".exe");
        if (exe != std::wstring::npos)
            return text.substr(0, exe + 4);
    }
    return text;
}

} // namespace

bool ReadTrustedPublishers(std::vector<std::wstring>& thumbprints)
{
    thumbprints.clear();
    Plinth::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kTrustedPublishersKey, KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    ULONG chars = 0;
    if (key.QueryMultiStringValue(kTrustedPublishersValue, nullptr, &chars) != ERROR_SUCCESS || chars == 0)
        return false;
    std::wstring list(chars + 1, L'\0');
    ULONG capacity = chars;
    if (key.QueryMultiStringValue(kTrustedPublishersValue, list.data(), &capacity) != ERROR_SUCCESS)
        return false;
    for (size_t start = 0; start < list.size() && list[start];) {
        const size_t end = list.find(L'\0', start);
        thumbprints.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return !thumbprints.empty();
}

HRESULT VerifyModuleSignature(const wchar_t* path, const std::vector<std::wstring>& trusted, std::wstring& reason)
{
    reason.clear();
    if (!path || !*path) {
        reason = L"the module has no path";
        return E_ACCESSDENIED;
    }
    TrustState state;
    state.file.cbStruct = sizeof(state.file);
    state.file.pcwszFilePath = path;
    state.data.cbStruct = sizeof(state.data);
    state.data.dwUIChoice = WTD_UI_NONE;
    state.data.fdwRevocationChecks = WTD_REVOKE_NONE;
    state.data.dwUnionChoice = WTD_CHOICE_FILE;
    state.data.pFile = &state.file;
    state.data.dwStateAction = WTD_STATEACTION_VERIFY;
    state.data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &state.action, &state.data);
    // The maker's certificates need not chain to a public root: the signature
    // and the image digest have verified by then, and the thumbprint decides.
    if (status != ERROR_SUCCESS && status != CERT_E_UNTRUSTEDROOT && status != CERT_E_CHAINING) {
        reason = Describe(status);
        return E_ACCESSDENIED;
    }
    const std::wstring signer = SignerThumbprint(state.data.hWVTStateData);
    if (signer.empty()) {
        reason = L"the signer's certificate cannot be read";
        return E_ACCESSDENIED;
    }
    for (const std::wstring& thumbprint : trusted) {
        if (SameThumbprint(thumbprint, signer))
            return S_OK;
    }
    reason = L"the signer " + signer + L" is not a trusted publisher";
    return E_ACCESSDENIED;
}

HRESULT VerifyCallingModule(const void* callerAddress)
{
    constexpr wchar_t kFunction[] = L"CVkSecureClassFactory::CreateInstance";
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(callerAddress), &module))
        return Refuse(kFunction, L"(unknown)", L"the caller is not in any module");
    std::wstring path(kLongPathChars, L'\0');
    const DWORD length = ::GetModuleFileNameW(module, path.data(), kLongPathChars);
    if (length == 0 || length >= kLongPathChars)
        return Refuse(kFunction, L"(unknown)", L"the caller's module path cannot be read");
    path.resize(length);
    return VerifyPath(kFunction, path);
}

HRESULT VerifyServingModule(REFCLSID clsid, DWORD context)
{
    constexpr wchar_t kFunction[] = L"VkCreateInstanceVerified";
    wchar_t guid[39] = {};
    ::StringFromGUID2(clsid, guid, 39);
    const struct
    {
        DWORD context;
        const wchar_t* subKey;
        bool local;
    } servers[] = {{CLSCTX_INPROC_SERVER, L"InprocServer32", false}, {CLSCTX_LOCAL_SERVER, L"LocalServer32", true}};
    for (const auto& server : servers) {
        if (!(context & server.context))
            continue;
        const std::wstring keyPath = std::wstring(L"CLSID\\") + guid + L"\\" + server.subKey;
        DWORD bytes = 0;
        if (::RegGetValueW(HKEY_CLASSES_ROOT, keyPath.c_str(), nullptr,
                           RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, nullptr,
                           &bytes) != ERROR_SUCCESS)
            continue;
        std::wstring registered(bytes / sizeof(wchar_t) + 1, L'\0');
        if (::RegGetValueW(HKEY_CLASSES_ROOT, keyPath.c_str(), nullptr,
                           RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, registered.data(),
                           &bytes) != ERROR_SUCCESS)
            continue;
        registered.resize(::wcslen(registered.c_str()));
        return VerifyPath(kFunction, ServerFile(registered, server.local));
    }
    return Refuse(kFunction, guid, L"no registered server file for the class");
}
