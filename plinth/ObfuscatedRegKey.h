#pragma once
// A registry key whose values are stored sealed: obfuscated, wrapped in a
// header with the real type, the length and an MD5 digest, and written as one
// REG_BINARY value. Every typed operation of CRegKey works unchanged on it,
// because only the two raw value operations differ.
#include "plinth/RegKey.h"

#include <cstdint>

namespace Plinth {

// Sealed value layout, little-endian: "VKRG", version 1, data length N, real
// type, MD5 of all 32 + N bytes taken while its own field is zero, N data bytes.
constexpr ULONG kSealedRegistryHeaderBytes = 32;
constexpr uint32_t kSealedRegistryVersion = 1;
constexpr char kSealedRegistryMagic[4] = {'V', 'K', 'R', 'G'};

// Seals dataBytes bytes of the given type into sealed, which needs room for
// kSealedRegistryHeaderBytes + dataBytes bytes (else 122).
LONG SealRegistryValue(DWORD type, const void* data, ULONG dataBytes, void* sealed, ULONG sealedCapacity);

// Verifies a sealed value and reports its real type and data length (either
// pointer may be null). Without an output buffer it only verifies; otherwise it
// decodes the data into it (234 when it is too small). A value that fails
// verification gives 13.
LONG OpenSealedRegistryValue(const void* sealed, ULONG sealedBytes, DWORD* realType, ULONG* dataBytes, void* out,
                             ULONG outCapacity);

class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl
{
public:
    LONG QueryValue(LPCWSTR valueName, DWORD* type, void* data, ULONG* bytes) override;
    LONG SetValue(LPCWSTR valueName, DWORD type, const void* data, ULONG bytes) override;
};

class CObfuscatedRegKey : public CRegKey
{
public:
    CObfuscatedRegKey();
    ~CObfuscatedRegKey() override;
};

} // namespace Plinth
