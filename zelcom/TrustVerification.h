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

// ERROR_INVALID_IMAGE_HASH, "Windows cannot verify the digital signature for
// this file", which the cross-compiler's headers lack.
constexpr DWORD kErrorUnverifiedImage = 577;

// Reads the thumbprints; false (and none) when the value is missing or fails
// verification, so nothing is trusted.
bool ReadTrustedPublishers(std::vector<std::wstring>& thumbprints);

// Opens the file at a fully qualified path for reading, denying writers and
// deleters for as long as the handle is open, and verifies its signature and
// signer through that handle. S_OK with the open handle in file; otherwise
// E_ACCESSDENIED with the reason in words and file empty, and the thread's
// last error set: ERROR_BAD_PATHNAME, the open's error, or
// kErrorUnverifiedImage when the file does not verify.
HRESULT OpenVerifiedFile(const wchar_t* path, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file,
                         std::wstring& reason);
// The same, telling on success until when the verification holds: the first
// certificate of the signer's chain to expire ends it.
HRESULT OpenVerifiedFile(const wchar_t* path, const std::vector<std::wstring>& trusted, Plinth::UniqueHandle& file,
                         std::wstring& reason, FILETIME& validUntil);

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

// An object of clsid for riid, from a server verified before any of its code
// runs. The registration is read once (ClassRegistration.h), TreatAs followed
// to its end; the first form the context admits is used:
// - an in-process server, or an in-process handler other than the system's
//   standard one: its file is opened and verified, then loaded from the held
//   file by this function (dependencies from the system folder only),
//   confirmed to be that file in memory and kept loaded for the life of the
//   process; the object comes from the class object its DllGetClassObject
//   gives for IVkClassFactory (or IVkClassFactory_PreComponentization). A
//   class whose ThreadingModel does not allow calls from the caller's
//   apartment is refused with RPC_E_WRONG_THREAD, as no proxy could be
//   trusted to come from it.
// - a local server: every class of the chain's local server program must
//   verify, and stays open while COM starts it; the object is made by the
//   process that serves the class object, in the call in which it proves that
//   it runs one of them (ServerIdentity.h).
// A server file this process verified is not verified again while it holds
// it and the path still names it (VerificationCache.h). Refusals are
// E_ACCESSDENIED and are logged at level 4 as "Refused module [<path or
// class>]: <reason>"; E_OUTOFMEMORY when memory ran out; otherwise the
// failure of the load, of COM or of the creation.
HRESULT CreateVerifiedObject(REFCLSID clsid, DWORD context, REFIID riid, void** ppv);
