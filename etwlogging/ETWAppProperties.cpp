#include "etwlogging/ETWAppProperties.h"

#include <shlobj.h>

#include "plinth/ObfuscatedRegKey.h"

namespace ETWLogging {
namespace internal {

// {5C1B8E20-7D4A-4F3B-9A61-2E8C04D7B913}
const GUID kDefaultSessionIdGuid = {0x5c1b8e20, 0x7d4a, 0x4f3b, {0x9a, 0x61, 0x2e, 0x8c, 0x04, 0xd7, 0xb9, 0x13}};
// {A3E7F1C4-0B62-4D85-8F19-6C2D9B47E035}
const GUID kDefaultProviderGuid = {0xa3e7f1c4, 0x0b62, 0x4d85, {0x8f, 0x19, 0x6c, 0x2d, 0x9b, 0x47, 0xe0, 0x35}};
const wchar_t kDefaultSessionName[] = L"Varkon.{E19D4C7A-3B58-4A06-B2F4-71C8E5A09D62}";
const wchar_t kDefaultOwnerMutexName[] = L"Global\\Varkon.{8B4F2E91-C6D3-47A0-9E15-D03A7B6C1F48}";

namespace {

constexpr wchar_t kBaseKeyPath[] = L"SOFTWARE\\Varkon.logging";
constexpr wchar_t kDefaultConfigKeyPath[] = L"SOFTWARE\\Varkon\\Logging";
constexpr wchar_t kControllerSuffix[] = L"\\Controller";
constexpr wchar_t kProviderSuffix[] = L"\\Provider";
constexpr wchar_t kDefaultLogPath[] = L"\\Varkon\\VKLOGS";
constexpr wchar_t kDefaultEtlPath[] = L"\\Varkon\\VKLOGS\\ETW";

} // namespace

ETWAppProperties::~ETWAppProperties() = default;

bool ETWAppProperties::Init(const wchar_t* appName)
{
    if (!m_appName.empty())
        return false;
    m_appName = appName && *appName ? appName : kDefaultAppName;
    if (m_rootFolder.empty() && GetRootFolder(m_rootFolder) != ERROR_SUCCESS)
        return false;

    std::wstring appKeyPath;
    GetAppKeyPath(appKeyPath, nullptr);
    Plinth::CObfuscatedRegKey appKey;
    if (appKey.Open(m_rootKey, appKeyPath.c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS)
        return LoadFromRegistry(m_rootFolder, appKey);
    return LoadDefaults(m_rootFolder);
}

DWORD ETWAppProperties::GetRootFolder(std::wstring& out)
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(
            ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return ERROR_INVALID_PARAMETER;
    folder[MAX_PATH - 1] = L'\0';
    out = folder;
    return ERROR_SUCCESS;
}

void ETWAppProperties::SetFilePaths(const std::wstring& rootFolder, const std::wstring& logPath,
                                    const std::wstring& etlPath)
{
    m_logPath = rootFolder + logPath;
    m_etlPath = rootFolder + etlPath;
    std::wstring etlFile;
    GetEtlFileName(etlFile);
    m_etlFile = m_etlPath + L"\\" + etlFile;
}

bool ETWAppProperties::LoadFromRegistry(const std::wstring& rootFolder, Plinth::CRegKey& appKey)
{
    Plinth::CObfuscatedRegKey session;
    Plinth::CObfuscatedRegKey provider;
    Plinth::CObfuscatedRegKey controller;
    const HKEY parent = appKey.GetHandle();
    if (session.Open(parent, L"Session", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        provider.Open(parent, L"Provider", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        controller.Open(parent, L"Controller", KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;

    GetAppKeyPath(m_configKeyPath, nullptr);
    m_controllerKeyPath = m_configKeyPath + kControllerSuffix;
    m_providerKeyPath = m_configKeyPath + kProviderSuffix;
    m_secondConfigKeyPath = m_configKeyPath;

    std::wstring logPath;
    if (appKey.QueryStringValue(L"Log Path", logPath) != ERROR_SUCCESS)
        logPath = kDefaultLogPath;
    std::wstring etlPath;
    if (appKey.QueryStringValue(L"ETL Path", etlPath) != ERROR_SUCCESS)
        etlPath = kDefaultEtlPath;
    SetFilePaths(rootFolder, logPath, etlPath);

    return controller.QueryStringValue(L"Controller Path", m_controllerPath) == ERROR_SUCCESS &&
           controller.QueryStringValue(L"Owner Mutex Name", m_ownerMutexName) == ERROR_SUCCESS &&
           session.QueryGUIDValue(L"Session ID Guid", m_sessionIdGuid) == ERROR_SUCCESS &&
           session.QueryStringValue(L"Session Name", m_sessionName) == ERROR_SUCCESS &&
           provider.QueryGUIDValue(L"Provider Guid", m_providerGuid) == ERROR_SUCCESS;
}

bool ETWAppProperties::LoadDefaults(const std::wstring& rootFolder)
{
    if (::CompareStringOrdinal(m_appName.c_str(), -1, kDefaultAppName, -1, TRUE) != CSTR_EQUAL)
        return false;
    m_configKeyPath = kDefaultConfigKeyPath;
    m_controllerKeyPath = m_configKeyPath + kControllerSuffix;
    m_providerKeyPath = m_configKeyPath + kProviderSuffix;
    m_secondConfigKeyPath = m_configKeyPath;
    SetFilePaths(rootFolder, kDefaultLogPath, kDefaultEtlPath);
    m_ownerMutexName = kDefaultOwnerMutexName;
    m_sessionIdGuid = kDefaultSessionIdGuid;
    m_sessionName = kDefaultSessionName;
    m_providerGuid = kDefaultProviderGuid;
    return true;
}

void ETWAppProperties::GetEtlFileName(std::wstring& out)
{
    out = L"vklogs.etl";
}

void ETWAppProperties::GetBaseKeyPath(std::wstring& out)
{
    out = kBaseKeyPath;
}

void ETWAppProperties::GetAppKeyPath(std::wstring& out, const wchar_t* subKey)
{
    std::wstring base;
    GetBaseKeyPath(base);
    out = base + L"\\" + m_appName;
    if (subKey)
        out += std::wstring(L"\\") + subKey;
}

} // namespace internal
} // namespace ETWLogging
