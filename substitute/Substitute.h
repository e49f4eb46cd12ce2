#pragma once
// %name% variables read from registry substitute keys, expanded in templates,
// with the URL query parameters of the keys' "QueryParams" subkeys appended.
// Results are Win32 error codes; lengths count UTF-16 units with the terminator.
//
// The expansions write into an output of *length units, or with a null output
// store the length needed in *length; 234 with the length needed when the
// result does not fit. Nested values cannot make an expansion build text of
// kMaxExpandedChars units or more (or more than the output's size, when that
// is larger): it stops with 234 as soon as any step's text would, and *length
// then holds the length that step reached, which is more than the output
// holds but may be less than a complete expansion would need.
#include <windows.h>

#include <string>

// Holds the subkey part of a registry path, terminator included.
constexpr size_t kSubkeyChars = MAX_PATH;
// A value's text, terminator included (2080 bytes).
constexpr DWORD kValueChars = 1040;
// A formatted token or query-parameter piece, terminator included.
constexpr size_t kPieceChars = 520;
// The bound, in units, on the text of any step of an expansion whose output
// is smaller (or a length query).
constexpr size_t kMaxExpandedChars = 32768;

constexpr wchar_t kHostSubstituteKey[] = L"SOFTWARE\\Varkon\\DOV\\AppInfo\\Substitute";
constexpr wchar_t kVolatileSubstituteKey[] = L"SOFTWARE\\Varkon\\Volatile\\DOV\\Substitute";
constexpr wchar_t kProductSubstituteKey[] = L"Software\\Varkon\\ZEL\\AppInfo\\Substitute";
constexpr wchar_t kProductKey[] = L"Software\\Varkon\\ZEL";

struct TokenPair
{
    std::wstring token;
    std::wstring value;
};

// Splits "ROOT\subkey" at its first backslash. A first part that names no root
// makes the whole path a subkey of HKEY_LOCAL_MACHINE. False for an empty path,
// one without a backslash or with nothing after it, or a subkey that does not
// fit subkeyChars.
bool ParseRegistryPath(const wchar_t* path, wchar_t* subkey, size_t subkeyChars, HKEY* root);

// Reads one value through the ANSI registry functions; string data comes back
// as UTF-16 and *bytes as its length in bytes. A null subkey reads from key
// itself. Sealed values (obfuscated) report their inner type, and their text is
// UTF-8 where plain values are in the thread's ANSI code page.
LONG ReadRegistryStringValue(HKEY key, const wchar_t* subkey, const wchar_t* valueName, DWORD* type, void* data,
                             DWORD* bytes, bool obfuscated);

// Replaces every occurrence of each pair's token, pair by pair, in input.
LONG ReplaceAllTokens(const wchar_t* input, const TokenPair* pairs, size_t pairCount, wchar_t* output, DWORD* length);

// Replaces the tokens named by the REG_SZ values of keyPath.
LONG ExpandTokens(const wchar_t* keyPath, const wchar_t* input, bool obfuscated, wchar_t* output, DWORD* length);

// ExpandTokens, then (appendQueryParams) the key's query parameters. A null
// output asks only for the length.
LONG ExpandSubstitutionString(const wchar_t* keyPath, const wchar_t* input, bool appendQueryParams, bool obfuscated,
                              wchar_t* output, DWORD* length);

// With useHostCopy, expands with the host's variables (through their per-boot
// volatile copy) before keyPath's, so the host's win.
LONG ExpandWithHostSubstitutes(const wchar_t* keyPath, const wchar_t* input, bool appendQueryParams, bool obfuscated,
                               wchar_t* output, DWORD* length, bool useHostCopy);

// Copies one value with its type and data unchanged.
LONG CopyRegistryValue(HKEY source, HKEY target, const wchar_t* valueName);

// Appends "?name=value" or "&name=value" for each REG_SZ value of keyPath's
// "QueryParams" subkey that the input does not already carry.
LONG AppendQueryParams(const wchar_t* keyPath, const wchar_t* input, bool obfuscated, wchar_t* output, DWORD* length);
