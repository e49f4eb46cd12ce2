// The logging front end, one process per kind of module logger: the holder and
// its logger are made once per process, so each scenario runs in a process of
// its own (--logger=none|plain|extended|race).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "etwlogging/LogBuilderIf.h"
#include "etwlogging/ModuleLogger.h"
#include "plinth/Logging/internal_logging.h"
#include "tests/support/CapturingLogger.h"

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

// The utility library's messages reach the module logger at its levels, as
// they came: no level test, no formatting.
void ExpectBridgedLevels()
{
    LogCapture::Instance().Clear();
    const DWORD plinthLevels[] = {0, 1, 2, 7};
    for (DWORD level : plinthLevels)
        Plinth::CLogger::Log(level, L"Plinth.cpp", L"Fn", 5, L"%s", L"50%");
    const auto records = LogCapture::Instance().Take();
    ASSERT_EQ(records.size(), 4u);
    const DWORD expected[] = {1, 1, 4, 2};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].level, expected[i]);
        EXPECT_EQ(records[i].text, L"50%");
        EXPECT_EQ(records[i].function, L"Fn");
    }
    EXPECT_NE(ETWLogging::internal::ExistingModuleLogger()->bridgeHandler, nullptr);
}

ETWLogging::ModuleLogger* Holder()
{
    const ETWLogging::LoggerSettings& s = GetLoggerSettings();
    return GetModuleLogger(s.appName, s.group, s.module, s.host, s.mode);
}

std::wstring LongText(size_t length)
{
    std::wstring text;
    for (size_t i = 0; i < length; ++i)
        text.push_back(static_cast<wchar_t>(L'a' + i % 26));
    return text;
}

TEST(NoLoggerFrontEnd, IsSilentAndReportsNoLogger)
{
    ETWLogging::ModuleLogger* holder = Holder();
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(holder->logger, nullptr);
    for (DWORD level = 1; level <= 6; ++level)
        EXPECT_FALSE(IsLogLevelEnabled(level));
    EXPECT_EQ(WriteLog(4, L"file", L"function", 1, L"%s\r\n", L"text"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    // Both creations were tried once; with no logger, no bridge handler was registered.
    EXPECT_EQ(g_failing.extendedCalls, 1);
    EXPECT_EQ(g_failing.plainCalls, 1);
    EXPECT_EQ(holder->bridgeHandler, nullptr);
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

TEST(ExtendedLoggerFrontEnd, CutsMessagesAt2079Characters)
{
    LogCapture::Instance().Clear();
    const std::wstring text = LongText(3000);
    ASSERT_TRUE(IsLogLevelEnabled(1));
    EXPECT_EQ(WriteLog(1, L"ApplImpl", L"F", 12, L"%s", text.c_str()), 0u);
    const auto records = LogCapture::Instance().Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, text.substr(0, 2079));
    EXPECT_EQ(records[0].level, 1u);
    EXPECT_EQ(records[0].file, L"ApplImpl");
    EXPECT_EQ(records[0].line, 12);
}

TEST(ExtendedLoggerFrontEnd, AppliesTheLoggersLevelTest)
{
    ETWLogging::CLoggingIf* logger = Holder()->logger;
    logger->SetSeverity(3);
    LogCapture::Instance().Clear();
    EXPECT_FALSE(IsLogLevelEnabled(2));
    EXPECT_TRUE(IsLogLevelEnabled(3));
    // WriteLog filters on its own too, for callers that skip the test.
    EXPECT_EQ(WriteLog(1, L"f", L"g", 1, L"dropped"), 0u);
    EXPECT_EQ(WriteLog(4, L"f", L"g", 1, L"kept"), 0u);
    logger->SetSeverity(1);
    const auto records = LogCapture::Instance().Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, L"kept");
}

TEST(ExtendedLoggerFrontEnd, RegisterFailureDropsTheMessage)
{
    auto* logger = dynamic_cast<ZelTest::CapturingLoggerEx*>(Holder()->logger);
    ASSERT_NE(logger, nullptr);
    LogCapture::Instance().Clear();
    logger->registerResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(WriteLog(4, L"f", L"g", 1, L"lost"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    logger->registerResult = 0;
    EXPECT_EQ(WriteLog(4, L"f", L"g", 1, L"kept"), 0u);
    const auto records = LogCapture::Instance().Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, L"kept");
}

TEST(PlainLoggerFrontEnd, PassesTextUpTo4160WholeAndCutsLongerTo2080)
{
    struct Case
    {
        size_t length;
        size_t arrives;
    } cases[] = {{0, 0}, {4160, 4160}, {4161, 2080}};
    for (const Case& c : cases) {
        LogCapture::Instance().Clear();
        const std::wstring text = LongText(c.length);
        EXPECT_EQ(WriteLog(3, L"file", L"function", 7, L"%s", text.c_str()), 0u);
        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), 1u) << c.length;
        EXPECT_EQ(records[0].text, text.substr(0, c.arrives)) << c.length;
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

TEST(PlainLoggerFrontEnd, PerLevelOperationsCutAt4159)
{
    ZelTest::CapturingLogger logger;
    const std::wstring text = LongText(5000);
    struct Case
    {
        DWORD (ETWLogging::CLoggingIf::*log)(const wchar_t*, const wchar_t*, int, const wchar_t*, ...);
        DWORD level;
    } cases[] = {
        {&ETWLogging::CLoggingIf::LogNormal, 1},      {&ETWLogging::CLoggingIf::LogError, 4},
        {&ETWLogging::CLoggingIf::LogWarning, 2},     {&ETWLogging::CLoggingIf::LogCritical, 5},
        {&ETWLogging::CLoggingIf::LogInformation, 3},
    };
    for (const Case& c : cases) {
        LogCapture::Instance().Clear();
        (logger.*c.log)(L"file", L"function", 9, L"%s", text.c_str());
        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, c.level);
        EXPECT_EQ(records[0].text, text.substr(0, 4159));
    }
}

TEST(RaceFrontEnd, ConcurrentFirstCallsMakeOneHolderAndOneLogger)
{
    constexpr int kThreads = 8;
    std::vector<ETWLogging::ModuleLogger*> seen(kThreads, nullptr);
    HANDLE start = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ::WaitForSingleObject(start, INFINITE);
            IsLogLevelEnabled(1);
            seen[i] = Holder();
        });
    }
    ::SetEvent(start);
    for (std::thread& thread : threads)
        thread.join();
    ::CloseHandle(start);
    ASSERT_NE(seen[0], nullptr);
    for (ETWLogging::ModuleLogger* holder : seen)
        EXPECT_EQ(holder, seen[0]);
    EXPECT_EQ(g_builder->calls, 1);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string scenario = "none";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--logger=", 0) == 0)
            scenario = arg.substr(9);
    }
    if (scenario == "none")
        ETWLogging::internal::SetLogBuilder(&g_failing);
    else if (scenario == "plain")
        g_builder = &ZelTest::InstallCapturingLogger(false);
    else if (scenario == "extended" || scenario == "race")
        g_builder = &ZelTest::InstallCapturingLogger(true);
    const char* suite = scenario == "plain"      ? "PlainLoggerFrontEnd.*"
                        : scenario == "extended" ? "ExtendedLoggerFrontEnd.*"
                        : scenario == "race"     ? "RaceFrontEnd.*"
                                                 : "NoLoggerFrontEnd.*";
    ::testing::GTEST_FLAG(filter) = suite;
    return RUN_ALL_TESTS();
}
