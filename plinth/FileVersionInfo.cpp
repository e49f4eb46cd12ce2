#include "plinth/FileVersionInfo.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <new>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"

namespace Plinth {

ShlObjAPI::~ShlObjAPI() = default;

HRESULT ShlObjAPI::SHGetKnownFolderPath(REFKNOWNFOLDERID folder, DWORD flags, HANDLE token, PWSTR* path)
{
    return ::SHGetKnownFolderPath(folder, flags, token, path);
}

FileVersionInfo::~FileVersionInfo() = default;

bool FileVersionInfo::Load(const std::wstring& path)
{
    if (m_loaded)
        return false;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return false;
    try {
        m_resource.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_loaded = ::GetFileVersionInfoW(path.c_str(), 0, size, m_resource.data()) == TRUE;
    return m_loaded;
}

std::wstring FileVersionInfo::GetString(const std::wstring& name)
{
    if (!m_loaded)
        return std::wstring();
    struct Translation
    {
        WORD language;
        WORD codePage;
    };
    void* table = nullptr;
    UINT tableBytes = 0;
    if (!::VerQueryValueW(m_resource.data(), L"\\VarFileInfo\\Translation", &table, &tableBytes) || !table)
        return std::wstring();
    const auto* translations = static_cast<const Translation*>(table);
    const size_t translationCount = std::min<size_t>(tableBytes, BytesAfter(table)) / sizeof(Translation);
    for (size_t i = 0; i < translationCount; ++i) {
        wchar_t subBlock[MAX_PATH + 1];
        FormatWide(subBlock, MAX_PATH + 1, L"\\StringFileInfo\\%04X%04X\\%s", translations[i].language,
                   translations[i].codePage, name.c_str());
        void* value = nullptr;
        UINT valueChars = 0;
        // The text ends at its terminator or at the value's length, whichever
        // comes first: a value stored without a terminator is followed by the
        // next block, not by a zero. Neither may reach past the resource.
        if (::VerQueryValueW(m_resource.data(), subBlock, &value, &valueChars) && value) {
            const auto* text = static_cast<const wchar_t*>(value);
            const size_t chars = std::min<size_t>(valueChars, BytesAfter(value) / sizeof(wchar_t));
            return std::wstring(text, ::wcsnlen(text, chars));
        }
    }
    return std::wstring();
}

size_t FileVersionInfo::BytesAfter(const void* at) const
{
    const auto address = reinterpret_cast<uintptr_t>(at);
    const auto start = reinterpret_cast<uintptr_t>(m_resource.data());
    if (address < start || address - start > m_resource.size())
        return 0;
    return m_resource.size() - (address - start);
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell) : m_shell(std::move(shell))
{
    if (!m_shell)
        m_shell = std::make_shared<ShlObjAPI>();
}

bool SystemFileVersionInfo::Load(const std::wstring& fileName)
{
    std::wstring folder = m_systemFolder;
    if (folder.empty()) {
        UniqueCoTaskMem<wchar_t> path;
        if (SUCCEEDED(m_shell->SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, path.put())) && path) {
            m_systemFolder = std::wstring(path.get()) + L"\\";
            folder = m_systemFolder;
        } else {
            // Nothing is cached, so a later call asks the shell again.
            folder = L"\\";
        }
    }
    return FileVersionInfo::Load(folder + fileName);
}

} // namespace Plinth
