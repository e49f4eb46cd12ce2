#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plinth/Logging/internal_logging.h"
#include "tests/support/DebugOutputListener.h"

using Plinth::CLogger;

namespace {

class RecordingHandler : public Plinth::ILoggingHandler
{
public:
    void HandleLogMessage(DWORD level, const wchar_t*, const wchar_t*, int, const wchar_t* message) override
    {
        messages.push_back({level, message});
    }
    // Level and text of each line.
    std::vector<std::pair<DWORD, std::wstring>> messages;
};

// Each test leaves no handler registered, so the next one starts from none.
class LoggerCoreTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        CLogger::UnregisterHandler(&first);
        CLogger::UnregisterHandler(&second);
    }
    RecordingHandler first;
    RecordingHandler second;
};

// With no handler, unregistering tells only the requester and lines go to the
// debugger; the default handler then gives way to a component's handler.
TEST_F(LoggerCoreTest, WithoutAHandlerLinesGoToTheDebugger)
{
    EXPECT_EQ(CLogger::UnregisterHandler(&first), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::UnregisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(first.messages.size(), 1u);
    ZelTest::DebugOutputListener listener;
    ASSERT_TRUE(listener.Listening());
    CLogger::Log(1, L"file", L"Function", 7, L"value %d [%s]", 5, L"wide");
    CLogger::Log(2, L"file", L"Function", 8, L"failed");
    CLogger::Log(3, L"file", L"Function", 9, L"odd level");
    CLogger::Log(0, L"file", L"Function", 10, L"never written");
    const std::vector<std::string> lines = listener.Stop();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "file(7): [INFO]: [Function]: value 5 [wide]\n");
    EXPECT_EQ(lines[1], "file(8): [ERROR]: [Function]: failed\n");
    EXPECT_EQ(lines[2], "file(9): [UNKNOWN]: [Function]: odd level\n");
    EXPECT_EQ(first.messages.size(), 1u);
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);
}

// A second handler and a null one are refused, and the first is told; a
// failed unregistration tells both; afterwards the first still gets the lines.
TEST_F(LoggerCoreTest, AComponentHandlerIsNeverReplaced)
{
    ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&second), static_cast<DWORD>(ERROR_INVALID_STATE));
    EXPECT_EQ(CLogger::RegisterHandler(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CLogger::UnregisterHandler(&second), static_cast<DWORD>(ERROR_INVALID_STATE));
    ASSERT_EQ(first.messages.size(), 3u);
    for (const auto& [level, text] : first.messages)
        EXPECT_EQ(level, 2u) << text;
    ASSERT_EQ(second.messages.size(), 1u);
    EXPECT_EQ(second.messages[0].second, first.messages[2].second);

    CLogger::Log(1, L"f", L"g", 1, L"still the first");
    EXPECT_EQ(first.messages.back().second, L"still the first");
    EXPECT_EQ(second.messages.size(), 1u);
}

} // namespace
