#pragma once
// Which process serves a local server's class object. COM connects a client
// to whatever process registered the class, and any process may register any
// class unless the class's AppID pins the server's account, so a verified
// program on disk says nothing about the process that answers. The class
// object proves its process through IZelServerIdentity: it names a process,
// and that process must show, through a section only it was given, that the
// client's own call reached it.
#include <windows.h>

#include <string>
#include <vector>

#include "zelcom/ZelLumoAp.h"

// What the client shares with the process it checks: the nonce it wrote, and
// where the server writes the id of the process whose call it served.
struct ServerIdentityProof
{
    GUID nonce;
    DWORD caller;
};
constexpr DWORD kServerIdentitySectionAccess = FILE_MAP_READ | FILE_MAP_WRITE;

// S_OK when the process that serves classObject (a proxy) is running one of
// the programs (fully qualified paths of files verified and held open by the
// caller), runs as this process's user or as a service account, and proves
// that it is the process this process's calls reach. Otherwise E_ACCESSDENIED
// with the reason in words.
HRESULT VerifyServingProcess(IUnknown* classObject, const std::vector<std::wstring>& programs, std::wstring& reason);
