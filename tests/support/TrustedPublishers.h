#pragma once
// Installs the sealed list of trusted publishers for the scope, as the
// installer would, and puts back what was there before.
#include <string>
#include <vector>

#include "tests/support/TestRegistry.h"

namespace ZelTest {

class ScopedTrustedPublishers
{
public:
    // Defaults to this build tree's trusted test certificate.
    ScopedTrustedPublishers();
    explicit ScopedTrustedPublishers(const std::vector<std::wstring>& thumbprints);

private:
    ScopedRegistryValue m_value;
};

} // namespace ZelTest
