// The built module under load from eight threads, on one shared object and on
// an object per thread, with the product installed and logging to files:
// every answer must be the single thread's, and no task memory, handle or
// module lock may be left behind. There the configuration service is out of
// reach, so the figures are the module's own; objects made at once then
// bring it in. The soak benchmark runs the whole load with the service. What
// the answers are in this set-up, the host demo's JSON test holds. --calls=N
// sets the calls per thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/LoadHarness.h"

namespace {

constexpr unsigned kThreads = 8;
unsigned long g_callsPerThread = 500;
// Rounds of objects made at once, each round as many first uses of the
// configuration service; a round takes about a second, a lost activation
// stalls its object for thirty. The limit tells the two apart on a machine
// many times slower than usual.
constexpr unsigned kFirstUseRounds = 12;
constexpr double kFirstUseRoundLimitSeconds = 20;

bool HasLogRecords(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool records = false;
    do {
        // More than the byte-order mark.
        records = records || found.nFileSizeLow > 2;
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return records;
}

TEST(ComponentLoadTest, EveryThreadGetsTheSingleThreadsAnswersAndNothingIsLeftBehind)
{
    const ZelTest::LoadEnvironment environment(true, false);
    ASSERT_EQ(ZelTest::Ascii(environment.Problem()), "");
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::LoadRig rig;
    ASSERT_EQ(ZelTest::Ascii(rig.Problem()), "");

    const struct
    {
        const char* name;
        ZelTest::ObjectSharing sharing;
    } modes[] = {{"one shared object", ZelTest::ObjectSharing::Shared},
                 {"one object per thread", ZelTest::ObjectSharing::PerThread}};
    for (const auto& mode : modes) {
        const ZelTest::LoadFigures figures = rig.Run(mode.sharing, kThreads, g_callsPerThread);
        const std::string summary = ZelTest::Summary(mode.name, figures);
        std::printf("%s\n", summary.c_str());
        EXPECT_EQ(figures.calls, kThreads * g_callsPerThread) << summary;
        EXPECT_EQ(figures.mismatches, 0u) << summary;
        EXPECT_EQ(figures.blocksLeft, 0u) << summary;
        EXPECT_EQ(figures.strayFrees, 0u) << summary;
        EXPECT_LE(figures.handlesAfter, figures.handlesBefore) << summary;
    }
    EXPECT_TRUE(HasLogRecords(environment.LogDir())) << ZelTest::Ascii(environment.LogDir());
    EXPECT_EQ(rig.ReleaseAndAskUnload(), S_OK);
}

// Objects made at the same moment each activate the configuration service on
// their first usage report; an activation lost to another's would leave that
// object counting nobody for its whole life.
TEST(ComponentLoadTest, ObjectsMadeAtOnceEachReachTheConfigurationService)
{
    const ZelTest::LoadEnvironment environment(false, true);
    ASSERT_EQ(ZelTest::Ascii(environment.Problem()), "");
    const Plinth::ComInitScope com(COINIT_MULTITHREADED);
    ZelTest::LoadRig rig;
    ASSERT_EQ(ZelTest::Ascii(rig.Problem()), "");

    const ZelTest::LoadFigures figures = rig.RunFirstUse(kThreads, kFirstUseRounds, kFirstUseRoundLimitSeconds);
    const std::string summary = ZelTest::FirstUseSummary(figures);
    std::printf("%s\n", summary.c_str());
    EXPECT_EQ(figures.calls, kThreads * kFirstUseRounds) << summary;
    EXPECT_EQ(figures.mismatches, 0u) << summary;
    EXPECT_EQ(rig.ReleaseAndAskUnload(), S_OK);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--calls=", 8) == 0)
            g_callsPerThread = std::strtoul(argv[i] + 8, nullptr, 10);
    }
    return RUN_ALL_TESTS();
}
