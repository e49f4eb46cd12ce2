#pragma once
// Authenticode trust between the product's modules: a module is trusted when
// its signature is intact and its signer is one of the maker's certificates,
// named by their SHA-1 thumbprints in a sealed machine-wide value.
#include <windows.h>

#include <string>
#include <vector>

// HKEY_LOCAL_MACHINE key and sealed REG_MULTI_SZ value of the trusted
// publishers' thumbprints (40 hexadecimal digits each), written by the installer.
constexpr wchar_t kTrustedPublishersKey[] = L"SOFTWARE\\Varkon\\ZEL";
constexpr wchar_t kTrustedPublishersValue[] = L"Trusted Publishers";

// Reads the thumbprints; false (and none) when the value is missing or fails
// verification, so nothing is trusted.
bool ReadTrustedPublishers(std::vector<std::wstring>& thumbprints);

// S_OK when the file's signature verifies and its signer's thumbprint is in
// trusted; otherwise E_ACCESSDENIED with the reason in words.
HRESULT VerifyModuleSignature(const wchar_t* path, const std::vector<std::wstring>& trusted, std::wstring& reason);

// The class object's policy: the module containing callerAddress must be trusted.
HRESULT VerifyCallingModule(const void* callerAddress);

// The module that serves a class, as the registry names it for the context
// (in-process server DLL first, then local server EXE), must be trusted.
HRESULT VerifyServingModule(REFCLSID clsid, DWORD context);
