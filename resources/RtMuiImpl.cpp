#include "resources/RtMuiImpl.h"

#include <cwchar>
#include <string>
#include <vector>

#include "plinth/Logging/internal_logging.h"
#include "zelcom/LoadedImage.h"
#include "zelcom/TrustVerification.h"

namespace {

constexpr wchar_t kLoaderBelowCommonFiles[] = L"\\Varkon\\Platform\\VkRtMui.dll";
constexpr LCID kFallbackLocale = 0x0409;

void LogRefusal(const wchar_t* path, const wchar_t* reason)
{
    Plinth::CLogger::Log(Plinth::LogLevelError, L"RtMuiImpl", L"RtMuiImpl::PreLoadCheck", __LINE__,
                         L"Refused module [%s]: %s", path, reason);
}

} // namespace

RtMuiImpl::RtMuiImpl()
{
    wchar_t path[MAX_PATH] = {};
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(L"CommonProgramFiles", path, MAX_PATH);
    if (length == 0) {
        // An empty variable gives 0 without an error: it names no folder either.
        const DWORD error = ::GetLastError();
        m_status = error != ERROR_SUCCESS ? error : ERROR_ENVVAR_NOT_FOUND;
        return;
    }
    // A cut path could name another file; a folder that leaves no room for the
    // loader's own path means fallback mode.
    const size_t suffix = std::wcslen(kLoaderBelowCommonFiles);
    if (length >= MAX_PATH || length + suffix >= MAX_PATH) {
        m_status = ERROR_FILENAME_EXCED_RANGE;
        return;
    }
    std::wmemcpy(path + length, kLoaderBelowCommonFiles, suffix + 1);
    Create(path);
}

RtMuiImpl::RtMuiImpl(const wchar_t* path)
{
    Create(path);
}

DWORD RtMuiImpl::PreLoadCheck(const wchar_t* path)
{
    std::vector<std::wstring> trusted;
    const bool configured = ReadTrustedPublishers(trusted);
    std::wstring reason;
    if (SUCCEEDED(OpenVerifiedFile(path, trusted, m_verifiedFile, reason)))
        return ERROR_SUCCESS;
    // A loader that is not installed is the ordinary fallback, not a refusal.
    const DWORD error = ::GetLastError();
    if (error == kErrorUnverifiedImage)
        LogRefusal(path, configured ? reason.c_str() : L"no trusted publishers are configured");
    return error;
}

void RtMuiImpl::Create(const wchar_t* path)
{
    m_status = Load(path);
    const wchar_t* mismatch = nullptr;
    if (m_status == ERROR_SUCCESS && !LoadedImageMatchesFile(Module(), m_verifiedFile.get(), mismatch)) {
        LogRefusal(path, mismatch);
        Release();
        m_status = kErrorUnverifiedImage;
    }
    m_verifiedFile.reset();
    if (m_status != ERROR_SUCCESS)
        return;
    for (size_t i = 0; i < RtMui::kEntryPointCount; ++i) {
        m_entries[i] = Proc(RtMui::kEntryPointNames[i]);
        if (!m_entries[i]) {
            m_status = ::GetLastError();
            return;
        }
    }
}

LCID RtMuiImpl::MuiGetMappedLocale() const
{
    if (m_status != ERROR_SUCCESS)
        return kFallbackLocale;
    const auto entry = Get<RtMui::GetMappedLocaleFunction>(kGetMappedLocale);
    return entry ? entry(0) : 0;
}

HMODULE RtMuiImpl::MuiLoadLibrary(LPCWSTR path) const
{
    if (m_status != ERROR_SUCCESS)
        return ::LoadLibraryW(path);
    const auto entry = Get<RtMui::LoadLibraryFunction>(kLoadLibraryPlain);
    return entry ? entry(path, 0) : nullptr;
}

HMODULE RtMuiImpl::MuiLoadLibraryEx(LPCWSTR path, HANDLE file, DWORD flags) const
{
    if (m_status != ERROR_SUCCESS)
        return ::LoadLibraryExW(path, file, flags);
    const auto entry = Get<RtMui::LoadLibraryExFunction>(kLoadLibraryEx);
    return entry ? entry(path, file, flags, 0) : nullptr;
}

int RtMuiImpl::MuiLoadString(HINSTANCE module, UINT id, LPWSTR buffer, int size, LANGID language) const
{
    if (m_status != ERROR_SUCCESS)
        return ::LoadStringW(module, id, buffer, size);
    if (language == 0) {
        const auto entry = Get<RtMui::LoadStringFunction>(kLoadString);
        return entry ? entry(module, id, buffer, size, 0) : 0;
    }
    const auto entry = Get<RtMui::LoadStringExFunction>(kLoadStringEx);
    return entry ? entry(module, id, buffer, size, language, 0) : 0;
}

HRSRC RtMuiImpl::MuiFindResource(HMODULE module, LPCWSTR name, LPCWSTR type, LANGID language) const
{
    if (m_status != ERROR_SUCCESS)
        return ::FindResourceW(module, name, type);
    if (language == 0) {
        const auto entry = Get<RtMui::FindResourceFunction>(kFindResource);
        return entry ? entry(module, name, type, 0) : nullptr;
    }
    const auto entry = Get<RtMui::FindResourceExFunction>(kFindResourceEx);
    return entry ? entry(module, name, type, language, 0) : nullptr;
}

HANDLE RtMuiImpl::MuiLoadImage(HINSTANCE module, LPCWSTR name, UINT type, int width, int height, UINT flags,
                               LANGID language) const
{
    if (m_status != ERROR_SUCCESS)
        return ::LoadImageW(module, name, type, width, height, flags);
    if (language == 0) {
        const auto entry = Get<RtMui::LoadImageFunction>(kLoadImage);
        return entry ? entry(module, name, type, width, height, flags, 0) : nullptr;
    }
    const auto entry = Get<RtMui::LoadImageExFunction>(kLoadImageEx);
    return entry ? entry(module, name, type, width, height, flags, language, 0) : nullptr;
}

HBITMAP RtMuiImpl::MuiLoadBitmap(HINSTANCE module, LPCWSTR name, LANGID language) const
{
    if (m_status != ERROR_SUCCESS)
        return ::LoadBitmapW(module, name);
    if (language == 0) {
        const auto entry = Get<RtMui::LoadBitmapFunction>(kLoadBitmap);
        return entry ? entry(module, name, 0) : nullptr;
    }
    const auto entry = Get<RtMui::LoadBitmapExFunction>(kLoadBitmapEx);
    return entry ? entry(module, name, language, 0) : nullptr;
}

HICON RtMuiImpl::MuiLoadIcon(HINSTANCE module, LPCWSTR name, LANGID language) const
{
    if (m_status != ERROR_SUCCESS)
        return ::LoadIconW(module, name);
    if (language == 0) {
        const auto entry = Get<RtMui::LoadIconFunction>(kLoadIcon);
        return entry ? entry(module, name, 0) : nullptr;
    }
    const auto entry = Get<RtMui::LoadIconExFunction>(kLoadIconEx);
    return entry ? entry(module, name, language, 0) : nullptr;
}

RtMuiImpl& GetRtMui()
{
    // Made once, also when the first calls race; its destructor, run when the
    // module ends, tells the loader and frees it.
    static RtMuiImpl loader;
    return loader;
}
