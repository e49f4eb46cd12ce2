// The logger factory's choice between the file log writer and the ETW trace
// provider, and the module's own lines through the chosen writer. Started as
// "squat <kind> <ready event>", the program holds the file writer's mutex of
// this program's name, made as kind says, until it is ended.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "etwlogging/DefaultLogBuilder.h"
#include "etwlogging/ETWLogging.h"
#include "etwlogging/FileLogging.h"
#include "plinth/ObfuscatedIniReader.h"
#include "plinth/ObfuscatedRegKey.h"
#include "plinth/Paths.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DebugOutputListener.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/ModuleLogFiles.h"
#include "tests/support/TestRegistry.h"
#include "tests/support/TrustedPublishers.h"

using ETWLogging::CDefaultLogBuilder;
using ETWLogging::CLoggingIf;

namespace {

constexpr wchar_t kProgram[] = L"log_factory_tests";

// Selects the file log writer, sealed as the installer seals it, for the scope.
class FileWriterSelected
{
public:
    FileWriterSelected()
    {
        Plinth::CObfuscatedRegKey sealed;
        EXPECT_EQ(sealed.Create(HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath), ERROR_SUCCESS);
        EXPECT_EQ(sealed.SetDWORDValue(ETWLogging::kLoggingMechanism, 1), ERROR_SUCCESS);
    }

private:
    ZelTest::ScopedRegistryValue m_mechanism{HKEY_LOCAL_MACHINE, ETWLogging::kLoggingKeyPath,
                                             ETWLogging::kLoggingMechanism};
};

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
    const FileWriterSelected fileWriter;
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

// Ends the process holding the mutex, whatever the test's outcome.
struct Squatter
{
    ~Squatter()
    {
        if (!child.process)
            return;
        ::TerminateProcess(child.process.get(), 0);
        ::WaitForSingleObject(child.process.get(), 20000);
    }
    ZelTest::ChildProcess child;
};

// The mutex held by another process: a writer of the product's own (it may
// hold it for as long as the wait allows), or a squatter who made it without a
// descriptor or with one that locks everyone out. Neither the load nor the
// unload line may keep the loader waiting; a squatted mutex is refused, and
// said so once.
TEST(ModuleLoggingTest, HeldOrSquattedWriteMutexKeepsNoLoaderWaiting)
{
    const FileWriterSelected fileWriter;
    const std::wstring folder = ZelTest::ModuleLogFolder(L"Zellumoap");
    ASSERT_TRUE(ZelTest::WriteSealed(folder + L"\\log.ini", L"Severity", 1));
    const std::pair<const wchar_t*, size_t> cases[] = {{L"writer", 0}, {L"open", 1}, {L"closed", 1}};
    for (const auto& [kind, refusals] : cases) {
        SCOPED_TRACE(std::string(kind, kind + std::wcslen(kind)));
        const std::wstring ready = L"zel-squat-" + std::to_wstring(::GetCurrentProcessId()) + kind;
        const Plinth::UniqueHandle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
        Squatter squatter;
        ASSERT_TRUE(ZelTest::StartChild(L"log_factory_tests.exe", std::wstring(L"squat ") + kind + L" " + ready,
                                        squatter.child));
        ASSERT_EQ(::WaitForSingleObject(readyEvent.get(), 20000), WAIT_OBJECT_0);

        // Its thread starts before the loader lock is taken, or it could not
        // take the module's line.
        ZelTest::DebugOutputListener listener;
        ::Sleep(200);
        const ULONGLONG start = ::GetTickCount64();
        const HMODULE module = ::LoadLibraryW(ZelTest::BinPath(L"ZelLumoAp.dll").c_str());
        ASSERT_NE(module, nullptr);
        ::FreeLibrary(module);
        EXPECT_LT(::GetTickCount64() - start, 1000u);
        ::Sleep(100);
        const std::vector<std::string> lines = listener.Stop();
        EXPECT_EQ(static_cast<size_t>(std::count_if(
                      lines.begin(), lines.end(),
                      [](const std::string& line) { return line.find("write mutex") != std::string::npos; })),
                  refusals);
        EXPECT_EQ(ZelTest::ReadLogFiles(folder), L"");
    }
    // Once the mutex is free, both lines are written.
    ::FreeLibrary(::LoadLibraryW(ZelTest::BinPath(L"ZelLumoAp.dll").c_str()));
    const std::wstring text = ZelTest::ReadLogFiles(folder);
    EXPECT_NE(text.find(L"ZelLumoAp Loaded"), std::wstring::npos);
    EXPECT_NE(text.find(L"ZelLumoAp Unloaded"), std::wstring::npos);
    ZelTest::RemoveTree(folder);
}

// Holds the write mutex of this program's name, made as kind says.
int Squat(const wchar_t* kind, const wchar_t* ready)
{
    Plinth::UniqueHandle mutex;
    if (std::wcscmp(kind, L"writer") == 0) {
        ETWLogging::CreateWriteMutex(kProgram, true, mutex);
    } else {
        Plinth::UniqueLocalMemory lockedOut;
        if (std::wcscmp(kind, L"closed") == 0 && Plinth::MakeSecurityDescriptor(L"D:P", lockedOut) != ERROR_SUCCESS)
            return 2;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), lockedOut.get(), FALSE};
        const std::wstring name = std::wstring(kProgram) + L"_" + ETWLogging::kWriteMutexId;
        mutex.reset(::CreateMutexW(lockedOut ? &attributes : nullptr, FALSE, name.c_str()));
    }
    const Plinth::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready));
    if (!mutex || !event || ::WaitForSingleObject(mutex.get(), 0) != WAIT_OBJECT_0)
        return 2;
    ::SetEvent(event.get());
    ::Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int count = 0;
    const Plinth::UniqueResource<LPWSTR*, &::LocalFree> args(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (args && count == 4 && std::wcscmp(args.get()[1], L"squat") == 0)
        return Squat(args.get()[2], args.get()[3]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
