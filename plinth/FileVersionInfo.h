#pragma once
// String values of a file's version resource, and of a file in the system folder.
#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

namespace Plinth {

// The shell's known-folder query, behind a virtual call so it can be replaced.
class ShlObjAPI
{
public:
    virtual ~ShlObjAPI();
    // The path is allocated by the system; the caller frees it with CoTaskMemFree.
    virtual HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folder, DWORD flags, HANDLE token, PWSTR* path);
};

class FileVersionInfo
{
public:
    virtual ~FileVersionInfo();
    // Loads the version resource once; false when there is none, or when one is
    // already loaded (the first stays).
    virtual bool Load(const std::wstring& path);
    // The named value in the first translation that has it; empty when none does.
    virtual std::wstring GetString(const std::wstring& name);

private:
    // Bytes of the loaded resource from at to its end; 0 for a pointer outside it.
    size_t BytesAfter(const void* at) const;

    std::vector<BYTE> m_resource;
    bool m_loaded = false;
};

class SystemFileVersionInfo : public FileVersionInfo
{
public:
    explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);
    // Loads the version resource of a file in the system folder.
    bool Load(const std::wstring& fileName) override;

private:
    std::shared_ptr<ShlObjAPI> m_shell;
    std::wstring m_systemFolder;
};

} // namespace Plinth
