#include "zelcom/TrustVerification.h"

#include <wintrust.h>
#include <softpub.h>
#include <wincrypt.h>

#include <cwchar>
#include <cwctype>
#include <new>
#include <utility>

#include "etwlogging/ModuleLogger.h"
#include "plinth/DllWrapperBase.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/WideFormat.h"
#include "zelcom/LoadedImage.h"

namespace {

constexpr wchar_t kFile[] = L"TrustVerification";
constexpr DWORD kLongPathChars = 32768;
constexpr DWORD kThumbprintBytes = 20;
constexpr size_t kMaxTreatAs = 8;
constexpr DWORD kServerForms = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                               CLSCTX_INPROC_SERVER16 | CLSCTX_REMOTE_SERVER | CLSCTX_INPROC_HANDLER16;
constexpr wchar_t kCallerFunction[] = L"CVkSecureClassFactory::CreateInstance";
constexpr wchar_t kServerFunction[] = L"VkCreateInstanceVerified";

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

// The file a server registration names, environment variables expanded: an
// in-process server's value without its quotes; a local server's command line
// up to its end quote or, unquoted, up to the first blank, which is where
// process creation ends the program's name too.
std::wstring ServerFile(const std::wstring& registered, bool localServer)
{
    const DWORD length = ::ExpandEnvironmentStringsW(registered.c_str(), nullptr, 0);
    std::wstring text(length, L'\0');
    if (length == 0 || ::ExpandEnvironmentStringsW(registered.c_str(), text.data(), length) != length)
        return std::wstring();
    text.resize(length - 1);
    if (!text.empty() && text[0] == L'"') {
        const size_t close = text.find(L'"', 1);
        return close == std::wstring::npos ? std::wstring() : text.substr(1, close - 1);
    }
    return localServer ? text.substr(0, text.find_first_of(L" \t")) : text;
}

// The default value of a key below HKEY_CLASSES_ROOT, unexpanded; false when
// there is none.
bool ReadClassValue(const std::wstring& keyPath, std::wstring& value)
{
    constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    DWORD bytes = 0;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, keyPath.c_str(), nullptr, kFlags, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return false;
    value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegGetValueW(HKEY_CLASSES_ROOT, keyPath.c_str(), nullptr, kFlags, nullptr, value.data(), &bytes) !=
        ERROR_SUCCESS)
        return false;
    value.resize(::wcslen(value.c_str()));
    return true;
}

std::wstring ModulePath(HMODULE module)
{
    std::wstring path(kLongPathChars, L'\0');
    const DWORD length = ::GetModuleFileNameW(module, path.data(), kLongPathChars);
    if (length == 0 || length >= kLongPathChars)
        return std::wstring();
    path.resize(length);
    return path;
}

HRESULT VerifyCaller(const void* callerAddress)
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(callerAddress), &module))
        return Refuse(kCallerFunction, L"(unknown)", L"the caller is not in any module");
    const std::wstring path = ModulePath(module);
    if (path.empty())
        return Refuse(kCallerFunction, L"(unknown)", L"the caller's module path cannot be read");
    std::vector<std::wstring> trusted;
    if (!ReadTrustedPublishers(trusted))
        return Refuse(kCallerFunction, path, L"no trusted publishers are configured");
    Plinth::UniqueHandle file;
    std::wstring reason;
    if (FAILED(OpenVerifiedFile(path.c_str(), trusted, file, reason)))
        return Refuse(kCallerFunction, path, reason);
    const wchar_t* mismatch = nullptr;
    if (!LoadedImageMatchesFile(module, file.get(), mismatch))
        return Refuse(kCallerFunction, path, mismatch);
    return S_OK;
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

HRESULT OpenVerifiedFile(const wchar_t* path, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file,
                         std::wstring& reason)
{
    file.reset();
    reason.clear();
    if (!Plinth::IsFullyQualifiedModulePath(path)) {
        reason = L"the path is not fully qualified";
        return E_ACCESSDENIED;
    }
    // Readers may share it; nobody may write, rename or delete it while it is open.
    HANDLE raw =
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        wchar_t text[80];
        Plinth::FormatWide(text, 80, L"the file cannot be opened (error %u)", static_cast<unsigned>(::GetLastError()));
        reason = text;
        return E_ACCESSDENIED;
    }
    Plinth::UniqueHandle opened(raw);
    const HRESULT hr = VerifyFileSignature(path, opened.get(), trusted, reason);
    if (SUCCEEDED(hr))
        file = std::move(opened);
    return hr;
}

HRESULT VerifyFileSignature(const wchar_t* path, HANDLE file, const std::vector<std::wstring>& trusted,
                            std::wstring& reason)
{
    reason.clear();
    TrustState state;
    state.file.cbStruct = sizeof(state.file);
    state.file.pcwszFilePath = path;
    state.file.hFile = file;
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
    try {
        return VerifyCaller(callerAddress);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CServerTrust::VerifyRegistered(REFCLSID clsid, DWORD context)
{
    try {
        m_servers.clear();
        m_context = context & ~kServerForms;
        std::vector<std::wstring> trusted;
        wchar_t guid[39] = {};
        ::StringFromGUID2(clsid, guid, 39);
        if (!ReadTrustedPublishers(trusted))
            return Refuse(kServerFunction, guid, L"no trusted publishers are configured");
        std::vector<std::wstring> chain{guid};
        for (;;) {
            const HRESULT hr = VerifyClass(chain.back(), context, trusted);
            if (FAILED(hr))
                return hr;
            std::wstring next;
            if (!ReadClassValue(L"CLSID\\" + chain.back() + L"\\TreatAs", next))
                break;
            CLSID target;
            if (FAILED(::CLSIDFromString(next.c_str(), &target)))
                return Refuse(kServerFunction, chain.back(), L"its TreatAs class cannot be read");
            ::StringFromGUID2(target, guid, 39);
            for (const std::wstring& seen : chain) {
                if (::_wcsicmp(seen.c_str(), guid) == 0)
                    return Refuse(kServerFunction, guid, L"its TreatAs classes form a loop");
            }
            if (chain.size() == kMaxTreatAs)
                return Refuse(kServerFunction, guid, L"its TreatAs classes go on too long");
            chain.push_back(guid);
        }
        if (!(m_context & kServerForms))
            return Refuse(kServerFunction, chain.front(), L"no registered server file for the class");
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CServerTrust::VerifyClass(const std::wstring& guid, DWORD context, const std::vector<std::wstring>& trusted)
{
    const struct
    {
        DWORD form;
        const wchar_t* subKey;
        bool inProcess;
    } forms[] = {{CLSCTX_INPROC_SERVER, L"InprocServer32", true},
                 {CLSCTX_INPROC_HANDLER, L"InprocHandler32", true},
                 {CLSCTX_LOCAL_SERVER, L"LocalServer32", false}};
    for (const auto& form : forms) {
        std::wstring registered;
        if (!(context & form.form) || !ReadClassValue(L"CLSID\\" + guid + L"\\" + form.subKey, registered))
            continue;
        VerifiedServer server;
        server.path = ServerFile(registered, !form.inProcess);
        server.inProcess = form.inProcess;
        std::wstring reason;
        if (FAILED(OpenVerifiedFile(server.path.c_str(), trusted, server.file, reason)))
            return Refuse(kServerFunction, server.path.empty() ? registered : server.path, reason);
        m_servers.push_back(std::move(server));
        m_context |= form.form;
    }
    return S_OK;
}

HRESULT CServerTrust::VerifyClassObject(IUnknown* classObject) const
{
    // A class served only by a local server reaches this process as a proxy;
    // the server that runs is the verified file, held open since it verified.
    if (!(m_context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)))
        return S_OK;
    try {
        // The fourth slot of the class-factory interfaces, after IUnknown's
        // three, is the CreateInstance that is about to run.
        const void* code = classObject ? (*reinterpret_cast<void* const* const*>(classObject))[3] : nullptr;
        HMODULE module = nullptr;
        if (!code ||
            !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  static_cast<LPCWSTR>(code), &module))
            return Refuse(kServerFunction, L"(unknown)", L"the class object is not in any module");
        const wchar_t* mismatch = L"no server file verified for the class";
        for (const VerifiedServer& server : m_servers) {
            if (server.inProcess && LoadedImageMatchesFile(module, server.file.get(), mismatch))
                return S_OK;
        }
        const std::wstring path = ModulePath(module);
        return Refuse(kServerFunction, path.empty() ? L"(unknown)" : path,
                      std::wstring(L"the class object does not come from a verified server file: ") + mismatch);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
