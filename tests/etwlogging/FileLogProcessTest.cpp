// The file log writer across processes, whose writers are this program started
// again: "write <root> <writer> <start event>" logs from kThreads threads once
// the event is set and exits with 0 or the first code a write returned;
// "paths <root> <module path>" exits with 1 when the module-directory lookup
// succeeds, plus 2 when the writer's Init does.
#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "plinth/Owners.h"
#include "plinth/WideFormat.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileLogSupport.h"
#include "tests/support/TestRegistry.h"

using ETWLogging::CLogging;

namespace {

constexpr unsigned kWriters = 4;
constexpr unsigned kThreads = 4;
constexpr unsigned kRecords = 2000;
constexpr int32_t kEntries = 12;

// The message of record seq of thread t of writer p: fixed width, with a
// filler that depends on all three, so a torn or mixed record shows.
std::wstring WriterMessage(unsigned p, unsigned t, unsigned seq)
{
    wchar_t head[32];
    Plinth::FormatWide(head, 32, L"P%u T%u S%05u ", p, t, seq);
    std::wstring message = head;
    for (unsigned i = 0; i < 40; ++i)
        message += static_cast<wchar_t>(L'a' + (p * 7 + t * 5 + seq + i) % 26);
    return message + L"\r\n";
}

int Write(const wchar_t* root, unsigned writer, const wchar_t* start)
{
    ZelTest::RootedLogging logger(root);
    const DWORD init = logger.Init(L"Conc", nullptr, nullptr, nullptr);
    const Plinth::UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, start));
    if (init != ERROR_SUCCESS || !event || ::WaitForSingleObject(event.get(), 30000) != WAIT_OBJECT_0)
        return 9999;
    std::atomic<DWORD> firstFailure{ERROR_SUCCESS};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < kThreads; ++t) {
        pool.emplace_back([&, t] {
            for (unsigned seq = 0; seq < kRecords; ++seq) {
                DWORD none = ERROR_SUCCESS;
                const DWORD result = logger.LogF(ETWLogging::LevelError, L"FileLogProcessTest", L"Write", __LINE__,
                                                 L"%s", WriterMessage(writer, t, seq).c_str());
                if (result != ERROR_SUCCESS)
                    firstFailure.compare_exchange_strong(none, result);
            }
        });
    }
    for (std::thread& thread : pool)
        thread.join();
    return static_cast<int>(firstFailure.load());
}

// Wine starts no program from a path of 260 characters or more, so the copy is
// started by its short name and then takes its long one as the module path the
// loader keeps, as it would hold had the copy been started by that name.
void TakeModulePath(std::wstring& path)
{
    PROCESS_BASIC_INFORMATION basic = {};
    ::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic), nullptr);
    auto* entry = CONTAINING_RECORD(basic.PebBaseAddress->Ldr->InMemoryOrderModuleList.Flink, LDR_DATA_TABLE_ENTRY,
                                    InMemoryOrderLinks);
    entry->FullDllName.Buffer = path.data();
    entry->FullDllName.Length = static_cast<USHORT>(path.size() * sizeof(wchar_t));
    entry->FullDllName.MaximumLength = static_cast<USHORT>(entry->FullDllName.Length + sizeof(wchar_t));
}

int ReportPaths(const wchar_t* root, std::wstring path)
{
    TakeModulePath(path);
    std::wstring directory;
    std::wstring file;
    const bool found = Plinth::GetModuleDirectory(nullptr, directory, false, file);
    ZelTest::RootedLogging logger(root);
    return (found ? 1 : 0) | (logger.Init(L"Paths", nullptr, nullptr, nullptr) == ERROR_SUCCESS ? 2 : 0);
}

// Copies of this program whose full paths have 259, 260 and 261 characters:
// the system cuts a path of 260 or more to its 260-character buffer, and
// neither the lookup nor the writer may take the cut path for the program's.
TEST(FileLogProcesses, AModulePathTooLongForItsBufferIsRefused)
{
    ZelTest::TempFolder root(L"longpath");
    const std::wstring name = L"filelogging_tests.exe";
    for (const size_t length : {259u, 260u, 261u}) {
        // Folders of at most 100 characters each, removed one by one: the
        // shell's removal of a tree stops at paths this long.
        std::vector<std::wstring> folders{root.Path() + L"\\" + std::to_wstring(length)};
        while (folders.back().size() + 1 + name.size() < length) {
            const size_t part = std::min<size_t>(100, length - folders.back().size() - 2 - name.size());
            folders.push_back(folders.back() + L"\\" + std::wstring(part, L'd'));
        }
        const std::wstring copy = folders.back() + L"\\" + name;
        ASSERT_EQ(copy.size(), length);
        for (const std::wstring& folder : folders)
            ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(::CopyFileW(ZelTest::BinPath(name.c_str()).c_str(), copy.c_str(), FALSE));
        wchar_t shortPath[MAX_PATH] = {};
        ASSERT_GT(::GetShortPathNameW(copy.c_str(), shortPath, MAX_PATH), 0u);
        std::wstring commandLine =
            L"\"" + std::wstring(shortPath) + L"\" paths \"" + root.Path() + L"\" \"" + copy + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(::CreateProcessW(shortPath, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, &process));
        const Plinth::UniqueHandle child(process.hProcess);
        const Plinth::UniqueHandle thread(process.hThread);
        DWORD code = MAXDWORD;
        EXPECT_EQ(::WaitForSingleObject(child.get(), 60000), WAIT_OBJECT_0);
        EXPECT_TRUE(::GetExitCodeProcess(child.get(), &code));
        EXPECT_EQ(code, length < MAX_PATH ? 3u : 0u) << length;
        ::DeleteFileW(copy.c_str());
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
            ::RemoveDirectoryW(folder->c_str());
    }
}

TEST(FileLogProcesses, FourWritersOfFourThreadsLoseOnlyTheRotatedOutFiles)
{
    ZelTest::TempFolder root(L"writers");
    const std::wstring dir = root.Path() + L"\\Varkon\\VKLOGS\\Conc\\filelogging_tests";
    ASSERT_TRUE(ZelTest::WriteSealed(dir + L"\\log.ini", L"MaxEntries", kEntries));
    wchar_t eventName[64];
    Plinth::FormatWide(eventName, 64, L"zel-filelog-start-%lu", ::GetCurrentProcessId());
    Plinth::UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, eventName));

    ZelTest::ChildProcess children[kWriters];
    for (unsigned p = 0; p < kWriters; ++p) {
        wchar_t arguments[MAX_PATH * 2];
        Plinth::FormatWide(arguments, MAX_PATH * 2, L"write \"%s\" %u %s", root.Path().c_str(), p, eventName);
        ASSERT_TRUE(ZelTest::StartChild(L"filelogging_tests.exe", arguments, children[p]));
    }
    ::SetEvent(start.get());
    for (ZelTest::ChildProcess& child : children) {
        DWORD code = MAXDWORD;
        if (::WaitForSingleObject(child.process.get(), 120000) != WAIT_OBJECT_0)
            ::TerminateProcess(child.process.get(), code);
        EXPECT_TRUE(::GetExitCodeProcess(child.process.get(), &code) && code == 0) << code;
    }

    // The files from the oldest to the current one.
    const int32_t current = ZelTest::ReadSealed(dir + L"\\log.ini", L"LastLogIdx");
    ASSERT_GE(current, 0);
    std::vector<std::wstring> lines;
    std::vector<size_t> perFile;
    for (int32_t k = 1; k <= kEntries; ++k) {
        wchar_t name[MAX_PATH];
        Plinth::FormatWide(name, MAX_PATH, L"%s\\filelogging_tests%03u.log", dir.c_str(), (current + k) % kEntries);
        const std::wstring text = ZelTest::ReadLogText(name);
        size_t count = 0;
        for (size_t at = 0, end; (end = text.find(L'\n', at)) != std::wstring::npos; at = end + 1, ++count)
            lines.push_back(text.substr(at, end + 1 - at));
        if (count)
            perFile.push_back(count);
    }
    ASSERT_FALSE(lines.empty());

    // Every record has the same length, so the rotation is predictable.
    const size_t chars = lines[0].size();
    const size_t perFull = (CLogging::kDefaultMaxSize - 2 + 2 * chars - 1) / (2 * chars);
    const size_t total = size_t{kWriters} * kThreads * kRecords;
    const size_t filesEver = (total + perFull - 1) / perFull;
    const size_t kept = filesEver <= kEntries ? total : (kEntries - 1) * perFull + (total - (filesEver - 1) * perFull);
    ASSERT_GT(filesEver, static_cast<size_t>(kEntries)) << "the files must wrap for the test to mean anything";
    EXPECT_EQ(static_cast<size_t>(current), (filesEver - 1) % kEntries);
    EXPECT_EQ(lines.size(), kept);
    for (size_t i = 0; i + 1 < perFile.size(); ++i)
        EXPECT_EQ(perFile[i], perFull) << "file " << i;

    // Per thread the kept records are one run up to its last: the older ones
    // went with the rotated-out files; none is torn, mixed or doubled.
    std::map<unsigned, unsigned> next;
    size_t bad = 0;
    for (const std::wstring& line : lines) {
        const size_t columns = line.find(L" -- (Error)$ [filelogging_tes]$ ");
        unsigned p, t, seq;
        const std::wstring message = line.substr(columns == 23 ? columns + 32 : 0);
        if (line.size() != chars || columns != 23 || std::swscanf(message.c_str(), L"P%u T%u S%u", &p, &t, &seq) != 3 ||
            message != WriterMessage(p, t, seq)) {
            ++bad;
            continue;
        }
        const unsigned key = p * kThreads + t;
        if (next.count(key) && next[key] != seq)
            ++bad;
        next[key] = seq + 1;
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(next.size(), size_t{kWriters} * kThreads);
    for (const auto& thread : next)
        EXPECT_EQ(thread.second, kRecords)
            << "writer " << thread.first / kThreads << " thread " << thread.first % kThreads;
}

} // namespace

int main(int argc, char** argv)
{
    int count = 0;
    const Plinth::UniqueResource<LPWSTR*, &::LocalFree> args(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (args && count == 5 && std::wcscmp(args.get()[1], L"write") == 0)
        return Write(args.get()[2], std::wcstoul(args.get()[3], nullptr, 10), args.get()[4]);
    if (args && count == 4 && std::wcscmp(args.get()[1], L"paths") == 0)
        return ReportPaths(args.get()[2], args.get()[3]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
