// The logger factory's choice between the file log writer and the ETW trace
// provider, and the module's own lines through the chosen writer.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ETWLogging.h"
#include "etwlogging/FileLogging.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Paths.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/ModuleLogFiles.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"

using ETWLogging::CDefaultLogBuilder;
using ETWLogging::CLoggingIf;

namespace {

// The kind of writer the factory makes: "file", "etw", or "none".
std::string Make(DWORD mode, Plinth::CRegKey* key = nullptr)
{
    CDefaultLogBuilder builder;
    CLoggingIf* raw = nullptr;
    if (!builder.CreateLoggerEx(nullptr, L"ZelTest", nullptr, nullptr, mode, &raw, key))
        return "none";
    const std::unique_ptr<CLoggingIf> logger(raw);
    return dynamic_cast<ETWLogging::CLogging*>(raw)      ? "file"
           : dynamic_cast<ETWLogging::CETWLogging*>(raw) ? "etw"
                                                         : "?";
}

// What the sealed value itself selects is swept with the module's other values.
TEST(DefaultLogBuilderTest, ModeOneAndAGivenKeyNeedNoSealedValue)
{
    ZelTest::ScopedRegistryValue mechanism(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                           ETWLogging::kLoggingMechanism);
    mechanism.Delete();
    EXPECT_EQ(Make(1), "file");

    const DWORD one = 1;
    ASSERT_TRUE(mechanism.Set(REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(Make(0), "etw");
    // A key handed in is read as it is, here plainly.
    Plinth::CRegKey plain;
    ASSERT_EQ(plain.Open(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath, KEY_QUERY_VALUE), ERROR_SUCCESS);
    EXPECT_EQ(Make(0, &plain), "file");
}

TEST(ModuleLoggingTest, HostEndingWhileItsThreadsLogExitsPromptlyAfterTheUnloadLine)
{
    constexpr DWORD kWineAssertion = 0x80000101;
    ZelTest::ScopedRegistryValue mechanism(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                           ETWLogging::kLoggingMechanism);
    Plinth::CObfuscatedRegKey sealed;
    ASSERT_EQ(sealed.Create(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(sealed.SetDWORDValue(ETWLogging::kLoggingMechanism, 1), ERROR_SUCCESS);
    const std::wstring folder = ZelTest::ModuleLogFolder(L"Zellumoap", L"logging_exit_host");
    ZelTest::RemoveTree(folder);
    ASSERT_TRUE(Plinth::CreateDirectoryPath(folder.c_str(), nullptr));
    // Let the module's Normal lines through: the writer keeps Information and up by default.
    Plinth::CObfuscatedIniReader settings;
    settings.Load(folder + L"\\log.ini");
    ASSERT_TRUE(settings.WriteInt(L"Config", L"Severity", 1));
    // The host is signed with the trusted test certificate.
    const ZelTest::ScopedTrustedPublishers trusted;

    // Wine itself now and then fails one of its own assertions (exit code
    // 0x80000101) when a killed thread left a file descriptor half passed; such
    // a run says nothing of the module and is made again, three times at most.
    ZelTest::ChildRun run;
    ULONGLONG ms = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ULONGLONG start = ::GetTickCount64();
        run = ZelTest::RunChild(L"logging_exit_host.exe", L"", true, 20000);
        ms = ::GetTickCount64() - start;
        if (run.exitCode != kWineAssertion)
            break;
    }
    const std::wstring text = ZelTest::ReadLogFiles(folder);
    ZelTest::RemoveTree(folder);
    ASSERT_TRUE(run.started);
    // 258 when it had to be ended after 20 s.
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_LT(ms, 10000u);
    EXPECT_NE(text.find(L"ZelLumoAp Loaded (Version 17.0.3038.0)"), std::wstring::npos);
    EXPECT_NE(text.find(L"GetAppID() returning appid = [ZEL]"), std::wstring::npos);
    const std::wstring unload = L"ZelLumoAp Unloaded\r\n\r\n";
    ASSERT_GE(text.size(), unload.size());
    EXPECT_EQ(text.substr(text.size() - unload.size()), unload);
}

} // namespace
