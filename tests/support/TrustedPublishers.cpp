#include "tests/support/TrustedPublishers.h"

#include "plinth/ObfuscatedRegKey.h"
#include "tests/support/TestSigning.h"
#include "zelcom/TrustVerification.h"

namespace ZelTest {

ScopedTrustedPublishers::ScopedTrustedPublishers() : ScopedTrustedPublishers({kTrustedThumbprint}) {}

ScopedTrustedPublishers::ScopedTrustedPublishers(const std::vector<std::wstring>& thumbprints)
    : m_value(HKEY_LOCAL_MACHINE, kTrustedPublishersKey, kTrustedPublishersValue)
{
    std::wstring list;
    for (const std::wstring& thumbprint : thumbprints)
        list += thumbprint + L'\0';
    list += L'\0';
    Plinth::CObfuscatedRegKey key;
    if (key.Create(HKEY_LOCAL_MACHINE, kTrustedPublishersKey) == ERROR_SUCCESS)
        key.SetMultiStringValue(kTrustedPublishersValue, list.c_str());
}

} // namespace ZelTest
