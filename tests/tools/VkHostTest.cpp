// Runs the host demo against the real module and checks the JSON contract.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "plinth/Owners.h"
#include "support/TestRegistry.h"
#include "support/TrustedPublishers.h"

namespace {

constexpr wchar_t kAppImplKey[] = L"CLSID\\{B060136A-4731-43D5-B8AC-22092219B7B1}";

struct ChildRun
{
    bool started = false;
    DWORD exitCode = 0;
    std::string out;
};

// Runs vkhost.exe with its standard output captured and its errors discarded.
ChildRun RunVkHost(const wchar_t* arguments)
{
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Plinth::UniqueHandle readEnd;
    Plinth::UniqueHandle writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0) ||
        !::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0))
        return run;
    Plinth::UniqueHandle discard(
        ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    if (discard.get() == INVALID_HANDLE_VALUE)
        return run;

    std::wstring commandLine = L"\"" + ZelTest::BinPath(L"vkhost.exe") + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = discard.get();
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return run;
    const Plinth::UniqueHandle processHandle(process.hProcess);
    const Plinth::UniqueHandle threadHandle(process.hThread);
    writeEnd.reset();
    discard.reset();

    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        run.out.append(buffer, read);
    ::WaitForSingleObject(processHandle.get(), INFINITE);
    run.started = ::GetExitCodeProcess(processHandle.get(), &run.exitCode) != FALSE;
    return run;
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
    ASSERT_GE(run.out.size(), 3u);
    EXPECT_EQ(run.out.front(), '{');
    EXPECT_EQ(run.out.substr(run.out.size() - 2), "}\n");

    const char* const keys[] = {"GetAppID",
                                "GetAppName",
                                "GetAppIcon",
                                "GetUninstallProgram",
                                "GetUserHelperCLSID",
                                "CheckComponents",
                                "GetUpdateInformation",
                                "GetProductInfo",
                                "GetUsageReport",
                                "UnsupportedRequest",
                                "DoRecentEventAction",
                                "DoLogAction",
                                "GetVersionText",
                                "GetComponentStatus",
                                "NotifySubscriptionStatusChanged"};
    for (const char* key : keys)
        EXPECT_NE(Member(run.out, key), "") << key << " missing from " << run.out;

    EXPECT_EQ(Member(run.out, "GetAppID"), R"({"hr":"0x00000000","result":"0x00000000","id":"ZEL"})");
    EXPECT_EQ(Member(run.out, "GetAppIcon"),
              R"({"hr":"0x00000000","result":"0x00000000","icon":"lumo://vkcobres.dll::icon_m_16x16.gif"})");
    EXPECT_EQ(Member(run.out, "GetUserHelperCLSID"),
              R"({"hr":"0x00000000","result":"0x00000000","clsid":"{5B35D944-601F-4FAD-B3EB-F282DF421155}"})");
    EXPECT_EQ(Member(run.out, "NotifySubscriptionStatusChanged"), R"({"hr":"0x00000000","result":"0x00000000"})");
    for (const char* key : {"GetAppName", "GetUninstallProgram"}) {
        const std::string member = Member(run.out, key);
        EXPECT_EQ(member.rfind(R"({"hr":"0x00000000","result":"0x00000000",")", 0), 0u) << key << ": " << member;
    }

    // Methods still to be built; each entry leaves this list as its work lands.
    const struct
    {
        const char* key;
        const char* nullValues;
    } notBuilt[] = {
        {"GetUpdateInformation", R"("pingUrl":null,"versionInfo":null)"},
        {"GetProductInfo", R"("records":null)"},
        {"GetUsageReport", R"("report":null,"second":null)"},
        {"UnsupportedRequest", ""},
        {"DoRecentEventAction", ""},
        {"DoLogAction", ""},
        {"GetVersionText", R"("text":null)"},
        {"GetComponentStatus", R"("text":null)"},
    };
    for (const auto& method : notBuilt) {
        const std::string member = Member(run.out, method.key);
        EXPECT_EQ(member.rfind(R"({"hr":"0x80004001","result":"0x00000000")", 0), 0u) << method.key << ": " << member;
        EXPECT_NE(member.find(method.nullValues), std::string::npos) << method.key << ": " << member;
    }
}

TEST(VkHostUnregistered, ReportsFailureWithoutJson)
{
    if (ZelTest::KeyExists(HKEY_CLASSES_ROOT, kAppImplKey))
        GTEST_SKIP() << "the module is registered in this prefix";
    const ChildRun run = RunVkHost(L"--json");
    ASSERT_TRUE(run.started);
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_EQ(run.out, "");
}

} // namespace
