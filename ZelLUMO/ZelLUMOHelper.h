#pragma once
// One connection to the product's configuration object, served in another
// process: handed out under a lock, and made again once after an RPC failure.
#include <windows.h>

#include <memory>

#include "plinth/Owners.h"
#include "zelcom/ZelLumoAp.h"

class CZelHelper
{
public:
    // The signature of VkCreateInstanceVerified, which makes every connection.
    using CreateFunction = HRESULT (*)(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                       void** ppv, BOOL useFactory);

    // Null when memory or the lock cannot be had; never throws.
    static std::unique_ptr<CZelHelper> Create() noexcept;
    // Connects through another creation call; for tests that serve the class
    // from their own process, where no signed module can be verified.
    static std::unique_ptr<CZelHelper> CreateWith(CreateFunction create) noexcept;

    ~CZelHelper() = default;
    CZelHelper(const CZelHelper&) = delete;
    CZelHelper& operator=(const CZelHelper&) = delete;

    // Creates the configuration object; called with the lock held.
    HRESULT createConfig();
    // The configuration object with its own reference. A failed creation is
    // final: every later call gives its result without touching COM.
    HRESULT GetConfig(IZelConfig** config);

private:
    explicit CZelHelper(CreateFunction create) : m_create(create) {}

    HRESULT CreateOnce();

    HRESULT m_lastCreateResult = S_OK;
    Plinth::ComPtr<IZelConfig> m_config;
    Plinth::CriticalSection m_lock;
    CreateFunction m_create;
};

// HRESULT_FROM_WIN32 of the RPC errors 1700 to 1931.
constexpr HRESULT kFirstRpcError = static_cast<HRESULT>(0x800706A4);
constexpr HRESULT kLastRpcError = static_cast<HRESULT>(0x8007078B);
