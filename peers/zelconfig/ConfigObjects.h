#pragma once
// The configuration service's objects. Each answer is read from the registry
// when it is asked for; the only state is an enumerator's position.
#include <memory>
#include <vector>

#include "peers/zelconfig/Household.h"
#include "zelcom/ComServer.h"
#include "zelcom/ZelLumoAp.h"

using UserList = std::shared_ptr<const std::vector<ZelConfig::UserRecord>>;

class CZelConfig : public CComObjectRootEx<CComMultiThreadModel>,
                   public CComCoClass<CZelConfig, &CLSID_ZelConfig>,
                   public IZelConfig
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    // IZelConfig
    STDMETHODIMP GetProperty(long lProperty, VARIANT* pvValue, long* plStatus) override;
    STDMETHODIMP SetProperty(long lProperty, VARIANT vValue, long* plStatus) override;
};

// The users as they were when property 102 was read.
class CZelUserCollection : public CComObjectRootEx<CComMultiThreadModel>, public IZelConfigCollection
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);
    void SetUsers(UserList users) { m_users = std::move(users); }

    // IZelConfigCollection
    STDMETHODIMP GetEnumerator(IUnknown** ppEnum) override;
    STDMETHODIMP GetCount(long* plCount) override;

private:
    UserList m_users;
};

class CZelUserEnum : public CComObjectRootEx<CComMultiThreadModel>, public IEnumVARIANT
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);
    void SetUsers(UserList users, size_t position)
    {
        m_users = std::move(users);
        m_position = position;
    }

    // IEnumVARIANT
    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

private:
    UserList m_users;
    size_t m_position = 0; // guarded by m_section
};

class CZelUserItem : public CComObjectRootEx<CComMultiThreadModel>, public IZelConfigItem
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);
    void SetUser(const ZelConfig::UserRecord& user) { m_user = user; }

    // IZelConfigItem
    STDMETHODIMP GetProperty(long lProperty, VARIANT* pvValue, long* plStatus) override;
    STDMETHODIMP CheckProperty(long lProperty, VARIANT vValue, long* plStatus) override;
    STDMETHODIMP SetProperty(long lProperty, VARIANT vValue, long* plStatus) override;

private:
    ZelConfig::UserRecord m_user;
};

// A user element whose object has no configuration item ("NoItem").
class CZelBareElement : public CComObjectRootEx<CComMultiThreadModel>, public IUnknown
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);
};

class CZelAdminItem : public CComObjectRootEx<CComMultiThreadModel>, public IZelConfigItem
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    // IZelConfigItem
    STDMETHODIMP GetProperty(long lProperty, VARIANT* pvValue, long* plStatus) override;
    STDMETHODIMP CheckProperty(long lProperty, VARIANT vValue, long* plStatus) override;
    STDMETHODIMP SetProperty(long lProperty, VARIANT vValue, long* plStatus) override;
};
