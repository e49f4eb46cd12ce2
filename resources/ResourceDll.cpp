#include "resources/ResourceDll.h"

#include <clocale>
#include <cwchar>

#include "plinth/DllWrapperBase.h"
#include "plinth/Logging/internal_logging.h"
#include "plinth/Owners.h"
#include "resources/RtMuiImpl.h"

namespace {

constexpr wchar_t kProductKey[] = L"Software\\Varkon\\ZEL";
constexpr wchar_t kInstallDirValue[] = L"Install Dir";
constexpr wchar_t kResourceDllName[] = L"ZelRes2.DLL";
constexpr DWORD kInstallDirBytes = 522;

// Appends text when the whole of it fits before the buffer's last unit.
bool Append(wchar_t* buffer, size_t size, const wchar_t* text)
{
    const size_t length = std::wcslen(buffer);
    const size_t count = std::wcslen(text);
    if (count >= size - length)
        return false;
    std::wmemcpy(buffer + length, text, count + 1);
    return true;
}

const wchar_t* Describe(DWORD refusal)
{
    switch (refusal) {
    case ERROR_BAD_PATHNAME:
        return L"the install directory is not a fully qualified path";
    case ERROR_FILENAME_EXCED_RANGE:
        return L"the install directory and the file name are longer than a path may be";
    default:
        return L"the install directory is not known";
    }
}

HMODULE LoadThroughRtMui(const wchar_t* path)
{
    return GetRtMui().MuiLoadLibrary(path);
}

} // namespace

bool GetInstallDir(wchar_t* buffer, size_t size, bool shortForm)
{
    if (!buffer || size == 0)
        return false;
    buffer[0] = L'\0';
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    wchar_t value[kInstallDirBytes / sizeof(wchar_t)] = {};
    DWORD type = REG_NONE;
    DWORD bytes = kInstallDirBytes;
    if (::RegQueryValueExW(key.get(), kInstallDirValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) !=
        ERROR_SUCCESS)
        return false;
    // An expandable string is used as stored.
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (bytes != 0 && (bytes % sizeof(wchar_t) != 0 || value[bytes / sizeof(wchar_t) - 1] != L'\0'))
        return false;
    const size_t count = std::wcslen(value);
    if (count >= size)
        return false;
    std::wmemcpy(buffer, value, count + 1);
    if (shortForm)
        ::GetShortPathNameW(buffer, buffer, static_cast<DWORD>(size));
    return true;
}

DWORD GetInstallFilePath(const wchar_t* name, wchar_t* buffer, size_t size)
{
    if (!name || !buffer || size == 0)
        return ERROR_INVALID_PARAMETER;
    buffer[0] = L'\0';
    if (!GetInstallDir(buffer, size, true))
        return ERROR_FILE_NOT_FOUND;
    if (!Append(buffer, size, L"\\") || !Append(buffer, size, name)) {
        buffer[0] = L'\0';
        return ERROR_FILENAME_EXCED_RANGE;
    }
    if (!Plinth::IsFullyQualifiedModulePath(buffer)) {
        buffer[0] = L'\0';
        return ERROR_BAD_PATHNAME;
    }
    return ERROR_SUCCESS;
}

DWORD GetResourceDllPath(wchar_t* buffer, size_t size)
{
    return GetInstallFilePath(kResourceDllName, buffer, size);
}

ResourceModuleState::ResourceModuleState(LoadFunction load) : m_load(load) {}

ResourceModuleState::~ResourceModuleState()
{
    if (m_module)
        ::FreeLibrary(m_module);
}

BOOL CALLBACK ResourceModuleState::LoadOnce(INIT_ONCE*, void* state, void**)
{
    auto* self = static_cast<ResourceModuleState*>(state);
    wchar_t path[MAX_PATH] = {};
    const DWORD refusal = GetResourceDllPath(path, MAX_PATH);
    if (refusal == ERROR_SUCCESS) {
        self->m_module = self->m_load(path);
    } else {
        // Anything but a whole, fully qualified path would let the loader's
        // search order find a planted copy.
        Plinth::CLogger::Log(Plinth::LogLevelError, L"ResourceDll", L"ResourceModuleState::LoadOnce", __LINE__,
                             L"The resource DLL is not loaded: %s", Describe(refusal));
    }
    ::setlocale(LC_ALL, ".ACP");
    return TRUE;
}

HMODULE ResourceModuleState::Module()
{
    ::InitOnceExecuteOnce(&m_tried, &ResourceModuleState::LoadOnce, this, nullptr);
    return m_module;
}

bool ResourceModuleState::LoadText(UINT id, CCoMemAlloc<wchar_t>& owner)
{
    // Without the resource DLL a lookup would search the host's executable,
    // whose string of the same id is not the product's text.
    HMODULE module = Module();
    if (!module)
        return false;
    const wchar_t* text = nullptr;
    const int length = GetRtMui().MuiLoadString(module, id, reinterpret_cast<LPWSTR>(&text), 0, 0);
    if (length < 1 || !text)
        return false;
    const size_t bytes = (static_cast<size_t>(length) + 1) * sizeof(wchar_t);
    if (wchar_t* copy = owner.Allocate(bytes))
        std::memcpy(copy, text, static_cast<size_t>(length) * sizeof(wchar_t));
    return true;
}

ResourceModuleState& GetResourceModuleState()
{
    // The loader must outlive the DLL it loaded: made first, it is released last.
    GetRtMui();
    static ResourceModuleState state(&LoadThroughRtMui);
    return state;
}

bool LoadResString(UINT id, CCoMemAlloc<wchar_t>& owner)
{
    return GetResourceModuleState().LoadText(id, owner);
}
