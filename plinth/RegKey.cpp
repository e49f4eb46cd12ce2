#include "plinth/RegKey.h"

#include "plinth/SecurityAPI.h"

#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <new>

namespace Plinth {

namespace {

constexpr DWORD kViewFlagsMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr ULONG kGuidTextChars = 64;
constexpr DWORD kEnumNameChars = 256;

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Bound late so the module still loads where the extended deletion is missing.
// Concurrent first calls only repeat the same lookup and store the same value.
std::atomic<bool> g_deleteKeyExResolved{false};
std::atomic<RegDeleteKeyExWFn> g_deleteKeyEx{nullptr};

RegDeleteKeyExWFn ResolveDeleteKeyEx()
{
    if (g_deleteKeyExResolved.load(std::memory_order_acquire))
        return g_deleteKeyEx.load(std::memory_order_acquire);
    RegDeleteKeyExWFn function = nullptr;
    if (HMODULE advapi = ::GetModuleHandleW(L"Advapi32.dll")) {
        const FARPROC proc = ::GetProcAddress(advapi, "RegDeleteKeyExW");
        function = reinterpret_cast<RegDeleteKeyExWFn>(reinterpret_cast<void*>(proc));
    }
    g_deleteKeyEx.store(function, std::memory_order_release);
    g_deleteKeyExResolved.store(true, std::memory_order_release);
    return function;
}

// Characters to bytes without wrapping: an oversized capacity is cut to what a
// byte count can express.
ULONG CharsToBytes(ULONG chars)
{
    return chars > MAXDWORD / sizeof(wchar_t) ? MAXDWORD - 1 : chars * static_cast<ULONG>(sizeof(wchar_t));
}

// The characters a read of bytes needs. An odd count is rounded up, so that a
// buffer of the size a length query gives holds the whole value, and its read
// answers 13 for the odd length rather than 234 for a buffer it cannot grow.
ULONG CharsFor(ULONG bytes)
{
    return bytes / sizeof(wchar_t) + bytes % sizeof(wchar_t);
}

} // namespace

namespace internal {

CRegKeyImpl::~CRegKeyImpl()
{
    Close();
}

LONG CRegKeyImpl::QueryValue(LPCWSTR valueName, DWORD* type, void* data, ULONG* bytes)
{
    if (!m_key)
        return ERROR_INVALID_PARAMETER;
    return ::RegQueryValueExW(m_key, valueName, nullptr, type, static_cast<BYTE*>(data), bytes);
}

LONG CRegKeyImpl::SetValue(LPCWSTR valueName, DWORD type, const void* data, ULONG bytes)
{
    if (!m_key || !data || bytes == 0)
        return ERROR_INVALID_PARAMETER;
    return ::RegSetValueExW(m_key, valueName, 0, type, static_cast<const BYTE*>(data), bytes);
}

LONG CRegKeyImpl::SetGUIDValue(LPCWSTR valueName, REFGUID guid)
{
    wchar_t text[kGuidTextChars] = {};
    ::StringFromGUID2(guid, text, kGuidTextChars);
    return SetStringValue(valueName, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(LPCWSTR valueName, const void* data, ULONG bytes)
{
    return SetValue(valueName, REG_BINARY, data, bytes);
}

LONG CRegKeyImpl::SetDWORDValue(LPCWSTR valueName, DWORD value)
{
    return SetValue(valueName, REG_DWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetQWORDValue(LPCWSTR valueName, ULONGLONG value)
{
    return SetValue(valueName, REG_QWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetStringValue(LPCWSTR valueName, LPCWSTR value, DWORD type)
{
    if (!value)
        return ERROR_INVALID_DATA;
    const size_t chars = ::wcslen(value) + 1;
    if (chars > MAXDWORD / sizeof(wchar_t))
        return ERROR_INVALID_PARAMETER;
    return SetValue(valueName, type, value, static_cast<ULONG>(chars * sizeof(wchar_t)));
}

LONG CRegKeyImpl::SetMultiStringValue(LPCWSTR valueName, LPCWSTR value)
{
    if (!value)
        return ERROR_INVALID_DATA;
    size_t chars = 0;
    for (LPCWSTR item = value;;) {
        const size_t length = ::wcslen(item);
        chars += length + 1;
        if (length == 0)
            break;
        item += length + 1;
    }
    if (chars > MAXDWORD / sizeof(wchar_t))
        return ERROR_INVALID_PARAMETER;
    return SetValue(valueName, REG_MULTI_SZ, value, static_cast<ULONG>(chars * sizeof(wchar_t)));
}

LONG CRegKeyImpl::QueryGUIDValue(LPCWSTR valueName, GUID& guid)
{
    guid = GUID{};
    wchar_t text[kGuidTextChars] = {};
    ULONG chars = kGuidTextChars;
    const LONG result = QueryStringValue(valueName, text, &chars);
    if (result != ERROR_SUCCESS)
        return result;
    if (text[0] != L'{')
        return ERROR_INVALID_DATA;
    if (FAILED(::CLSIDFromString(text, &guid))) {
        guid = GUID{};
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryOfType(LPCWSTR valueName, DWORD expectedType, void* data, ULONG* bytes)
{
    if (!m_key)
        return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    const LONG result = QueryValue(valueName, &type, data, bytes);
    if (result != ERROR_SUCCESS)
        return result;
    return type == expectedType ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryBinaryValue(LPCWSTR valueName, void* data, ULONG* bytes)
{
    return QueryOfType(valueName, REG_BINARY, data, bytes);
}

LONG CRegKeyImpl::QueryNumber(LPCWSTR valueName, DWORD expectedType, void* value, ULONG size)
{
    ULONG bytes = size;
    const LONG result = QueryOfType(valueName, expectedType, value, &bytes);
    // The registry writes only the stored bytes; the rest of the caller's
    // variable would otherwise keep what it held before.
    if (result == ERROR_SUCCESS && bytes < size)
        std::memset(static_cast<BYTE*>(value) + bytes, 0, size - bytes);
    return result;
}

LONG CRegKeyImpl::QueryDWORDValue(LPCWSTR valueName, DWORD& value)
{
    return QueryNumber(valueName, REG_DWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::QueryQWORDValue(LPCWSTR valueName, ULONGLONG& value)
{
    return QueryNumber(valueName, REG_QWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR valueName, std::wstring& value)
{
    ULONG chars = 0;
    LONG result = QueryStringValue(valueName, nullptr, &chars);
    if (result != ERROR_SUCCESS)
        return result;
    // An empty value still gets room for the terminator the buffer form writes.
    const ULONG capacity = chars ? chars : 1;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]);
    if (!buffer)
        return ERROR_OUTOFMEMORY;
    chars = capacity;
    result = QueryStringValue(valueName, buffer.get(), &chars);
    if (result != ERROR_SUCCESS)
        return result;
    value.assign(buffer.get(), ::wcsnlen(buffer.get(), chars));
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars)
{
    if (!chars)
        return ERROR_INVALID_PARAMETER;
    const ULONG capacity = CharsToBytes(*chars);
    ULONG bytes = capacity;
    *chars = 0;
    if (!m_key)
        return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    const LONG result = QueryValue(valueName, &type, value, &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (value) {
        if (bytes > capacity)
            return ERROR_INVALID_DATA;
        if (bytes == 0) {
            if (capacity >= sizeof(wchar_t))
                value[0] = L'\0';
        } else if (bytes % sizeof(wchar_t) != 0 || value[bytes / sizeof(wchar_t) - 1] != L'\0') {
            return ERROR_INVALID_DATA;
        }
    }
    *chars = CharsFor(bytes);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars)
{
    if (!chars)
        return ERROR_INVALID_PARAMETER;
    const ULONG capacity = CharsToBytes(*chars);
    ULONG bytes = capacity;
    *chars = 0;
    if (!m_key)
        return ERROR_INVALID_PARAMETER;
    if (value && capacity < 2 * sizeof(wchar_t))
        return ERROR_INSUFFICIENT_BUFFER;
    DWORD type = REG_NONE;
    const LONG result = QueryValue(valueName, &type, value, &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_MULTI_SZ)
        return ERROR_INVALID_DATA;
    if (value) {
        const ULONG count = bytes / sizeof(wchar_t);
        if (bytes > capacity || bytes % sizeof(wchar_t) != 0 || count < 1 || value[count - 1] != L'\0' ||
            (count >= 2 && value[count - 2] != L'\0'))
            return ERROR_INVALID_DATA;
    }
    // A buffer smaller than two characters is refused, so a length query never asks for less.
    *chars = value ? CharsFor(bytes) : std::max<ULONG>(CharsFor(bytes), 2);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD bytes)
{
    if (!m_key || !bytes)
        return ERROR_INVALID_PARAMETER;
    return ::RegGetKeySecurity(m_key, information, descriptor, bytes);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    if (!m_key || !descriptor)
        return ERROR_INVALID_PARAMETER;
    return ::RegSetKeySecurity(m_key, information, descriptor);
}

LONG CRegKeyImpl::Create(HKEY parent, LPCWSTR keyName, LPWSTR keyClass, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES securityAttributes, LPDWORD disposition)
{
    DWORD created = 0;
    HKEY key = nullptr;
    const LONG result =
        ::RegCreateKeyExW(parent, keyName, 0, keyClass, options, access, securityAttributes, &key, &created);
    if (disposition)
        *disposition = created;
    if (result != ERROR_SUCCESS)
        return result;
    const LONG closed = Close();
    m_key = key;
    m_viewFlags = access & kViewFlagsMask;
    m_deleteOnClose = false;
    return closed;
}

LONG CRegKeyImpl::Open(HKEY parent, LPCWSTR keyName, REGSAM access)
{
    HKEY key = nullptr;
    const LONG result = ::RegOpenKeyExW(parent, keyName, 0, access, &key);
    if (result != ERROR_SUCCESS)
        return result;
    const LONG closed = Close();
    m_key = key;
    m_viewFlags = access & kViewFlagsMask;
    m_deleteOnClose = false;
    return closed;
}

LONG CRegKeyImpl::Close()
{
    const bool deleteBelow = m_deleteOnClose;
    m_deleteOnClose = false;
    if (!m_key) {
        m_viewFlags = 0;
        return ERROR_SUCCESS;
    }
    if (deleteBelow)
        ::SHDeleteKeyW(m_key, L"");
    const LONG result = ::RegCloseKey(m_key);
    m_key = nullptr;
    m_viewFlags = 0;
    return result;
}

LONG CRegKeyImpl::Flush()
{
    if (!m_key)
        return ERROR_INVALID_PARAMETER;
    return ::RegFlushKey(m_key);
}

HKEY CRegKeyImpl::Detach()
{
    HKEY key = m_key;
    m_key = nullptr;
    m_viewFlags = 0;
    m_deleteOnClose = false;
    return key;
}

void CRegKeyImpl::Attach(HKEY key)
{
    m_key = key;
    m_viewFlags = 0;
    m_deleteOnClose = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars, FILETIME* lastWriteTime)
{
    if (!m_key)
        return ERROR_INVALID_PARAMETER;
    FILETIME ignored{};
    return ::RegEnumKeyExW(m_key, index, name, nameChars, nullptr, nullptr, nullptr,
                           lastWriteTime ? lastWriteTime : &ignored);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous)
{
    if (!m_key)
        return ERROR_INVALID_PARAMETER;
    return ::RegNotifyChangeKeyValue(m_key, watchSubtree, notifyFilter, event, asynchronous);
}

LONG CRegKeyImpl::DeleteSubKey(LPCWSTR keyName)
{
    if (!m_key || !keyName)
        return ERROR_INVALID_PARAMETER;
    if (RegDeleteKeyExWFn deleteKeyEx = ResolveDeleteKeyEx())
        return deleteKeyEx(m_key, keyName, m_viewFlags, 0);
    return ::RegDeleteKeyW(m_key, keyName);
}

LONG CRegKeyImpl::RecurseDeleteKey(LPCWSTR keyName)
{
    // A null name would open this key itself and empty it before the deletion failed.
    if (!m_key || !keyName)
        return ERROR_INVALID_PARAMETER;
    CRegKeyImpl subKey;
    LONG result = subKey.Open(m_key, keyName, KEY_READ | KEY_WRITE | m_viewFlags);
    if (result != ERROR_SUCCESS)
        return result;
    wchar_t name[kEnumNameChars];
    for (;;) {
        DWORD chars = kEnumNameChars;
        if (::RegEnumKeyExW(subKey.m_key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        result = subKey.RecurseDeleteKey(name);
        if (result != ERROR_SUCCESS)
            return result;
    }
    subKey.Close();
    return DeleteSubKey(keyName);
}

LONG CRegKeyImpl::DeleteValue(LPCWSTR valueName)
{
    if (!m_key || !valueName)
        return ERROR_INVALID_PARAMETER;
    return ::RegDeleteValueW(m_key, valueName);
}

LONG CRegKeyImpl::GrantEveryoneFullAccess(bool recurse)
{
    return static_cast<LONG>(Plinth::GrantEveryoneFullAccess(m_key, recurse));
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose)
{
    m_deleteOnClose = deleteOnClose;
}

bool CRegKeyImpl::GetDeleteOnClose()
{
    return m_deleteOnClose;
}

} // namespace internal

CRegKey::CRegKey() : m_impl(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : m_impl(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>())
{
}

CRegKey::~CRegKey()
{
    m_impl->Close();
}

LONG CRegKey::QueryValue(LPCWSTR valueName, DWORD* type, void* data, ULONG* bytes)
{
    return m_impl->QueryValue(valueName, type, data, bytes);
}

LONG CRegKey::SetValue(LPCWSTR valueName, DWORD type, const void* data, ULONG bytes)
{
    return m_impl->SetValue(valueName, type, data, bytes);
}

LONG CRegKey::SetGUIDValue(LPCWSTR valueName, REFGUID guid)
{
    return m_impl->SetGUIDValue(valueName, guid);
}

LONG CRegKey::SetBinaryValue(LPCWSTR valueName, const void* data, ULONG bytes)
{
    return m_impl->SetBinaryValue(valueName, data, bytes);
}

LONG CRegKey::SetDWORDValue(LPCWSTR valueName, DWORD value)
{
    return m_impl->SetDWORDValue(valueName, value);
}

LONG CRegKey::SetQWORDValue(LPCWSTR valueName, ULONGLONG value)
{
    return m_impl->SetQWORDValue(valueName, value);
}

LONG CRegKey::SetStringValue(LPCWSTR valueName, LPCWSTR value, DWORD type)
{
    return m_impl->SetStringValue(valueName, value, type);
}

LONG CRegKey::SetMultiStringValue(LPCWSTR valueName, LPCWSTR value)
{
    return m_impl->SetMultiStringValue(valueName, value);
}

LONG CRegKey::QueryGUIDValue(LPCWSTR valueName, GUID& guid)
{
    return m_impl->QueryGUIDValue(valueName, guid);
}

LONG CRegKey::QueryBinaryValue(LPCWSTR valueName, void* data, ULONG* bytes)
{
    return m_impl->QueryBinaryValue(valueName, data, bytes);
}

LONG CRegKey::QueryDWORDValue(LPCWSTR valueName, DWORD& value)
{
    return m_impl->QueryDWORDValue(valueName, value);
}

LONG CRegKey::QueryQWORDValue(LPCWSTR valueName, ULONGLONG& value)
{
    return m_impl->QueryQWORDValue(valueName, value);
}

LONG CRegKey::QueryStringValue(LPCWSTR valueName, std::wstring& value)
{
    return m_impl->QueryStringValue(valueName, value);
}

LONG CRegKey::QueryStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars)
{
    return m_impl->QueryStringValue(valueName, value, chars);
}

LONG CRegKey::QueryMultiStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars)
{
    return m_impl->QueryMultiStringValue(valueName, value, chars);
}

LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD bytes)
{
    return m_impl->GetKeySecurity(information, descriptor, bytes);
}

LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    return m_impl->SetKeySecurity(information, descriptor);
}

LONG CRegKey::Create(HKEY parent, LPCWSTR keyName, LPWSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES securityAttributes, LPDWORD disposition)
{
    return m_impl->Create(parent, keyName, keyClass, options, access, securityAttributes, disposition);
}

LONG CRegKey::Open(HKEY parent, LPCWSTR keyName, REGSAM access)
{
    return m_impl->Open(parent, keyName, access);
}

LONG CRegKey::Flush()
{
    return m_impl->Flush();
}

LONG CRegKey::EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars, FILETIME* lastWriteTime)
{
    return m_impl->EnumKey(index, name, nameChars, lastWriteTime);
}

LONG CRegKey::NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous)
{
    return m_impl->NotifyChangeKeyValue(watchSubtree, notifyFilter, event, asynchronous);
}

LONG CRegKey::DeleteSubKey(LPCWSTR keyName)
{
    return m_impl->DeleteSubKey(keyName);
}

LONG CRegKey::RecurseDeleteKey(LPCWSTR keyName)
{
    return m_impl->RecurseDeleteKey(keyName);
}

LONG CRegKey::DeleteValue(LPCWSTR valueName)
{
    return m_impl->DeleteValue(valueName);
}

LONG CRegKey::Close()
{
    return m_impl->Close();
}

void CRegKey::Attach(HKEY key)
{
    m_impl->Attach(key);
}

HKEY CRegKey::Detach()
{
    return m_impl->Detach();
}

HKEY CRegKey::GetHandle() const
{
    return m_impl->GetHandle();
}

LONG CRegKey::GrantEveryoneFullAccess(bool recurse)
{
    return m_impl->GrantEveryoneFullAccess(recurse);
}

void CRegKey::SetDeleteOnClose(bool deleteOnClose)
{
    m_impl->SetDeleteOnClose(deleteOnClose);
}

bool CRegKey::GetDeleteOnClose() const
{
    return m_impl->GetDeleteOnClose();
}

} // namespace Plinth
