#pragma once
// An INI file read once into memory. The base owns the path, the line reader
// and the write path; storage and lookups belong to the derived class.
#include <cstdint>
#include <map>
#include <string>

namespace Plinth {

using IniSectionMap = std::map<std::wstring, std::wstring>;

class CBaseIniReader
{
public:
    CBaseIniReader() = default;
    virtual ~CBaseIniReader() = default;
    CBaseIniReader(const CBaseIniReader&) = delete;
    CBaseIniReader& operator=(const CBaseIniReader&) = delete;

    // False for an empty path or a file that cannot be opened. A missing file
    // keeps the path, so that later writes create it. Each load starts in the
    // unnamed section.
    virtual bool Load(const std::wstring& path);
    virtual bool GetInt(const std::wstring& section, const std::wstring& key, int32_t& value) const;
    virtual bool GetString(const std::wstring& section, const std::wstring& key, std::wstring& value) const;
    // name is section, "." and key, split at its first ".".
    virtual bool GetIntByName(const std::wstring& name, int32_t& value) const = 0;
    virtual bool GetStringByName(const std::wstring& name, std::wstring& value) const = 0;
    virtual bool GetSection(const std::wstring& section, IniSectionMap& entries) const = 0;
    virtual bool WriteInt(const std::wstring& section, const std::wstring& key, int32_t value);
    virtual bool WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value);
    // True when the entry was stored. Loading passes overwrite = false, so the
    // first occurrence of a key wins.
    virtual bool AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                          bool overwrite) = 0;
    virtual void ParseLine(const char* line);

    const std::wstring& Path() const { return m_path; }
    uint32_t EntryCount() const { return m_entryCount; }
    uint32_t SectionCount() const { return m_sectionCount; }

protected:
    // Text in the thread's ANSI code page as UTF-16; empty when it does not convert.
    static std::wstring FromThreadAnsi(const char* bytes, size_t count);

    std::wstring m_path;
    std::wstring m_currentSection;
    uint32_t m_entryCount = 0;
    uint32_t m_sectionCount = 0;
};

} // namespace Plinth
