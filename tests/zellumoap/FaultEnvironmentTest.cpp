// Faults around the module rather than in its values: the resource DLL and the
// multilingual loader gone, the configuration service killed mid-run and the
// log's write mutex held by a stuck process. Every call must still come back
// promptly with its documented answer. The module's state is made once per
// process, so each scenario runs in a process of its own
// (--scenario=sweep|resources|german|service|mutex).
#include "tests/zellumoap/FaultSupport.h"

#include <cwchar>
#include <thread>

#include "peers/zelconfig/ZelConfigData.h"
#include "resources/RtMuiImpl.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/ModuleLogFiles.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"
#include "zelcom/VkSecureClassFactory.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

using ZelTest::LogCapture;
using ZelTest::ScopedRegistryTree;
using ZelTest::ScopedRegistryValue;

namespace {

constexpr ULONGLONG kPromptMs = 2000;
constexpr DWORD kWaitMs = 15000;
constexpr wchar_t kConfigClassKey[] = L"CLSID\\{0192AED2-615F-473E-81B1-F357AB727EAE}";
constexpr wchar_t kUserModeClassKey[] = L"CLSID\\{4DDE4F20-567C-441F-9325-3AF349EC00EC}";
constexpr wchar_t kDefaultNameLine[] = L"IVkApplicationInfo->GetAppName() Unable to lookup product name from resource "
                                       L"file. Using \"Varkon Parental Controls\" by default.";

std::wstring ProcessName()
{
    const std::wstring path = ZelTest::BinPath(L"zellumoap_fault_tests.exe");
    const std::wstring file = path.substr(path.rfind(L'\\') + 1);
    return file.substr(0, file.rfind(L'.'));
}

void ExpectPrompt(const std::map<std::string, ULONGLONG>& elapsedMs, ULONGLONG bound)
{
    for (const auto& [method, ms] : elapsedMs)
        EXPECT_LT(ms, bound) << method;
}

void ExpectIdentityAnswers(const Outcomes& outcomes)
{
    const auto answer = [&](const char* method) {
        const std::wstring& outcome = outcomes.at(method);
        return outcome.substr(0, outcome.find(L" |"));
    };
    EXPECT_EQ(answer("GetAppID"), L"hr 0x00000000, result 0x00000000, \"ZEL\"");
    EXPECT_EQ(answer("GetAppIcon"), L"hr 0x00000000, result 0x00000000, \"lumo://vkcobres.dll::icon_m_16x16.gif\"");
    EXPECT_EQ(answer("UnsupportedRequest"), L"hr 0x00000000, result 0x08000032, unwritten");
}

TEST(MissingResourcesTest, NamesFallBackAndNoCallWaits)
{
    ZelTest::TempFolder empty(L"noresources");
    ScopedRegistryValue installDir(HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL", L"Install Dir");
    ASSERT_TRUE(installDir.SetString(empty.Path()));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"CommonProgramFiles", empty.Path().c_str()));

    for (int run = 0; run < 2; ++run) {
        // The resource DLL's load is not tried again, even where it would now succeed.
        if (run == 1) {
            ASSERT_TRUE(installDir.SetString(ZelTest::BinDir()));
        }
        std::map<std::string, ULONGLONG> elapsed;
        const Outcomes outcomes = RunEveryMethod(CreateObject().get(), &elapsed);
        ExpectPrompt(elapsed, kPromptMs);
        ExpectIdentityAnswers(outcomes);
        EXPECT_EQ(outcomes.at("GetAppName"),
                  Describe(S_OK, 0, L", \"Varkon Parental Controls\"", Logged(4, L"GetAppName", kDefaultNameLine)));
        // Every record's label is missing.
        const std::wstring records = L"hr 0x00000000, result 0x00000000, count 0x00000006, records null=\"17.0\" null=";
        EXPECT_EQ(outcomes.at("GetProductInfo").substr(0, records.size()), records);
    }
    EXPECT_NE(GetRtMui().Status(), 0u);
}

// With a German user interface the name and the labels come from the
// resource DLL's German satellite.
TEST(GermanResourcesTest, NameAndLabelsComeFromTheSatellite)
{
    ASSERT_EQ(::GetUserDefaultUILanguage(), 0x0407) << "the German locale of the test set-up is not in effect";
    // The multilingual loader is used only when its signer is trusted.
    const ZelTest::ScopedTrustedPublishers publishers;
    ScopedRegistryValue installDir(HKEY_LOCAL_MACHINE, L"Software\\Varkon\\ZEL", L"Install Dir");
    ASSERT_TRUE(installDir.SetString(ZelTest::BinDir()));
    const Outcomes outcomes = RunEveryMethod(CreateObject().get());
    EXPECT_EQ(outcomes.at("GetAppName"),
              Describe(S_OK, 0, L", \"Varkon Kindersicherung\"",
                       Logged(1, L"GetAppName",
                              L"IVkApplicationInfo->GetAppName() returning appid = [Varkon Kindersicherung]\r\n")));
    const std::wstring& records = outcomes.at("GetProductInfo");
    EXPECT_NE(records.find(L"records \"Haupt-/Nebenversion\"=\"17.0\" \"Version\"="), std::wstring::npos) << records;
    EXPECT_NE(records.find(L" \"Letzte Aktualisierung\"="), std::wstring::npos) << records;
}

// Ends the service processes COM started for this test.
void KillServers()
{
    const std::vector<DWORD> ids = ZelTest::ProcessesNamed(ZelConfig::kServerImage);
    ASSERT_FALSE(ids.empty());
    for (DWORD id : ids)
        ASSERT_TRUE(ZelTest::EndProcess(id, kWaitMs));
}

struct Report
{
    HRESULT hr;
    long result;
    std::wstring text;
    std::vector<ZelTest::LogRecord> log;
    ULONGLONG ms;
};

Report UsageReport(IVkApplicationInfo* object)
{
    LogCapture::Instance().Clear();
    Plinth::UniqueCoTaskMem<wchar_t> text;
    Plinth::UniqueCoTaskMem<wchar_t> second;
    long result = kUntouched;
    const ULONGLONG start = ::GetTickCount64();
    const HRESULT hr = object->GetUsageReport(text.put(), second.put(), &result);
    const ULONGLONG ms = ::GetTickCount64() - start;
    return {hr, result, text ? text.get() : L"<null>", LogCapture::Instance().Take(), ms};
}

bool Counts(const Report& report, int users)
{
    return report.text.find(L"\tzel_users=" + std::to_wstring(users) + L"\t") != std::wstring::npos;
}

TEST(KilledServiceTest, ReportsStayPromptReconnectOnceAndThenGoWithoutCounts)
{
    // A household of three, served by the configuration service.
    const ZelTest::LoadEnvironment installed(false, true);
    ASSERT_EQ(ZelTest::Ascii(installed.Problem()), "");
    const Plinth::ComPtr<IVkApplicationInfo> object = CreateObject();
    const Report connected = UsageReport(object.get());
    EXPECT_EQ(connected.result, 0);
    EXPECT_TRUE(Counts(connected, 3)) << connected.text;

    // Killed between two reports: one RPC error, one new connection.
    KillServers();
    const Report reconnected = UsageReport(object.get());
    EXPECT_LT(reconnected.ms, kPromptMs);
    EXPECT_EQ(reconnected.hr, S_OK);
    EXPECT_EQ(reconnected.result, 0);
    EXPECT_TRUE(Counts(reconnected, 3)) << reconnected.text;
    ASSERT_EQ(reconnected.log.size(), 1u);
    EXPECT_EQ(reconnected.log[0].level, 2u);
    EXPECT_EQ(reconnected.log[0].function, L"CZelHelper::GetConfig");
    EXPECT_EQ(reconnected.log[0].text.substr(0, 27), L"ZEL gave RPC error 0x800706");

    // Killed and gone for good: the report goes on without counts, and the
    // failure is kept rather than retried.
    KillServers();
    ASSERT_EQ(ZelTest::RunChild(ZelConfig::kServerImage, L"/UnregServer", false, kWaitMs).exitCode, 0u);
    const Report lost = UsageReport(object.get());
    EXPECT_LT(lost.ms, kPromptMs);
    EXPECT_EQ(lost.hr, S_OK);
    EXPECT_EQ(lost.result, 0);
    EXPECT_TRUE(Counts(lost, 0)) << lost.text;
    std::vector<std::wstring> lines;
    for (const auto& record : lost.log)
        lines.push_back(std::to_wstring(record.level) + L" " + record.text);
    const std::wstring denied = L"[0x80070005]\r\n";
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 29), L"2 ZEL gave RPC error 0x800706");
    EXPECT_EQ(lines[1], std::wstring(L"4 Refused module [") + (kConfigClassKey + 6) +
                            L"]: no registered server file for the class\r\n");
    EXPECT_EQ(lines[2], L"4 Failed to create ZEL Config instance " + denied);
    EXPECT_EQ(lines[3], L"4 Failed to reacquire ZEL " + denied);

    std::map<std::string, ULONGLONG> elapsed;
    const Outcomes outcomes = RunEveryMethod(object.get(), &elapsed);
    ExpectPrompt(elapsed, kPromptMs);
    ExpectIdentityAnswers(outcomes);
    const Report kept = UsageReport(object.get());
    EXPECT_TRUE(Counts(kept, 0));
    EXPECT_TRUE(kept.log.empty());
}

TEST(StuckLogMutexTest, CallsWaitNoLongerThanTheWriteTimeout)
{
    const std::wstring ready = L"zel-fault-hold-" + std::to_wstring(::GetCurrentProcessId());
    Plinth::UniqueHandle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
    ASSERT_TRUE(readyEvent);
    const std::wstring path = ZelTest::BinPath(L"zellumoap_fault_tests.exe");
    std::wstring commandLine = L"\"" + path + L"\" --hold=" + ready;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &info));
    Plinth::UniqueHandle holder(info.hProcess);
    Plinth::UniqueHandle holderThread(info.hThread);
    ASSERT_EQ(::WaitForSingleObject(readyEvent.get(), kWaitMs), WAIT_OBJECT_0);

    // Three calls at once each wait for the mutex on their own, never in turn.
    const Plinth::ComPtr<IVkApplicationInfo> object = CreateObject();
    struct Call
    {
        ULONGLONG waited = 0;
        long result = kUntouched;
    } calls[3];
    std::vector<std::thread> threads;
    for (Call& call : calls) {
        threads.emplace_back([&object, &call] {
            Plinth::UniqueCoTaskMem<wchar_t> id;
            const ULONGLONG begin = ::GetTickCount64();
            EXPECT_EQ(object->GetAppID(id.put(), &call.result), S_OK);
            call.waited = ::GetTickCount64() - begin;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const Call& call : calls) {
        EXPECT_GE(call.waited, 6500u);
        EXPECT_LT(call.waited, 8000u);
        EXPECT_EQ(call.result, 0);
    }

    // The holder dies holding it: the next writer takes the abandoned mutex.
    ASSERT_TRUE(::TerminateProcess(holder.get(), 1));
    ASSERT_EQ(::WaitForSingleObject(holder.get(), kWaitMs), WAIT_OBJECT_0);
    Plinth::UniqueCoTaskMem<wchar_t> icon;
    long result = kUntouched;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(object->GetAppIcon(icon.put(), &result), S_OK);
    EXPECT_LT(::GetTickCount64() - start, kPromptMs);
    const std::wstring logs = ZelTest::ReadLogFiles(ZelTest::ModuleLogFolder());
    EXPECT_EQ(logs.find(L"GetAppID() returning appid"), std::wstring::npos);
    EXPECT_NE(logs.find(L"GetAppIcon() returning icon"), std::wstring::npos);
}

// Holds the module's log write mutex of this program's name until killed.
int HoldWriteMutex(const std::wstring& ready)
{
    const std::wstring name = ProcessName() + L"_" + ETWLogging::kWriteMutexId;
    Plinth::UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    Plinth::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready.c_str()));
    if (!mutex || !event || ::WaitForSingleObject(mutex.get(), kWaitMs) != WAIT_OBJECT_0)
        return 2;
    ::SetEvent(event.get());
    ::Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string scenario = "sweep";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--hold=", 0) == 0)
            return HoldWriteMutex(std::wstring(arg.begin() + 7, arg.end()));
        if (arg.rfind("--scenario=", 0) == 0)
            scenario = arg.substr(11);
    }
    // This program is not signed; the trust of callers is not what it tests.
    SetCallerVerification(nullptr);
    Plinth::ComInitScope com(COINIT_MULTITHREADED);
    if (scenario == "mutex") {
        // The file log writer, chosen as the installer chooses it, before the module's first line.
        const ZelTest::LoadEnvironment installed(true, false);
        DllMain(::GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr);
        ::testing::GTEST_FLAG(filter) = "StuckLogMutexTest.*";
        return RUN_ALL_TESTS();
    }
    ZelTest::InstallCapturingLogger(true);
    if (scenario == "resources") {
        ::testing::GTEST_FLAG(filter) = "MissingResourcesTest.*";
        return RUN_ALL_TESTS();
    }
    if (scenario == "service") {
        ::testing::GTEST_FLAG(filter) = "KilledServiceTest.*";
        return RUN_ALL_TESTS();
    }
    // bin/ holds the multilingual loader in its installed layout.
    ::SetEnvironmentVariableW(L"CommonProgramFiles", ZelTest::BinDir().c_str());
    if (scenario == "german") {
        ::testing::GTEST_FLAG(filter) = "GermanResourcesTest.*";
        return RUN_ALL_TESTS();
    }
    // The sweep serves its own component checker, and reaches no real service.
    const ScopedRegistryTree noConfigService(HKEY_CLASSES_ROOT, kConfigClassKey);
    const ScopedRegistryTree noUserMode(HKEY_CLASSES_ROOT, kUserModeClassKey);
    ::testing::GTEST_FLAG(filter) = "FaultSweepTest.*:Sealed*";
    return RUN_ALL_TESTS();
}
