#include "peers/zelconfig/ConfigObjects.h"

#include <new>
#include <string>

#include "peers/zelconfig/ZelConfigData.h"

using namespace ZelConfig;

namespace {

template <class Object, class Init>
HRESULT CreateObject(Init init, REFIID riid, void** ppv)
{
    *ppv = nullptr;
    CComObject<Object>* object = nullptr;
    const HRESULT hr = ConstructObject(&object);
    if (FAILED(hr))
        return hr;
    init(*object);
    return QueryNewObject(object, riid, ppv);
}

template <class Object, class Init>
HRESULT AnswerObject(Init init, VARIANT* value)
{
    IUnknown* object = nullptr;
    const HRESULT hr = CreateObject<Object>(init, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (FAILED(hr))
        return hr;
    V_VT(value) = VT_UNKNOWN;
    V_UNKNOWN(value) = object;
    return S_OK;
}

template <class Interface>
HRESULT Answer(Interface* self, REFIID own, REFIID riid, void** ppv)
{
    if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, own))
        return E_NOINTERFACE;
    *ppv = self;
    self->AddRef();
    return S_OK;
}

HRESULT BeginAnswer(VARIANT* value, long* status)
{
    if (!value || !status)
        return E_INVALIDARG;
    ::VariantInit(value);
    *status = 0;
    return S_OK;
}

// The service is read-only; the household is changed through the registry.
HRESULT RefuseChange(long* status)
{
    if (!status)
        return E_INVALIDARG;
    *status = kStatusReadOnly;
    return S_OK;
}

HRESULT AnswerUsers(VARIANT* value, long* status)
{
    std::shared_ptr<std::vector<UserRecord>> users;
    LONG error = ERROR_SUCCESS;
    try {
        users = std::make_shared<std::vector<UserRecord>>();
        error = ReadUsers(*users);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (error != ERROR_SUCCESS) {
        *status = MakeResultCode(static_cast<DWORD>(error));
        return S_OK;
    }
    return AnswerObject<CZelUserCollection>([&](CZelUserCollection& c) { c.SetUsers(users); }, value);
}

HRESULT MakeElement(const UserRecord& user, VARIANT& element)
{
    if (user.noObject)
        return S_OK;
    if (user.noItem)
        return AnswerObject<CZelBareElement>([](CZelBareElement&) {}, &element);
    return AnswerObject<CZelUserItem>([&](CZelUserItem& item) { item.SetUser(user); }, &element);
}

bool SameText(BSTR given, const std::wstring& expected)
{
    const UINT length = ::SysStringLen(given);
    return length == expected.size() && (length == 0 || ::wmemcmp(given, expected.data(), length) == 0);
}

} // namespace

HRESULT CZelConfig::InternalQueryInterface(REFIID riid, void** ppv)
{
    return Answer<IZelConfig>(this, IID_IZelConfig, riid, ppv);
}

STDMETHODIMP CZelConfig::GetProperty(long lProperty, VARIANT* pvValue, long* plStatus)
{
    const HRESULT hr = BeginAnswer(pvValue, plStatus);
    if (FAILED(hr))
        return hr;
    switch (lProperty) {
    case kPropertyUsers:
        return AnswerUsers(pvValue, plStatus);
    case kPropertyAdministrator:
        return AnswerObject<CZelAdminItem>([](CZelAdminItem&) {}, pvValue);
    default:
        *plStatus = kStatusUnknownProperty;
        return S_OK;
    }
}

STDMETHODIMP CZelConfig::SetProperty(long, VARIANT, long* plStatus)
{
    return RefuseChange(plStatus);
}

HRESULT CZelUserCollection::InternalQueryInterface(REFIID riid, void** ppv)
{
    return Answer<IZelConfigCollection>(this, IID_IZelConfigCollection, riid, ppv);
}

STDMETHODIMP CZelUserCollection::GetEnumerator(IUnknown** ppEnum)
{
    if (!ppEnum)
        return E_INVALIDARG;
    return CreateObject<CZelUserEnum>([&](CZelUserEnum& e) { e.SetUsers(m_users, 0); }, IID_IUnknown,
                                      reinterpret_cast<void**>(ppEnum));
}

STDMETHODIMP CZelUserCollection::GetCount(long* plCount)
{
    if (!plCount)
        return E_INVALIDARG;
    *plCount = static_cast<long>(m_users->size());
    return S_OK;
}

HRESULT CZelUserEnum::InternalQueryInterface(REFIID riid, void** ppv)
{
    return Answer<IEnumVARIANT>(this, IID_IEnumVARIANT, riid, ppv);
}

STDMETHODIMP CZelUserEnum::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched)
{
    if (pCeltFetched)
        *pCeltFetched = 0;
    if (!rgVar || (celt > 1 && !pCeltFetched))
        return E_INVALIDARG;
    Plinth::CriticalSectionLock lock(m_section);
    ULONG fetched = 0;
    for (; fetched < celt && m_position + fetched < m_users->size(); ++fetched) {
        ::VariantInit(&rgVar[fetched]);
        const HRESULT hr = MakeElement((*m_users)[m_position + fetched], rgVar[fetched]);
        if (FAILED(hr)) {
            for (ULONG i = 0; i < fetched; ++i)
                ::VariantClear(&rgVar[i]);
            return hr;
        }
    }
    m_position += fetched;
    if (pCeltFetched)
        *pCeltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CZelUserEnum::Skip(ULONG celt)
{
    Plinth::CriticalSectionLock lock(m_section);
    const size_t left = m_users->size() - m_position;
    if (celt > left) {
        m_position = m_users->size();
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}

STDMETHODIMP CZelUserEnum::Reset()
{
    Plinth::CriticalSectionLock lock(m_section);
    m_position = 0;
    return S_OK;
}

STDMETHODIMP CZelUserEnum::Clone(IEnumVARIANT** ppEnum)
{
    if (!ppEnum)
        return E_INVALIDARG;
    Plinth::CriticalSectionLock lock(m_section);
    return CreateObject<CZelUserEnum>([&](CZelUserEnum& e) { e.SetUsers(m_users, m_position); }, IID_IEnumVARIANT,
                                      reinterpret_cast<void**>(ppEnum));
}

HRESULT CZelUserItem::InternalQueryInterface(REFIID riid, void** ppv)
{
    return Answer<IZelConfigItem>(this, IID_IZelConfigItem, riid, ppv);
}

STDMETHODIMP CZelUserItem::GetProperty(long lProperty, VARIANT* pvValue, long* plStatus)
{
    const HRESULT hr = BeginAnswer(pvValue, plStatus);
    if (FAILED(hr))
        return hr;
    switch (lProperty) {
    case kPropertyAgeGroup:
        if (!m_user.hasAgeGroup) {
            *plStatus = MakeResultCode(ERROR_FILE_NOT_FOUND);
            return S_OK;
        }
        V_VT(pvValue) = VT_I4;
        V_I4(pvValue) = static_cast<LONG>(m_user.ageGroup);
        return S_OK;
    case kPropertyProtected:
        V_VT(pvValue) = VT_BOOL;
        V_BOOL(pvValue) = m_user.isProtected ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    default:
        *plStatus = kStatusUnknownProperty;
        return S_OK;
    }
}

STDMETHODIMP CZelUserItem::CheckProperty(long, VARIANT, long* plStatus)
{
    if (!plStatus)
        return E_INVALIDARG;
    *plStatus = kStatusUnknownProperty;
    return S_OK;
}

STDMETHODIMP CZelUserItem::SetProperty(long, VARIANT, long* plStatus)
{
    return RefuseChange(plStatus);
}

HRESULT CZelBareElement::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (!::IsEqualIID(riid, IID_IUnknown))
        return E_NOINTERFACE;
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
}

HRESULT CZelAdminItem::InternalQueryInterface(REFIID riid, void** ppv)
{
    return Answer<IZelConfigItem>(this, IID_IZelConfigItem, riid, ppv);
}

// The password can be checked, never read.
STDMETHODIMP CZelAdminItem::GetProperty(long, VARIANT* pvValue, long* plStatus)
{
    const HRESULT hr = BeginAnswer(pvValue, plStatus);
    if (FAILED(hr))
        return hr;
    *plStatus = kStatusUnknownProperty;
    return S_OK;
}

STDMETHODIMP CZelAdminItem::CheckProperty(long lProperty, VARIANT vValue, long* plStatus)
{
    if (!plStatus)
        return E_INVALIDARG;
    if (lProperty != kPropertyPassword) {
        *plStatus = kStatusUnknownProperty;
        return S_OK;
    }
    if (V_VT(&vValue) != VT_BSTR) {
        *plStatus = kStatusWrongType;
        return S_OK;
    }
    std::wstring password;
    LONG error = ERROR_SUCCESS;
    try {
        error = ReadAdminPassword(password);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (error != ERROR_SUCCESS)
        *plStatus = MakeResultCode(static_cast<DWORD>(error));
    else
        *plStatus = SameText(V_BSTR(&vValue), password) ? 0 : kStatusMismatch;
    return S_OK;
}

STDMETHODIMP CZelAdminItem::SetProperty(long, VARIANT, long* plStatus)
{
    return RefuseChange(plStatus);
}
