// The file log writer across processes (filelog_writer.exe), and vklog.exe
// reading what the writers left.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "etwlogging/LogRecordBuilder.h"
#include "plinth/Owners.h"
#include "plinth/Paths.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileLogSupport.h"

using ETWLogging::CLogging;

namespace {

constexpr unsigned kWriters = 4;
constexpr unsigned kThreads = 4;
constexpr unsigned kRecords = 2000;
constexpr int32_t kEntries = 12;

TEST(FileLogProcesses, FourWritersOfFourThreadsLoseOnlyTheRotatedOutFiles)
{
    ZelTest::TempFolder root(L"writers");
    const std::wstring dir = root.Path() + L"\\Varkon\\VKLOGS\\Conc\\filelog_writer";
    ASSERT_TRUE(ZelTest::WriteSealed(dir + L"\\log.ini", L"MaxEntries", kEntries));
    wchar_t eventName[64];
    Plinth::FormatWide(eventName, 64, L"zel-filelog-start-%lu", ::GetCurrentProcessId());
    Plinth::UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, eventName));

    ZelTest::ChildProcess children[kWriters];
    for (unsigned p = 0; p < kWriters; ++p) {
        wchar_t arguments[MAX_PATH * 2];
        Plinth::FormatWide(arguments, MAX_PATH * 2, L"write \"%s\" Conc %u %u %u %s", root.Path().c_str(), p, kThreads,
                           kRecords, eventName);
        ASSERT_TRUE(ZelTest::StartChild(L"filelog_writer.exe", arguments, children[p]));
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
        Plinth::FormatWide(name, MAX_PATH, L"%s\\filelog_writer%03u.log", dir.c_str(), (current + k) % kEntries);
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
        const size_t columns = line.find(L" -- (Error)$ [filelog_writer.]$ ");
        unsigned p, t, seq;
        if (line.size() != chars || columns != 23 ||
            !ZelTest::ParseWriterMessage(line.substr(columns + 32), p, t, seq)) {
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

struct TimedRecord
{
    DWORD hhmmss;
    DWORD level;
    const wchar_t* message;
};

// Writes records with chosen times into a log file, as the writer would.
void WriteRecords(const std::wstring& path, const wchar_t* module, DWORD options,
                  const std::vector<TimedRecord>& records)
{
    std::wstring text = L"\xFEFF";
    for (const auto& r : records) {
        SYSTEMTIME time = {2026, 3, 6, 7, 0, 0, 0, 0};
        time.wHour = static_cast<WORD>(r.hhmmss / 10000);
        time.wMinute = static_cast<WORD>(r.hhmmss / 100 % 100);
        time.wSecond = static_cast<WORD>(r.hhmmss % 100);
        ETWLogging::internal::RecordContext context;
        context.options = options;
        context.moduleFileName = module;
        DWORD bytes = 0;
        std::unique_ptr<wchar_t[]> record;
        ASSERT_EQ(ETWLogging::internal::BuildLogRecordAt(time, context, L"B.cpp", L"CB::Work", 12, r.level, r.message,
                                                         &bytes, &record),
                  0u);
        text += record.get();
    }
    ASSERT_TRUE(ZelTest::WriteBytes(path, text.data(), text.size() * sizeof(wchar_t)));
}

// The "#xx#" tokens of the printed messages, in order.
std::vector<std::string> Tokens(const std::string& output)
{
    std::vector<std::string> tokens;
    for (size_t at = output.find('#'); at != std::string::npos; at = output.find('#', at + 1)) {
        const size_t end = output.find('#', at + 1);
        if (end == std::string::npos)
            break;
        tokens.push_back(output.substr(at + 1, end - at - 1));
        at = end;
    }
    return tokens;
}

TEST(VkLog, MergesEveryRotatedFileByTimeAndFilters)
{
    ZelTest::TempFolder root(L"vklog");
    const std::wstring a = root.Path() + L"\\G\\procA";
    const std::wstring b = root.Path() + L"\\G\\procB";
    // procA rotated from 001 to 000: 001 holds the older records.
    WriteRecords(a + L"\\procA001.log", L"procA.exe", 16,
                 {{3000, 1, L"#a0# half past midnight"}, {100001, 1, L"#a1#"}, {100003, 4, L"#a2#"}});
    WriteRecords(a + L"\\procA000.log", L"procA.exe", 16, {{100005, 2, L"#a3#"}, {100005, 4, L"#a4#"}});
    ASSERT_TRUE(ZelTest::WriteSealed(a + L"\\log.ini", L"LastLogIdx", 0));
    WriteRecords(b + L"\\procB000.log", L"procB.exe", 16 | 4 | 8 | 32,
                 {{100002, 3, L"#b1#"},
                  {100004, 4, L"#b2#"},
                  {100006, 3, L"#b3# first\r\nsecond line\r\n"},
                  {130000, 5, L"#b4# one in the afternoon"}});

    const struct
    {
        const wchar_t* filter;
        std::vector<std::string> tokens;
    } cases[] = {
        {L"", {"a0", "a1", "b1", "a2", "b2", "a3", "a4", "b3", "b4"}},
        {L"--level error", {"a2", "b2", "a4"}},
        {L"--level 1,Critical", {"a0", "a1", "b4"}},
        {L"--module PROCA", {"a0", "a1", "a2", "a3", "a4"}},
        {L"--function cb::", {"b1", "b2", "b3", "b4"}},
        {L"--text \"SECOND line\"", {"b3"}},
        {L"--level error --text a", {"a2", "a4"}},
    };
    for (const auto& c : cases) {
        const std::string output =
            ZelTest::RunChild(L"vklog.exe", std::wstring(c.filter) + L" \"" + root.Path() + L"\"").output;
        EXPECT_EQ(Tokens(output), c.tokens) << output;
    }
    EXPECT_NE(ZelTest::RunChild(L"vklog.exe", L"\"" + root.Path() + L"\"").output.find("#b3# first\r\nsecond line\r\n"),
              std::string::npos);
}

} // namespace
