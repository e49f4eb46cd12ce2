// The configuration helper: connect once, keep a failed creation, recover once from RPC failures.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>

#include "plinth/Owners.h"
#include "tests/support/CapturingLogger.h"
#include "tests/ZelLUMO/ScriptedService.h"
#include "ZelLUMO/ZelLUMOHelper.h"

using Plinth::ComPtr;
using ZelTest::LogCapture;
using ZelTest::ScriptedService;

namespace {

const HRESULT kRpcUnavailable = HRESULT_FROM_WIN32(1722);

struct Line
{
    DWORD level;
    std::wstring function;
    std::wstring text;
};

// The helper's log lines, each with the code it names.
Line CreateFailed(const wchar_t* code)
{
    return {4, L"CZelHelper::createConfig", L"Failed to create ZEL Config instance [" + std::wstring(code) + L"]\r\n"};
}

Line RepeatFailed(const wchar_t* code)
{
    return {4, L"CZelHelper::createConfig",
            L"Failed to create ZEL Config object after restarting the service [" + std::wstring(code) + L"]\r\n"};
}

Line RpcError(const wchar_t* code)
{
    return {2, L"CZelHelper::GetConfig", L"ZEL gave RPC error " + std::wstring(code) + L"\r\n"};
}

// Two calls of a new helper: only E_FAIL is created again, and a failed creation
// answers every later call; only an RPC failure of the query makes a new
// connection, once per call. The helper holds its newest connection alone.
TEST(ZelHelperTest, FailuresAreKeptOrRecoveredOnceAsTheirCodeSays)
{
    // Creations' and queries' failures in turn, both calls' results, creations and queries made, lines logged.
    const std::tuple<std::vector<HRESULT>, std::vector<HRESULT>, HRESULT, HRESULT, LONG, size_t, std::vector<Line>>
        cases[] = {
            {{}, {}, S_OK, S_OK, 1, 2, {}},
            {{E_FAIL}, {}, S_OK, S_OK, 2, 2, {CreateFailed(L"0x80004005")}},
            {{E_FAIL, E_FAIL}, {}, E_FAIL, E_FAIL, 2, 0, {CreateFailed(L"0x80004005"), RepeatFailed(L"0x80004005")}},
            {{E_FAIL, E_OUTOFMEMORY},
             {},
             E_OUTOFMEMORY,
             E_OUTOFMEMORY,
             2,
             0,
             {CreateFailed(L"0x80004005"), RepeatFailed(L"0x8007000E")}},
            {{kRpcUnavailable}, {}, kRpcUnavailable, kRpcUnavailable, 1, 0, {CreateFailed(L"0x800706BA")}},
            {{}, {HRESULT_FROM_WIN32(1699)}, HRESULT_FROM_WIN32(1699), S_OK, 1, 2, {}},
            {{}, {static_cast<HRESULT>(0x800706A4)}, S_OK, S_OK, 2, 3, {RpcError(L"0x800706A4")}},
            {{}, {S_OK, static_cast<HRESULT>(0x8007078B)}, S_OK, S_OK, 2, 3, {RpcError(L"0x8007078B")}},
            {{}, {HRESULT_FROM_WIN32(1932)}, HRESULT_FROM_WIN32(1932), S_OK, 1, 2, {}},
            {{}, {kRpcUnavailable, kRpcUnavailable}, kRpcUnavailable, S_OK, 2, 3, {RpcError(L"0x800706BA")}},
        };
    LogCapture::Instance().Clear();
    int row = 0;
    for (const auto& [creations, queries, first, second, creates, queried, logged] : cases) {
        SCOPED_TRACE(row++);
        ScriptedService service;
        service.createResults = creations;
        service.queryResults = queries;
        ZelTest::ClassRegistration registration;
        ASSERT_EQ(ZelTest::Register(CLSID_ZelConfig, &service, registration), S_OK);
        auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
        ASSERT_TRUE(helper);
        ComPtr<IZelConfig> config;
        EXPECT_EQ(helper->GetConfig(config.put()), first);
        EXPECT_EQ(helper->GetConfig(config.put()), second);
        EXPECT_EQ(SUCCEEDED(second), static_cast<bool>(config));
        config.reset();
        EXPECT_EQ(service.creates, creates);
        EXPECT_EQ(service.queries, queried);
        for (size_t i = 0; i < service.connections.size(); ++i)
            EXPECT_EQ(service.connections[i]->live, i + 1 == service.connections.size() ? 1 : 0) << i;
        helper.reset();
        for (const auto& connection : service.connections)
            EXPECT_EQ(connection->live, 0);

        const auto records = LogCapture::Instance().Take();
        ASSERT_EQ(records.size(), logged.size());
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].level, logged[i].level);
            EXPECT_EQ(records[i].file, L"ZelLUMOHelper");
            EXPECT_EQ(records[i].function, logged[i].function);
            EXPECT_EQ(records[i].text, logged[i].text);
        }
    }
}

// Through a proxy, the harmless call that asks the server fails as a dead
// server's would: the helper lets that connection go, its own reference and
// the caller's, and makes a new one.
TEST(ZelHelperTest, AnUnreachableConnectionIsLetGoWhole)
{
    ScriptedService service;
    service.answersClientSecurity = true;
    service.otherPropertyHr = kRpcUnavailable;
    ZelTest::ClassRegistration registration;
    ASSERT_EQ(ZelTest::Register(CLSID_ZelConfig, &service, registration), S_OK);
    auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
    ASSERT_TRUE(helper);
    ComPtr<IZelConfig> config;
    EXPECT_EQ(helper->GetConfig(config.put()), S_OK);
    EXPECT_EQ(service.creates, 2);
    ASSERT_EQ(service.connections.size(), 2u);
    EXPECT_EQ(service.connections[0]->live, 0);
    config.reset();
    helper.reset();
    EXPECT_EQ(service.connections[1]->live, 0);
}

// A slow creation keeps the other first callers waiting on the lock.
TEST(ZelHelperTest, ConcurrentFirstCallsShareOneCreation)
{
    ScriptedService service;
    service.createMs = 300;
    ZelTest::ClassRegistration registration;
    ASSERT_EQ(ZelTest::Register(CLSID_ZelConfig, &service, registration), S_OK);
    auto helper = CZelHelper::CreateWith(&ZelTest::CreateUnverified);
    ASSERT_TRUE(helper);
    std::atomic<int> connected{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&] {
            Plinth::ComInitScope com;
            ComPtr<IZelConfig> config;
            if (helper->GetConfig(config.put()) == S_OK && config)
                ++connected;
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(connected.load(), 6);
    EXPECT_EQ(service.creates, 1);
    ASSERT_EQ(service.connections.size(), 1u);
    EXPECT_EQ(service.connections[0]->live, 1);
}

} // namespace
