#include "peers/componentchecker/ComponentVersionProvider.h"

#include <new>
#include <string>
#include <vector>

#include "peers/componentchecker/ComponentChecker.h"
#include "peers/componentchecker/ComponentList.h"
#include "plinth/Owners.h"
#include "zelcom/ResultCode.h"

using ComponentChecker::Component;

namespace {

// Builds the answer from the configured components: the text (empty for none)
// and the result the caller reads.
using AnswerBuilder = void (*)(const std::vector<Component>& components, std::wstring& text, long& result);

void BuildMissingList(const std::vector<Component>& components, std::wstring& text, long& result)
{
    for (const Component& component : components) {
        if (ComponentChecker::FileExists(component.path))
            continue;
        text += component.name;
        text += L": ";
        text += component.path;
        text += L'\n';
    }
    result = text.empty() ? 0 : ComponentChecker::kComponentsMissing;
}

void BuildVersionList(const std::vector<Component>& components, std::wstring& text, long& result)
{
    std::wstring version;
    for (const Component& component : components) {
        if (!ComponentChecker::FileExists(component.path))
            continue;
        text += component.name;
        text += L'=';
        if (ComponentChecker::GetFileVersionText(component.path, version))
            text += version;
        else
            text += ComponentChecker::kNoVersionInformation;
        text += L'\n';
    }
    result = 0;
}

// The caller frees the copy with CoTaskMemFree; empty text is handed over as null.
HRESULT HandOver(const std::wstring& text, LPWSTR* out)
{
    if (text.empty())
        return S_OK;
    *out = Plinth::CoTaskMemStrDup(text.c_str());
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Reading the configuration afresh on every call lets an installer change it
// while the checker is loaded. Failures reach the caller through plResult.
HRESULT Answer(AnswerBuilder build, LPWSTR* ppwszText, long* plResult)
{
    if (!ppwszText || !plResult)
        return E_INVALIDARG;
    *ppwszText = nullptr;
    *plResult = 0;
    std::wstring text;
    long result = 0;
    HRESULT hr = S_OK;
    try {
        std::vector<Component> components;
        hr = ComponentChecker::ReadComponents(HKEY_LOCAL_MACHINE, ComponentChecker::kComponentsKeyPath, components);
        if (SUCCEEDED(hr))
            build(components, text, result);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr))
        hr = HandOver(text, ppwszText);
    *plResult = FAILED(hr) ? MakeResultCode(static_cast<DWORD>(hr)) : result;
    return S_OK;
}

} // namespace

HRESULT CComponentVersionProvider::InternalQueryInterface(REFIID riid, void** ppv)
{
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IVkVersion))
        *ppv = static_cast<IVkVersion*>(this);
    else
        return E_NOINTERFACE;
    InternalAddRef();
    return S_OK;
}

STDMETHODIMP CComponentVersionProvider::GetVersionText(LPWSTR* ppwszText, long* plResult)
{
    return Answer(BuildVersionList, ppwszText, plResult);
}

STDMETHODIMP CComponentVersionProvider::GetComponentStatus(LPWSTR* ppwszText, long* plResult)
{
    return Answer(BuildMissingList, ppwszText, plResult);
}
