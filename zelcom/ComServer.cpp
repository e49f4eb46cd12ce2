#include "zelcom/ComServer.h"

CComModuleBase::CComModuleBase(ObjectMapEntry* objectMap, size_t entries) : m_objectMap(objectMap), m_entries(entries)
{
    m_initFailed = FAILED(m_section.Init());
}

CComModuleBase::~CComModuleBase()
{
    for (size_t i = 0; i < m_entries; ++i) {
        IUnknown* classObject = m_objectMap[i].classObject;
        m_objectMap[i].classObject = nullptr;
        if (classObject)
            classObject->Release();
    }
}

HRESULT CComModuleBase::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (m_initFailed)
        return E_UNEXPECTED;

    ObjectMapEntry* entry = nullptr;
    for (size_t i = 0; i < m_entries && !entry; ++i) {
        if (::IsEqualCLSID(clsid, *m_objectMap[i].clsid))
            entry = &m_objectMap[i];
    }
    if (!entry)
        return CLASS_E_CLASSNOTAVAILABLE;

    // Double-checked: the cached pointer is published only under the lock and
    // never changes until the module unloads.
    if (!*static_cast<IUnknown* volatile*>(&entry->classObject)) {
        Plinth::CriticalSectionLock lock(m_section);
        if (!entry->classObject) {
            IUnknown* created = nullptr;
            const HRESULT hr =
                entry->createClassObject(entry->createObject, IID_IUnknown, reinterpret_cast<void**>(&created));
            if (FAILED(hr) || !created)
                return FAILED(hr) ? hr : CLASS_E_CLASSNOTAVAILABLE;
            ::MemoryBarrier();
            entry->classObject = created;
        }
    }
    return entry->classObject->QueryInterface(riid, ppv);
}
