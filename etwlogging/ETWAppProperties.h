#pragma once
// Where the trace provider, its session and its controller live for one
// application: read once from the sealed registry values of the application's
// key, or the built-in defaults when the default application has no key.
#include <windows.h>

#include <string>

namespace Plinth {
class CRegKey;
}

namespace ETWLogging {
namespace internal {

constexpr wchar_t kDefaultAppName[] = L"RUX";

class ETWAppProperties
{
public:
    ETWAppProperties() = default;
    ETWAppProperties(const ETWAppProperties& other) = default;
    ETWAppProperties& operator=(const ETWAppProperties&) = delete;

    virtual ~ETWAppProperties();
    // Fills the record once; false on a second call, when the common data folder
    // is missing, or when the application's configuration is incomplete.
    virtual bool Init(const wchar_t* appName);
    // 0, or 87 when the folder cannot be had.
    virtual DWORD GetRootFolder(std::wstring& out);
    virtual bool LoadFromRegistry(const std::wstring& rootFolder, Plinth::CRegKey& appKey);
    // Only the default application has defaults.
    virtual bool LoadDefaults(const std::wstring& rootFolder);
    virtual void GetEtlFileName(std::wstring& out);
    virtual void GetBaseKeyPath(std::wstring& out);
    // The application's key path, or the path of its sub-key when one is named.
    virtual void GetAppKeyPath(std::wstring& out, const wchar_t* subKey);

    const GUID& GetProviderGuid() const { return m_providerGuid; }
    const std::wstring& GetProviderKeyPath() const { return m_providerKeyPath; }
    HKEY GetRootKey() const { return m_rootKey; }

    const std::wstring& GetAppName() const { return m_appName; }
    const std::wstring& GetRootFolderPath() const { return m_rootFolder; }
    const GUID& GetSessionIdGuid() const { return m_sessionIdGuid; }
    const std::wstring& GetSessionName() const { return m_sessionName; }
    const std::wstring& GetOwnerMutexName() const { return m_ownerMutexName; }
    const std::wstring& GetLogPath() const { return m_logPath; }
    const std::wstring& GetEtlPath() const { return m_etlPath; }
    const std::wstring& GetEtlFile() const { return m_etlFile; }
    const std::wstring& GetControllerPath() const { return m_controllerPath; }
    const std::wstring& GetConfigKeyPath() const { return m_configKeyPath; }
    const std::wstring& GetControllerKeyPath() const { return m_controllerKeyPath; }

private:
    void SetFilePaths(const std::wstring& rootFolder, const std::wstring& logPath, const std::wstring& etlPath);

    std::wstring m_appName;
    std::wstring m_rootFolder;
    GUID m_sessionIdGuid = {};
    std::wstring m_sessionName;
    GUID m_providerGuid = {};
    std::wstring m_ownerMutexName;
    std::wstring m_logPath;
    std::wstring m_etlPath;
    std::wstring m_etlFile;
    std::wstring m_controllerPath;
    HKEY m_rootKey = HKEY_LOCAL_MACHINE;
    std::wstring m_configKeyPath;
    std::wstring m_controllerKeyPath;
    std::wstring m_providerKeyPath;
    std::wstring m_secondConfigKeyPath;
};

// The defaults of the default application.
extern const GUID kDefaultSessionIdGuid;
extern const GUID kDefaultProviderGuid;
extern const wchar_t kDefaultSessionName[];
extern const wchar_t kDefaultOwnerMutexName[];

} // namespace internal
} // namespace ETWLogging
