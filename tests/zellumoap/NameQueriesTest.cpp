// The name and uninstall queries against the installed layout. The resource
// DLL is loaded once per process, so each scenario runs in a process of its
// own (--scenario=installed|missing|german).
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TestRegistry.h"
#include "zellumoap/ApplImpl.h"

using Plinth::ComPtr;
using ZelTest::LogCapture;

namespace {

constexpr long kUntouched = 0x5A5A5A5A;
wchar_t* const kSentinel = reinterpret_cast<wchar_t*>(static_cast<uintptr_t>(0xDEADBEEF));
constexpr wchar_t kDefaultNameLine[] = L"IVkApplicationInfo->GetAppName() Unable to lookup product name from resource "
                                       L"file. Using \"Varkon Parental Controls\" by default.";

ComPtr<IVkApplicationInfo> CreateObject()
{
    ComPtr<IVkApplicationInfo> object;
    EXPECT_EQ(CComObject<CZelAppImpl>::CreateInstance(IID_IVkApplicationInfo, object.put_void()), S_OK);
    return object;
}

class NameQueriesTest : public ::testing::Test
{
protected:
    void SetUp() override { LogCapture::Instance().Clear(); }

    // The name, and the one line logged for it.
    std::wstring AppName(DWORD expectedLevel, const std::wstring& expectedLine)
    {
        Plinth::UniqueCoTaskMem<wchar_t> name;
        long result = kUntouched;
        EXPECT_EQ(m_object->GetAppName(name.put(), &result), S_OK);
        EXPECT_EQ(result, 0);
        const auto records = LogCapture::Instance().Take();
        EXPECT_EQ(records.size(), 1u);
        if (!records.empty()) {
            EXPECT_EQ(records[0].level, expectedLevel);
            EXPECT_EQ(records[0].function, L"CZelAppImpl::GetAppName");
            EXPECT_EQ(records[0].text, expectedLine);
        }
        return name ? name.get() : L"(null)";
    }

    ZelTest::ScopedRegistryValue m_installDir{HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL", L"Install Dir"};
    ComPtr<IVkApplicationInfo> m_object = CreateObject();
};

std::wstring NameLine(const std::wstring& name)
{
    return L"IVkApplicationInfo->GetAppName() returning appid = [" + name + L"]\r\n";
}

TEST_F(NameQueriesTest, GermanNameComesFromTheSatellite)
{
    ASSERT_EQ(::GetUserDefaultUILanguage(), 0x0407) << "the German locale of the test set-up is not in effect";
    ASSERT_TRUE(m_installDir.SetString(ZelTest::BinDir()));
    EXPECT_EQ(AppName(1, NameLine(L"Varkon Kindersicherung")), L"Varkon Kindersicherung");
}

TEST_F(NameQueriesTest, WithoutResourceDllTheDefaultNameIsGivenAndNoLoadIsRetried)
{
    m_installDir.Delete();
    // The test program holds a string of the product name's id; it is not taken.
    EXPECT_EQ(AppName(4, kDefaultNameLine), L"Varkon Parental Controls");
    ASSERT_TRUE(m_installDir.SetString(ZelTest::BinDir()));
    EXPECT_EQ(AppName(4, kDefaultNameLine), L"Varkon Parental Controls");
}

std::wstring CommonFilesX86()
{
    wchar_t folder[MAX_PATH] = {};
    EXPECT_EQ(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMONX86, nullptr, 0, folder), S_OK);
    return folder;
}

// Install directories that do not exist, so they stay as given. The installed
// layout, a missing directory and longer ones are in the fault sweep.
TEST_F(NameQueriesTest, UninstallCommandMustFitBothItsBuffers)
{
    const std::wstring uninstaller = L"\"" + CommonFilesX86() + L"\\Varkon\\Installer\\VkInst.exe\" ";
    // The longest install directory whose command line fills 259 units; the
    // arguments alone fill 259 units with 236 and need 260 with 237.
    const size_t longest = 259 - uninstaller.size() - 23;
    const struct
    {
        size_t length;
        bool fits;
    } cases[] = {{longest, true}, {longest + 1, false}, {236, false}, {237, false}};
    for (const auto& c : cases) {
        const std::wstring installDir = L"C:\\" + std::wstring(c.length - 3, L'd');
        ASSERT_TRUE(m_installDir.SetString(installDir));
        LPWSTR line = kSentinel;
        long result = kUntouched;
        EXPECT_EQ(m_object->GetUninstallProgram(&line, &result), S_OK);
        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].function, L"CZelAppImpl::GetUninstallProgram");
        if (!c.fits) {
            EXPECT_EQ(result, 0x0800007A) << c.length;
            EXPECT_EQ(line, kSentinel);
            EXPECT_EQ(records[0].level, 4u);
            EXPECT_EQ(records[0].text,
                      L"IVkApplicationInfo->GetUninstallProgram() uninstall command line does not fit.\r\n");
            continue;
        }
        const Plinth::UniqueCoTaskMem<wchar_t> owned(line);
        const std::wstring expected = uninstaller + L"\"" + installDir + L"\\zelli.inf\" /uninstall";
        EXPECT_EQ(result, 0);
        EXPECT_EQ(line, expected);
        EXPECT_EQ(records[0].level, 1u);
        EXPECT_EQ(records[0].text,
                  L"IVkApplicationInfo->GetUninstallProgram() returning uninstall program = [" + expected + L"]\r\n");
    }
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string scenario = "installed";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--scenario=", 0) == 0)
            scenario = arg.substr(11);
    }
    ZelTest::InstallCapturingLogger(true);
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    // bin/ holds the multilingual loader in its installed layout.
    ::SetEnvironmentVariableW(L"CommonProgramFiles", ZelTest::BinDir().c_str());
    const char* filter = scenario == "missing"  ? "*WithoutResourceDll*"
                         : scenario == "german" ? "*GermanName*"
                                                : "-*WithoutResourceDll*:*GermanName*";
    ::testing::GTEST_FLAG(filter) = filter;
    return RUN_ALL_TESTS();
}
