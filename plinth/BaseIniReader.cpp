#include "plinth/BaseIniReader.h"

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
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

std::string TrimmedBytes(const std::string& text)
{
    size_t end = text.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    size_t begin = 0;
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    return text.substr(begin, end - begin);
}

bool SameName(const std::string& a, const std::string& b)
{
    return ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                            static_cast<int>(b.size())) == CSTR_EQUAL;
}

// Sets key=value in section of profile text. Line ends stay as they are; new
// lines end in CR LF.
void SetProfileLine(std::string& text, const std::string& section, const std::string& key, const std::string& value)
{
    const std::string line = key + "=" + value + "\r\n";
    size_t insertAt = std::string::npos;
    bool inSection = false;
    for (size_t at = 0, next; at < text.size(); at = next) {
        const size_t end = text.find('\n', at);
        next = end == std::string::npos ? text.size() : end + 1;
        const std::string content = TrimmedBytes(text.substr(at, next - at));
        if (content.size() >= 2 && content.front() == '[' && content.back() == ']') {
            if (inSection)
                break;
            inSection = SameName(TrimmedBytes(content.substr(1, content.size() - 2)), section);
            if (inSection)
                insertAt = next;
            continue;
        }
        const size_t equals = content.find('=');
        if (!inSection || content.empty() || content[0] == ';' || equals == std::string::npos)
            continue;
        if (SameName(TrimmedBytes(content.substr(0, equals)), key)) {
            text.replace(at, next - at, line);
            return;
        }
        insertAt = next;
    }
    if (insertAt == std::string::npos) {
        insertAt = text.size();
        if (!text.empty() && text.back() != '\n')
            text += "\r\n";
        text += "[" + section + "]\r\n";
        insertAt = text.size();
    }
    const bool lineEnded = insertAt == 0 || text[insertAt - 1] == '\n';
    text.insert(insertAt, lineEnded ? line : "\r\n" + line);
}

bool ReadWhole(HANDLE file, std::string& bytes)
{
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, chunk, sizeof(chunk), &got, nullptr))
            return false;
        if (got == 0)
            return true;
        bytes.append(chunk, got);
    }
}

bool Rewrite(HANDLE file, const std::string& bytes)
{
    LARGE_INTEGER start = {};
    DWORD written = 0;
    return bytes.size() <= MAXDWORD && ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
           ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && ::SetEndOfFile(file);
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

std::string CBaseIniReader::ToThreadAnsi(const std::wstring& text)
{
    if (text.empty() || text.size() > INT_MAX)
        return std::string();
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return std::string();
    std::string bytes(static_cast<size_t>(needed), '\0');
    const int written =
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, &bytes[0], needed, nullptr, nullptr);
    bytes.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return bytes;
}

bool CBaseIniReader::Load(const std::wstring& path)
{
    if (path.empty())
        return false;
    m_path = path;
    m_heldFile = nullptr;
    // Lines above the first header of this file belong to the unnamed section,
    // not to the last section of the file loaded before.
    m_currentSection.clear();

    UniqueFile file(::_wfopen(path.c_str(), L"r"));
    if (!file) {
        if (errno != ENOENT)
            m_path.clear();
        return false;
    }
    ParseStream(file.get());
    return true;
}

// The C library reads a copy of the handle, so the lines split exactly as they
// do for a file opened by path.
bool CBaseIniReader::LoadHeld(HANDLE file)
{
    m_path.clear();
    m_heldFile = file;
    m_currentSection.clear();
    LARGE_INTEGER start = {};
    HANDLE copy = nullptr;
    if (!file || !::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
        !::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return false;
    const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_RDONLY | _O_TEXT);
    if (descriptor < 0) {
        ::CloseHandle(copy);
        return false;
    }
    UniqueFile stream(::_fdopen(descriptor, "r"));
    if (!stream) {
        ::_close(descriptor);
        return false;
    }
    ParseStream(stream.get());
    return true;
}

void CBaseIniReader::ParseStream(FILE* file)
{
    char line[kLineBufferBytes];
    while (std::fgets(line, kLineBufferBytes, file))
        ParseLine(line);
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
    if (m_heldFile) {
        if (!WriteHeldLines(section, {{key, value}}))
            return false;
    } else if (m_path.empty() ||
               !::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), m_path.c_str())) {
        return false;
    }
    return AddEntry(section, key, value, true);
}

bool CBaseIniReader::WriteHeldLines(const std::wstring& section, std::initializer_list<IniLine> lines)
{
    std::string text;
    if (!m_heldFile || !ReadWhole(m_heldFile, text))
        return false;
    const std::string sectionBytes = ToThreadAnsi(section);
    for (const IniLine& line : lines)
        SetProfileLine(text, sectionBytes, ToThreadAnsi(line.first), ToThreadAnsi(line.second));
    return Rewrite(m_heldFile, text);
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
