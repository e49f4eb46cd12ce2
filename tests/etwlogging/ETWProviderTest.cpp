// The ETW trace provider against simulated sessions: its configuration, the
// listener's registry overrides, the session requests and every event's bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "etwlogging/ETWLogging.h"
#include "peers/etwsessions/EtwEventDecoder.h"
#include "peers/etwsessions/TraceSessionSimulator.h"
#include "plinth/ObfuscatedRegKey.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"

using ETWLogging::CETWLogging;
using ETWLogging::internal::ETWAppProperties;
using EtwSim::DecodedEvent;

namespace {

constexpr wchar_t kAppKey[] = L"SOFTWARE\\Varkon.logging\\RUX";
constexpr wchar_t kProviderKey[] = L"SOFTWARE\\Varkon\\Logging\\Provider";
const GUID kTestProvider = {0x11223344, 0x5566, 0x7788, {0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01}};

void Seal(const std::wstring& path, const wchar_t* name, const wchar_t* text)
{
    Plinth::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(name, text), ERROR_SUCCESS);
}

void SetDword(const std::wstring& path, const wchar_t* name, DWORD value)
{
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, REG_DWORD, &value, sizeof(value)),
              ERROR_SUCCESS);
}

TEST(ETWAppPropertiesTest, OnlyAnAbsentApplicationKeyGivesTheDefaults)
{
    ZelTest::ScopedRegistryTree app(HKEY_LOCAL_MACHINE, kAppKey);
    const std::wstring root = ZelTest::ProgramDataFolder();
    ETWAppProperties defaults;
    ASSERT_TRUE(defaults.Init(L"rux"));
    EXPECT_EQ(defaults.GetAppName(), L"rux");
    EXPECT_EQ(defaults.GetLogPath(), root + L"\\Varkon\\VKLOGS");
    EXPECT_EQ(defaults.GetEtlFile(), root + L"\\Varkon\\VKLOGS\\ETW\\vklogs.etl");
    // The record fills itself once, even for another name; only the default application has defaults.
    EXPECT_FALSE(defaults.Init(L"Other"));
    EXPECT_EQ(defaults.GetAppName(), L"rux");
    EXPECT_FALSE(ETWAppProperties().Init(L"NoSuchApplication"));

    // A plain "Log Path" reads as missing; a sealed "ETL Path" is appended as it stands.
    const std::wstring key = kAppKey;
    Seal(key + L"\\Controller", L"Controller Path", L"C:\\Tools\\ctl.exe");
    Seal(key + L"\\Controller", L"Owner Mutex Name", L"Global\\ZelTestOwner");
    Seal(key + L"\\Session", L"Session ID Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF01}");
    Seal(key + L"\\Session", L"Session Name", L"ZelTestSession");
    Seal(key + L"\\Provider", L"Provider Guid", L"{11223344-5566-7788-99AA-BBCCDDEEFF01}");
    ASSERT_TRUE(app.SetString(L"Log Path", L"\\PlainLogs"));
    Seal(key, L"ETL Path", L"\\Traces");
    ETWAppProperties properties;
    ASSERT_TRUE(properties.Init(nullptr));
    EXPECT_EQ(properties.GetAppName(), L"RUX");
    EXPECT_EQ(properties.GetLogPath(), root + L"\\Varkon\\VKLOGS");
    EXPECT_EQ(properties.GetEtlFile(), root + L"\\Traces\\vklogs.etl");
    EXPECT_EQ(properties.GetProviderKeyPath(), key + L"\\Provider");
    EXPECT_EQ(properties.GetProviderGuid(), kTestProvider);
    EXPECT_EQ(properties.GetSessionName(), L"ZelTestSession");
    EXPECT_EQ(properties.GetOwnerMutexName(), L"Global\\ZelTestOwner");
    EXPECT_EQ(properties.GetControllerPath(), L"C:\\Tools\\ctl.exe");

    // A key without its session part fails even for the default application.
    const ZelTest::ScopedRegistryTree noSession(HKEY_LOCAL_MACHINE, key + L"\\Session");
    EXPECT_FALSE(ETWAppProperties().Init(nullptr));
}

// A provider bound to simulated sessions, with the registry overrides cleared.
class ProviderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_logger.InitEx(nullptr, L"Zellumoap", nullptr, nullptr, nullptr), ERROR_SUCCESS);
    }

    void EnableSession(UCHAR level)
    {
        ASSERT_EQ(m_logger.Register(), ERROR_SUCCESS);
        m_session = m_sim.StartSession();
        ASSERT_EQ(m_sim.EnableProvider(m_session, Provider(), level, 0x10), ERROR_SUCCESS);
    }

    const GUID& Provider() const { return m_logger.Properties().GetProviderGuid(); }

    // The events captured since the last call, decoded.
    std::vector<DecodedEvent> TakeEvents()
    {
        std::vector<DecodedEvent> decoded;
        for (const EtwSim::CapturedEvent& event : m_sim.Events()) {
            DecodedEvent one;
            EXPECT_TRUE(EtwSim::DecodeEvent(event, one));
            EXPECT_EQ(event.session, m_session);
            decoded.push_back(one);
        }
        m_sim.ClearEvents();
        return decoded;
    }

    ZelTest::ScopedRegistryTree m_overrides{HKEY_LOCAL_MACHINE, kProviderKey};
    EtwSim::TraceSessionSimulator m_sim;
    CETWLogging m_logger;
    TRACEHANDLE m_session = 0;
};

TEST_F(ProviderTest, RegistersOnceEvenWhenRegistrationFails)
{
    m_sim.FailNextRegistration(ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_logger.Register(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_logger.Register(), ERROR_SUCCESS);
    EXPECT_EQ(m_sim.RegisterCalls(), 1u);
    EXPECT_FALSE(m_sim.IsRegistered(Provider()));
    EXPECT_EQ(m_logger.InitEx(nullptr, L"Zellumoap", nullptr, nullptr, nullptr), ETWLogging::kErrorAlreadyInitialised);
    m_logger.LogEx(3, L"f", L"g", 1, L"lost");
    EXPECT_EQ(m_sim.RefusedEvents(), 1u);
}

TEST_F(ProviderTest, EventCarriesHeaderAndPayloadExactly)
{
    EnableSession(4);
    m_logger.LogEx(4, L"ApplImpl.cpp", L"GetAppID", 321, L"Hi");
    // Level 6 goes out as class level 3; an empty message not at all.
    m_logger.LogEx(6, L"f", L"g", 1, L"sent as class level 3");
    m_logger.LogEx(5, L"f", L"g", 1, L"");
    const std::vector<DecodedEvent> events = TakeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].classLevel, 3);
    const DecodedEvent& e = events[0];
    // Size, type and markers, class type, level and version, thread, process,
    // time stamp, client context, flags and MOF type.
    EXPECT_EQ((std::vector<ULONGLONG>{e.size, e.typeAndMarkers, e.classType, e.classLevel, e.classVersion, e.threadId,
                                      e.processId, e.timeStamp, e.clientContext, e.flags, e.mofType}),
              (std::vector<ULONGLONG>{64, 0, 1, 4, 1, 0, 0, 0, 0, 0x00120000, 0}));
    EXPECT_EQ(e.guid, ETWLogging::kEventClassGuid);

    // Each element as tag, type and value. The logging module is this program,
    // which carries a version resource of its own.
    std::wstring elements;
    size_t bytes = 0;
    for (const EtwSim::PayloadElement& element : e.elements) {
        elements += std::to_wstring(element.tag) + L":" + std::to_wstring(element.type) + L":" +
                    (element.type == 4 ? element.Text() : std::to_wstring(element.Number())) + L" ";
        bytes += 10 + element.data.size();
    }
    EXPECT_EQ(elements, L"4:2:" + std::to_wstring(::GetCurrentProcessId()) + L" 5:2:" +
                            std::to_wstring(::GetCurrentThreadId()) +
                            L" 13:4:etw_provider_tests.exe 6:4:ApplImpl.cpp 7:5:321 8:4:GetAppID "
                            L"9:4:etw_provider_tests.exe 10:4:4.3.2.1 11:4:Zellumoap 12:4:Hi ");
    EXPECT_EQ(e.mofLength, bytes);
}

TEST_F(ProviderTest, LongMessagesAndEmptyFields)
{
    EnableSession(1);
    const std::wstring exact(4160, L'e');
    m_logger.LogEx(1, nullptr, L"", 9, exact.c_str());
    m_logger.LogEx(1, L"", nullptr, 10, (exact + L"x").c_str());
    // An element's 16-bit length holds at most 32767 characters.
    const std::wstring longFile(40000, L'p');
    m_logger.LogEx(1, longFile.c_str(), L"g", 11, L"m");
    const std::vector<DecodedEvent> events = TakeEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Find(12)->Text(), exact);
    EXPECT_EQ(events[1].Find(12)->Text(), exact.substr(0, 2080));
    EXPECT_EQ(events[2].Find(6)->Text(), longFile.substr(0, 32767));
    EXPECT_EQ(events[2].Find(12)->Text(), L"m");
    EXPECT_TRUE(events[0].Find(6)->data.empty() && events[0].Find(8)->data.empty());
    EXPECT_TRUE(events[1].Find(6)->data.empty() && events[1].Find(8)->data.empty());
    EXPECT_EQ(CETWLogging().InitEx(nullptr, L"", nullptr, nullptr, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ProviderTest, FollowsOnlyTheHeldSession)
{
    EnableSession(4);
    EXPECT_EQ(m_sim.SendRequest(Provider(), 99, m_session), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_sim.SendRequest(Provider(), WMI_ENABLE_EVENTS, 0xBAD), static_cast<ULONG>(ERROR_INVALID_HANDLE));

    // A second session's enable request changes neither the session nor its level.
    const TRACEHANDLE other = m_sim.StartSession();
    ASSERT_EQ(m_sim.EnableProvider(other, Provider(), 1, 0), ERROR_SUCCESS);
    EXPECT_TRUE(m_logger.IsSameSession(m_session));
    m_logger.LogEx(1, L"f", L"g", 1, L"below the held session's level");
    m_logger.LogEx(4, L"f", L"g", 1, L"to the held session");
    EXPECT_EQ(TakeEvents().size(), 1u);

    EXPECT_EQ(m_sim.DisableProvider(m_session, Provider()), ERROR_SUCCESS);
    EXPECT_FALSE(m_logger.IsEnabled());
    EXPECT_TRUE(m_logger.IsSameSession(0));

    // The registry can keep the provider on after its session left; its events
    // then name no session and are lost.
    ASSERT_EQ(m_sim.EnableProvider(m_session, Provider(), 4, 0), ERROR_SUCCESS);
    EXPECT_TRUE(m_logger.IsSameSession(m_session));
    SetDword(kProviderKey, L"Enable", 1);
    EXPECT_EQ(m_sim.DisableProvider(m_session, Provider()), ERROR_SUCCESS);
    EXPECT_TRUE(m_logger.IsEnabled());
    EXPECT_TRUE(m_logger.IsSameSession(0));
    m_sim.ClearEvents();
    m_logger.LogEx(3, L"f", L"g", 1, L"nobody listens");
    EXPECT_TRUE(m_sim.Events().empty());
    EXPECT_EQ(m_sim.RefusedEvents(), 1u);

    EXPECT_EQ(m_logger.Uninit(), ERROR_SUCCESS);
    EXPECT_FALSE(m_sim.IsRegistered(Provider()));
    EXPECT_EQ(m_sim.UnregisterCalls(), 1u);
}

// Four threads log levels 1 to 6 while requests that must change nothing keep
// arriving (another session's, the held session's at its own level, one naming
// no session): every event the level passes arrives, and none once it is off.
TEST_F(ProviderTest, LoggingThreadsRaceTheSessionRequests)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 600;
    EnableSession(4);
    const TRACEHANDLE other = m_sim.StartSession();
    const auto logWhile = [&](const std::function<void()>& request) {
        std::atomic<int> running{kThreads};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < kPerThread; ++i)
                    m_logger.LogEx(1 + i % 6, L"race.cpp", L"Race", i, L"racing message");
                --running;
            });
        while (running > 0)
            request();
        for (std::thread& thread : threads)
            thread.join();
        return TakeEvents().size();
    };
    // Severity 4 passes levels 3 to 6: four of every six.
    EXPECT_EQ(logWhile([&] {
                  m_sim.EnableProvider(other, Provider(), 1, 0);
                  m_sim.DisableProvider(other, Provider());
                  m_sim.EnableProvider(m_session, Provider(), 4, 0x10);
              }),
              size_t{kThreads * kPerThread / 6 * 4});
    ASSERT_EQ(m_sim.DisableProvider(m_session, Provider()), ERROR_SUCCESS);
    EXPECT_EQ(logWhile([&] {
                  m_sim.SendRequest(Provider(), WMI_DISABLE_EVENTS, other);
                  m_sim.SendRequest(Provider(), WMI_ENABLE_EVENTS, 0xBAD);
              }),
              0u);
}

TEST_F(ProviderTest, RegistryOverridesValueByValue)
{
    const std::wstring group = std::wstring(kProviderKey) + L"\\Zellumoap";
    const std::wstring module = group + L"\\etw_provider_tests";
    SetDword(kProviderKey, L"Enable", 0);
    SetDword(kProviderKey, L"Severity", 4);
    SetDword(group, L"Enable", 1);
    SetDword(module, L"Severity", 2);
    EnableSession(5);
    EXPECT_TRUE(m_logger.IsEnabled());
    EXPECT_EQ(m_logger.GetSeverity(), 2u);

    // A value that is no DWORD is passed over; out-of-range ones are clamped.
    ZelTest::ScopedRegistryValue severity(HKEY_LOCAL_MACHINE, module, L"Severity");
    severity.SetString(L"1");
    EXPECT_EQ(m_sim.EnableProvider(m_session, Provider(), 5, 0), ERROR_SUCCESS);
    EXPECT_EQ(m_logger.GetSeverity(), 4u);
    for (const DWORD value : {9u, 0u}) {
        severity.Set(REG_DWORD, &value, sizeof(value));
        EXPECT_EQ(m_sim.EnableProvider(m_session, Provider(), 5, 0), ERROR_SUCCESS);
        EXPECT_EQ(m_logger.GetSeverity(), value == 0 ? 1u : 6u);
    }

    // Short values read zero-extended: neither takes bytes of the other.
    ZelTest::ScopedRegistryValue enable(HKEY_LOCAL_MACHINE, module, L"Enable");
    const BYTE highByteSet[] = {0x00, 0x00, 0x00, 0x01};
    const BYTE three[] = {0x03};
    const BYTE zero[] = {0x00, 0x00};
    enable.Set(REG_DWORD, highByteSet, sizeof(highByteSet));
    severity.Set(REG_DWORD, three, sizeof(three));
    EXPECT_EQ(m_sim.EnableProvider(m_session, Provider(), 5, 0), ERROR_SUCCESS);
    EXPECT_TRUE(m_logger.IsEnabled());
    EXPECT_EQ(m_logger.GetSeverity(), 3u);
    enable.Set(REG_DWORD, zero, sizeof(zero));
    EXPECT_EQ(m_sim.EnableProvider(m_session, Provider(), 5, 0), ERROR_SUCCESS);
    EXPECT_FALSE(m_logger.IsEnabled());
    EXPECT_EQ(m_logger.GetSeverity(), 3u);
}

} // namespace
