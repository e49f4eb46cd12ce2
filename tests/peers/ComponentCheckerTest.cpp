// The component checker DLL as the product uses it: registered, created through
// the host's factory, and asked about a Components key each test writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peers/componentchecker/ComponentChecker.h"
#include "plinth/Owners.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"
#include "zelcom/Version.h"
#include "zelcom/VkCreateInstance.h"
#include "zelcom/ZelLumoAp.h"

namespace {

using ComponentChecker::kComponentsKeyPath;
using ZelTest::ScopedRegistryTree;

constexpr DWORD kHostContext = 0x17;

bool SetValue(const wchar_t* name, DWORD type, const void* data, size_t bytes)
{
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kComponentsKeyPath, name, type, data, static_cast<DWORD>(bytes)) ==
           ERROR_SUCCESS;
}

// Both answers: the components missing (with kComponentsMissing) and the
// versions found; an empty text means none was handed out.
void ExpectAnswers(IVkVersion* checker, const std::wstring& missing, const std::wstring& versions)
{
    for (const bool status : {true, false}) {
        SCOPED_TRACE(status ? "GetComponentStatus" : "GetVersionText");
        Plinth::UniqueCoTaskMem<wchar_t> text;
        long result = -1;
        EXPECT_EQ(status ? checker->GetComponentStatus(text.put(), &result)
                         : checker->GetVersionText(text.put(), &result),
                  S_OK);
        const std::wstring& expected = status ? missing : versions;
        EXPECT_EQ(result, status && !missing.empty() ? ComponentChecker::kComponentsMissing : 0);
        EXPECT_EQ(!text, expected.empty());
        EXPECT_EQ(text ? std::wstring(text.get()) : std::wstring(), expected);
    }
}

class ComponentCheckerTest : public ::testing::Test
{
protected:
    // The registrations are put back as they were when the program ends.
    static void SetUpTestSuite()
    {
        s_module.reset(::LoadLibraryW(ZelTest::BinPath(ComponentChecker::kDllName).c_str()));
        ASSERT_TRUE(s_module);
        const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(::GetProcAddress(s_module.get(), "DllRegisterServer")));
        ASSERT_EQ(registerServer(), S_OK);
    }

    static void TearDownTestSuite() { s_module.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(m_com.Usable());
        ASSERT_EQ(VkCreateInstanceNoAuth(CLSID_ComponentVersionProvider, nullptr, kHostContext, IID_IVkVersion,
                                         m_checker.put_void()),
                  S_OK);
    }

    // A text file without a version resource.
    std::wstring AddTextFile(const wchar_t* name) const
    {
        const std::wstring path = m_dir.Path() + L"\\" + name;
        const char text[] = "plain text, no version resource\r\n";
        EXPECT_TRUE(ZelTest::WriteBytes(path, text, sizeof(text) - 1));
        return path;
    }

    static inline Plinth::UniqueModule s_module;

    Plinth::ComInitScope m_com{COINIT_APARTMENTTHREADED};
    Plinth::ComPtr<IVkVersion> m_checker;
    ScopedRegistryTree m_components{HKEY_LOCAL_MACHINE, kComponentsKeyPath};
    ZelTest::TempFolder m_dir{L"checker"};
};

TEST_F(ComponentCheckerTest, ListsMissingAndInstalledComponentsByName)
{
    ExpectAnswers(m_checker.get(), L"", L"");
    const std::wstring text = AddTextFile(L"notes.txt");
    const std::wstring copy = m_dir.Path() + L"\\checker-copy.dll";
    ASSERT_TRUE(::CopyFileW(ZelTest::BinPath(ComponentChecker::kDllName).c_str(), copy.c_str(), FALSE));
    const std::wstring gone = m_dir.Path() + L"\\gone.dll";
    ASSERT_TRUE(m_components.SetString(L"gamma", gone));
    ASSERT_TRUE(m_components.SetString(L"beta", text));
    ASSERT_TRUE(m_components.SetString(L"Delta", copy));
    ASSERT_TRUE(m_components.SetString(L"Alpha", m_dir.Path()));
    ASSERT_TRUE(m_components.SetString(L"ZelLumoAp", ZelTest::BinPath(L"ZelLumoAp.dll")));
    ASSERT_TRUE(SetValue(L"Binary", REG_BINARY, text.c_str(), (text.size() + 1) * sizeof(wchar_t)));
    ExpectAnswers(m_checker.get(), L"Alpha: " + m_dir.Path() + L"\ngamma: " + gone + L"\n",
                  L"beta=no version information\nDelta=" VK_CHECKER_VERSION L"\nZelLumoAp=" ZEL_PRODUCT_VERSION L"\n");
}

// Each value alone in the key; the answers tell whether it was read as the
// path it holds, as another path, or skipped.
TEST_F(ComponentCheckerTest, ValuesAreReadSafelyWhateverTheirShape)
{
    const std::wstring present = AddTextFile(L"present.txt");
    const std::wstring absent = m_dir.Path() + L"\\absent.txt";
    const std::wstring longPath = m_dir.Path() + L"\\" + std::wstring(40000, L'x');
    ::SetEnvironmentVariableW(L"ZEL_CHECKER_TEST_DIR", m_dir.Path().c_str());

    // Exactly the characters given, no terminator unless they hold one.
    auto bytesOf = [](const std::wstring& text) {
        return std::vector<BYTE>(reinterpret_cast<const BYTE*>(text.data()),
                                 reinterpret_cast<const BYTE*>(text.data() + text.size()));
    };
    auto terminated = [&](const std::wstring& text) { return bytesOf(text + L'\0'); };
    std::vector<BYTE> oddCount = bytesOf(present);
    oddCount.push_back(0x41);

    const struct
    {
        const char* label;
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> data;
        std::wstring missing;
        std::wstring versions;
    } cases[] = {
        {"no terminator", L"C", REG_SZ, bytesOf(present), L"", L"C=no version information\n"},
        {"odd byte count", L"C", REG_SZ, oddCount, L"", L"C=no version information\n"},
        {"text after terminator", L"C", REG_SZ, terminated(present + L'\0' + L"trailing"), L"",
         L"C=no version information\n"},
        {"expandable present", L"C", REG_EXPAND_SZ, terminated(L"%ZEL_CHECKER_TEST_DIR%\\present.txt"), L"",
         L"C=no version information\n"},
        {"expandable absent", L"C", REG_EXPAND_SZ, terminated(L"%ZEL_CHECKER_TEST_DIR%\\absent.txt"),
         L"C: " + absent + L"\n", L""},
        {"empty string", L"C", REG_SZ, {}, L"C: \n", L""},
        {"very long path", L"C", REG_SZ, terminated(longPath), L"C: " + longPath + L"\n", L""},
        {"dword", L"C", REG_DWORD, {1, 0, 0, 0}, L"", L""},
        {"multi string", L"C", REG_MULTI_SZ, terminated(present + L'\0'), L"", L""},
        {"unnamed default", L"", REG_SZ, terminated(absent), L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScopedRegistryTree key(HKEY_LOCAL_MACHINE, kComponentsKeyPath);
        ASSERT_TRUE(SetValue(c.name, c.type, c.data.data(), c.data.size()));
        ExpectAnswers(m_checker.get(), c.missing, c.versions);
    }
    ::SetEnvironmentVariableW(L"ZEL_CHECKER_TEST_DIR", nullptr);
}

} // namespace
