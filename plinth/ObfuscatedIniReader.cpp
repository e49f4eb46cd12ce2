#include "plinth/ObfuscatedIniReader.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "plinth/Md5.h"
#include "plinth/ObfuscationCipher.h"
#include "plinth/ObfuscationKeys.h"
#include "plinth/WideFormat.h"

namespace Plinth {

namespace {

constexpr uint8_t kMagic[4] = {'V', 'K', 'R', 'G'};
constexpr wchar_t kMagicText[] = L"564B5247";
constexpr size_t kMagicTextChars = 8;
constexpr uint32_t kVersion = 1;
constexpr uint32_t kScheme = 1;

constexpr size_t kVersionOffset = 4;
constexpr size_t kLengthOffset = 8;
constexpr size_t kTypeOffset = 12;
constexpr size_t kSchemeOffset = 16;
constexpr size_t kDigestOffset = 20;

void PutUint32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetUint32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Section and key of a dotted name, split at its first ".".
bool SplitName(const std::wstring& name, std::wstring& section, std::wstring& key)
{
    const size_t dot = name.find(L'.');
    if (dot == std::wstring::npos)
        return false;
    section = name.substr(0, dot);
    key = name.substr(dot + 1);
    return true;
}

// Bytes as the system's profile writer stores a structure: two hexadecimal
// digits a byte, then the low byte of their sum.
std::wstring StructText(const uint8_t* bytes, size_t count)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    unsigned sum = 0;
    for (size_t i = 0; i <= count; ++i) {
        const unsigned byte = i < count ? bytes[i] : sum & 0xFF;
        sum += byte;
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

} // namespace

DWORD SealIniValue(const uint8_t* data, size_t bytes, uint32_t type, uint8_t* encoded, size_t capacity,
                   uint8_t (&header)[kIniSealHeaderBytes])
{
    if (capacity < bytes || bytes > UINT32_MAX)
        return ERROR_INVALID_PARAMETER;
    if (bytes && (!data || !encoded))
        return ERROR_ENCRYPTION_FAILED;

    CObfuscationCipher cipher(kIniObfuscationKey, kObfuscationKeyChars);
    cipher.Encode(data, encoded, bytes);

    std::memcpy(header, kMagic, sizeof(kMagic));
    PutUint32(header + kVersionOffset, kVersion);
    PutUint32(header + kLengthOffset, static_cast<uint32_t>(bytes));
    PutUint32(header + kTypeOffset, type);
    PutUint32(header + kSchemeOffset, kScheme);
    uint8_t digest[kMd5DigestBytes];
    Md5(encoded, bytes, digest);
    std::memcpy(header + kDigestOffset, digest, kMd5DigestBytes);
    return ERROR_SUCCESS;
}

DWORD OpenIniValue(const uint8_t* encoded, size_t bytes, const uint8_t (&header)[kIniSealHeaderBytes], uint8_t* plain,
                   size_t capacity)
{
    if (bytes && !encoded)
        return ERROR_INVALID_DATA;
    uint8_t digest[kMd5DigestBytes];
    Md5(encoded, bytes, digest);
    const uint32_t length = GetUint32(header + kLengthOffset);
    if (std::memcmp(digest, header + kDigestOffset, kMd5DigestBytes) != 0 || bytes != length ||
        std::memcmp(header, kMagic, sizeof(kMagic)) != 0)
        return ERROR_INVALID_DATA;

    if (!plain)
        return ERROR_SUCCESS;
    if (length > capacity)
        return ERROR_MORE_DATA;
    CObfuscationCipher cipher(kIniObfuscationKey, kObfuscationKeyChars);
    cipher.Decode(encoded, plain, bytes);
    return ERROR_SUCCESS;
}

bool ReadIniHexBytes(const std::wstring& text, uint8_t* out, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        size_t pos = 2 * i;
        if (pos >= text.size())
            return true;
        while (pos < text.size() && std::iswspace(text[pos]))
            ++pos;
        if (pos == text.size())
            return false;
        unsigned value = 0;
        for (size_t digits = 0; digits < 2 && pos < text.size(); ++digits, ++pos) {
            const int digit = HexDigit(text[pos]);
            if (digit < 0)
                break;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        out[i] = static_cast<uint8_t>(value);
    }
    return true;
}

bool CObfuscatedIniReader::Load(const std::wstring& path)
{
    Clear();
    return Loaded(CBaseIniReader::Load(path));
}

bool CObfuscatedIniReader::LoadHeld(HANDLE file)
{
    Clear();
    return Loaded(CBaseIniReader::LoadHeld(file));
}

void CObfuscatedIniReader::Clear()
{
    m_pendingHeaders.clear();
    m_sections.clear();
}

bool CObfuscatedIniReader::Loaded(bool loaded)
{
    if (!loaded)
        return false;
    for (const auto& pending : m_pendingHeaders)
        OpenPendingHeader(pending.first, pending.second);
    m_pendingHeaders.clear();
    return true;
}

const IniEntry* CObfuscatedIniReader::FindEntry(const std::wstring& section, const std::wstring& key) const
{
    const auto table = m_sections.find(section);
    if (table == m_sections.end())
        return nullptr;
    const auto entry = table->second.find(key);
    return entry == table->second.end() ? nullptr : &entry->second;
}

const IniEntry* CObfuscatedIniReader::FindByName(const std::wstring& name) const
{
    std::wstring section;
    std::wstring key;
    if (!SplitName(name, section, key))
        return nullptr;
    return FindEntry(section, key);
}

bool CObfuscatedIniReader::GetStringByName(const std::wstring& name, std::wstring& value) const
{
    const IniEntry* entry = FindByName(name);
    if (!entry || (m_verifiedOnly && !entry->verified))
        return false;
    value = entry->value;
    return true;
}

bool CObfuscatedIniReader::GetIntByName(const std::wstring& name, int32_t& value) const
{
    std::wstring text;
    if (!GetStringByName(name, text))
        return false;
    value = static_cast<int32_t>(std::wcstol(text.c_str(), nullptr, 10));
    return true;
}

bool CObfuscatedIniReader::GetSection(const std::wstring& section, IniSectionMap& entries) const
{
    const auto table = m_sections.find(section);
    if (table == m_sections.end())
        return false;
    for (const auto& entry : table->second)
        entries[entry.first] = entry.second.value;
    return true;
}

bool CObfuscatedIniReader::AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                                    bool overwrite)
{
    if (!overwrite && FindEntry(section, key))
        return false;
    if (!key.empty() && key[0] == L'_' && value.size() == kIniSealHeaderTextChars &&
        value.compare(0, kMagicTextChars, kMagicText) == 0) {
        m_pendingHeaders[section + L"." + key.substr(1)] = value;
        return false;
    }
    Store(section, key, IniEntry{value, false, kIniSealTypeString});
    return true;
}

void CObfuscatedIniReader::Store(const std::wstring& section, const std::wstring& key, IniEntry entry)
{
    m_sections[section][key] = std::move(entry);
}

void CObfuscatedIniReader::OpenPendingHeader(const std::wstring& name, const std::wstring& headerText)
{
    std::wstring section;
    std::wstring key;
    if (!SplitName(name, section, key))
        return;
    const auto table = m_sections.find(section);
    if (table == m_sections.end())
        return;
    const auto found = table->second.find(key);
    if (found == table->second.end())
        return;
    IniEntry& entry = found->second;

    uint8_t header[kIniSealHeaderBytes] = {};
    if (!ReadIniHexBytes(headerText, header, kIniSealHeaderBytes))
        return;
    if (std::memcmp(header, kMagic, sizeof(kMagic)) != 0 || GetUint32(header + kVersionOffset) != kVersion ||
        GetUint32(header + kSchemeOffset) == 0)
        return;

    const uint32_t type = GetUint32(header + kTypeOffset);
    if (type == kIniSealTypeString) {
        const size_t count = entry.value.empty() ? 0 : (entry.value.size() - 1) / 2;
        std::vector<uint8_t> encoded(count);
        std::vector<uint8_t> plain(count);
        if (!ReadIniHexBytes(entry.value, encoded.data(), count) ||
            OpenIniValue(encoded.data(), count, header, plain.data(), count) != ERROR_SUCCESS)
            return;
        entry.value = FromThreadAnsi(reinterpret_cast<const char*>(plain.data()), count);
    } else if (type == kIniSealTypeInt) {
        uint8_t encoded[4] = {};
        uint8_t plain[4] = {};
        if (!ReadIniHexBytes(entry.value, encoded, 4) || OpenIniValue(encoded, 4, header, plain, 4) != ERROR_SUCCESS)
            return;
        wchar_t text[16];
        FormatWide(text, 16, L"%d", static_cast<int32_t>(GetUint32(plain)));
        entry.value = text;
    } else {
        return;
    }
    entry.verified = true;
    entry.type = type;
}

bool CObfuscatedIniReader::WriteSealed(const std::wstring& section, const std::wstring& key, const uint8_t* data,
                                       size_t bytes, size_t capacity, uint32_t type)
{
    std::vector<uint8_t> encoded(capacity > bytes ? capacity : bytes);
    uint8_t header[kIniSealHeaderBytes];
    if (SealIniValue(data, bytes, type, encoded.data(), capacity, header) != ERROR_SUCCESS)
        return false;
    const std::wstring headerKey = L"_" + key;
    if (m_heldFile)
        return WriteHeldLines(
            section, {{headerKey, StructText(header, kIniSealHeaderBytes)}, {key, StructText(encoded.data(), bytes)}});
    if (!::WritePrivateProfileStructW(section.c_str(), headerKey.c_str(), header, kIniSealHeaderBytes, m_path.c_str()))
        return false;
    // A null buffer would delete the key; an empty value still needs a pointer.
    uint8_t none = 0;
    return ::WritePrivateProfileStructW(section.c_str(), key.c_str(), bytes ? encoded.data() : &none,
                                        static_cast<UINT>(bytes), m_path.c_str()) != FALSE;
}

bool CObfuscatedIniReader::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value)
{
    const std::string bytes = ToThreadAnsi(value);
    if (!WriteSealed(section, key, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), value.size(),
                     kIniSealTypeString))
        return false;
    Store(section, key, IniEntry{value, true, kIniSealTypeString});
    return true;
}

bool CObfuscatedIniReader::WriteInt(const std::wstring& section, const std::wstring& key, int32_t value)
{
    if (!Writable())
        return false;
    uint8_t bytes[4];
    PutUint32(bytes, static_cast<uint32_t>(value));
    if (!WriteSealed(section, key, bytes, sizeof(bytes), sizeof(bytes), kIniSealTypeInt))
        return false;
    wchar_t text[16];
    FormatWide(text, 16, L"%d", value);
    Store(section, key, IniEntry{text, true, kIniSealTypeInt});
    return true;
}

} // namespace Plinth
