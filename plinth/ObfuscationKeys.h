#pragma once
// The keys of the sealed-value cipher: 38-character braced GUID texts, used as
// key bytes without their terminator. Values sealed under one key fail
// verification under another.

namespace Plinth {

// Sealed registry values.
constexpr char kRegistryObfuscationKey[] = "{0C0DB9E6-AEDE-491B-8DE1-9DCB13552E8F}";
// Sealed INI entries.
constexpr char kIniObfuscationKey[] = "{CAC14393-560C-433B-A895-1F9891E1F480}";
// The cipher's own key when it is given none.
constexpr char kDefaultObfuscationKey[] = "{370AFC05-5345-49C9-B7B4-3783DA3CA1F5}";

constexpr unsigned kObfuscationKeyChars = 38;
static_assert(sizeof(kRegistryObfuscationKey) == kObfuscationKeyChars + 1, "braced GUID text");
static_assert(sizeof(kIniObfuscationKey) == kObfuscationKeyChars + 1, "braced GUID text");
static_assert(sizeof(kDefaultObfuscationKey) == kObfuscationKeyChars + 1, "braced GUID text");

} // namespace Plinth
