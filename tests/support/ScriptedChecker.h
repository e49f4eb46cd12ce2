#pragma once
// A component checker whose answers a test scripts, served from the test's own
// process through COM's class table (CoRegisterClassObject).
#include <windows.h>

#include "plinth/Owners.h"
#include "zelcom/ZelLumoAp.h"

namespace ZelTest {

class ScriptedChecker : public IVkClassFactory, public IVkVersion
{
public:
    HRESULT versionHr = S_OK;
    long versionResult = 0;
    const wchar_t* versionText = nullptr;
    HRESULT statusHr = S_OK;
    long statusResult = 0;
    const wchar_t* statusText = nullptr;
    // Creation succeeds without handing out an object.
    bool createsNothing = false;
    // As a class object: answers the older factory interface only, or hands
    // itself out as null.
    bool olderFactoryOnly = false;
    bool nullClassObject = false;
    // References held by callers; the object itself lives on the test's stack.
    LONG live = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        const bool older = ::IsEqualIID(riid, IID_IVkClassFactory_PreComponentization);
        if (nullClassObject && (older || ::IsEqualIID(riid, IID_IVkClassFactory)))
            return S_OK;
        // Both factory interfaces have the same one method after IUnknown's.
        if (::IsEqualIID(riid, IID_IUnknown) ||
            ::IsEqualIID(riid, olderFactoryOnly ? IID_IVkClassFactory_PreComponentization : IID_IVkClassFactory))
            *ppv = static_cast<IVkClassFactory*>(this);
        else if (::IsEqualIID(riid, IID_IVkVersion))
            *ppv = static_cast<IVkVersion*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&live)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(::InterlockedDecrement(&live)); }
    STDMETHODIMP CreateInstance(REFIID riid, void** ppv) override
    {
        if (!createsNothing)
            return QueryInterface(riid, ppv);
        *ppv = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetVersionText(LPWSTR* text, long* result) override
    {
        return Answer(versionHr, versionResult, versionText, text, result);
    }
    STDMETHODIMP GetComponentStatus(LPWSTR* text, long* result) override
    {
        return Answer(statusHr, statusResult, statusText, text, result);
    }

private:
    static HRESULT Answer(HRESULT hr, long code, const wchar_t* answer, LPWSTR* text, long* result)
    {
        *text = answer ? Plinth::CoTaskMemStrDup(answer) : nullptr;
        *result = code;
        return hr;
    }
};

} // namespace ZelTest
