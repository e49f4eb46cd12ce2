// The configuration helper, the usage report and the product-information
// query, with a capturing logger and scripted service objects.
#include <gtest/gtest.h>

#include <string>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TestRegistry.h"
#include "tests/ZelLUMO/ScriptedService.h"

namespace {

// Takes a class registration out of both class roots for the run and puts
// exactly that back afterwards, so an installed product keeps its classes.
class ClassKeyAside
{
public:
    explicit ClassKeyAside(const std::wstring& clsid) : m_clsid(clsid)
    {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            if (!ZelTest::KeyExists(root, Path().c_str()))
                continue;
            Plinth::UniqueHKey aside;
            if (::RegCreateKeyExW(HKEY_CURRENT_USER, Aside(root).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  aside.put(), nullptr) == ERROR_SUCCESS &&
                ::RegCopyTreeW(root, Path().c_str(), aside.get()) == ERROR_SUCCESS) {
                ::RegDeleteTreeW(root, Path().c_str());
                ::RegDeleteKeyW(root, Path().c_str());
            }
        }
    }
    ~ClassKeyAside()
    {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            Plinth::UniqueHKey aside;
            Plinth::UniqueHKey key;
            if (::RegOpenKeyExW(HKEY_CURRENT_USER, Aside(root).c_str(), 0, KEY_READ, aside.put()) != ERROR_SUCCESS ||
                ::RegCreateKeyExW(root, Path().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
                    ERROR_SUCCESS)
                continue;
            if (::RegCopyTreeW(aside.get(), nullptr, key.get()) == ERROR_SUCCESS) {
                aside.reset();
                ::RegDeleteTreeW(HKEY_CURRENT_USER, Aside(root).c_str());
                ::RegDeleteKeyW(HKEY_CURRENT_USER, Aside(root).c_str());
            }
        }
    }
    ClassKeyAside(const ClassKeyAside&) = delete;
    ClassKeyAside& operator=(const ClassKeyAside&) = delete;

private:
    std::wstring Path() const { return L"Software\\Classes\\CLSID\\" + m_clsid; }
    std::wstring Aside(HKEY root) const
    {
        return std::wstring(L"Software\\Varkon\\Tests\\ClassesAside\\") + (root == HKEY_LOCAL_MACHINE ? L"m" : L"u") +
               m_clsid;
    }

    std::wstring m_clsid;
};

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ZelTest::InstallCapturingLogger(true);
    // The real services stay out of reach, whatever the demo or an installation
    // registered: these tests serve scripted ones from this process.
    // Holds the copies; gone at the end with the parent keys it made.
    ZelTest::ScopedRegistryTree asides(HKEY_CURRENT_USER, L"Software\\Varkon\\Tests\\ClassesAside");
    ClassKeyAside noConfigService(L"{0192AED2-615F-473E-81B1-F357AB727EAE}");
    ClassKeyAside noUserMode(L"{4DDE4F20-567C-441F-9325-3AF349EC00EC}");
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    return RUN_ALL_TESTS();
}
