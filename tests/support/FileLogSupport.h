#pragma once
// What the file log writer's tests and the benchmark share: a writer rooted
// in a folder of the test's own, and files and folders made, read and removed.
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

#include "etwlogging/FileLogging.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/Owners.h"
#include "plinth/Paths.h"
#include "plinth/WideFormat.h"
#include "tests/support/PlantedLinks.h"

namespace ZelTest {

// A file log writer whose log root is a given folder instead of the
// program-data folder; an empty root behaves as a machine without one.
class RootedLogging : public ETWLogging::CLogging
{
public:
    explicit RootedLogging(std::wstring root) : m_root(std::move(root)) {}
    DWORD GetLogRoot(wchar_t* buffer, size_t size) override
    {
        if (m_root.empty() || !buffer || m_root.size() >= size)
            return ERROR_INVALID_PARAMETER;
        std::wmemcpy(buffer, m_root.c_str(), m_root.size() + 1);
        return ERROR_SUCCESS;
    }

private:
    std::wstring m_root;
};

// Makes the file, its folder first, and writes the bytes into it.
inline bool WriteBytes(const std::wstring& path, const void* data, size_t bytes)
{
    Plinth::CreateDirectoryPath(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const Plinth::UniqueHandle owner(file);
    DWORD written = 0;
    return ::WriteFile(file, data, static_cast<DWORD>(bytes), &written, nullptr) && written == bytes;
}

// The bytes of a file; none when it cannot be opened.
inline std::string ReadBytes(const std::wstring& path)
{
    std::string bytes;
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    const Plinth::UniqueHandle owner(file);
    char chunk[65536];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

// The text of a log file after its byte-order mark; a marker without one or
// with a byte count that is not whole characters.
inline std::wstring ReadLogText(const std::wstring& path)
{
    const std::string bytes = ReadBytes(path);
    if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0 || bytes.size() % 2 != 0)
        return L"<no byte-order mark or odd size>";
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

// A sealed integer in the [Config] section of a log.ini, its folder made first.
inline bool WriteSealed(const std::wstring& path, const wchar_t* key, int32_t value)
{
    Plinth::CreateDirectoryPath(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
    Plinth::CObfuscatedIniReader ini(true);
    ini.Load(path);
    return ini.WriteInt(L"Config", key, value);
}

// The verified value of a key in [Config], or -1 when it has none.
inline int32_t ReadSealed(const std::wstring& path, const wchar_t* key)
{
    Plinth::CObfuscatedIniReader ini(true);
    int32_t value = -1;
    if (!ini.Load(path) || !ini.GetInt(L"Config", key, value))
        return -1;
    return value;
}

// The program-data folder as the environment names it, not the logging code.
inline std::wstring ProgramDataFolder()
{
    wchar_t folder[MAX_PATH] = {};
    const DWORD chars = ::GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH);
    return chars > 0 && chars < MAX_PATH ? folder : L"";
}

// A fresh folder below the temporary folder, removed with everything in it.
class TempFolder
{
public:
    explicit TempFolder(const wchar_t* tag)
    {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        static LONG counter = 0;
        wchar_t name[MAX_PATH];
        Plinth::FormatWide(name, MAX_PATH, L"%szel-%s-%lu-%ld", temp, tag, ::GetCurrentProcessId(),
                           ::InterlockedIncrement(&counter));
        m_path = name;
        RemoveTree(m_path);
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempFolder() { RemoveTree(m_path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

} // namespace ZelTest
