// Runs the host demo against the real module, with the product set up as the
// load test sets it up, and holds its JSON to the answers those values give.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include <nlohmann/json.hpp>

#include "plinth/Owners.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/LoadHarness.h"
#include "tests/support/ModuleLogFiles.h"
#include "tests/support/TestRegistry.h"

namespace {

using Json = nlohmann::json;

constexpr wchar_t kAppImplKey[] = L"CLSID\\{B060136A-4731-43D5-B8AC-22092219B7B1}";

std::string Utf8(const std::wstring& text)
{
    std::string utf8(text.size() * 3, '\0');
    utf8.resize(::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(),
                                      static_cast<int>(utf8.size()), nullptr, nullptr));
    return utf8;
}

Json Answer(Json values = Json::object(), const char* result = "0x00000000")
{
    values["hr"] = "0x00000000";
    values["result"] = result;
    return values;
}

TEST(VkHostTest, JsonOutputKeepsTheContract)
{
    const ZelTest::LoadEnvironment environment(false, false);
    ASSERT_EQ(ZelTest::Ascii(environment.Problem()), "");
    const Plinth::UniqueModule module(::LoadLibraryW(ZelTest::BinPath(L"ZelLumoAp.dll").c_str()));
    ASSERT_TRUE(module);
    const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), "DllRegisterServer")));
    ASSERT_EQ(registerServer(), S_OK);

    // The host's own log lines go to a folder of its own, which is not left behind.
    const std::wstring hostLogs = ZelTest::ModuleLogFolder(L"Zellumoap", L"vkhost");
    const ZelTest::ChildRun run = ZelTest::RunChild(L"vkhost.exe", L"--json", false);
    ZelTest::RemoveTree(hostLogs);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0u);
    const Json output = Json::parse(run.output, nullptr, false);
    ASSERT_TRUE(output.is_object()) << run.output;

    const std::string version = "BuildNumber=17.0.3038\nVkComponentChecker=5.2.40117.3\nZelLumoAp=17.0.3038.0\n";
    const std::wstring uninstall =
        ZelTest::kUninstaller + (L"\"" + ZelTest::ShortForm(ZelTest::BinDir())) + L"\\zelli.inf\" /uninstall";
    const Json null;
    const Json expected = {
        {"GetAppID", Answer({{"id", "ZEL"}})},
        {"GetAppName", Answer({{"name", "Varkon Parental Controls"}})},
        {"GetAppIcon", Answer({{"icon", "lumo://vkcobres.dll::icon_m_16x16.gif"}})},
        {"GetUninstallProgram", Answer({{"commandLine", Utf8(uninstall)}})},
        {"GetUserHelperCLSID", Answer({{"clsid", "{5B35D944-601F-4FAD-B3EB-F282DF421155}"}})},
        {"CheckComponents", Answer()},
        {"GetUpdateInformation",
         Answer({{"pingUrl", "https://update.varkon.example/apps/zel/en-us/17.0/chkupd.asp?lang=en-us&lcid=1033"},
                 {"versionInfo", version}})},
        {"GetProductInfo", Answer({{"records",
                                    {{{"name", "Major.Minor"}, {"value", "17.0"}},
                                     {{"name", "Version"}, {"value", "17.0.3038"}},
                                     {{"name", "Last Update"}, {"value", "2024-12-06"}},
                                     {{"name", null}, {"value", null}},
                                     {{"name", null}, {"value", null}},
                                     {{"name", null}, {"value", null}}}}})},
        {"GetUsageReport",
         Answer({{"report", "install=load-0001\tdate=2024-12-06\tzel_user_mode=0\tzel_users=0"
                            "\tzel_non_adult_limited_users=0\tzel_protected_users=0\tzel_admin_password_set=0"
                            "\tsource=update.varkon.example\tlang=en-us"},
                 {"second", ""}})},
        {"UnsupportedRequest", Answer(Json::object(), "0x08000032")},
        {"DoRecentEventAction", Answer()},
        {"DoLogAction", Answer()},
        {"GetVersionText", Answer({{"text", version}})},
        {"GetComponentStatus", Answer({{"text", null}})},
        {"NotifySubscriptionStatusChanged", Answer()},
    };
    EXPECT_EQ(output.size(), expected.size()) << run.output;
    for (const auto& [method, answer] : expected.items())
        EXPECT_EQ(output.value(method, null), answer) << method;
}

// Without the class registration the host gets no object and writes no JSON.
TEST(VkHostTest, UnregisteredModuleGivesFailureWithoutJson)
{
    const ZelTest::ScopedRegistryTree unregistered(HKEY_CLASSES_ROOT, kAppImplKey);
    const ZelTest::ChildRun run = ZelTest::RunChild(L"vkhost.exe", L"--json", false);
    ASSERT_TRUE(run.started);
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_EQ(run.output, "");
}

} // namespace
