#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Owners.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr wchar_t kTestPath[] = L"Software\\Varkon\\Tests\\VkSeal";
constexpr wchar_t kToolKey[] = L"HKCU\\Software\\Varkon\\Tests\\VkSeal";

using ToolRun = ZelTest::ChildRun;

// Runs vkseal.exe with the arguments and collects what it prints on both streams.
ToolRun RunTool(const std::wstring& arguments)
{
    return ZelTest::RunChild(L"vkseal.exe", arguments);
}

class VkSealTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(m_key.Create(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS); }

    ToolRun Reg(const std::wstring& arguments)
    {
        const size_t space = arguments.find(L' ');
        return RunTool(L"reg " + arguments.substr(0, space) + L" " + kToolKey + arguments.substr(space));
    }

    ZelTest::ScopedRegistryTree m_tree{HKEY_CURRENT_USER, kTestPath};
    Plinth::CObfuscatedRegKey m_key;
};

TEST_F(VkSealTest, ToolSealsWhatTheLibraryOpens)
{
    EXPECT_EQ(Reg(L"set \"Logging Mechanism\" dword 1").exitCode, 0u);
    EXPECT_EQ(Reg(L"set text string \"h\u00e9llo w\u00f6rld\"").exitCode, 0u);
    EXPECT_EQ(Reg(L"set list multi one \"two words\"").exitCode, 0u);
    EXPECT_EQ(Reg(L"set id guid {0C0DB9E6-AEDE-491B-8DE1-9DCB13552E8F}").exitCode, 0u);
    EXPECT_EQ(Reg(L"set blob binary 00ff10").exitCode, 0u);

    DWORD mechanism = 0;
    EXPECT_EQ(m_key.QueryDWORDValue(L"Logging Mechanism", mechanism), ERROR_SUCCESS);
    EXPECT_EQ(mechanism, 1u);
    std::wstring text;
    EXPECT_EQ(m_key.QueryStringValue(L"text", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"h\u00e9llo w\u00f6rld");
    wchar_t list[32];
    ULONG chars = 32;
    EXPECT_EQ(m_key.QueryMultiStringValue(L"list", list, &chars), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(list, chars), std::wstring(L"one\0two words\0\0", 15));
    GUID id = {};
    EXPECT_EQ(m_key.QueryGUIDValue(L"id", id), ERROR_SUCCESS);
    EXPECT_EQ(id.Data1, 0x0C0DB9E6u);
    BYTE blob[4] = {};
    ULONG bytes = sizeof(blob);
    EXPECT_EQ(m_key.QueryBinaryValue(L"blob", blob, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(blob[1], 0xFF);
}

TEST_F(VkSealTest, ToolOpensWhatTheLibrarySeals)
{
    ASSERT_EQ(m_key.SetQWORDValue(L"big", 0xFFFFFFFFFFFFFFFFull), ERROR_SUCCESS);
    ASSERT_EQ(m_key.SetStringValue(L"text", L"gr\u00fc\u00df"), ERROR_SUCCESS);
    const ToolRun big = Reg(L"get big");
    EXPECT_EQ(big.exitCode, 0u);
    EXPECT_EQ(big.output, "18446744073709551615\n");
    const ToolRun text = Reg(L"get text");
    EXPECT_EQ(text.exitCode, 0u);
    EXPECT_EQ(text.output, "gr\xC3\xBC\xC3\x9F\n");
    const ToolRun info = Reg(L"info text");
    EXPECT_EQ(info.exitCode, 0u);
    EXPECT_NE(info.output.find("VKRG (ok)"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("1 (REG_SZ)"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("verified: yes"), std::string::npos) << info.output;
}

TEST_F(VkSealTest, FailuresExitNonZero)
{
    ASSERT_EQ(m_key.SetDWORDValue(L"d", 7), ERROR_SUCCESS);
    Plinth::CRegKey raw;
    ASSERT_EQ(raw.Open(HKEY_CURRENT_USER, kTestPath), ERROR_SUCCESS);
    BYTE sealed[64];
    ULONG bytes = sizeof(sealed);
    ASSERT_EQ(raw.QueryBinaryValue(L"d", sealed, &bytes), ERROR_SUCCESS);
    sealed[bytes - 1] ^= 1;
    ASSERT_EQ(raw.SetBinaryValue(L"d", sealed, bytes), ERROR_SUCCESS);
    ASSERT_EQ(raw.SetStringValue(L"plain", L"x"), ERROR_SUCCESS);

    struct Case
    {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* message;
    };
    const Case cases[] = {
        {L"get d", 2, "fails verification"},
        {L"info d", 2, "computed"},
        {L"info plain", 2, "not sealed"},
        {L"get missing", 2, "not found"},
        {L"set d dword 0x100000000", 2, "not a 32-bit number"},
        {L"set d sometype 1", 1, "usage"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.arguments);
        const ToolRun run = Reg(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
    EXPECT_EQ(RunTool(L"reg get NOWHERE\\x y").exitCode, 2u);
    EXPECT_EQ(RunTool(L"").exitCode, 1u);
}

} // namespace
