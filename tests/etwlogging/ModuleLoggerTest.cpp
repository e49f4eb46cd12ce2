// The logging front end, whose holder and logger are made once per process: each
// scenario (--logger=none|plain|extended|race|throwing|session) runs in a
// process of its own, which ends with the logger core free of the bridge handler.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ETWLogging.h"
#include "etwlogging/LogBuilderIf.h"
#include "etwlogging/ModuleLogger.h"
#include "peers/etwsessions/EtwEventDecoder.h"
#include "peers/etwsessions/TraceSessionSimulator.h"
#include "plinth/Logging/internal_logging.h"
#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TestRegistry.h"

using ETWLogging::GetLoggerSettings;
using ETWLogging::GetModuleLogger;
using ETWLogging::IsLogLevelEnabled;
using ETWLogging::WriteLog;
using ZelTest::LogCapture;

namespace {

ZelTest::CapturingBuilder* g_builder = nullptr;

// A factory whose every creation fails.
class FailingBuilder : public ETWLogging::CLogBuilderIf_ex
{
public:
    bool CreateLogger(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf**,
                      Plinth::CRegKey*) override
    {
        ++plainCalls;
        return false;
    }
    bool CreateLoggerEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf**,
                        Plinth::CRegKey*) override
    {
        ++extendedCalls;
        return false;
    }
    int plainCalls = 0;
    int extendedCalls = 0;
} g_failing;

// A capturing factory whose first creation throws.
class ThrowingOnceBuilder : public ZelTest::CapturingBuilder
{
public:
    ThrowingOnceBuilder() : CapturingBuilder(true) {}
    bool CreateLoggerEx(const wchar_t* appName, const wchar_t* group, HMODULE module, const wchar_t* host, DWORD mode,
                        ETWLogging::CLoggingIf** out, Plinth::CRegKey* key) override
    {
        if (::InterlockedIncrement(&attempts) == 1)
            throw std::bad_alloc();
        return CapturingBuilder::CreateLoggerEx(appName, group, module, host, mode, out, key);
    }
    volatile LONG attempts = 0;
} g_throwing;

EtwSim::TraceSessionSimulator* g_sessions = nullptr;

// Destroyed after the logging library's own objects, when the bridge handler
// must have left the logger core; a program that leaves it there ends with 3.
struct ExitCheck : Plinth::ILoggingHandler
{
    void HandleLogMessage(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*) override {}
    ~ExitCheck()
    {
        if (Plinth::CLogger::RegisterHandler(this) == ERROR_SUCCESS)
            return;
        const char message[] = "a logging handler is still registered at exit\n";
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), message, sizeof(message) - 1, &written, nullptr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
} g_exitCheck __attribute__((init_priority(101)));

// The utility library's messages reach the module logger at its levels, as
// they came: no level test, no formatting.
void ExpectBridgedLevels()
{
    LogCapture::Instance().Clear();
    for (const DWORD level : {0u, 1u, 2u, 7u})
        Plinth::CLogger::Log(level, L"Plinth.cpp", L"Fn", 5, L"%s", L"50%");
    std::wstring seen;
    for (const ZelTest::LogRecord& record : LogCapture::Instance().Take())
        seen += std::to_wstring(record.level) + L" " + record.function + L" " + record.text + L"\n";
    EXPECT_EQ(seen, L"1 Fn 50%\n1 Fn 50%\n4 Fn 50%\n2 Fn 50%\n");
    EXPECT_NE(ETWLogging::internal::ExistingModuleLogger()->bridgeHandler, nullptr);
}

ETWLogging::ModuleLogger* Holder()
{
    const ETWLogging::LoggerSettings& s = GetLoggerSettings();
    return GetModuleLogger(s.appName, s.group, s.module, s.host, s.mode);
}

TEST(NoLoggerFrontEnd, IsSilentAndTriesAgainAtMostOnceASecond)
{
    EXPECT_EQ(Holder(), nullptr);
    EXPECT_FALSE(IsLogLevelEnabled(4));
    EXPECT_EQ(WriteLog(4, L"file", L"function", 1, L"%s\r\n", L"text"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    for (int i = 0; i < 1000; ++i)
        ZEL_LOG(ETWLogging::LevelError, L"file", L"function", L"%d\r\n", i);
    // One attempt, or two when the calls straddled the second; each tries both creations.
    const int attempts = g_failing.extendedCalls;
    EXPECT_GE(attempts, 1);
    EXPECT_LE(attempts, 2);
    EXPECT_EQ(g_failing.plainCalls, attempts);
    ::Sleep(1100);
    EXPECT_FALSE(IsLogLevelEnabled(4));
    EXPECT_EQ(g_failing.extendedCalls, attempts + 1);
    EXPECT_EQ(ETWLogging::internal::ExistingModuleLogger(), nullptr);
}

TEST(ExtendedLoggerFrontEnd, FirstCallBeforeSettingsKeepsDefaultIdentityForLife)
{
    // Nothing has logged yet in this process: the settings are still the defaults.
    ETWLogging::ModuleLogger* holder = Holder();
    ASSERT_NE(holder, nullptr);
    auto* logger = dynamic_cast<ZelTest::CapturingLoggerEx*>(holder->logger);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(logger->init.group, L"_no_group");
    EXPECT_EQ(logger->init.host, L"_no_host");
    EXPECT_TRUE(logger->init.appName.empty());

    GetLoggerSettings().group = L"Zellumoap";
    GetLoggerSettings().host = nullptr;
    EXPECT_EQ(GetModuleLogger(nullptr, L"other", nullptr, nullptr, 1), holder);
    EXPECT_EQ(holder->logger, logger);
    EXPECT_EQ(g_builder->calls, 1);
}

// WriteLog applies the logger's level test on its own too, for callers that
// skip it, and drops what the logger cannot register.
TEST(ExtendedLoggerFrontEnd, CutsAt2079WhatPassesTheLevelAndRegisters)
{
    auto* logger = dynamic_cast<ZelTest::CapturingLoggerEx*>(Holder()->logger);
    ASSERT_NE(logger, nullptr);
    LogCapture::Instance().Clear();
    const std::wstring text(3000, L'x');
    EXPECT_EQ(WriteLog(1, L"ApplImpl", L"F", 12, L"%s", text.c_str()), 0u);
    logger->SetSeverity(3);
    EXPECT_FALSE(IsLogLevelEnabled(2));
    EXPECT_TRUE(IsLogLevelEnabled(3));
    EXPECT_EQ(WriteLog(1, L"f", L"g", 1, L"below the level"), 0u);
    logger->registerResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(WriteLog(4, L"f", L"g", 1, L"not registered"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    logger->registerResult = 0;
    logger->SetSeverity(1);
    const auto records = LogCapture::Instance().Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, text.substr(0, 2079));
    EXPECT_EQ(records[0].level, 1u);
    EXPECT_EQ(records[0].file, L"ApplImpl");
    EXPECT_EQ(records[0].line, 12);
}

TEST(PlainLoggerFrontEnd, PassesTextUpTo4160WholeAndCutsLongerTo2080)
{
    for (const auto& [length, arrives] : {std::pair<size_t, size_t>{0, 0}, {4160, 4160}, {4161, 2080}}) {
        LogCapture::Instance().Clear();
        EXPECT_EQ(WriteLog(3, L"file", L"function", 7, L"%s", std::wstring(length, L'x').c_str()), 0u);
        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), 1u) << length;
        EXPECT_EQ(records[0].text, std::wstring(arrives, L'x')) << length;
        EXPECT_EQ(records[0].level, 3u);
    }
}

TEST(PlainLoggerFrontEnd, BridgesUtilityMessages)
{
    ExpectBridgedLevels();
}

TEST(ExtendedLoggerFrontEnd, BridgesUtilityMessages)
{
    ExpectBridgedLevels();
}

TEST(RaceFrontEnd, ConcurrentFirstCallsAllGetTheOneHolder)
{
    std::vector<ETWLogging::ModuleLogger*> seen(8, nullptr);
    std::atomic<bool> start{false};
    std::vector<std::thread> threads;
    for (ETWLogging::ModuleLogger*& slot : seen) {
        threads.emplace_back([&] {
            while (!start)
                std::this_thread::yield();
            IsLogLevelEnabled(1);
            slot = Holder();
        });
    }
    start = true;
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_NE(seen[0], nullptr);
    ETWLogging::CLoggingIf* logger = seen[0]->logger;
    for (ETWLogging::ModuleLogger* holder : seen) {
        EXPECT_EQ(holder, seen[0]);
        EXPECT_EQ(holder->logger, logger);
    }
    // Racers may each have made one; the losers' are gone and nothing is made again.
    const LONG made = g_builder->calls;
    EXPECT_TRUE(IsLogLevelEnabled(1));
    EXPECT_EQ(g_builder->calls, made);
}

// One log call on a thread of its own, its outcome in a slot that outlives the
// test, since a call that never comes back still writes there: 1 logged, 0
// not enabled, 2 threw. False when the call has not come back within 5 s.
bool LogOnThread(LONG& outcome)
{
    const auto call = [](void* slot) -> DWORD {
        try {
            const bool logged = IsLogLevelEnabled(1) && WriteLog(1, L"f", L"g", 1, L"%s", L"after the throw") == 0;
            ::InterlockedExchange(static_cast<LONG*>(slot), logged ? 1 : 0);
        } catch (...) {
            ::InterlockedExchange(static_cast<LONG*>(slot), 2);
        }
        return 0;
    };
    const Plinth::UniqueHandle thread(::CreateThread(nullptr, 0, call, &outcome, 0, nullptr));
    return thread && ::WaitForSingleObject(thread.get(), 5000) == WAIT_OBJECT_0;
}

TEST(ThrowingFactoryFrontEnd, NextCallOnAnotherThreadCreatesTheLoggerAndLogs)
{
    LogCapture::Instance().Clear();
    static LONG first = -1;
    static LONG second = -1;
    ASSERT_TRUE(LogOnThread(first));
    EXPECT_EQ(first, 0) << "the throwing creation counts as failed";
    ASSERT_TRUE(LogOnThread(second)) << "the call after the throw is blocked";
    EXPECT_EQ(second, 1);
    EXPECT_EQ(g_throwing.attempts, 2);
    const auto records = LogCapture::Instance().Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, L"after the throw");
}

// The first line, as the module's entry point logs it, makes the provider but
// does not register it under the loader lock; the next line, quiet as it is, does.
TEST(SessionFrontEnd, SessionSwitchesOnAModuleThatLoggedOnlyQuietLines)
{
    {
        const ETWLogging::LoaderLockScope underLoaderLock;
        ZEL_LOG(ETWLogging::LevelNormal, L"ModuleLoggerTest", L"Quiet", L"%s", L"loaded");
    }
    auto* provider = dynamic_cast<ETWLogging::CETWLogging*>(ETWLogging::internal::ExistingModuleLogger()->logger);
    ASSERT_NE(provider, nullptr);
    const GUID& control = provider->Properties().GetProviderGuid();
    EXPECT_FALSE(g_sessions->IsRegistered(control));
    ZEL_LOG(ETWLogging::LevelNormal, L"ModuleLoggerTest", L"Quiet", L"%s", L"below the threshold");
    EXPECT_TRUE(g_sessions->IsRegistered(control));

    const TRACEHANDLE session = g_sessions->StartSession();
    ASSERT_EQ(g_sessions->EnableProvider(session, control, 1, 0), static_cast<ULONG>(ERROR_SUCCESS));
    ZEL_LOG(ETWLogging::LevelNormal, L"ModuleLoggerTest", L"Quiet", L"%s", L"now kept");
    const std::vector<EtwSim::CapturedEvent> events = g_sessions->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].session, session);
    EtwSim::DecodedEvent decoded;
    ASSERT_TRUE(EtwSim::DecodeEvent(events[0], decoded));
    ASSERT_NE(decoded.Find(12), nullptr);
    EXPECT_EQ(decoded.Find(12)->Text(), L"now kept");
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string scenario = "none";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--logger=", 9) == 0)
            scenario = argv[i] + 9;
    }
    if (scenario == "none")
        ETWLogging::internal::SetLogBuilder(&g_failing);
    else if (scenario == "plain" || scenario == "extended" || scenario == "race")
        g_builder = &ZelTest::InstallCapturingLogger(scenario != "plain");
    else if (scenario == "throwing")
        ETWLogging::internal::SetLogBuilder(&g_throwing);
    if (scenario != "session")
        return RUN_ALL_TESTS();
    // The default factory's choice, the ETW provider, with no registry overrides.
    ZelTest::ScopedRegistryValue mechanism(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                           ETWLogging::kLoggingMechanism);
    mechanism.Delete();
    const ZelTest::ScopedRegistryTree overrides(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varkon\\Logging\\Provider");
    EtwSim::TraceSessionSimulator sessions;
    g_sessions = &sessions;
    return RUN_ALL_TESTS();
}
