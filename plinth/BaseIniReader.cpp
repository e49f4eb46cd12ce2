#include "plinth/BaseIniReader.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwctype>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

namespace Plinth {

namespace {

using UniqueFile = UniqueResource<FILE*, &::fclose>;

constexpr int kLineBufferBytes = 1024;

std::wstring Trimmed(const std::wstring& text)
{
    size_t end = text.size();
    while (end > 0 && std::iswspace(text[end - 1]))
        --end;
    size_t begin = 0;
    while (begin < end && std::iswspace(text[begin]))
        ++begin;
    return text.substr(begin, end - begin);
}

} // namespace

std::wstring CBaseIniReader::FromThreadAnsi(const char* bytes, size_t count)
{
    if (count == 0 || count > INT_MAX)
        return std::wstring();
    const int length = static_cast<int>(count);
    const int needed = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, length, nullptr, 0);
    if (needed <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, length, &text[0], needed);
    text.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return text;
}

bool CBaseIniReader::Load(const std::wstring& path)
{
    if (path.empty())
        return false;
    m_path = path;
    // Lines above the first header of this file belong to the unnamed section,
    // not to the last section of the file loaded before.
    m_currentSection.clear();

    UniqueFile file(::_wfopen(path.c_str(), L"r"));
    if (!file) {
        if (errno != ENOENT)
            m_path.clear();
        return false;
    }

    char line[kLineBufferBytes];
    while (std::fgets(line, kLineBufferBytes, file.get()))
        ParseLine(line);
    return true;
}

bool CBaseIniReader::GetInt(const std::wstring& section, const std::wstring& key, int32_t& value) const
{
    return GetIntByName(section + L"." + key, value);
}

bool CBaseIniReader::GetString(const std::wstring& section, const std::wstring& key, std::wstring& value) const
{
    return GetStringByName(section + L"." + key, value);
}

bool CBaseIniReader::WriteInt(const std::wstring& section, const std::wstring& key, int32_t value)
{
    wchar_t text[16];
    FormatWide(text, 16, L"%d", value);
    return WriteString(section, key, text);
}

bool CBaseIniReader::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value)
{
    if (m_path.empty())
        return false;
    if (!::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), m_path.c_str()))
        return false;
    return AddEntry(section, key, value, true);
}

void CBaseIniReader::ParseLine(const char* line)
{
    const std::wstring text = Trimmed(FromThreadAnsi(line, std::strlen(line)));
    if (text.empty() || text[0] == L';')
        return;

    if (text[0] == L'[' && text.back() == L']') {
        const std::wstring name = Trimmed(text.substr(1, text.size() >= 2 ? text.size() - 2 : 0));
        if (!name.empty()) {
            m_currentSection = name;
            ++m_sectionCount;
        }
        return;
    }

    const size_t equals = text.find(L'=');
    if (equals == std::wstring::npos)
        return;
    if (AddEntry(m_currentSection, Trimmed(text.substr(0, equals)), Trimmed(text.substr(equals + 1)), false))
        ++m_entryCount;
}

} // namespace Plinth
