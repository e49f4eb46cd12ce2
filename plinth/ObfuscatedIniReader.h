#pragma once
// The INI reader of the system: entries in memory, section by section, with
// sealed entries decoded and verified while the file loads. Its own writes are
// always sealed. In verified-only mode lookups see verified entries alone, so a
// value typed into the file by hand is treated as missing.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "plinth/BaseIniReader.h"

namespace Plinth {

constexpr size_t kIniSealHeaderBytes = 36;
constexpr uint32_t kIniSealTypeString = 1;
constexpr uint32_t kIniSealTypeInt = 4;
// Length of the header entry's text: 36 bytes as hex digits plus a checksum byte.
constexpr size_t kIniSealHeaderTextChars = 2 * kIniSealHeaderBytes + 2;

// Encodes bytes into encoded (capacity bytes) and fills the header (magic,
// version 1, length, type, scheme 1, MD5 of the encoded bytes). Returns 0, 87
// when capacity < bytes, or 6000.
DWORD SealIniValue(const uint8_t* data, size_t bytes, uint32_t type, uint8_t* encoded, size_t capacity,
                   uint8_t (&header)[kIniSealHeaderBytes]);

// Checks digest, length and magic of encoded bytes against the header (13 when
// one fails); without plain that is all (0). Otherwise decodes into plain:
// 0, 234 when the data is longer than capacity, or 6001.
DWORD OpenIniValue(const uint8_t* encoded, size_t bytes, const uint8_t (&header)[kIniSealHeaderBytes], uint8_t* plain,
                   size_t capacity);

// Reads up to count bytes from the text form of WritePrivateProfileStructW
// (two hex digits per byte, at positions 2i); bytes past the end of the text
// are left alone. False only when a position holds nothing but blanks up to the
// end of the text.
bool ReadIniHexBytes(const std::wstring& text, uint8_t* out, size_t count);

struct IniEntry
{
    std::wstring value;
    bool verified = false;
    uint32_t type = kIniSealTypeString;
};

class CObfuscatedIniReader : public CBaseIniReader
{
public:
    explicit CObfuscatedIniReader(bool verifiedOnly = false) : m_verifiedOnly(verifiedOnly) {}

    bool Load(const std::wstring& path) override;
    bool LoadHeld(HANDLE file) override;
    bool GetIntByName(const std::wstring& name, int32_t& value) const override;
    bool GetStringByName(const std::wstring& name, std::wstring& value) const override;
    bool GetSection(const std::wstring& section, IniSectionMap& entries) const override;
    bool WriteInt(const std::wstring& section, const std::wstring& key, int32_t value) override;
    bool WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value) override;
    bool AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool overwrite) override;

    // The whole record of an entry, whatever the mode; null when there is none.
    const IniEntry* FindEntry(const std::wstring& section, const std::wstring& key) const;

private:
    using EntryTable = std::unordered_map<std::wstring, IniEntry>;

    void Clear();
    // Opens the sealed entries of a file that loaded.
    bool Loaded(bool loaded);
    const IniEntry* FindByName(const std::wstring& name) const;
    void OpenPendingHeader(const std::wstring& name, const std::wstring& headerText);
    bool WriteSealed(const std::wstring& section, const std::wstring& key, const uint8_t* data, size_t bytes,
                     size_t capacity, uint32_t type);
    void Store(const std::wstring& section, const std::wstring& key, IniEntry entry);

    std::unordered_map<std::wstring, std::wstring> m_pendingHeaders;
    std::unordered_map<std::wstring, EntryTable> m_sections;
    bool m_verifiedOnly;
};

} // namespace Plinth
