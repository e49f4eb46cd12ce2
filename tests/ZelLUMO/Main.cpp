// The configuration helper, usage report and product information, logs captured.
#include <gtest/gtest.h>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TestRegistry.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ZelTest::InstallCapturingLogger(true);
    // The real services stay out of reach (scripted ones serve from this process)
    // and their registrations are back as they were when the program ends.
    const ZelTest::ScopedProductRegistrations registrations;
    const ZelTest::ScopedRegistryTree noConfigService(HKEY_CLASSES_ROOT,
                                                      L"CLSID\\{0192AED2-615F-473E-81B1-F357AB727EAE}");
    const ZelTest::ScopedRegistryTree noUserMode(HKEY_CLASSES_ROOT, L"CLSID\\{4DDE4F20-567C-441F-9325-3AF349EC00EC}");
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    return RUN_ALL_TESTS();
}
