#pragma once
// Which process serves a local server's class object. COM connects a client
// to whatever process registered the class, and any process may register any
// class unless the class's AppID pins the server's account, so a verified
// program on disk says nothing about the process that answers. The class
// object proves its process through IZelServerIdentity, in the call that makes
// the object: the client shares a section into the process it expects, and
// that process shows, by writing into it, that the client's own call reached
// it.
#include <windows.h>

#include <string>
#include <vector>

#include "zelcom/ZelLumoAp.h"

// What the client shares with the process it checks: the nonce it wrote, and
// where the server writes the id of the process whose call it serves.
struct ServerIdentityProof
{
    GUID nonce;
    DWORD caller;
};
constexpr DWORD kServerIdentitySectionAccess = FILE_MAP_READ | FILE_MAP_WRITE;

// An object for riid from the process that serves classObject (a proxy),
// made in the call in which that process proves it is the one this process's
// calls reach. The process must run one of the programs (fully qualified
// paths of files verified and held open by the caller), and run as this
// process's user or as a service account. The process that last proved
// itself is expected first, so that the class object need not be asked which
// process serves it; when another answers, the class object names its process
// and that one is checked and expected instead. An object from a call whose
// proof fails is released unused. Once a process proved itself: the result of
// the object's creation, reason empty. Otherwise E_ACCESSDENIED, nothing in
// ppv, and the reason in words.
HRESULT CreateFromServingProcess(IZelServerIdentity* classObject, const std::vector<std::wstring>& programs,
                                 REFIID riid, void** ppv, std::wstring& reason);
