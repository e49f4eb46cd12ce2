// The configuration helper's states: connect once, keep a failed creation,
// and recover once from an RPC failure.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/ZelLUMO/ScriptedService.h"
#include "ZelLUMO/ZelLUMOHelper.h"

using Plinth::ComPtr;
using ZelTest::LogCapture;
using ZelTest::ScriptedService;

namespace {

const HRESULT kRpcUnavailable = HRESULT_FROM_WIN32(1722);

class ZelHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LogCapture::Instance().Clear();
        ASSERT_EQ(m_registration.Result(), S_OK);
        m_helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        ASSERT_TRUE(m_helper);
    }

    HRESULT Get()
    {
        ComPtr<IZelConfig> config;
        const HRESULT hr = m_helper->GetConfig(config.put());
        EXPECT_EQ(SUCCEEDED(hr), static_cast<bool>(config)) << std::hex << hr;
        return hr;
    }

    ScriptedService m_service;
    ZelTest::ScopedClassObject m_registration{CLSID_ZelConfig, &m_service};
    std::unique_ptr<CZelHelper> m_helper;
};

TEST_F(ZelHelperTest, FirstCallCreatesAndLaterCallsOnlyQuery)
{
    EXPECT_EQ(Get(), S_OK);
    EXPECT_EQ(Get(), S_OK);
    EXPECT_EQ(m_service.creates, 1);
    EXPECT_EQ(m_service.queries, 2);
    // The helper keeps its one reference; each caller's was released.
    ASSERT_EQ(m_service.connections.size(), 1u);
    EXPECT_EQ(m_service.connections[0]->live, 1);
    EXPECT_TRUE(LogCapture::Instance().Take().empty());

    m_helper.reset();
    EXPECT_EQ(m_service.connections[0]->live, 0);
}

// A slow creation keeps the other first callers waiting on the lock.
TEST_F(ZelHelperTest, ConcurrentFirstCallsShareOneCreation)
{
    m_service.createMs = 300;
    std::atomic<int> connected{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&] {
            Plinth::ComInitScope com;
            ComPtr<IZelConfig> config;
            if (m_helper->GetConfig(config.put()) == S_OK && config)
                ++connected;
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(connected.load(), 6);
    EXPECT_EQ(m_service.creates, 1);
    ASSERT_EQ(m_service.connections.size(), 1u);
    EXPECT_EQ(m_service.connections[0]->live, 1);
}

TEST(ZelHelperCases, CreationIsRepeatedOnlyForEFailAndItsFailureKept)
{
    LogCapture::Instance().Clear();
    const std::wstring first = L"Failed to create ZEL Config instance [0x80004005]\r\n";
    const struct
    {
        std::vector<HRESULT> results;
        HRESULT expected;
        int creates;
        std::vector<std::wstring> logged;
    } cases[] = {
        {{E_FAIL, E_FAIL},
         E_FAIL,
         2,
         {first, L"Failed to create ZEL Config object after restarting the service [0x80004005]\r\n"}},
        {{E_FAIL, E_OUTOFMEMORY},
         E_OUTOFMEMORY,
         2,
         {first, L"Failed to create ZEL Config object after restarting the service [0x8007000E]\r\n"}},
        {{kRpcUnavailable}, kRpcUnavailable, 1, {L"Failed to create ZEL Config instance [0x800706BA]\r\n"}},
        {{E_FAIL}, S_OK, 2, {first}},
    };
    for (const auto& c : cases) {
        ScriptedService service;
        service.createResults = c.results;
        ZelTest::ScopedClassObject registration(CLSID_ZelConfig, &service);
        auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        ComPtr<IZelConfig> config;
        EXPECT_EQ(helper->GetConfig(config.put()), c.expected);
        EXPECT_EQ(helper->GetConfig(config.put()), c.expected);
        EXPECT_EQ(service.creates, c.creates);
        EXPECT_EQ(service.queries, SUCCEEDED(c.expected) ? 2 : 0);

        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), c.logged.size());
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].level, 4u);
            EXPECT_EQ(records[i].file, L"ZelLUMOHelper");
            EXPECT_EQ(records[i].function, L"CZelHelper::createConfig");
            EXPECT_EQ(records[i].text, c.logged[i]);
        }
    }
}

TEST_F(ZelHelperTest, RpcFailureReleasesAndReconnectsOnce)
{
    EXPECT_EQ(Get(), S_OK);
    m_service.queryResults = {S_OK, kRpcUnavailable};
    EXPECT_EQ(Get(), S_OK);
    EXPECT_EQ(m_service.creates, 2);
    EXPECT_EQ(m_service.queries, 3);
    ASSERT_EQ(m_service.connections.size(), 2u);
    EXPECT_EQ(m_service.connections[0]->live, 0);
    EXPECT_EQ(m_service.connections[1]->live, 1);

    const auto records = LogCapture::Instance().Take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 2u);
    EXPECT_EQ(records[0].function, L"CZelHelper::GetConfig");
    EXPECT_EQ(records[0].text, L"ZEL gave RPC error 0x800706BA\r\n");
}

// Only the RPC range is recovered, once per call; the connection made stays
// for the next call.
TEST(ZelHelperCases, OnlyTheRpcRangeIsRecovered)
{
    LogCapture::Instance().Clear();
    const struct
    {
        std::vector<HRESULT> queries;
        HRESULT expected;
        int creates;
    } cases[] = {
        {{HRESULT_FROM_WIN32(1699)}, HRESULT_FROM_WIN32(1699), 1},
        {{static_cast<HRESULT>(0x800706A4)}, S_OK, 2},
        {{static_cast<HRESULT>(0x8007078B)}, S_OK, 2},
        {{HRESULT_FROM_WIN32(1932)}, HRESULT_FROM_WIN32(1932), 1},
        {{kRpcUnavailable, kRpcUnavailable}, kRpcUnavailable, 2},
    };
    for (const auto& c : cases) {
        ScriptedService service;
        service.queryResults = c.queries;
        ZelTest::ScopedClassObject registration(CLSID_ZelConfig, &service);
        auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        ComPtr<IZelConfig> config;
        EXPECT_EQ(helper->GetConfig(config.put()), c.expected) << std::hex << c.queries[0];
        EXPECT_EQ(LogCapture::Instance().Take().size(), c.creates == 2 ? 1u : 0u) << std::hex << c.queries[0];
        EXPECT_EQ(helper->GetConfig(config.put()), S_OK) << std::hex << c.queries[0];
        EXPECT_EQ(service.creates, c.creates) << std::hex << c.queries[0];
    }
}

} // namespace
