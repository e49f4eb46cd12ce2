#pragma once
// Decides the trace provider's enable flag and severity: what the provider was
// told, then the registry's "Enable" and "Severity" values under the provider
// key, its group sub-key and its group-and-module sub-key, most specific last.
#include <windows.h>

#include <string>

#include "etwlogging/ETWAppProperties.h"

namespace ETWLogging {

class CLoggingIf_ex;

class LoggingConfigListenerIf
{
public:
    virtual ~LoggingConfigListenerIf() = default;
    virtual void OnConfigChanged(DWORD enable, DWORD level, DWORD flags) = 0;
    virtual bool SetLogger(CLoggingIf_ex* logger) = 0;
    virtual void GetWatchedKey(HKEY& root, std::wstring& path) = 0;
    virtual void ApplyRegistry(HKEY root, const std::wstring& path) = 0;
};

class CETWConfigurationListener : public LoggingConfigListenerIf
{
public:
    // The logger is not owned; it owns this listener.
    CETWConfigurationListener(const internal::ETWAppProperties& properties, CLoggingIf_ex* logger);

    void OnConfigChanged(DWORD enable, DWORD level, DWORD flags) override;
    // Sets the logger only when none is set.
    bool SetLogger(CLoggingIf_ex* logger) override;
    void GetWatchedKey(HKEY& root, std::wstring& path) override;
    void ApplyRegistry(HKEY root, const std::wstring& path) override;

private:
    internal::ETWAppProperties m_properties;
    CLoggingIf_ex* m_logger;
};

} // namespace ETWLogging
