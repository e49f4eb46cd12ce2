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

    // Every operation that works on the key answers 87 when no key is open,
    // after the argument checks stated with it, and then touches neither the
    // registry nor an out-parameter unless stated otherwise. Any other code
    // not named below is the registry function's, passed on unchanged.

    // The raw value operations, as RegQueryValueExW and RegSetValueExW: a
    // missing value is 2, and a query whose buffer is too small gives 234 with
    // the size needed in *bytes. SetValue refuses null or empty data with 87
    // and writes nothing. A sealed key also answers 13 for a stored value that
    // is not a verified sealed value, 87 for a query with neither type nor
    // bytes, and the conversion's, 8, 14 or 6000 for a write it cannot seal.
    virtual LONG QueryValue(LPCWSTR valueName, DWORD* type, void* data, ULONG* bytes);
    virtual LONG SetValue(LPCWSTR valueName, DWORD type, const void* data, ULONG bytes);

    // The typed writes store the value whole or not at all, with SetValue's
    // codes. A null string or list is 13, checked before the key; a GUID is
    // stored as its "{...}" text.
    virtual LONG SetGUIDValue(LPCWSTR valueName, REFGUID guid);
    virtual LONG SetBinaryValue(LPCWSTR valueName, const void* data, ULONG bytes);
    virtual LONG SetDWORDValue(LPCWSTR valueName, DWORD value);
    virtual LONG SetQWORDValue(LPCWSTR valueName, ULONGLONG value);
    virtual LONG SetStringValue(LPCWSTR valueName, LPCWSTR value, DWORD type = REG_SZ);
    // value: strings each ended by a terminator, the list by an empty one.
    virtual LONG SetMultiStringValue(LPCWSTR valueName, LPCWSTR value);

    // The typed reads answer 13 for a value of another type. guid is zeroed
    // first and set only on success: REG_SZ braced GUID text that parses (13
    // otherwise), read as the buffer form of QueryStringValue reads, so text
    // of 64 characters or more gives 234.
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
    // The whole REG_SZ or REG_EXPAND_SZ text, unexpanded, up to its first
    // terminator; value is unchanged on failure. Text not ended by a
    // terminator, or of an odd byte count, gives 13; 14 when memory runs out,
    // and 234 only when the value grew between the length query and the read.
    virtual LONG QueryStringValue(LPCWSTR valueName, std::wstring& value);
    // chars: capacity in, characters stored (terminator included) out; a null
    // chars is 87 with nothing written. With value null, *chars gets the size
    // needed, an odd byte count rounded up. On every failure *chars is 0 and
    // the buffer undefined: 234 when it is too small, 13 for another type, an
    // odd byte count or a missing terminator.
    virtual LONG QueryStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars);
    // As the buffer form above for a REG_MULTI_SZ, which must end in two
    // terminators (one for an empty list); a buffer of fewer than 2
    // characters is 122, before the registry is read.
    virtual LONG QueryMultiStringValue(LPCWSTR valueName, LPWSTR value, ULONG* chars);

    // A null bytes is 87. A descriptor too small gives 122 with the size
    // needed in *bytes.
    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD bytes);
    // A null descriptor is 87.
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    // Create and Open need no open key. They replace the key held only on
    // success, and then return the result of closing the key held before; on
    // failure the key held (or none) stays as it was. *disposition is written
    // either way, 0 when the registry set none.
    virtual LONG Create(HKEY parent, LPCWSTR keyName, LPWSTR keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                        LPSECURITY_ATTRIBUTES securityAttributes = nullptr, LPDWORD disposition = nullptr);
    virtual LONG Open(HKEY parent, LPCWSTR keyName, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Flush();
    // As RegEnumKeyExW: 259 past the last sub-key, 234 when the name does not
    // fit *nameChars.
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars, FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous = TRUE);
    // Deletions go through the view (32- or 64-bit) the key was opened in; a
    // null name is 87 (it would name this key itself, or its default value).
    // A recursive deletion stops at the first sub-key it cannot open or delete
    // and returns that error, leaving what it had not reached.
    virtual LONG DeleteSubKey(LPCWSTR keyName);
    virtual LONG RecurseDeleteKey(LPCWSTR keyName);
    virtual LONG DeleteValue(LPCWSTR valueName);
    // Adds Everyone with full access to the key's DACL (see SecurityAPI.h):
    // 0 without a change where the platform has no security functions, else
    // the code of the first step that failed.
    virtual LONG GrantEveryoneFullAccess(bool recurse);

    // 0 when no key is open. Otherwise, with delete-on-close set, first
    // deletes everything below the key (a failure there is not reported),
    // then closes it and returns RegCloseKey's code; the key is let go either way.
    LONG Close();
    // Takes the handle, which the object then closes. A key held before is
    // neither closed nor deleted on close: detach it first.
    void Attach(HKEY key);
    // Gives up the handle (null when none is open) without closing it.
    HKEY Detach();
    // The handle held, or null; it stays the object's.
    HKEY GetHandle() const;
    // Deletes everything below the key open now when it is closed. Open,
    // Create, Attach, Detach and Close clear it; it never fails.
    void SetDeleteOnClose(bool deleteOnClose);
    bool GetDeleteOnClose() const;
    // The implementation, for another CRegKey to share.
    const std::shared_ptr<internal::CRegKeyImpl>& Impl() const { return m_impl; }

private:
    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

} // namespace Plinth
