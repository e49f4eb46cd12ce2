#include "etwlogging/ETWConfigurationListener.h"

#include "etwlogging/LoggingIf.h"
#include "plinth/RegKey.h"

namespace ETWLogging {

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& properties,
                                                     CLoggingIf_ex* logger)
    : m_properties(properties), m_logger(logger)
{
}

void CETWConfigurationListener::OnConfigChanged(DWORD enable, DWORD level, DWORD)
{
    if (!m_logger)
        return;
    m_logger->SetEnabled(enable != 0);
    m_logger->SetSeverity(level);

    HKEY root = nullptr;
    std::wstring providerKey;
    GetWatchedKey(root, providerKey);
    ApplyRegistry(root, providerKey);

    std::wstring group;
    m_logger->GetGroup(group);
    ApplyRegistry(root, providerKey + L"\\" + group);

    std::wstring modulePath;
    m_logger->GetModulePath(modulePath);
    ApplyRegistry(root, providerKey + L"\\" + modulePath);
}

bool CETWConfigurationListener::SetLogger(CLoggingIf_ex* logger)
{
    if (m_logger || !logger)
        return false;
    m_logger = logger;
    return true;
}

void CETWConfigurationListener::GetWatchedKey(HKEY& root, std::wstring& path)
{
    root = m_properties.GetRootKey();
    path = m_properties.GetProviderKeyPath();
}

void CETWConfigurationListener::ApplyRegistry(HKEY root, const std::wstring& path)
{
    if (!m_logger)
        return;
    Plinth::CRegKey key;
    if (key.Open(root, path.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return;
    DWORD value = 0;
    if (key.QueryDWORDValue(L"Enable", value) == ERROR_SUCCESS)
        m_logger->SetEnabled(value != 0);
    if (key.QueryDWORDValue(L"Severity", value) == ERROR_SUCCESS)
        m_logger->SetSeverity(value);
}

} // namespace ETWLogging
