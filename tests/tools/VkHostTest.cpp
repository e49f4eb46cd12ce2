// Runs the host demo against the real module and checks the JSON contract.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "plinth/Owners.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"

namespace {

constexpr wchar_t kAppImplKey[] = L"CLSID\\{B060136A-4731-43D5-B8AC-22092219B7B1}";

using ZelTest::ChildRun;

// Runs vkhost.exe with its standard output captured and its errors discarded.
ChildRun RunVkHost(const wchar_t* arguments)
{
    return ZelTest::RunChild(L"vkhost.exe", arguments, false);
}

// The value of a top-level key: the text of one balanced object, or empty.
std::string Member(const std::string& json, const std::string& key)
{
    const std::string opening = "\"" + key + "\":{";
    const size_t begin = json.find(opening);
    if (begin == std::string::npos)
        return std::string();
    const size_t start = begin + opening.size() - 1;
    int depth = 0;
    bool inString = false;
    for (size_t i = start; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return json.substr(start, i - start + 1);
        }
    }
    return std::string();
}

using DllEntry = HRESULT(STDAPICALLTYPE*)();

DllEntry Entry(HMODULE module, const char* name)
{
    return reinterpret_cast<DllEntry>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Registers the built module for the test and removes the registration again,
// unless it was already there.
class VkHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_wasRegistered = ZelTest::KeyExists(HKEY_CLASSES_ROOT, kAppImplKey);
        m_module.reset(::LoadLibraryW(ZelTest::BinPath(L"ZelLumoAp.dll").c_str()));
        ASSERT_TRUE(m_module) << "error " << ::GetLastError();
        const auto reg = Entry(m_module.get(), "DllRegisterServer");
        ASSERT_NE(reg, nullptr);
        ASSERT_EQ(reg(), S_OK);
    }

    void TearDown() override
    {
        if (!m_module || m_wasRegistered)
            return;
        const auto unreg = Entry(m_module.get(), "DllUnregisterServer");
        ASSERT_NE(unreg, nullptr);
        EXPECT_EQ(unreg(), S_OK);
        EXPECT_FALSE(ZelTest::KeyExists(HKEY_CLASSES_ROOT, kAppImplKey));
    }

private:
    // The host demo is signed with the trusted test certificate.
    ZelTest::ScopedTrustedPublishers m_trusted;
    bool m_wasRegistered = false;
    Plinth::UniqueModule m_module;
};

TEST_F(VkHostTest, JsonOutputKeepsTheContract)
{
    const ChildRun run = RunVkHost(L"--json");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_GE(run.output.size(), 3u);
    EXPECT_EQ(run.output.front(), '{');
    EXPECT_EQ(run.output.substr(run.output.size() - 2), "}\n");

    // Every method's member, whole where its answer is fixed, else as it begins.
    const std::string ok = R"({"hr":"0x00000000","result":"0x00000000")";
    const std::pair<const char*, std::string> members[] = {
        {"GetAppID", ok + R"(,"id":"ZEL"})"},
        {"GetAppName", ok + R"(,")"},
        {"GetAppIcon", ok + R"(,"icon":"lumo://vkcobres.dll::icon_m_16x16.gif"})"},
        {"GetUninstallProgram", ok + R"(,")"},
        {"GetUserHelperCLSID", ok + R"(,"clsid":"{5B35D944-601F-4FAD-B3EB-F282DF421155}"})"},
        {"CheckComponents", R"({"hr":")"},
        {"GetUpdateInformation", ok + R"(,")"},
        {"GetProductInfo", ok + R"(,"records":[{)"},
        {"GetUsageReport", R"({"hr":")"},
        {"UnsupportedRequest", R"({"hr":"0x00000000","result":"0x08000032")"},
        {"DoRecentEventAction", ok + "}"},
        {"DoLogAction", ok + "}"},
        {"GetVersionText", R"({"hr":")"},
        {"GetComponentStatus", ok + R"(,")"},
        {"NotifySubscriptionStatusChanged", ok + "}"},
    };
    for (const auto& [key, begins] : members) {
        const std::string member = Member(run.output, key);
        EXPECT_EQ(member.substr(0, begins.size()), begins) << key << " in " << run.output;
    }

    const std::string productInfo = Member(run.output, "GetProductInfo");
    size_t records = 0;
    for (size_t at = productInfo.find(R"("name":)"); at != std::string::npos;
         at = productInfo.find(R"("name":)", at + 1))
        ++records;
    EXPECT_EQ(records, 6u) << productInfo;
    // The prefix may lack the installation text; the report then fails on its own code.
    const std::string usage = Member(run.output, "GetUsageReport");
    const bool reported = usage.rfind(R"({"hr":"0x00000000","result":"0x00000000","report":")", 0) == 0;
    const bool refused = usage.rfind(R"({"hr":"0x00000001","result":"0x08)", 0) == 0 &&
                         usage.find(R"("report":null)") != std::string::npos;
    EXPECT_TRUE(reported || refused) << usage;
    EXPECT_NE(usage.find(R"("second":"")"), std::string::npos) << usage;
}

TEST(VkHostUnregistered, ReportsFailureWithoutJson)
{
    if (ZelTest::KeyExists(HKEY_CLASSES_ROOT, kAppImplKey))
        GTEST_SKIP() << "the module is registered in this prefix";
    const ChildRun run = RunVkHost(L"--json");
    ASSERT_TRUE(run.started);
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_EQ(run.output, "");
}

} // namespace
