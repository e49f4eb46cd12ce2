#pragma once
// Authenticode trust between the product's modules: a module is trusted when
// its signature is intact and its signer is one of the maker's certificates,
// named by their SHA-1 thumbprints in a sealed machine-wide value. A file is
// verified through a handle that keeps it from being written, renamed or
// deleted, and a loaded module is trusted only when its image in memory is
// that verified file.
#include <windows.h>

#include <string>
#include <vector>

#include "plinth/Owners.h"

// HKEY_LOCAL_MACHINE key and sealed REG_MULTI_SZ value of the trusted
// publishers' thumbprints (40 hexadecimal digits each), written by the installer.
constexpr wchar_t kTrustedPublishersKey[] = L"SOFTWARE\\Varkon\\ZEL";
constexpr wchar_t kTrustedPublishersValue[] = L"Trusted Publishers";

// Reads the thumbprints; false (and none) when the value is missing or fails
// verification, so nothing is trusted.
bool ReadTrustedPublishers(std::vector<std::wstring>& thumbprints);

// Opens the file at a fully qualified path for reading, denying writers and
// deleters for as long as the handle is open, and verifies its signature and
// signer through that handle. S_OK with the open handle in file; otherwise
// E_ACCESSDENIED with the reason in words and file empty.
HRESULT OpenVerifiedFile(const wchar_t* path, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file,
                         std::wstring& reason);

// Verifies the signature of a file and that its signer is in trusted: the
// file is read through the handle when one is given, else opened at path,
// which proves nothing about the file once the path names another. S_OK, or
// E_ACCESSDENIED with the reason in words.
HRESULT VerifyFileSignature(const wchar_t* path, HANDLE file, const std::vector<std::wstring>& trusted,
                            std::wstring& reason);

// The class object's policy: the module containing callerAddress must be the
// verified file at its module path. Refusals are logged at level 4 as
// "Refused module [<path>]: <reason>"; E_OUTOFMEMORY when memory ran out.
HRESULT VerifyCallingModule(const void* callerAddress);

// The servers COM may use for a class: verified before anything is loaded,
// and held open until the class object is known to come from one of them.
class CServerTrust
{
public:
    // Verifies every server the registry names for the class (following
    // TreatAs) in the forms the context admits: in-process server, in-process
    // handler, local server. Each must be a fully qualified path after
    // environment expansion and a trusted file. S_OK, E_ACCESSDENIED (logged)
    // or E_OUTOFMEMORY.
    HRESULT VerifyRegistered(REFCLSID clsid, DWORD context);

    // The caller's context narrowed to the server forms that verified, so COM
    // uses nothing that was not checked.
    DWORD Context() const { return m_context; }

    // After the class object was obtained in Context(): S_OK when an
    // in-process class object's code lies in a module whose image is one of
    // the verified files, or when only a local server was admitted; otherwise
    // E_ACCESSDENIED (logged).
    HRESULT VerifyClassObject(IUnknown* classObject) const;

private:
    struct VerifiedServer
    {
        std::wstring path;
        Plinth::UniqueHandle file;
        bool inProcess = false;
    };

    HRESULT VerifyClass(const std::wstring& guid, DWORD context, const std::vector<std::wstring>& trusted);

    std::vector<VerifiedServer> m_servers;
    DWORD m_context = 0;
};
