// Compiled into every test program: whatever its tests register, unregister
// or delete of the product's classes, the machine's registrations (an
// installed product's among them) are as the program found them when it ends.
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/TestRegistry.h"

namespace {

class ProductRegistrationsEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { m_snapshot = std::make_unique<ZelTest::ScopedProductRegistrations>(); }
    void TearDown() override { m_snapshot.reset(); }

private:
    std::unique_ptr<ZelTest::ScopedProductRegistrations> m_snapshot;
};

// GoogleTest owns and deletes the environment.
const ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new ProductRegistrationsEnvironment);

} // namespace
