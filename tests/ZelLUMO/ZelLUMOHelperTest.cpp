// The configuration helper's states: connect once, keep a failed creation,
// and recover once from an RPC failure.
#include <gtest/gtest.h>

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
    EXPECT_EQ(m_service.creates, 1);
    EXPECT_EQ(m_service.queries, 1);
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

TEST(ZelHelperCases, CreationFailuresAreRepeatedOnlyForEFailAndThenKept)
{
    LogCapture::Instance().Clear();
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
         {L"Failed to create ZEL Config instance [0x80004005]\r\n",
          L"Failed to create ZEL Config object after restarting the service [0x80004005]\r\n"}},
        {{E_FAIL, E_OUTOFMEMORY},
         E_OUTOFMEMORY,
         2,
         {L"Failed to create ZEL Config instance [0x80004005]\r\n",
          L"Failed to create ZEL Config object after restarting the service [0x8007000E]\r\n"}},
        {{kRpcUnavailable}, kRpcUnavailable, 1, {L"Failed to create ZEL Config instance [0x800706BA]\r\n"}},
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
        EXPECT_EQ(service.queries, 0);

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

TEST_F(ZelHelperTest, EFailThenSuccessConnects)
{
    m_service.createResults = {E_FAIL};
    EXPECT_EQ(Get(), S_OK);
    EXPECT_EQ(m_service.creates, 2);
    EXPECT_EQ(LogCapture::Instance().Take().size(), 1u);
    EXPECT_EQ(Get(), S_OK);
    EXPECT_EQ(m_service.creates, 2);
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

TEST_F(ZelHelperTest, SecondRpcFailureInOneCallIsReturned)
{
    m_service.queryResults = {kRpcUnavailable, kRpcUnavailable};
    EXPECT_EQ(Get(), kRpcUnavailable);
    EXPECT_EQ(m_service.creates, 2);
    EXPECT_EQ(m_service.queries, 2);
    // The new connection stays; the next call uses it.
    EXPECT_EQ(Get(), S_OK);
    EXPECT_EQ(m_service.creates, 2);
}

TEST(ZelHelperCases, OnlyTheRpcRangeIsRecovered)
{
    LogCapture::Instance().Clear();
    const struct
    {
        HRESULT query;
        bool recovered;
    } cases[] = {
        {HRESULT_FROM_WIN32(1699), false},
        {static_cast<HRESULT>(0x800706A4), true},
        {static_cast<HRESULT>(0x8007078B), true},
        {HRESULT_FROM_WIN32(1932), false},
    };
    for (const auto& c : cases) {
        ScriptedService service;
        service.queryResults = {c.query};
        ZelTest::ScopedClassObject registration(CLSID_ZelConfig, &service);
        auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        ComPtr<IZelConfig> config;
        EXPECT_EQ(helper->GetConfig(config.put()), c.recovered ? S_OK : c.query) << std::hex << c.query;
        EXPECT_EQ(service.creates, c.recovered ? 2 : 1) << std::hex << c.query;
        EXPECT_EQ(LogCapture::Instance().Take().size(), c.recovered ? 1u : 0u) << std::hex << c.query;
    }
}

} // namespace
