#include "peers/componentchecker/ComponentList.h"

#include <algorithm>
#include <cstddef>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

namespace ComponentChecker {

namespace {

// The registry's own limit on the length of a value name.
constexpr DWORD kMaxValueNameChars = 16383;
// A value that keeps growing while it is read is given up on after this many tries.
constexpr int kMaxReadRetries = 8;

// Registry text may come with an odd byte count and without a terminator; the
// stray byte is dropped and the text ends at the first terminator, if any.
std::wstring DataToText(const std::vector<wchar_t>& data, DWORD bytes)
{
    const size_t chars = std::min<size_t>(bytes / sizeof(wchar_t), data.size());
    const auto last = data.begin() + static_cast<std::ptrdiff_t>(chars);
    const auto end = std::find(data.begin(), last, L'\0');
    return std::wstring(data.begin(), end);
}

// An expansion that fails leaves the text as it was; such a path names no file.
std::wstring Expand(const std::wstring& text)
{
    DWORD capacity = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    for (int attempt = 0; capacity != 0 && attempt < kMaxReadRetries; ++attempt) {
        std::vector<wchar_t> expanded(capacity);
        const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), capacity);
        if (needed == 0)
            break;
        if (needed <= capacity)
            return std::wstring(expanded.data());
        capacity = needed;
    }
    return text;
}

bool NameLess(const Component& left, const Component& right)
{
    return ::CompareStringOrdinal(left.name.c_str(), static_cast<int>(left.name.size()), right.name.c_str(),
                                  static_cast<int>(right.name.size()), TRUE) == CSTR_LESS_THAN;
}

} // namespace

HRESULT ReadComponents(HKEY root, const wchar_t* keyPath, std::vector<Component>& components)
{
    components.clear();
    Plinth::UniqueHKey key;
    LONG status = ::RegOpenKeyExW(root, keyPath, 0, KEY_QUERY_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);

    DWORD maxDataBytes = 0;
    status = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &maxDataBytes, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);

    std::vector<wchar_t> name(kMaxValueNameChars + 1);
    std::vector<wchar_t> data(maxDataBytes / sizeof(wchar_t) + 1);
    int retries = 0;
    for (DWORD index = 0;;) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD type = REG_NONE;
        status = ::RegEnumValueW(key.get(), index, name.data(), &nameChars, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data.data()), &bytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_MORE_DATA && ++retries <= kMaxReadRetries) {
            // The value grew after the key was measured.
            data.resize(std::max(data.size() * 2, bytes / sizeof(wchar_t) + 1));
            continue;
        }
        if (status != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(status);
        ++index;
        retries = 0;
        // The unnamed default value names no component.
        if ((type != REG_SZ && type != REG_EXPAND_SZ) || nameChars == 0)
            continue;
        std::wstring path = DataToText(data, bytes);
        if (type == REG_EXPAND_SZ)
            path = Expand(path);
        components.push_back(Component{std::wstring(name.data(), nameChars), std::move(path)});
    }
    std::sort(components.begin(), components.end(), NameLess);
    return S_OK;
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool GetFileVersionText(const std::wstring& path, std::wstring& version)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return false;
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        return false;
    void* fixed = nullptr;
    UINT fixedBytes = 0;
    if (!::VerQueryValueW(block.data(), L"\\", &fixed, &fixedBytes) || !fixed || fixedBytes < sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    if (info->dwSignature != VS_FFI_SIGNATURE)
        return false;
    wchar_t text[32] = {};
    if (Plinth::FormatWide(
            text, sizeof(text) / sizeof(text[0]), L"%u.%u.%u.%u", static_cast<unsigned>(HIWORD(info->dwFileVersionMS)),
            static_cast<unsigned>(LOWORD(info->dwFileVersionMS)), static_cast<unsigned>(HIWORD(info->dwFileVersionLS)),
            static_cast<unsigned>(LOWORD(info->dwFileVersionLS))) < 0)
        return false;
    version = text;
    return true;
}

} // namespace ComponentChecker
