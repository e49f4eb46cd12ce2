#pragma once
// A small in-process COM server framework: a module object that counts locks
// and owns the object map, an object root with an interlocked reference count,
// and the creation sequence every object goes through.
#include <windows.h>
#include <objbase.h>
#include <new>

#include "plinth/Owners.h"

#if defined(_MSC_VER)
#include <intrin.h>
#define ZEL_RETURN_ADDRESS() _ReturnAddress()
#else
#define ZEL_RETURN_ADDRESS() __builtin_return_address(0)
#endif

using ObjectCreator = HRESULT (*)(REFIID riid, void** ppv);
using ClassObjectCreator = HRESULT (*)(ObjectCreator createObject, REFIID riid, void** ppv);

// One class the module serves.
struct ObjectMapEntry
{
    const CLSID* clsid;
    UINT registryScriptId;
    ClassObjectCreator createClassObject;
    ObjectCreator createObject;
    IUnknown* classObject; // cached, null until first requested
};

class CComModuleBase
{
public:
    template <size_t N>
    explicit CComModuleBase(ObjectMapEntry (&objectMap)[N]) : CComModuleBase(objectMap, N)
    {
    }
    CComModuleBase(ObjectMapEntry* objectMap, size_t entries);
    ~CComModuleBase();
    CComModuleBase(const CComModuleBase&) = delete;
    CComModuleBase& operator=(const CComModuleBase&) = delete;

    LONG Lock() { return ::InterlockedIncrement(&m_lockCount); }
    LONG Unlock() { return ::InterlockedDecrement(&m_lockCount); }
    LONG GetLockCount() const { return m_lockCount; }
    // Set when the module's critical section could not be initialised.
    bool InitFailed() const { return m_initFailed; }

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
    HRESULT CanUnloadNow() const { return m_lockCount == 0 ? S_OK : S_FALSE; }

    ObjectMapEntry* Entries() { return m_objectMap; }
    size_t EntryCount() const { return m_entries; }

private:
    volatile LONG m_lockCount = 0;
    bool m_initFailed = false;
    Plinth::CriticalSection m_section;
    ObjectMapEntry* m_objectMap;
    size_t m_entries;
};

// The module object of the binary; every binary built on this framework defines it.
CComModuleBase& GetComModule();

class CComMultiThreadModel
{
public:
    static ULONG Increment(volatile LONG* value) { return static_cast<ULONG>(::InterlockedIncrement(value)); }
    static ULONG Decrement(volatile LONG* value) { return static_cast<ULONG>(::InterlockedDecrement(value)); }
};

template <class ThreadModel>
class CComObjectRootEx
{
public:
    CComObjectRootEx() = default;
    CComObjectRootEx(const CComObjectRootEx&) = delete;
    CComObjectRootEx& operator=(const CComObjectRootEx&) = delete;

    // Initialises the object's critical section; creation fails when it cannot.
    HRESULT InitialConstruct() { return m_section.Init(); }
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

    ULONG InternalAddRef() { return ThreadModel::Increment(&m_refCount); }
    ULONG InternalRelease() { return ThreadModel::Decrement(&m_refCount); }

protected:
    volatile LONG m_refCount = 0;
    Plinth::CriticalSection m_section;
};

// Allocates and constructs an object with reference count 0. On failure
// nothing is left behind.
template <class Object>
HRESULT ConstructObject(Object** out)
{
    *out = nullptr;
    auto* object = new (std::nothrow) Object;
    if (!object)
        return E_OUTOFMEMORY;
    HRESULT hr = object->InitialConstruct();
    if (SUCCEEDED(hr))
        hr = object->FinalConstruct();
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    *out = object;
    return S_OK;
}

// Queries a freshly constructed object; a failed query destroys it.
template <class Object>
HRESULT QueryNewObject(Object* object, REFIID riid, void** ppv)
{
    const HRESULT hr = object->QueryInterface(riid, ppv);
    if (hr != S_OK) {
        delete object;
        return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    return S_OK;
}

template <class Object>
HRESULT CreateAndQuery(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    Object* object = nullptr;
    const HRESULT hr = ConstructObject(&object);
    if (FAILED(hr))
        return hr;
    return QueryNewObject(object, riid, ppv);
}

// Holds the module lock for the whole life of a created object.
template <class Base>
class CComObject final : public Base
{
public:
    CComObject() { GetComModule().Lock(); }
    ~CComObject()
    {
        this->FinalRelease();
        GetComModule().Unlock();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return this->InternalQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return this->InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG count = this->InternalRelease();
        if (count == 0)
            delete this;
        return count;
    }

    // Creates the object and queries it for riid; any failure destroys it.
    static HRESULT CreateInstance(REFIID riid, void** ppv) { return CreateAndQuery<CComObject<Base>>(riid, ppv); }
};

// A class object cached by the module: the cache's own reference does not lock
// the module; each client reference beyond it does.
template <class Base>
class CComObjectCached final : public Base
{
public:
    ~CComObjectCached() { this->FinalRelease(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return this->InternalQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        const ULONG count = this->InternalAddRef();
        if (count == 2)
            GetComModule().Lock();
        return count;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG count = this->InternalRelease();
        if (count == 0)
            delete this;
        else if (count == 1)
            GetComModule().Unlock();
        return count;
    }
};

template <class T, const CLSID* pclsid>
class CComCoClass
{
public:
    static const CLSID& GetObjectCLSID() { return *pclsid; }
};
