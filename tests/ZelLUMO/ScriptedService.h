#pragma once
// The configuration service and the user-mode provider as scripted in-process
// objects, served through COM's class table so the code under test reaches
// them the way it reaches the real ones.
#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <mutex>
#include <vector>

#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace ZelTest {

// Reference counting that never frees: the test owns every object and reads
// its count afterwards.
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
    // CheckProperty(202).
    HRESULT checkHr = S_OK;
    long checkStatus = 0;
    long checkedProperty = 0;
    VARTYPE checkedType = VT_EMPTY;
    int checkedLength = -1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = ::IsEqualIID(riid, IID_IUnknown) || (answersItem && ::IsEqualIID(riid, IID_IZelConfigItem));
        return Hand(known ? this : nullptr, ppv);
    }
    STDMETHODIMP GetProperty(long property, VARIANT* value, long* status) override
    {
        ::VariantInit(value);
        *status = propertyStatus;
        if (property == 203) {
            value->vt = VT_I4;
            value->lVal = limitation;
        } else if (property == 315) {
            value->vt = protectedType;
            value->boolVal = isProtected;
        }
        return propertyHr;
    }
    STDMETHODIMP CheckProperty(long property, VARIANT value, long* status) override
    {
        checkedProperty = property;
        checkedType = value.vt;
        checkedLength = value.vt == VT_BSTR ? static_cast<int>(::SysStringLen(value.bstrVal)) : -1;
        *status = checkStatus;
        return checkHr;
    }
    STDMETHODIMP SetProperty(long, VARIANT, long*) override { return E_NOTIMPL; }
};

// The collection of property 102, which is also its own enumerator. A null
// member is an element without an object.
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
        *enumerator = static_cast<IZelConfigCollection*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetCount(long* count) override
    {
        *count = static_cast<long>(members.size());
        return S_OK;
    }
    STDMETHODIMP Next(ULONG, VARIANT* element, ULONG* fetched) override
    {
        if (next >= members.size()) {
            *fetched = 0;
            return S_FALSE;
        }
        PutObject(element, members[next++]);
        *fetched = 1;
        return S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override
    {
        next = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumVARIANT**) override { return E_NOTIMPL; }
};

// What property 102 (the household) and 109 (the administrator) answer.
struct ConfigScript
{
    IUnknown* household = nullptr;
    HRESULT householdHr = S_OK;
    long householdStatus = 0;
    IUnknown* administrator = nullptr;
};

// One connection to the configuration service.
class ScriptedConfig : public Counted<IZelConfig>, public ConfigScript
{
public:
    // Results of QueryInterface for IZelConfig, shared by all connections.
    std::vector<HRESULT>* queryResults = nullptr;
    int* queries = nullptr;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (::IsEqualIID(riid, IID_IZelConfig)) {
            const int index = (*queries)++;
            if (static_cast<size_t>(index) < queryResults->size() && FAILED((*queryResults)[index]))
                return (*queryResults)[index];
        } else if (!::IsEqualIID(riid, IID_IUnknown)) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IZelConfig*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetProperty(long property, VARIANT* value, long* status) override
    {
        ::VariantInit(value);
        *status = 0;
        if (property == 102) {
            *status = householdStatus;
            PutObject(value, household);
            return householdHr;
        }
        if (property == 109)
            PutObject(value, administrator);
        return S_OK;
    }
    STDMETHODIMP SetProperty(long, VARIANT, long*) override { return E_NOTIMPL; }
};

// The configuration class object: each successful creation makes a new
// connection, which copies the scripted household and administrator.
class ScriptedService : public Counted<IVkClassFactory>, public ConfigScript
{
public:
    std::vector<HRESULT> createResults;
    LONG creates = 0;
    // How long each creation takes, so that callers can overlap.
    DWORD createMs = 0;
    std::vector<HRESULT> queryResults;
    int queries = 0;
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
        auto connection = std::make_unique<ScriptedConfig>();
        connection->queryResults = &queryResults;
        connection->queries = &queries;
        static_cast<ConfigScript&>(*connection) = *this;
        // Creation hands out its reference without counting as a query.
        if (!::IsEqualIID(riid, IID_IZelConfig))
            return E_NOINTERFACE;
        *ppv = static_cast<IZelConfig*>(connection.get());
        connection->AddRef();
        const std::lock_guard<std::mutex> lock(connectionsLock);
        connections.push_back(std::move(connection));
        return S_OK;
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

// A class object in COM's class table for the scope.
class ScopedClassObject
{
public:
    ScopedClassObject(REFCLSID clsid, IUnknown* object)
    {
        m_hr = ::CoRegisterClassObject(clsid, object, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
    }
    ~ScopedClassObject()
    {
        if (SUCCEEDED(m_hr))
            ::CoRevokeClassObject(m_cookie);
    }
    ScopedClassObject(const ScopedClassObject&) = delete;
    ScopedClassObject& operator=(const ScopedClassObject&) = delete;
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
    DWORD m_cookie = 0;
};

// The creation call without the module verification, which an in-process
// class object cannot pass.
inline HRESULT CreateUnverified(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv, BOOL)
{
    return VkCreateInstanceNoAuth(clsid, outer, context, riid, ppv);
}

} // namespace ZelTest
