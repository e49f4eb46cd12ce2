#pragma once
// The class object of a local server built on this framework: the host's
// factory interfaces, and IZelServerIdentity, through which a client learns
// that it is talking to this process (ServerIdentity.h).
#include <windows.h>

#include "zelcom/VkSecureClassFactory.h"
#include "zelcom/ZelLumoAp.h"

class CVkLocalServerClassFactory : public CVkATLSecureClassFactory, public IZelServerIdentity
{
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);

    STDMETHODIMP GetProcessId(DWORD* processId) override;
    // Writes the calling process's id after the nonce, when the section the
    // caller names holds it, and only then makes the object as CreateInstance
    // does; never closes the section's handle, which the caller does.
    STDMETHODIMP CreateProvenInstance(ULONGLONG section, REFGUID nonce, REFIID riid, void** ppv) override;

    // Makes the cached class object for one object-map entry.
    static HRESULT CreateClassObject(ObjectCreator createObject, REFIID riid, void** ppv);
};
