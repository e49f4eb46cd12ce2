// Runs vkhost --check against the real module and against a provider with one
// deliberate fault per rule, and reads the verdict of every row.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"

namespace {

using ZelTest::ChildRun;

// Row name to whether it passed, from the table lines that carry a verdict.
std::map<std::string, bool> Verdicts(const std::string& output)
{
    std::map<std::string, bool> verdicts;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name;
        std::string verdict;
        if (words >> name >> verdict && name.find('/') != std::string::npos && (verdict == "pass" || verdict == "FAIL"))
            verdicts[name] = verdict == "pass";
    }
    return verdicts;
}

// Every row of the check, passed unless it is one of the faults (names
// separated by blanks).
std::map<std::string, bool> Expected(const std::string& faults = "")
{
    std::istringstream methods("GetAppID GetAppName GetAppIcon GetUninstallProgram GetUserHelperCLSID CheckComponents "
                               "GetUpdateInformation GetProductInfo GetUsageReport UnsupportedRequest "
                               "DoRecentEventAction DoLogAction GetVersionText GetComponentStatus "
                               "NotifySubscriptionStatusChanged");
    std::istringstream others("module/load module/create tables/IVkApplicationInfo5 qi/offers qi/identity qi/reflexive "
                              "qi/symmetric qi/transitive qi/unknown-iid qi/null-out unload/object-alive "
                              "unload/released threads/same-answers memory/GetAppStatus memory/GetAppStatusText");
    std::set<std::string> rows;
    for (std::string row; others >> row;)
        rows.insert(row);
    for (std::string method; methods >> method;) {
        for (const char* area : {"null-args/", "memory/", "result-code/"})
            rows.insert(area + method);
    }
    std::map<std::string, bool> verdicts;
    for (const std::string& row : rows)
        verdicts[row] = (" " + faults + " ").find(" " + row + " ") == std::string::npos;
    return verdicts;
}

TEST(VkHostCheckTest, RealModulePassesEveryRow)
{
    // The module admits only callers signed by a trusted publisher, as vkhost is.
    const ZelTest::ScopedTrustedPublishers trusted;
    const ChildRun run = ZelTest::RunChild(L"vkhost.exe", L"--check");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(Verdicts(run.output), Expected()) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
}

TEST(VkHostCheckTest, BrokenProviderFailsExactlyItsFaults)
{
    const std::wstring broken = L"\"" + ZelTest::BinPath(L"BrokenProvider.dll") + L"\"";
    const ChildRun run = ZelTest::RunChild(L"vkhost.exe", L"--check " + broken);
    ASSERT_TRUE(run.started);
    const std::string faults = "memory/GetAppName memory/GetAppIcon null-args/GetComponentStatus "
                               "result-code/UnsupportedRequest qi/identity tables/IVkApplicationInfo5 unload/released "
                               "threads/same-answers";
    EXPECT_EQ(Verdicts(run.output), Expected(faults)) << run.output;
    EXPECT_EQ(run.exitCode, 2u) << run.output;
    EXPECT_NE(run.output.find("argument 1 is not CoTaskMemAlloc memory"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("argument 2 null: argument 1 written"), std::string::npos) << run.output;
}

TEST(VkHostCheckTest, UsageErrorsAndMissingModule)
{
    const ChildRun usage = ZelTest::RunChild(L"vkhost.exe", L"--check one two");
    ASSERT_TRUE(usage.started);
    EXPECT_EQ(usage.exitCode, 1u);
    EXPECT_TRUE(Verdicts(usage.output).empty()) << usage.output;

    const ChildRun missing = ZelTest::RunChild(L"vkhost.exe", L"--check C:\\zel-test-no-such-folder\\Provider.dll");
    ASSERT_TRUE(missing.started);
    EXPECT_EQ(missing.exitCode, 2u);
    EXPECT_EQ(Verdicts(missing.output), (std::map<std::string, bool>{{"module/load", false}})) << missing.output;
}

} // namespace
