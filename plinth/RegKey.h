#pragma once
// A registry key with typed values. CRegKey is a thin shell over a shared
// implementation object so that a subclass of the implementation can replace
// the two raw value operations and change every typed read and write at once.
// All results are Win32 error codes.
#include <windows.h>

#include <memory>
#include <string>

namespace Plinth {

namespace internal {

class CRegKeyImpl
{
public:
    CRegKeyImpl() = default;
    virtual ~CRegKeyImpl();
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    // The operations keep the contracts written at CRegKey's below. The raw
    // value operations are the two everything else reaches the data through.
    virtual LONG QueryValue(LPCWSTR valueName, DWORD* type, void* data, ULONG* bytes);
    virtual LONG SetValue(LPCWSTR valueName, DWORD type, const void* data, ULONG bytes);

    virtual LONG SetGUIDValue(LPCWSTR valueName, REFGUID guid);
    virtual LONG SetBinaryValue(LPCWSTR valueName, const void* data, ULONG bytes);
    virtual LONG SetDWORDValue(LPCWSTR valueName, DWORD value);
    virtual LONG SetQWORDValue(LPCWSTR valueName, ULONGLONG value);
    virtual LONG SetStringValue(LPCWSTR valueName, LPCWSTR value, DWORD type = REG_SZ);
    virtual LONG SetMultiStringValue(LPCWSTR valueName, LPCWSTR value);
    virtual LONG QueryGUIDValue(LPCWSTR valueName, GUID& guid);
    virtual LONG QueryBinaryValue(LPCWSTR valueName, void* data, ULONG* bytes);
    virtual LONG QueryDWORDValue(LPCWSTR valueName, DWORD& value);
    virtual LONG QueryQWORDValue(LPCWSTR valueName, ULONGLONG& value);
    virtual LONG QueryStringValue(LPCWSTR valueName, std::wstring& value);
    virtual LONG QueryStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars);
    virtual LONG QueryMultiStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars);
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD bytes);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    virtual LONG Create(HKEY parent, LPCWSTR keyName, LPWSTR keyClass, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES securityAttributes, LPDWORD disposition);
    virtual LONG Open(HKEY parent, LPCWSTR keyName, REGSAM access);
    virtual LONG Close();
    virtual LONG Flush();
    virtual HKEY Detach();
    virtual void Attach(HKEY key);
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars, FILETIME* lastWriteTime);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous);
    virtual LONG DeleteSubKey(LPCWSTR keyName);
    virtual LONG RecurseDeleteKey(LPCWSTR keyName);
    virtual LONG DeleteValue(LPCWSTR valueName);
    // Adds Everyone with full access, inherited by sub-keys; with recurse, the
    // result is applied to every sub-key as well.
    virtual LONG GrantEveryoneFullAccess(bool recurse);
    virtual void SetDeleteOnClose(bool deleteOnClose);
    virtual bool GetDeleteOnClose();

    HKEY GetHandle() const { return m_key; }

private:
    // The raw query through its slot, accepted only for the expected type.
    LONG QueryOfType(LPCWSTR valueName, DWORD expectedType, void* data, ULONG* bytes);
    // A number of size bytes; stored data shorter than that is zero-extended.
    LONG QueryNumber(LPCWSTR valueName, DWORD expectedType, void* value, ULONG size);

    HKEY m_key = nullptr;
    DWORD m_viewFlags = 0;
    bool m_deleteOnClose = false;
};

} // namespace internal

class CRegKey
{
public:
    CRegKey();
    // Shares impl when it is non-empty, else owns a new plain implementation.
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    // Closes the key for every CRegKey sharing the implementation.
    virtual ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // The raw value operations, as RegQueryValueExW and RegSetValueExW.
    // SetValue refuses null or empty data with 87 and writes nothing.
    virtual LONG QueryValue(LPCWSTR valueName, DWORD* type, void* data, ULONG* bytes);
    virtual LONG SetValue(LPCWSTR valueName, DWORD type, const void* data, ULONG bytes);

    // The typed writes store the value whole or not at all. A null string is
    // 13; a GUID is stored as its "{...}" text.
    virtual LONG SetGUIDValue(LPCWSTR valueName, REFGUID guid);
    virtual LONG SetBinaryValue(LPCWSTR valueName, const void* data, ULONG bytes);
    virtual LONG SetDWORDValue(LPCWSTR valueName, DWORD value);
    virtual LONG SetQWORDValue(LPCWSTR valueName, ULONGLONG value);
    virtual LONG SetStringValue(LPCWSTR valueName, LPCWSTR value, DWORD type = REG_SZ);
    // value: strings each ended by a terminator, the list by an empty one.
    virtual LONG SetMultiStringValue(LPCWSTR valueName, LPCWSTR value);

    // The typed reads answer 13 for a value of another type. guid is zeroed
    // unless the value is REG_SZ braced GUID text.
    virtual LONG QueryGUIDValue(LPCWSTR valueName, GUID& guid);
    // bytes: capacity in, bytes stored out; a buffer too small gives 234 with
    // the size needed in *bytes. A REG_BINARY only; another type gives 13 after
    // its bytes were copied.
    virtual LONG QueryBinaryValue(LPCWSTR valueName, void* data, ULONG* bytes);
    // A value stored shorter than 4 (8) bytes reads zero-extended; a longer
    // one gives 234 and leaves value undefined. Another type gives 13 after
    // its bytes were copied.
    virtual LONG QueryDWORDValue(LPCWSTR valueName, DWORD& value);
    virtual LONG QueryQWORDValue(LPCWSTR valueName, ULONGLONG& value);
    // The whole REG_SZ or REG_EXPAND_SZ text, unexpanded; value is unchanged on
    // failure, and text not ended by a terminator gives 13.
    virtual LONG QueryStringValue(LPCWSTR valueName, std::wstring& value);
    // chars: capacity in, characters stored (terminator included) out. With
    // value null, *chars gets the size needed. On failure *chars is 0 and the
    // buffer undefined: 234 when it is too small, 13 for another type, an odd
    // byte count or a missing terminator.
    virtual LONG QueryStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars);
    // As the buffer form above for a REG_MULTI_SZ, which must end in two
    // terminators; a buffer of fewer than 2 characters is 122.
    virtual LONG QueryMultiStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars);

    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD bytes);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    // Create and Open replace the key held only on success; on failure the key
    // held (or none) stays as it was. *disposition is written either way.
    virtual LONG Create(HKEY parent, LPCWSTR keyName, LPWSTR keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                        LPSECURITY_ATTRIBUTES securityAttributes = nullptr, LPDWORD disposition = nullptr);
    virtual LONG Open(HKEY parent, LPCWSTR keyName, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Flush();
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars, FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous = TRUE);
    // Deletions go through the view (32- or 64-bit) the key was opened in. A
    // recursive deletion stops at the first sub-key it cannot delete and
    // returns that error, leaving what it had not reached.
    virtual LONG DeleteSubKey(LPCWSTR keyName);
    virtual LONG RecurseDeleteKey(LPCWSTR keyName);
    virtual LONG DeleteValue(LPCWSTR valueName);
    virtual LONG GrantEveryoneFullAccess(bool recurse);

    LONG Close();
    void Attach(HKEY key);
    HKEY Detach();
    HKEY GetHandle() const;
    void SetDeleteOnClose(bool deleteOnClose);
    bool GetDeleteOnClose() const;
    // The implementation, for another CRegKey to share.
    const std::shared_ptr<internal::CRegKeyImpl>& Impl() const { return m_impl; }

private:
    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

} // namespace Plinth
