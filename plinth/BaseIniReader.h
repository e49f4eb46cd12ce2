#pragma once
// An INI file read once into memory. The base owns the path, the line reader
// and the write path; storage and lookups belong to the derived class.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

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
    // As Load, from the start of a file the caller holds open and has checked.
    // Writes then go through that handle, never by path, so nothing a path
    // might name by then is written: the handle must stay open (with write
    // access for writes) while the reader is used. False for no handle or a
    // file that cannot be read.
    virtual bool LoadHeld(HANDLE file);
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

    // Empty for a held file.
    const std::wstring& Path() const { return m_path; }
    uint32_t EntryCount() const { return m_entryCount; }
    uint32_t SectionCount() const { return m_sectionCount; }

protected:
    using IniLine = std::pair<std::wstring, std::wstring>;

    // Text in the thread's ANSI code page as UTF-16; empty when it does not convert.
    static std::wstring FromThreadAnsi(const char* bytes, size_t count);
    // UTF-16 text in the thread's ANSI code page; empty when it does not convert.
    static std::string ToThreadAnsi(const std::wstring& text);

    bool Writable() const { return m_heldFile || !m_path.empty(); }
    // Sets each key of section to its text in the held file, as the system's
    // profile writer sets it in a file named by path: a key's first line in the
    // section is replaced, a new key follows the section's last entry, and a
    // new section goes at the end. False without a held file or when it cannot
    // be read or written.
    bool WriteHeldLines(const std::wstring& section, std::initializer_list<IniLine> lines);

    std::wstring m_path;
    HANDLE m_heldFile = nullptr;
    std::wstring m_currentSection;
    uint32_t m_entryCount = 0;
    uint32_t m_sectionCount = 0;

private:
    void ParseStream(FILE* file);
};

} // namespace Plinth
