// The maker's multilingual resource loader. Loading X.dll picks the satellite
// "<folder>\<language>\X.dll.mui" of the user's preferred UI language, then of
// that language's parents ("de" for "de-DE"), and falls back to X.dll itself;
// the other entry points read resources from what was loaded.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <type_traits>

#include "resources/RtMuiEntryPoints.h"

namespace {

volatile LONG g_mappedLocale = 0;
volatile LONG g_references = 0;

bool IsFile(const wchar_t* path)
{
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// "<folder>\<tag>\<file>.mui" for the module "<folder>\<file>"; false when the
// module path has no folder or the result does not fit.
bool SatellitePath(const wchar_t* modulePath, const wchar_t* tag, wchar_t* out, size_t size)
{
    const wchar_t* slash = std::wcsrchr(modulePath, L'\\');
    if (!slash)
        return false;
    const size_t folder = static_cast<size_t>(slash - modulePath);
    const size_t tagLength = std::wcslen(tag);
    const size_t file = std::wcslen(slash + 1);
    if (folder + 1 + tagLength + 1 + file + 4 >= size)
        return false;
    std::wmemcpy(out, modulePath, folder + 1);
    std::wmemcpy(out + folder + 1, tag, tagLength);
    out[folder + 1 + tagLength] = L'\\';
    std::wmemcpy(out + folder + 2 + tagLength, slash + 1, file);
    std::wmemcpy(out + folder + 2 + tagLength + file, L".mui", 5);
    return true;
}

// Tries tag, then each of its parents; the language of the satellite found.
bool FindSatelliteOf(const wchar_t* modulePath, const wchar_t* tag, wchar_t* out, size_t size, LCID& language)
{
    wchar_t current[LOCALE_NAME_MAX_LENGTH] = {};
    const size_t length = std::wcslen(tag);
    if (length >= LOCALE_NAME_MAX_LENGTH)
        return false;
    std::wmemcpy(current, tag, length + 1);
    for (;;) {
        if (current[0] && SatellitePath(modulePath, current, out, size) && IsFile(out)) {
            language = ::LocaleNameToLCID(current, LOCALE_ALLOW_NEUTRAL_NAMES);
            return true;
        }
        wchar_t* dash = std::wcsrchr(current, L'-');
        if (!dash)
            return false;
        *dash = L'\0';
    }
}

// The satellite for the given language, or for the user's preferred UI
// languages in their order when it is 0.
bool FindSatellite(const wchar_t* modulePath, LANGID requested, wchar_t* out, size_t size, LCID& language)
{
    wchar_t tags[512] = {};
    if (requested == 0) {
        ULONG count = 0;
        ULONG chars = ARRAYSIZE(tags);
        if (::GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, tags, &chars) && count > 0) {
            for (const wchar_t* tag = tags; *tag; tag += std::wcslen(tag) + 1) {
                if (FindSatelliteOf(modulePath, tag, out, size, language))
                    return true;
            }
            return false;
        }
        requested = ::GetUserDefaultUILanguage();
    }
    if (!::LCIDToLocaleName(requested, tags, LOCALE_NAME_MAX_LENGTH, 0))
        return false;
    return FindSatelliteOf(modulePath, tags, out, size, language);
}

BOOL CALLBACK TakeFirstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found)
{
    *reinterpret_cast<LANGID*>(found) = language;
    return FALSE;
}

// The language of a module's own resources, as its version resource states.
LANGID ModuleLanguage(HMODULE module)
{
    LANGID language = 0;
    ::EnumResourceLanguagesW(module, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1), &TakeFirstLanguage,
                             reinterpret_cast<LONG_PTR>(&language));
    return language;
}

// Runs a resource call with the thread's UI language set to the one asked for.
class ThreadUiLanguage
{
public:
    explicit ThreadUiLanguage(LANGID language) : m_previous(::GetThreadUILanguage())
    {
        ::SetThreadUILanguage(language);
    }
    ~ThreadUiLanguage() { ::SetThreadUILanguage(m_previous); }
    ThreadUiLanguage(const ThreadUiLanguage&) = delete;
    ThreadUiLanguage& operator=(const ThreadUiLanguage&) = delete;

private:
    LANGID m_previous;
};

} // namespace

extern "C" {

LCID WINAPI RtMUIGetMappedLocale(DWORD)
{
    const LONG mapped = g_mappedLocale;
    return mapped ? static_cast<LCID>(mapped) : ::GetUserDefaultUILanguage();
}

HMODULE WINAPI RtMUILoadLibraryImpl(LPCWSTR path, HANDLE file, DWORD flags, LANGID language, DWORD)
{
    if (!path) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wchar_t satellite[MAX_PATH] = {};
    LCID chosen = 0;
    if (FindSatellite(path, language, satellite, MAX_PATH, chosen)) {
        // A satellite holds resources only; nothing in it is run.
        HMODULE module =
            ::LoadLibraryExW(satellite, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (module) {
            ::InterlockedExchange(&g_mappedLocale, static_cast<LONG>(chosen));
            return module;
        }
    }
    HMODULE module = ::LoadLibraryExW(path, file, flags);
    if (module)
        ::InterlockedExchange(&g_mappedLocale, ModuleLanguage(module));
    return module;
}

HMODULE WINAPI RtMUILoadLibrary(LPCWSTR path, DWORD)
{
    return RtMUILoadLibraryImpl(path, nullptr, 0, 0, 0);
}

HMODULE WINAPI RtMUILoadLibraryEx(LPCWSTR path, HANDLE file, DWORD flags, DWORD)
{
    return RtMUILoadLibraryImpl(path, file, flags, 0, 0);
}

int WINAPI RtMUILoadString(HINSTANCE module, UINT id, LPWSTR buffer, int size, DWORD)
{
    return ::LoadStringW(module, id, buffer, size);
}

// LoadStringW's answers, from the string table of the one language asked for.
int WINAPI RtMUILoadStringEx(HINSTANCE module, UINT id, LPWSTR buffer, int size, LANGID language, DWORD)
{
    if (!buffer || size < 0)
        return 0;
    HRSRC found = ::FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW((id >> 4) + 1), language);
    const auto* entry = found ? static_cast<const WCHAR*>(::LockResource(::LoadResource(module, found))) : nullptr;
    if (!entry) {
        if (size > 0)
            buffer[0] = L'\0';
        return 0;
    }
    for (UINT i = 0; i < (id & 15); ++i)
        entry += *entry + 1;
    const int length = *entry;
    if (size == 0) {
        *reinterpret_cast<const WCHAR**>(buffer) = entry + 1;
        return length;
    }
    const int copied = length < size - 1 ? length : size - 1;
    std::wmemcpy(buffer, entry + 1, static_cast<size_t>(copied));
    buffer[copied] = L'\0';
    return copied;
}

HRSRC WINAPI RtMUIFindResource(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD)
{
    return ::FindResourceW(module, name, type);
}

HRSRC WINAPI RtMUIFindResourceEx(HMODULE module, LPCWSTR name, LPCWSTR type, LANGID language, DWORD)
{
    return ::FindResourceExW(module, type, name, language);
}

HANDLE WINAPI RtMUILoadImage(HINSTANCE module, LPCWSTR name, UINT type, int width, int height, UINT flags, DWORD)
{
    return ::LoadImageW(module, name, type, width, height, flags);
}

HANDLE WINAPI RtMUILoadImageEx(HINSTANCE module, LPCWSTR name, UINT type, int width, int height, UINT flags,
                               LANGID language, DWORD)
{
    ThreadUiLanguage scope(language);
    return ::LoadImageW(module, name, type, width, height, flags);
}

HBITMAP WINAPI RtMUILoadBitmap(HINSTANCE module, LPCWSTR name, DWORD)
{
    return ::LoadBitmapW(module, name);
}

HBITMAP WINAPI RtMUILoadBitmapEx(HINSTANCE module, LPCWSTR name, LANGID language, DWORD)
{
    ThreadUiLanguage scope(language);
    return ::LoadBitmapW(module, name);
}

HICON WINAPI RtMUILoadIcon(HINSTANCE module, LPCWSTR name, DWORD)
{
    return ::LoadIconW(module, name);
}

HICON WINAPI RtMUILoadIconEx(HINSTANCE module, LPCWSTR name, LANGID language, DWORD)
{
    ThreadUiLanguage scope(language);
    return ::LoadIconW(module, name);
}

ULONG WINAPI DllAddRef(DWORD)
{
    return static_cast<ULONG>(::InterlockedIncrement(&g_references));
}

ULONG WINAPI DllRelease(DWORD)
{
    return static_cast<ULONG>(::InterlockedDecrement(&g_references));
}

} // extern "C"

// When freed, leaves the count of references its users still held in the
// process's environment, so a test can tell that each user let go first.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_DETACH && !reserved) {
        wchar_t held[16] = {};
        if (::_ltow_s(g_references, held, ARRAYSIZE(held), 10) == 0)
            ::SetEnvironmentVariableW(L"VKRTMUI_HELD_AT_UNLOAD", held);
    }
    return TRUE;
}

// The exports keep the signatures their callers are built against.
static_assert(std::is_same_v<decltype(&RtMUIGetMappedLocale), RtMui::GetMappedLocaleFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadLibrary), RtMui::LoadLibraryFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadLibraryEx), RtMui::LoadLibraryExFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadLibraryImpl), RtMui::LoadLibraryImplFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadString), RtMui::LoadStringFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadStringEx), RtMui::LoadStringExFunction>);
static_assert(std::is_same_v<decltype(&RtMUIFindResource), RtMui::FindResourceFunction>);
static_assert(std::is_same_v<decltype(&RtMUIFindResourceEx), RtMui::FindResourceExFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadImage), RtMui::LoadImageFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadImageEx), RtMui::LoadImageExFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadBitmap), RtMui::LoadBitmapFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadBitmapEx), RtMui::LoadBitmapExFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadIcon), RtMui::LoadIconFunction>);
static_assert(std::is_same_v<decltype(&RtMUILoadIconEx), RtMui::LoadIconExFunction>);
static_assert(std::is_same_v<decltype(&DllAddRef), RtMui::RefCountFunction>);
static_assert(std::is_same_v<decltype(&DllRelease), RtMui::RefCountFunction>);
