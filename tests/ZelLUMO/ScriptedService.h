#pragma once
// The configuration service and user-mode provider as scripted in-process objects,
// served through COM's class table, where the code under test finds the real ones.
#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <mutex>
#include <vector>

#include "plinth/Owners.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace ZelTest {

// Counts references and never frees: the test owns every object and reads its count.
template <class... Interfaces>
class Counted : public Interfaces...
{
public:
    virtual ~Counted() = default;
    LONG live = 0;

    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&live)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(::InterlockedDecrement(&live)); }
};

// Hands out object with a reference, or E_NOINTERFACE when there is none.
inline HRESULT Hand(IUnknown* object, void** ppv)
{
    *ppv = object;
    if (!object)
        return E_NOINTERFACE;
    object->AddRef();
    return S_OK;
}

inline void PutObject(VARIANT* value, IUnknown* object)
{
    ::VariantInit(value);
    if (!object)
        return;
    value->vt = VT_UNKNOWN;
    value->punkVal = object;
    object->AddRef();
}

// A household member, or the administrator item of property 109.
class ScriptedUser : public Counted<IZelConfigItem>
{
public:
    bool answersItem = true;
    HRESULT propertyHr = S_OK;
    long propertyStatus = 0;
    // Property 203, as VT_I4.
    long limitation = 0;
    // Property 315: its type and value.
    VARTYPE protectedType = VT_BOOL;
    VARIANT_BOOL isProtected = VARIANT_FALSE;
    // CheckProperty: its answer, and the property and text it was asked.
    HRESULT checkHr = S_OK;
    long checkStatus = 0;
    long checkedProperty = 0;
    bool checkedEmptyText = false;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = ::IsEqualIID(riid, IID_IUnknown) || (answersItem && ::IsEqualIID(riid, IID_IZelConfigItem));
        return Hand(known ? this : nullptr, ppv);
    }
    STDMETHODIMP GetProperty(long property, VARIANT* value, long* status) override
    {
        ::VariantInit(value);
        *status = propertyStatus;
        value->vt = property == 203 ? VARTYPE{VT_I4} : property == 315 ? protectedType : VARTYPE{VT_EMPTY};
        if (property == 203)
            value->lVal = limitation;
        else
            value->boolVal = isProtected;
        return propertyHr;
    }
    STDMETHODIMP CheckProperty(long property, VARIANT value, long* status) override
    {
        checkedProperty = property;
        checkedEmptyText = value.vt == VT_BSTR && ::SysStringLen(value.bstrVal) == 0;
        *status = checkStatus;
        return checkHr;
    }
    STDMETHODIMP SetProperty(long, VARIANT, long*) override { return E_NOTIMPL; }
};

// Property 102's collection, its own enumerator; a null member is an element without an object.
class ScriptedHousehold : public Counted<IZelConfigCollection, IEnumVARIANT>
{
public:
    std::vector<IUnknown*> members;
    size_t next = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (::IsEqualIID(riid, IID_IEnumVARIANT))
            return Hand(static_cast<IEnumVARIANT*>(this), ppv);
        const bool known = ::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IZelConfigCollection);
        return Hand(known ? static_cast<IZelConfigCollection*>(this) : nullptr, ppv);
    }
    STDMETHODIMP GetEnumerator(IUnknown** enumerator) override
    {
        next = 0;
        return Hand(static_cast<IZelConfigCollection*>(this), reinterpret_cast<void**>(enumerator));
    }
    STDMETHODIMP Next(ULONG, VARIANT* element, ULONG* fetched) override
    {
        *fetched = next < members.size() ? 1 : 0;
        if (!*fetched)
            return S_FALSE;
        PutObject(element, members[next++]);
        return S_OK;
    }
    STDMETHODIMP GetCount(long*) override { return E_NOTIMPL; }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IEnumVARIANT**) override { return E_NOTIMPL; }
};

// What every connection answers: property 102 (the household) and 109 (the
// administrator), and the queries for IZelConfig, counted over all connections.
struct ConfigScript
{
    IUnknown* household = nullptr;
    HRESULT householdHr = S_OK;
    long householdStatus = 0;
    IUnknown* administrator = nullptr;
    std::vector<HRESULT> queryResults;
    size_t queries = 0;
    // Answers IClientSecurity as a proxy does, and any other property with this.
    bool answersClientSecurity = false;
    HRESULT otherPropertyHr = S_OK;
};

// One connection to the configuration service.
class ScriptedConfig : public Counted<IZelConfig, IClientSecurity>
{
public:
    explicit ScriptedConfig(ConfigScript& script) : m_script(script) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (::IsEqualIID(riid, IID_IClientSecurity))
            return Hand(m_script.answersClientSecurity ? static_cast<IClientSecurity*>(this) : nullptr, ppv);
        if (::IsEqualIID(riid, IID_IZelConfig)) {
            const size_t index = m_script.queries++;
            if (index < m_script.queryResults.size() && FAILED(m_script.queryResults[index]))
                return m_script.queryResults[index];
        } else if (!::IsEqualIID(riid, IID_IUnknown)) {
            return E_NOINTERFACE;
        }
        return Hand(static_cast<IZelConfig*>(this), ppv);
    }
    STDMETHODIMP GetProperty(long property, VARIANT* value, long* status) override
    {
        *status = property == 102 ? m_script.householdStatus : 0;
        PutObject(value, property == 102 ? m_script.household : property == 109 ? m_script.administrator : nullptr);
        return property == 102 ? m_script.householdHr : property == 109 ? S_OK : m_script.otherPropertyHr;
    }
    STDMETHODIMP SetProperty(long, VARIANT, long*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**, DWORD*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*, DWORD) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

private:
    ConfigScript& m_script;
};

// The configuration class object: each creation makes a connection answering as scripted.
class ScriptedService : public Counted<IVkClassFactory>, public ConfigScript
{
public:
    std::vector<HRESULT> createResults;
    LONG creates = 0;
    // How long each creation takes, so that callers can overlap.
    DWORD createMs = 0;
    std::vector<std::unique_ptr<ScriptedConfig>> connections;
    std::mutex connectionsLock;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = ::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkClassFactory);
        return Hand(known ? this : nullptr, ppv);
    }
    STDMETHODIMP CreateInstance(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        const LONG index = ::InterlockedIncrement(&creates) - 1;
        ::Sleep(createMs);
        if (static_cast<size_t>(index) < createResults.size() && FAILED(createResults[index]))
            return createResults[index];
        // Creation hands out its reference without counting as a query.
        if (!::IsEqualIID(riid, IID_IZelConfig))
            return E_NOINTERFACE;
        const std::lock_guard<std::mutex> lock(connectionsLock);
        connections.push_back(std::make_unique<ScriptedConfig>(*this));
        return Hand(static_cast<IZelConfig*>(connections.back().get()), ppv);
    }
};

class ScriptedUserMode : public Counted<IVkClassFactory, IUserModeProvider>
{
public:
    HRESULT hr = S_OK;
    long mode = 0;
    long status = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (::IsEqualIID(riid, IID_IUserModeProvider))
            return Hand(static_cast<IUserModeProvider*>(this), ppv);
        const bool known = ::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkClassFactory);
        return Hand(known ? static_cast<IVkClassFactory*>(this) : nullptr, ppv);
    }
    STDMETHODIMP CreateInstance(REFIID riid, void** ppv) override { return QueryInterface(riid, ppv); }
    STDMETHODIMP GetProviderVersion(long*, long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetProviderState(long*, long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSessionId(long*, long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetUserCount(long*, long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetUserName(long, BSTR*, long*) override { return E_NOTIMPL; }
    STDMETHODIMP IsUserAdministrator(long, VARIANT_BOOL*, long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDefaultMode(long*, long*) override { return E_NOTIMPL; }
    STDMETHODIMP SetUserMode(long, long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetUserMode(long* value, long* result) override
    {
        *value = mode;
        *result = status;
        return hr;
    }
};

// A class object's registration in COM's class table, revoked by its owner.
using ClassRegistration = Plinth::UniqueResource<DWORD, &::CoRevokeClassObject>;

inline HRESULT Register(REFCLSID clsid, IUnknown* object, ClassRegistration& registration)
{
    return ::CoRegisterClassObject(clsid, object, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, registration.put());
}

// Creation without the module verification, which an in-process class object cannot pass.
inline HRESULT CreateUnverified(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv, BOOL)
{
    return VkCreateInstanceNoAuth(clsid, outer, context, riid, ppv);
}

} // namespace ZelTest
