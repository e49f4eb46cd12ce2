#include "plinth/ObfuscatedRegKey.h"

#include "plinth/Md5.h"
#include "plinth/ObfuscationCipher.h"
#include "plinth/ObfuscationKeys.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

namespace Plinth {

namespace {

constexpr ULONG kFirstReadBytes = 256;
constexpr size_t kDigestOffset = 16;

template <typename T>
bool TryResize(std::vector<T>& buffer, size_t count)
{
    try {
        buffer.resize(count);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The thread's last error, never 0, for a conversion that failed.
LONG LastErrorOr(LONG fallback)
{
    const DWORD error = ::GetLastError();
    return error ? static_cast<LONG>(error) : fallback;
}

void PutUint32(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetUint32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

// The ANSI registry functions take the name in the thread's code page; a null
// name (the default value) stays null.
class AnsiName
{
public:
    LONG Convert(LPCWSTR name)
    {
        if (!name)
            return ERROR_SUCCESS;
        const int chars = ::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
        if (chars <= 0)
            return LastErrorOr(ERROR_INVALID_PARAMETER);
        if (!TryResize(m_text, static_cast<size_t>(chars)))
            return ERROR_OUTOFMEMORY;
        if (::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, m_text.data(), chars, nullptr, nullptr) <= 0)
            return LastErrorOr(ERROR_INVALID_PARAMETER);
        return ERROR_SUCCESS;
    }
    const char* Get() const { return m_text.empty() ? nullptr : m_text.data(); }

private:
    std::vector<char> m_text;
};

// Appends the UTF-8 form of chars wide characters.
LONG AppendUtf8(std::vector<uint8_t>& out, const wchar_t* text, size_t chars)
{
    if (chars == 0)
        return ERROR_SUCCESS;
    if (chars > INT_MAX)
        return ERROR_INVALID_PARAMETER;
    const int count = static_cast<int>(chars);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    const size_t start = out.size();
    if (!TryResize(out, start + static_cast<size_t>(bytes)))
        return ERROR_OUTOFMEMORY;
    if (::WideCharToMultiByte(CP_UTF8, 0, text, count, reinterpret_cast<char*>(out.data() + start), bytes, nullptr,
                              nullptr) <= 0)
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    return ERROR_SUCCESS;
}

// Each string of the list with its zero, then the closing zero. The walk stays
// within the caller's byte count even when the list lacks its terminators.
LONG MultiStringToUtf8(const wchar_t* list, size_t chars, std::vector<uint8_t>& out)
{
    size_t position = 0;
    while (position < chars) {
        const size_t length = ::wcsnlen(list + position, chars - position);
        if (length == 0)
            break;
        LONG result = AppendUtf8(out, list + position, length);
        if (result != ERROR_SUCCESS)
            return result;
        if (!TryResize(out, out.size() + 1))
            return ERROR_OUTOFMEMORY;
        position += length + 1;
    }
    if (!TryResize(out, out.size() + 1))
        return ERROR_OUTOFMEMORY;
    return ERROR_SUCCESS;
}

// UTF-8 to UTF-16 characters; 0 for no input.
int Utf8Chars(const uint8_t* text, size_t bytes, wchar_t* out, int outChars)
{
    if (bytes == 0 || bytes > INT_MAX)
        return 0;
    return ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text), static_cast<int>(bytes), out,
                                 outChars);
}

LONG ReadString(const std::vector<uint8_t>& plain, void* data, ULONG capacity, ULONG* bytes)
{
    const int required = Utf8Chars(plain.data(), plain.size(), nullptr, 0);
    if (required < 0 || static_cast<size_t>(required) > MAXDWORD / sizeof(wchar_t))
        return ERROR_INVALID_DATA;
    const ULONG requiredBytes = static_cast<ULONG>(required) * sizeof(wchar_t);
    if (!data) {
        *bytes = requiredBytes;
        return ERROR_SUCCESS;
    }
    const ULONG capacityChars = capacity / sizeof(wchar_t);
    if (static_cast<ULONG>(required) > capacityChars) {
        *bytes = requiredBytes;
        return ERROR_MORE_DATA;
    }
    const int written = Utf8Chars(plain.data(), plain.size(), static_cast<wchar_t*>(data), required);
    *bytes = static_cast<ULONG>(written) * sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG ReadMultiString(const std::vector<uint8_t>& plain, void* data, ULONG capacity, ULONG* bytes)
{
    auto* out = static_cast<wchar_t*>(data);
    const size_t capacityChars = capacity / sizeof(wchar_t);
    size_t total = 0;
    bool fits = true;
    size_t position = 0;
    while (position < plain.size()) {
        size_t end = position;
        while (end < plain.size() && plain[end] != 0)
            ++end;
        if (end == position)
            break;
        // The string's own zero, when the data holds one.
        const size_t length = end - position + (end < plain.size() ? 1 : 0);
        const int chars = Utf8Chars(plain.data() + position, length, nullptr, 0);
        if (chars <= 0)
            return ERROR_INVALID_DATA;
        if (out && fits && total + static_cast<size_t>(chars) <= capacityChars)
            Utf8Chars(plain.data() + position, length, out + total, chars);
        else
            fits = false;
        total += static_cast<size_t>(chars);
        position = end + 1;
    }
    if (total > MAXDWORD / sizeof(wchar_t) - 1)
        return ERROR_INVALID_DATA;
    *bytes = static_cast<ULONG>((total + 1) * sizeof(wchar_t));
    if (!out)
        return ERROR_SUCCESS;
    if (!fits || total + 1 > capacityChars) {
        std::memset(data, 0, capacity);
        return ERROR_MORE_DATA;
    }
    out[total] = L'\0';
    return ERROR_SUCCESS;
}

} // namespace

LONG SealRegistryValue(DWORD type, const void* data, ULONG dataBytes, void* sealed, ULONG sealedCapacity)
{
    if (!sealed || dataBytes > MAXDWORD - kSealedRegistryHeaderBytes ||
        sealedCapacity < dataBytes + kSealedRegistryHeaderBytes)
        return ERROR_INSUFFICIENT_BUFFER;
    if (!data && dataBytes != 0)
        return ERROR_INVALID_PARAMETER;
    auto* out = static_cast<uint8_t*>(sealed);
    CObfuscationCipher cipher(kRegistryObfuscationKey, kObfuscationKeyChars, 1);
    cipher.Encode(static_cast<const uint8_t*>(data), out + kSealedRegistryHeaderBytes, dataBytes);
    std::memcpy(out, kSealedRegistryMagic, sizeof(kSealedRegistryMagic));
    PutUint32(out + 4, kSealedRegistryVersion);
    PutUint32(out + 8, dataBytes);
    PutUint32(out + 12, type);
    std::memset(out + kDigestOffset, 0, kMd5DigestBytes);
    uint8_t digest[kMd5DigestBytes];
    Md5(out, dataBytes + kSealedRegistryHeaderBytes, digest);
    std::memcpy(out + kDigestOffset, digest, kMd5DigestBytes);
    return ERROR_SUCCESS;
}

LONG OpenSealedRegistryValue(const void* sealed, ULONG sealedBytes, DWORD* realType, ULONG* dataBytes, void* out,
                             ULONG outCapacity)
{
    if (!sealed || sealedBytes < kSealedRegistryHeaderBytes)
        return ERROR_INVALID_DATA;
    const auto* in = static_cast<const uint8_t*>(sealed);
    // The digest covers the header with its own field zeroed; work on a copy so
    // the stored bytes stay as they are.
    uint8_t header[kSealedRegistryHeaderBytes];
    std::memcpy(header, in, sizeof(header));
    uint8_t stored[kMd5DigestBytes];
    std::memcpy(stored, header + kDigestOffset, kMd5DigestBytes);
    std::memset(header + kDigestOffset, 0, kMd5DigestBytes);
    CMd5 md5;
    md5.Update(header, sizeof(header));
    md5.Update(in + kSealedRegistryHeaderBytes, sealedBytes - kSealedRegistryHeaderBytes);
    uint8_t digest[kMd5DigestBytes];
    md5.Final(digest);
    const uint32_t length = GetUint32(header + 8);
    if (std::memcmp(digest, stored, kMd5DigestBytes) != 0 || sealedBytes - kSealedRegistryHeaderBytes != length ||
        std::memcmp(header, kSealedRegistryMagic, sizeof(kSealedRegistryMagic)) != 0)
        return ERROR_INVALID_DATA;
    if (realType)
        *realType = GetUint32(header + 12);
    if (dataBytes)
        *dataBytes = length;
    if (!out)
        return ERROR_SUCCESS;
    if (length > outCapacity)
        return ERROR_MORE_DATA;
    CObfuscationCipher cipher(kRegistryObfuscationKey, kObfuscationKeyChars, 1);
    cipher.Decode(in + kSealedRegistryHeaderBytes, static_cast<uint8_t*>(out), length);
    return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::QueryValue(LPCWSTR valueName, DWORD* type, void* data, ULONG* bytes)
{
    if (!GetHandle() || (!type && !bytes))
        return ERROR_INVALID_PARAMETER;
    const ULONG capacity = bytes ? *bytes : 0;
    AnsiName name;
    LONG result = name.Convert(valueName);
    if (result != ERROR_SUCCESS)
        return result;

    // Most sealed values fit the first read; larger ones take a second.
    uint8_t firstRead[kFirstReadBytes];
    std::vector<uint8_t> larger;
    const uint8_t* stored = firstRead;
    DWORD storedType = REG_NONE;
    DWORD storedBytes = sizeof(firstRead);
    result = ::RegQueryValueExA(GetHandle(), name.Get(), nullptr, &storedType, firstRead, &storedBytes);
    if (result == ERROR_MORE_DATA) {
        if (!TryResize(larger, storedBytes))
            return ERROR_OUTOFMEMORY;
        result = ::RegQueryValueExA(GetHandle(), name.Get(), nullptr, &storedType, larger.data(), &storedBytes);
        stored = larger.data();
    }
    if (result != ERROR_SUCCESS)
        return result;
    if (storedType != REG_BINARY)
        return ERROR_INVALID_DATA;
    DWORD realType = REG_NONE;
    ULONG length = 0;
    result = OpenSealedRegistryValue(stored, storedBytes, &realType, &length, nullptr, 0);
    if (result != ERROR_SUCCESS)
        return result;
    if (type)
        *type = realType;
    if (!bytes)
        return ERROR_SUCCESS;

    std::vector<uint8_t> plain;
    if (!TryResize(plain, length))
        return ERROR_OUTOFMEMORY;
    result = OpenSealedRegistryValue(stored, storedBytes, nullptr, nullptr, plain.data(), length);
    if (result != ERROR_SUCCESS)
        return result;
    if (realType == REG_SZ)
        return ReadString(plain, data, capacity, bytes);
    if (realType == REG_MULTI_SZ)
        return ReadMultiString(plain, data, capacity, bytes);
    *bytes = length;
    if (!data || length > capacity)
        return ERROR_MORE_DATA;
    std::memcpy(data, plain.data(), length);
    return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::SetValue(LPCWSTR valueName, DWORD type, const void* data, ULONG bytes)
{
    if (!GetHandle() || !data || bytes == 0)
        return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> converted;
    const void* plain = data;
    size_t plainBytes = bytes;
    if (type == REG_SZ || type == REG_MULTI_SZ) {
        const auto* text = static_cast<const wchar_t*>(data);
        // A string is taken up to its terminator; the byte count is not used.
        const LONG result = type == REG_SZ ? AppendUtf8(converted, text, ::wcslen(text) + 1)
                                           : MultiStringToUtf8(text, bytes / sizeof(wchar_t), converted);
        if (result != ERROR_SUCCESS)
            return result;
        plain = converted.data();
        plainBytes = converted.size();
    }
    if (plainBytes > MAXDWORD - kSealedRegistryHeaderBytes)
        return ERROR_INVALID_PARAMETER;
    const ULONG sealedBytes = static_cast<ULONG>(plainBytes) + kSealedRegistryHeaderBytes;
    std::vector<uint8_t> sealed;
    if (!TryResize(sealed, sealedBytes))
        return ERROR_NOT_ENOUGH_MEMORY;
    LONG result = SealRegistryValue(type, plain, static_cast<ULONG>(plainBytes), sealed.data(), sealedBytes);
    if (result != ERROR_SUCCESS)
        return result;
    AnsiName name;
    result = name.Convert(valueName);
    if (result != ERROR_SUCCESS)
        return result;
    return ::RegSetValueExA(GetHandle(), name.Get(), 0, REG_BINARY, sealed.data(), sealedBytes);
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

CObfuscatedRegKey::~CObfuscatedRegKey() = default;

} // namespace Plinth
