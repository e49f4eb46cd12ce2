#include "substitute/Substitute.h"

#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr LONG kOpenSealedFailed = 6001;
constexpr DWORD kFirstSealedReadBytes = 500;
constexpr size_t kStackScratchBytes = 1024;

struct RootName
{
    const wchar_t* name;
    HKEY root;
};

const RootName kRootNames[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},   {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},   {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKCC", HKEY_CURRENT_CONFIG}, {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {L"HKLM", HKEY_LOCAL_MACHINE},  {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKU", HKEY_USERS},           {L"HKEY_USERS", HKEY_USERS},
};

const wchar_t* const kHostVariables[] = {L"domain", L"lcid", L"lang", L"affid"};
const wchar_t* const kHostQueryParams[] = {L"affid", L"lang", L"langid", L"lcid"};

bool EqualsAsciiNoCase(const wchar_t* a, size_t length, const wchar_t* b)
{
    auto fold = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    for (size_t i = 0; i < length; ++i) {
        if (b[i] == L'\0' || fold(a[i]) != fold(b[i]))
            return false;
    }
    return b[length] == L'\0';
}

template <typename Body>
LONG Guarded(Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Bytes on the stack when few, else on the heap.
class ScratchBuffer
{
public:
    ScratchBuffer() = default;
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    BYTE* Reserve(size_t bytes)
    {
        if (bytes <= sizeof(m_local))
            return m_local;
        m_heap.resize(bytes);
        return m_heap.data();
    }

private:
    BYTE m_local[kStackScratchBytes];
    std::vector<BYTE> m_heap;
};

// The ANSI registry functions take names in the thread's code page; a null
// name stays null.
class AnsiName
{
public:
    LONG Convert(const wchar_t* name)
    {
        if (!name)
            return ERROR_SUCCESS;
        const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0)
            return ERROR_INVALID_PARAMETER;
        m_text.resize(static_cast<size_t>(bytes));
        if (::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, m_text.data(), bytes, nullptr, nullptr) <= 0)
            return ERROR_INVALID_PARAMETER;
        m_valid = true;
        return ERROR_SUCCESS;
    }
    const char* Get() const { return m_valid ? m_text.data() : nullptr; }

private:
    std::vector<char> m_text;
    bool m_valid = false;
};

// Narrow string data in codePage as terminated UTF-16: REG_SZ up to its first
// zero, REG_MULTI_SZ whole with its closing zero. *bytes is the capacity in and
// the written (or needed) byte count out.
LONG NarrowDataToWide(UINT codePage, DWORD type, const char* text, size_t textBytes, void* data, DWORD* bytes)
{
    size_t length = type == REG_SZ ? ::strnlen(text, textBytes) : textBytes;
    size_t terminators = 1;
    if (type == REG_MULTI_SZ) {
        while (length > 0 && text[length - 1] == '\0')
            --length;
        terminators = length ? 2 : 1;
    }
    if (length > static_cast<size_t>(INT_MAX))
        return ERROR_INVALID_DATA;
    const int converted = length ? ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0) : 0;
    if (length && converted <= 0)
        return ERROR_INVALID_DATA;
    const size_t units = static_cast<size_t>(converted) + terminators;
    const size_t capacity = *bytes / sizeof(wchar_t);
    *bytes = static_cast<DWORD>(units * sizeof(wchar_t));
    if (units > capacity)
        return ERROR_MORE_DATA;
    auto* out = static_cast<wchar_t*>(data);
    if (length)
        ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), out, converted);
    std::wmemset(out + converted, L'\0', terminators);
    return ERROR_SUCCESS;
}

bool IsText(DWORD type)
{
    return type == REG_SZ || type == REG_MULTI_SZ;
}

LONG ReadPlainValue(HKEY key, const char* name, DWORD* type, void* data, DWORD* bytes)
{
    const DWORD capacity = *bytes;
    DWORD stored = capacity;
    LONG result = ::RegQueryValueExA(key, name, nullptr, type, static_cast<BYTE*>(data), &stored);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)
        return result;
    if (!IsText(*type)) {
        *bytes = stored;
        return result;
    }
    // The ANSI text goes to a scratch copy so that its UTF-16 form can fill
    // the caller's buffer.
    ScratchBuffer scratch;
    BYTE* text = scratch.Reserve(stored);
    if (result == ERROR_SUCCESS) {
        std::memcpy(text, data, stored);
    } else {
        result = ::RegQueryValueExA(key, name, nullptr, type, text, &stored);
        if (result != ERROR_SUCCESS)
            return result;
        if (!IsText(*type))
            return ERROR_INVALID_DATA;
    }
    *bytes = capacity;
    return NarrowDataToWide(CP_THREAD_ACP, *type, reinterpret_cast<const char*>(text), stored, data, bytes);
}

LONG ReadSealedValue(HKEY key, const char* name, DWORD* type, void* data, DWORD* bytes)
{
    std::vector<BYTE> sealed(kFirstSealedReadBytes);
    DWORD storedType = REG_NONE;
    DWORD stored = kFirstSealedReadBytes;
    LONG result = ::RegQueryValueExA(key, name, nullptr, &storedType, sealed.data(), &stored);
    if (result == ERROR_MORE_DATA) {
        sealed.resize(stored);
        result = ::RegQueryValueExA(key, name, nullptr, &storedType, sealed.data(), &stored);
    }
    if (result != ERROR_SUCCESS)
        return result;
    if (storedType != REG_BINARY)
        return ERROR_INVALID_DATA;
    DWORD innerType = REG_NONE;
    ULONG length = 0;
    result = Plinth::OpenSealedRegistryValue(sealed.data(), stored, &innerType, &length, nullptr, 0);
    if (result != ERROR_SUCCESS)
        return ERROR_INVALID_DATA;
    std::vector<BYTE> plain(length + 1);
    if (Plinth::OpenSealedRegistryValue(sealed.data(), stored, nullptr, nullptr, plain.data(), length) != ERROR_SUCCESS)
        return kOpenSealedFailed;
    *type = innerType;
    // The sealed key stores text as UTF-8, whatever the thread's code page.
    if (IsText(innerType))
        return NarrowDataToWide(CP_UTF8, innerType, reinterpret_cast<const char*>(plain.data()), length, data, bytes);
    const DWORD capacity = *bytes;
    *bytes = length;
    if (length > capacity)
        return ERROR_MORE_DATA;
    std::memcpy(data, plain.data(), length);
    return ERROR_SUCCESS;
}

// Text built under a bound. Templates nest (a value may hold tokens that later
// pairs replace), so a few short values can ask for text many times the size
// of memory: every step stops as soon as the text it would make reaches the
// limit, and keeps that length to report. Steps may pass the caller's room on
// the way (a later pair can shorten the text again); only the result must fit.
struct BoundedText
{
    explicit BoundedText(size_t units) : room(units), limit(std::max(units, kMaxExpandedChars)) {}

    // Keeps length as reached and answers 234 when it reaches the limit.
    LONG Fits(size_t length)
    {
        if (length < limit)
            return ERROR_SUCCESS;
        reached = length;
        return ERROR_MORE_DATA;
    }

    size_t room;
    size_t limit;
    std::wstring text;
    size_t reached = 0;
};

// The room for the caller's buffer, or for a length query.
size_t RoomFor(const wchar_t* output, const DWORD* length)
{
    return output ? *length : kMaxExpandedChars;
}

// The text, or with 234 the length the expansion had reached when it stopped,
// terminator included.
LONG WriteResult(LONG result, const BoundedText& bounded, wchar_t* output, DWORD* length)
{
    if (result == ERROR_MORE_DATA) {
        *length = bounded.reached < MAXDWORD ? static_cast<DWORD>(bounded.reached + 1) : MAXDWORD;
        return result;
    }
    if (result != ERROR_SUCCESS)
        return result;
    const std::wstring& text = bounded.text;
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (output && needed > *length) {
        *length = needed;
        return ERROR_MORE_DATA;
    }
    if (output)
        std::wmemcpy(output, text.c_str(), needed);
    *length = needed;
    return ERROR_SUCCESS;
}

void EnumerateValueNames(HKEY key, DWORD count, DWORD longestName, std::vector<std::wstring>& names)
{
    std::vector<wchar_t> name(static_cast<size_t>(longestName) + 1);
    for (DWORD index = 0; index < count; ++index) {
        DWORD chars = longestName + 1;
        if (::RegEnumValueW(key, index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        names.emplace_back(name.data(), chars);
    }
}

// The REG_SZ value of an open key, or false when it is missing, unreadable or
// of another type.
bool ReadVariable(HKEY key, const std::wstring& name, bool obfuscated, wchar_t (&value)[kValueChars])
{
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(value);
    return ReadRegistryStringValue(key, nullptr, name.c_str(), &type, value, &bytes, obfuscated) == ERROR_SUCCESS &&
           type == REG_SZ;
}

// The length of a text of length units once count tokens of tokenLength became
// values of valueLength; SIZE_MAX when that cannot be counted.
size_t LengthAfter(size_t length, size_t count, size_t tokenLength, size_t valueLength)
{
    const size_t kept = length - count * tokenLength;
    if (valueLength != 0 && count > (SIZE_MAX - kept) / valueLength)
        return SIZE_MAX;
    return kept + count * valueLength;
}

LONG ReplaceTokens(const wchar_t* input, const TokenPair* pairs, size_t pairCount, BoundedText& bounded)
{
    std::wstring& current = bounded.text;
    current.assign(input);
    LONG result = bounded.Fits(current.size());
    if (result != ERROR_SUCCESS)
        return result;
    std::wstring source;
    for (size_t i = 0; i < pairCount; ++i) {
        const std::wstring& token = pairs[i].token;
        size_t at = token.empty() ? std::wstring::npos : current.find(token);
        if (at == std::wstring::npos)
            continue;
        const std::wstring& value = pairs[i].value;
        size_t occurrences = 0;
        for (size_t next = at; next != std::wstring::npos; next = current.find(token, next + token.size()))
            ++occurrences;
        const size_t length = LengthAfter(current.size(), occurrences, token.size(), value.size());
        result = bounded.Fits(length);
        if (result != ERROR_SUCCESS)
            return result;
        source.swap(current);
        current.clear();
        // Sized once per pair: regrowing at every occurrence would make many
        // tokens quadratic, and each large block costs fresh pages.
        current.reserve(length);
        size_t from = 0;
        do {
            current.append(source, from, at - from);
            current.append(value);
            from = at + token.size();
            at = source.find(token, from);
        } while (at != std::wstring::npos);
        current.append(source, from, std::wstring::npos);
    }
    return ERROR_SUCCESS;
}

// A registry path's root and subkey: 87 when the path is malformed or too
// long, ERROR_BADKEY when its root is not one of the known names.
LONG ParseKeyPath(const wchar_t* keyPath, wchar_t (&subkey)[kSubkeyChars], HKEY& root)
{
    if (!ParseRegistryPath(keyPath, subkey, kSubkeyChars, &root))
        return ERROR_INVALID_PARAMETER;
    return root ? ERROR_SUCCESS : ERROR_BADKEY;
}

LONG ExpandTokensToText(const wchar_t* keyPath, const wchar_t* input, bool obfuscated, BoundedText& out)
{
    wchar_t subkey[kSubkeyChars];
    HKEY root = nullptr;
    const LONG parsed = ParseKeyPath(keyPath, subkey, root);
    if (parsed != ERROR_SUCCESS)
        return parsed;
    Plinth::UniqueHKey key;
    if (::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return ReplaceTokens(input, nullptr, 0, out);
    DWORD valueCount = 0;
    DWORD longestName = 0;
    const LONG result = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount,
                                           &longestName, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    std::vector<std::wstring> names;
    EnumerateValueNames(key.get(), valueCount, longestName, names);
    std::vector<TokenPair> pairs;
    wchar_t value[kValueChars];
    for (const std::wstring& name : names) {
        if (!ReadVariable(key.get(), name, obfuscated, value))
            continue;
        wchar_t token[kPieceChars];
        if (Plinth::FormatWide(token, kPieceChars, L"%%%s%%", name.c_str()) < 0)
            return ERROR_NOT_ENOUGH_MEMORY;
        pairs.push_back({token, value});
    }
    return ReplaceTokens(input, pairs.data(), pairs.size(), out);
}

LONG AppendQueryParamsToText(const wchar_t* keyPath, const wchar_t* input, bool obfuscated, BoundedText& out)
{
    wchar_t subkey[kSubkeyChars];
    HKEY root = nullptr;
    const LONG parsed = ParseKeyPath(keyPath, subkey, root);
    if (parsed != ERROR_SUCCESS)
        return parsed;
    static constexpr wchar_t kQueryParams[] = L"\\QueryParams";
    const size_t subkeyLength = std::wcslen(subkey);
    if (subkeyLength + std::size(kQueryParams) > kSubkeyChars)
        return ERANGE;
    std::wmemcpy(subkey + subkeyLength, kQueryParams, std::size(kQueryParams));

    LONG result = ReplaceTokens(input, nullptr, 0, out);
    Plinth::UniqueHKey key;
    if (result != ERROR_SUCCESS || ::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return result;
    DWORD valueCount = 0;
    DWORD longestName = 0;
    if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount, &longestName,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    std::vector<std::wstring> names;
    EnumerateValueNames(key.get(), valueCount, longestName, names);

    bool separatorIsAmpersand = std::wcschr(input, L'?') != nullptr;
    wchar_t value[kValueChars];
    for (const std::wstring& name : names) {
        if (!ReadVariable(key.get(), name, obfuscated, value))
            continue;
        // The whole piece, "?name=value" with its terminator, must fit.
        if (std::wcslen(value) + name.size() + 2 >= kPieceChars)
            continue;
        wchar_t piece[kPieceChars];
        // A parameter the input already carries is never overridden or repeated.
        Plinth::FormatWide(piece, kPieceChars, L"?%s=", name.c_str());
        if (std::wcsstr(input, piece))
            continue;
        Plinth::FormatWide(piece, kPieceChars, L"&%s=", name.c_str());
        if (std::wcsstr(input, piece))
            continue;
        const int pieceLength =
            Plinth::FormatWide(piece, kPieceChars, separatorIsAmpersand ? L"&%s=%s" : L"?%s=%s", name.c_str(), value);
        if (pieceLength < 0)
            continue;
        result = out.Fits(out.text.size() + static_cast<size_t>(pieceLength));
        if (result != ERROR_SUCCESS)
            return result;
        out.text.append(piece);
        separatorIsAmpersand = true;
    }
    return ERROR_SUCCESS;
}

LONG ExpandSubstitutionToText(const wchar_t* keyPath, const wchar_t* input, bool appendQueryParams, bool obfuscated,
                              BoundedText& out)
{
    const LONG result = ExpandTokensToText(keyPath, input, obfuscated, out);
    if (result != ERROR_SUCCESS || !appendQueryParams)
        return result;
    const std::wstring expanded = std::move(out.text);
    return AppendQueryParamsToText(keyPath, expanded.c_str(), obfuscated, out);
}

void FillHostCopy(HKEY copy)
{
    Plinth::UniqueHKey host;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHostSubstituteKey, 0, KEY_QUERY_VALUE, host.put()) != ERROR_SUCCESS)
        return;
    for (const wchar_t* name : kHostVariables)
        CopyRegistryValue(host.get(), copy, name);
    Plinth::UniqueHKey copyParams;
    if (::RegCreateKeyExW(copy, L"QueryParams", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                          copyParams.put(), nullptr) != ERROR_SUCCESS)
        return;
    Plinth::UniqueHKey hostParams;
    if (::RegOpenKeyExW(host.get(), L"QueryParams", 0, KEY_QUERY_VALUE, hostParams.put()) != ERROR_SUCCESS)
        return;
    for (const wchar_t* name : kHostQueryParams)
        CopyRegistryValue(hostParams.get(), copyParams.get(), name);
}

// Opens the per-boot copy of the host's variables, filling it only when this
// call created it: an existing copy is never refreshed.
bool PrepareHostCopy()
{
    Plinth::UniqueHKey copy;
    DWORD disposition = 0;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVolatileSubstituteKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                          nullptr, copy.put(), &disposition) != ERROR_SUCCESS ||
        !copy)
        return false;
    if (disposition == REG_CREATED_NEW_KEY)
        FillHostCopy(copy.get());
    return true;
}

bool IsHostSubstituteKey(const wchar_t* keyPath)
{
    wchar_t subkey[kSubkeyChars];
    HKEY root = nullptr;
    return ParseRegistryPath(keyPath, subkey, kSubkeyChars, &root) && root == HKEY_LOCAL_MACHINE &&
           EqualsAsciiNoCase(subkey, std::wcslen(subkey), kHostSubstituteKey);
}

} // namespace

bool ParseRegistryPath(const wchar_t* path, wchar_t* subkey, size_t subkeyChars, HKEY* root)
{
    if (!path || !subkey || subkeyChars == 0 || !root)
        return false;
    const wchar_t* backslash = std::wcschr(path, L'\\');
    if (!backslash || backslash[1] == L'\0')
        return false;
    const wchar_t* rest = path;
    HKEY resolved = HKEY_LOCAL_MACHINE;
    for (const RootName& name : kRootNames) {
        if (EqualsAsciiNoCase(path, static_cast<size_t>(backslash - path), name.name)) {
            rest = backslash + 1;
            resolved = name.root;
            break;
        }
    }
    const size_t length = std::wcslen(rest);
    if (length >= subkeyChars)
        return false;
    std::wmemcpy(subkey, rest, length + 1);
    *root = resolved;
    return true;
}

LONG ReadRegistryStringValue(HKEY key, const wchar_t* subkey, const wchar_t* valueName, DWORD* type, void* data,
                             DWORD* bytes, bool obfuscated)
{
    if (!key || !type || !data || !bytes)
        return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LONG {
        AnsiName ansiSubkey;
        AnsiName ansiName;
        LONG result = ansiSubkey.Convert(subkey);
        if (result == ERROR_SUCCESS)
            result = ansiName.Convert(valueName);
        if (result != ERROR_SUCCESS)
            return result;
        // Without a subkey the caller's open key serves as it is, saving an
        // open and a close per value.
        Plinth::UniqueHKey opened;
        HKEY source = key;
        if (subkey) {
            result = ::RegOpenKeyExA(key, ansiSubkey.Get(), 0, KEY_READ, opened.put());
            if (result != ERROR_SUCCESS)
                return result;
            source = opened.get();
        }
        *type = REG_NONE;
        result = obfuscated ? ReadSealedValue(source, ansiName.Get(), type, data, bytes)
                            : ReadPlainValue(source, ansiName.Get(), type, data, bytes);
        return result == ERROR_INSUFFICIENT_BUFFER ? ERROR_MORE_DATA : result;
    });
}

LONG ReplaceAllTokens(const wchar_t* input, const TokenPair* pairs, size_t pairCount, wchar_t* output, DWORD* length)
{
    if (!input || !length || (pairCount && !pairs))
        return ERROR_INVALID_PARAMETER;
    return Guarded([&] {
        BoundedText text(RoomFor(output, length));
        return WriteResult(ReplaceTokens(input, pairs, pairCount, text), text, output, length);
    });
}

LONG ExpandTokens(const wchar_t* keyPath, const wchar_t* input, bool obfuscated, wchar_t* output, DWORD* length)
{
    if (!keyPath || !input || !length)
        return ERROR_INVALID_PARAMETER;
    return Guarded([&] {
        BoundedText text(RoomFor(output, length));
        return WriteResult(ExpandTokensToText(keyPath, input, obfuscated, text), text, output, length);
    });
}

LONG ExpandSubstitutionString(const wchar_t* keyPath, const wchar_t* input, bool appendQueryParams, bool obfuscated,
                              wchar_t* output, DWORD* length)
{
    if (!keyPath || !input || !length)
        return ERROR_INVALID_PARAMETER;
    return Guarded([&] {
        BoundedText text(RoomFor(output, length));
        return WriteResult(ExpandSubstitutionToText(keyPath, input, appendQueryParams, obfuscated, text), text, output,
                           length);
    });
}

LONG ExpandWithHostSubstitutes(const wchar_t* keyPath, const wchar_t* input, bool appendQueryParams, bool obfuscated,
                               wchar_t* output, DWORD* length, bool useHostCopy)
{
    if (!keyPath || !input || !length)
        return ERROR_INVALID_PARAMETER;
    if (!useHostCopy)
        return ExpandSubstitutionString(keyPath, input, appendQueryParams, obfuscated, output, length);
    {
        Plinth::UniqueHKey varkon;
        const LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon", 0, KEY_READ, varkon.put());
        if (result != ERROR_SUCCESS)
            return result;
    }
    if (!PrepareHostCopy() || IsHostSubstituteKey(keyPath))
        return ExpandSubstitutionString(keyPath, input, appendQueryParams, obfuscated, output, length);
    // Both passes are held to the caller's capacity: the host pass's text is
    // the product pass's input.
    return Guarded([&] {
        BoundedText hostPass(RoomFor(output, length));
        LONG result = ExpandSubstitutionToText(kVolatileSubstituteKey, input, appendQueryParams, obfuscated, hostPass);
        if (result != ERROR_SUCCESS)
            return WriteResult(result, hostPass, output, length);
        BoundedText text(hostPass.room);
        result = ExpandSubstitutionToText(keyPath, hostPass.text.c_str(), appendQueryParams, obfuscated, text);
        return WriteResult(result, text, output, length);
    });
}

LONG CopyRegistryValue(HKEY source, HKEY target, const wchar_t* valueName)
{
    if (!source || !target)
        return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LONG {
        DWORD type = REG_NONE;
        DWORD bytes = 0;
        LONG result = ::RegQueryValueExW(source, valueName, nullptr, &type, nullptr, &bytes);
        if (result != ERROR_SUCCESS)
            return result;
        ScratchBuffer scratch;
        BYTE* data = scratch.Reserve(bytes);
        result = ::RegQueryValueExW(source, valueName, nullptr, &type, data, &bytes);
        if (result != ERROR_SUCCESS)
            return result;
        return ::RegSetValueExW(target, valueName, 0, type, data, bytes);
    });
}

LONG AppendQueryParams(const wchar_t* keyPath, const wchar_t* input, bool obfuscated, wchar_t* output, DWORD* length)
{
    if (!keyPath || !input || !length)
        return ERROR_INVALID_PARAMETER;
    return Guarded([&] {
        BoundedText text(RoomFor(output, length));
        return WriteResult(AppendQueryParamsToText(keyPath, input, obfuscated, text), text, output, length);
    });
}
