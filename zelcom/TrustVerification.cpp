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
#include "zelcom/ClassRegistration.h"
#include "zelcom/LoadedImage.h"
#include "zelcom/ServerIdentity.h"
#include "zelcom/VerificationCache.h"
#include "zelcom/ZelLumoAp.h"

namespace {

constexpr wchar_t kFile[] = L"TrustVerification";
constexpr DWORD kLongPathChars = 32768;
constexpr DWORD kThumbprintBytes = 20;
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

// When the first certificate of the signer's chain stops being valid; a
// signature verified now may not verify then.
FILETIME ChainExpiry(HANDLE stateData)
{
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(stateData);
    CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (!signer || signer->csCertChain == 0)
        return FILETIME{};
    FILETIME earliest = {MAXDWORD, MAXDWORD};
    for (DWORD i = 0; i < signer->csCertChain; ++i) {
        const CERT_CONTEXT* certificate = signer->pasCertChain[i].pCert;
        if (!certificate)
            return FILETIME{};
        if (::CompareFileTime(&certificate->pCertInfo->NotAfter, &earliest) < 0)
            earliest = certificate->pCertInfo->NotAfter;
    }
    return earliest;
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

HRESULT VerifySignature(const wchar_t* path, HANDLE file, const std::vector<std::wstring>& trusted,
                        std::wstring& reason, FILETIME* validUntil)
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
        if (!SameThumbprint(thumbprint, signer))
            continue;
        if (validUntil)
            *validUntil = ChainExpiry(state.data.hWVTStateData);
        return S_OK;
    }
    reason = L"the signer " + signer + L" is not a trusted publisher";
    return E_ACCESSDENIED;
}

HRESULT Refuse(const wchar_t* function, const std::wstring& path, const std::wstring& reason)
{
    ZEL_LOG(ETWLogging::LevelError, kFile, function, L"Refused module [%s]: %s\r\n", path.c_str(), reason.c_str());
    return E_ACCESSDENIED;
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
    FILETIME validUntil;
    return OpenVerifiedFile(path, trusted, file, reason, validUntil);
}

HRESULT OpenVerifiedFile(const wchar_t* path, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file,
                         std::wstring& reason, FILETIME& validUntil)
{
    file.reset();
    reason.clear();
    if (!Plinth::IsFullyQualifiedModulePath(path)) {
        reason = L"the path is not fully qualified";
        ::SetLastError(ERROR_BAD_PATHNAME);
        return E_ACCESSDENIED;
    }
    // Readers may share it; nobody may write, rename or delete it while it is open.
    HANDLE raw =
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        wchar_t text[80];
        Plinth::FormatWide(text, 80, L"the file cannot be opened (error %u)", static_cast<unsigned>(error));
        reason = text;
        ::SetLastError(error);
        return E_ACCESSDENIED;
    }
    Plinth::UniqueHandle opened(raw);
    const HRESULT hr = VerifySignature(path, opened.get(), trusted, reason, &validUntil);
    if (FAILED(hr)) {
        opened.reset();
        ::SetLastError(kErrorUnverifiedImage);
        return hr;
    }
    file = std::move(opened);
    return S_OK;
}

HRESULT VerifyFileSignature(const wchar_t* path, HANDLE file, const std::vector<std::wstring>& trusted,
                            std::wstring& reason)
{
    return VerifySignature(path, file, trusted, reason, nullptr);
}

HRESULT VerifyCallingModule(const void* callerAddress)
{
    try {
        return VerifyCaller(callerAddress);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

namespace {

using ClassRegistration::Server;
using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID clsid, REFIID riid, void** ppv);

// Opens and verifies the file a registration names, held in file; a file
// this process verified and has held since is not verified again.
HRESULT OpenServerFile(const Server& server, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file)
{
    if (server.file.empty())
        return Refuse(kServerFunction, server.registered, L"the registration names no single file");
    std::wstring reason;
    if (FAILED(OpenVerifiedFileOnce(server.file.c_str(), trusted, file, reason)))
        return Refuse(kServerFunction, server.file, reason);
    return S_OK;
}

HRESULT AdmitApartment(const Server& server)
{
    APTTYPE apartment = APTTYPE_STA;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    const HRESULT hr = ::CoGetApartmentType(&apartment, &qualifier);
    if (FAILED(hr))
        return hr;
    if (ClassRegistration::ThreadingModelAdmits(server.threadingModel, apartment))
        return S_OK;
    ZEL_LOG(ETWLogging::LevelError, kFile, kServerFunction,
            L"Refused module [%s]: its threading model \"%s\" does not allow calls from the caller's apartment\r\n",
            server.file.c_str(), server.threadingModel.c_str());
    return RPC_E_WRONG_THREAD;
}

// Loads the verified file while it is held, so the file that runs is the file
// that verified, and keeps it loaded: objects of it may live as long as the
// process, and nothing here asks the server whether it may be unloaded.
HRESULT LoadVerifiedServer(const Server& server, const std::vector<std::wstring>& trusted, HMODULE& loaded)
{
    Plinth::UniqueHandle file;
    HRESULT hr = OpenServerFile(server, trusted, file);
    if (SUCCEEDED(hr))
        hr = AdmitApartment(server);
    if (FAILED(hr))
        return hr;
    Plinth::UniqueModule module(::LoadLibraryExW(server.file.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!module) {
        hr = HRESULT_FROM_WIN32(::GetLastError());
        ZEL_LOG(ETWLogging::LevelError, kFile, kServerFunction, L"Module [%s] cannot be loaded [0x%08X]\r\n",
                server.file.c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    const wchar_t* mismatch = nullptr;
    if (!LoadedImageMatchesFile(module.get(), file.get(), mismatch))
        return Refuse(kServerFunction, server.file, mismatch);
    loaded = module.get();
    // Pinned, the module ignores the release of this reference; should pinning
    // fail, the reference is kept instead.
    HMODULE pinned = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(loaded), &pinned))
        static_cast<void>(module.release());
    return S_OK;
}

// Makes the object through the class object the verified server's
// DllGetClassObject gives for the host's factory interfaces, which share
// CreateInstance's place after IUnknown.
HRESULT CreateInprocObject(const std::wstring& guid, const Server& server, const std::vector<std::wstring>& trusted,
                           REFIID riid, void** ppv)
{
    HMODULE module = nullptr;
    HRESULT hr = LoadVerifiedServer(server, trusted, module);
    if (FAILED(hr))
        return hr;
    const auto getClassObject = reinterpret_cast<GetClassObjectFunction>(
        reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    CLSID clsid;
    if (!getClassObject || FAILED(::CLSIDFromString(guid.c_str(), &clsid)))
        return CO_E_ERRORINDLL;
    Plinth::ComPtr<IVkClassFactory> factory;
    hr = getClassObject(clsid, IID_IVkClassFactory, factory.put_void());
    if (FAILED(hr))
        hr = getClassObject(clsid, IID_IVkClassFactory_PreComponentization, factory.put_void());
    if (FAILED(hr))
        return hr;
    if (!factory)
        return E_POINTER;
    return factory->CreateInstance(riid, ppv);
}

// HRESULT_FROM_WIN32 of the RPC runtime's errors, 1700 to 1931.
bool IsRpcFailure(HRESULT hr)
{
    return hr >= static_cast<HRESULT>(0x800706A4) && hr <= static_cast<HRESULT>(0x8007078B);
}

// A lookup may reach the registration of a server that has just ended, which
// fails at once with an RPC error; a lookup after it finds another server's
// registration or starts a server.
HRESULT LookUpServerIdentity(REFCLSID clsid, DWORD context, Plinth::ComPtr<IZelServerIdentity>& identity)
{
    constexpr int kLookupRounds = 2;
    HRESULT hr = E_FAIL;
    for (int round = 0; round < kLookupRounds; ++round) {
        hr = ::CoGetClassObject(clsid, context, nullptr, IID_IZelServerIdentity, identity.put_void());
        if (!IsRpcFailure(hr))
            return hr;
    }
    return hr;
}

// COM starts the program of a local server from the registration it reads
// itself, and connects to whichever process registered the class: every
// program the chain names must verify and is held while COM may start it,
// and the object is made only in the call in which the process that answers
// proves it runs one of them.
HRESULT CreateLocalObject(REFCLSID clsid, const std::vector<std::wstring>& chain, DWORD context,
                          const std::vector<std::wstring>& trusted, REFIID riid, void** ppv)
{
    std::vector<Plinth::UniqueHandle> held;
    std::vector<std::wstring> programs;
    for (const std::wstring& guid : chain) {
        Server server;
        if (!ClassRegistration::ReadServer(guid, CLSCTX_LOCAL_SERVER, server))
            continue;
        Plinth::UniqueHandle file;
        const HRESULT hr = OpenServerFile(server, trusted, file);
        if (FAILED(hr))
            return hr;
        held.push_back(std::move(file));
        programs.push_back(server.file);
    }
    if (programs.empty())
        return Refuse(kServerFunction, chain.front(), L"no registered server file for the class");
    Plinth::ComPtr<IZelServerIdentity> identity;
    const HRESULT hr = LookUpServerIdentity(clsid, (context & ~kServerForms) | CLSCTX_LOCAL_SERVER, identity);
    if (FAILED(hr))
        return hr;
    if (!identity)
        return E_POINTER;
    std::wstring reason;
    const HRESULT created = CreateFromServingProcess(identity.get(), programs, riid, ppv, reason);
    if (!reason.empty())
        return Refuse(kServerFunction, programs.front(), reason);
    return created;
}

HRESULT CreateObjectOfForm(REFCLSID clsid, DWORD context, REFIID riid, void** ppv)
{
    const std::wstring guid = ClassRegistration::GuidText(clsid);
    std::vector<std::wstring> trusted;
    if (!ReadTrustedPublishers(trusted))
        return Refuse(kServerFunction, guid, L"no trusted publishers are configured");
    std::vector<std::wstring> chain;
    std::wstring reason;
    if (FAILED(ClassRegistration::ReadTreatAsChain(clsid, chain, reason)))
        return Refuse(kServerFunction, chain.back(), reason);
    Server server;
    if ((context & CLSCTX_INPROC_SERVER) && ClassRegistration::ReadServer(chain.back(), CLSCTX_INPROC_SERVER, server))
        return CreateInprocObject(chain.back(), server, trusted, riid, ppv);
    // The system's standard handler only connects to the local server.
    if ((context & CLSCTX_INPROC_HANDLER) &&
        ClassRegistration::ReadServer(chain.back(), CLSCTX_INPROC_HANDLER, server) &&
        !ClassRegistration::IsSystemHandler(server.file))
        return CreateInprocObject(chain.back(), server, trusted, riid, ppv);
    if (context & CLSCTX_LOCAL_SERVER)
        return CreateLocalObject(clsid, chain, context, trusted, riid, ppv);
    return Refuse(kServerFunction, guid, L"no registered server file for the class");
}

} // namespace

HRESULT CreateVerifiedObject(REFCLSID clsid, DWORD context, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    try {
        return CreateObjectOfForm(clsid, context, riid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
