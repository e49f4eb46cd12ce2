#include "ZelLUMO/ZelLUMOHelper.h"

#include <new>

#include "etwlogging/ModuleLogger.h"
#include "zelcom/VkCreateInstance.h"

using ETWLogging::LevelError;
using ETWLogging::LevelWarning;

namespace {

constexpr wchar_t kFile[] = L"ZelLUMOHelper";
constexpr wchar_t kCreateConfig[] = L"CZelHelper::createConfig";
constexpr wchar_t kGetConfig[] = L"CZelHelper::GetConfig";
constexpr DWORD kConfigContext = CLSCTX_ALL;

bool IsRpcError(HRESULT hr)
{
    return hr >= kFirstRpcError && hr <= kLastRpcError;
}

unsigned int Bits(HRESULT hr)
{
    return static_cast<unsigned int>(hr);
}

// COM answers a query for an interface a proxy already holds without asking the
// server, so a dead server would go unnoticed here. Through a proxy, one
// harmless call (a property the service does not have) asks the server: an RPC
// error means the connection is gone, and the caller's pointer is let go.
HRESULT ReachServer(IZelConfig** config)
{
    constexpr long kNoSuchProperty = 0;
    Plinth::ComPtr<IClientSecurity> proxy;
    if (FAILED((*config)->QueryInterface(IID_IClientSecurity, proxy.put_void())))
        return S_OK;
    Plinth::UniqueVariant value;
    long status = 0;
    const HRESULT hr = (*config)->GetProperty(kNoSuchProperty, value.put(), &status);
    if (!IsRpcError(hr))
        return S_OK;
    (*config)->Release();
    *config = nullptr;
    return hr;
}

} // namespace

std::unique_ptr<CZelHelper> CZelHelper::Create() noexcept
{
    return CreateWith(&VkCreateInstanceVerified);
}

std::unique_ptr<CZelHelper> CZelHelper::CreateWith(CreateFunction create) noexcept
{
    std::unique_ptr<CZelHelper> helper(new (std::nothrow) CZelHelper(create));
    if (!helper || FAILED(helper->m_lock.Init()))
        return nullptr;
    return helper;
}

HRESULT CZelHelper::CreateOnce()
{
    m_lastCreateResult = m_create(CLSID_ZelConfig, nullptr, kConfigContext, IID_IZelConfig, m_config.put_void(), TRUE);
    return m_lastCreateResult;
}

HRESULT CZelHelper::createConfig()
{
    HRESULT hr = CreateOnce();
    if (FAILED(hr))
        ZEL_LOG(LevelError, kFile, kCreateConfig, L"Failed to create ZEL Config instance [0x%08X]\r\n", Bits(hr));
    if (hr != E_FAIL)
        return hr;
    hr = CreateOnce();
    if (SUCCEEDED(hr))
        return hr;
    ZEL_LOG(LevelError, kFile, kCreateConfig,
            L"Failed to create ZEL Config object after restarting the service [0x%08X]\r\n", Bits(hr));
    return hr;
}

HRESULT CZelHelper::GetConfig(IZelConfig** config)
{
    if (!config)
        return E_POINTER;
    *config = nullptr;
    Plinth::CriticalSectionLock lock(m_lock);
    if (FAILED(m_lastCreateResult))
        return m_lastCreateResult;
    if (!m_config && FAILED(createConfig()))
        return m_lastCreateResult;
    // A server may claim success without handing out an object.
    if (!m_config)
        return E_POINTER;
    HRESULT hr = m_config->QueryInterface(IID_IZelConfig, reinterpret_cast<void**>(config));
    if (SUCCEEDED(hr))
        hr = ReachServer(config);
    if (!IsRpcError(hr))
        return hr;
    ZEL_LOG(LevelWarning, kFile, kGetConfig, L"ZEL gave RPC error 0x%08X\r\n", Bits(hr));
    m_config.reset();
    hr = createConfig();
    if (FAILED(hr)) {
        ZEL_LOG(LevelError, kFile, kGetConfig, L"Failed to reacquire ZEL [0x%08X]\r\n", Bits(hr));
        return hr;
    }
    if (!m_config)
        return E_POINTER;
    return m_config->QueryInterface(IID_IZelConfig, reinterpret_cast<void**>(config));
}
