#include "core/platform/platform.h"

#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(Gates, AClosedGateHoldsAndOpeningReleasesEveryWaiter)
{
    Gate gate;
    EXPECT_FALSE(gate.WaitFor(10));
    std::thread first([&] { gate.Wait(); });
    std::thread second([&] { gate.Wait(); });
    gate.Open();
    first.join();
    second.join();
    EXPECT_TRUE(gate.WaitFor(0));               // stays open (manual reset)
    gate.Close();
    EXPECT_FALSE(gate.IsOpen());
}

TEST(Ticks, AreMonotonicMilliseconds)
{
    const uint64_t before = GetTickMs();
    SleepMs(20);
    const uint64_t after = GetTickMs();
    EXPECT_GE(after - before, 20u);
    EXPECT_LT(after - before, 2000u);
}

TEST(Folders, ListingTellsFilesFromFolders)
{
    TempWorkDir dir;
    dir.WriteFile("b.ts", "12345");
    dir.MakeDir("a_folder");
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(dir.Path(), entries));
    ASSERT_EQ(entries.size(), 2u);
    std::sort(entries.begin(), entries.end(), [](const DirEntry& l, const DirEntry& r) { return l.name < r.name; });
    EXPECT_EQ(entries[0].name, "a_folder");
    EXPECT_TRUE(entries[0].is_directory);
    EXPECT_FALSE(entries[0].is_file);
    EXPECT_EQ(entries[1].name, "b.ts");
    EXPECT_TRUE(entries[1].is_file);
    EXPECT_EQ(entries[1].size, 5);
    EXPECT_FALSE(ListDirectory(dir.PathOf("missing"), entries));
}

TEST(ChildProcesses, OutputAndExitCodeAreCollectedWithOnlyTheGivenEnvironment)
{
    ChildResult result;
    ASSERT_TRUE(RunChildProcess("/bin/sh", {"-c", "echo \"q=$QUERY_STRING h=$HOME\"; echo err >&2; exit 3"},
                                {"QUERY_STRING=a=1"}, 102400, 5000, result));
    EXPECT_EQ(result.output, "q=a=1 h=\nerr\n");
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_FALSE(result.timed_out);
    EXPECT_FALSE(result.truncated);
}

TEST(ChildProcesses, RunInTheCurrentWorkingFolder)
{
    TempWorkDir dir;
    ChildResult result;
    ASSERT_TRUE(RunChildProcess("/bin/pwd", {}, {}, 1024, 5000, result));
    EXPECT_EQ(result.output, dir.Path() + "\n");
}

TEST(ChildProcesses, TooMuchOutputIsCutAndDrained)
{
    ChildResult result;
    ASSERT_TRUE(RunChildProcess("/bin/sh", {"-c", "head -c 300000 /dev/zero"}, {}, 1000, 10000, result));
    EXPECT_EQ(result.output.size(), 1000u);
    EXPECT_TRUE(result.truncated);
    EXPECT_EQ(result.exit_code, 0);
}

TEST(ChildProcesses, AChildThatRunsTooLongIsKilled)
{
    ChildResult result;
    const uint64_t started = GetTickMs();
    ASSERT_TRUE(RunChildProcess("/bin/sh", {"-c", "echo begun; exec sleep 30"}, {}, 1024, 300, result));
    EXPECT_LT(GetTickMs() - started, 5000u);
    EXPECT_TRUE(result.timed_out);
    EXPECT_EQ(result.output, "begun\n");
}

TEST(ChildProcesses, AChildGetsNoDescriptorOfTheServerAndEndsWhenTheServerStops)
{
    const int inherited = dup2(STDOUT_FILENO, 37);          // as a socket opened without close-on-exec
    ASSERT_EQ(inherited, 37);
    ChildResult result;
    ASSERT_TRUE(RunChildProcess("/bin/sh", {"-c", "[ -e /proc/self/fd/37 ] && echo open || echo closed"}, {}, 1024,
                                5000, result));
    close(inherited);
    EXPECT_EQ(result.output, "closed\n");

    std::atomic<int32_t> stop{0};
    std::thread stopper([&stop] {
        SleepMs(300);
        stop = 1;
    });
    const uint64_t started = GetTickMs();
    ASSERT_TRUE(RunChildProcess("/bin/sh", {"-c", "echo begun; exec sleep 30"}, {}, 1024, 60000, result, -1, &stop));
    stopper.join();
    EXPECT_LT(GetTickMs() - started, 15000u);
    EXPECT_TRUE(result.stopped);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.output, "begun\n");
}

TEST(ChildProcesses, AMissingProgramIsNotStarted)
{
    ChildResult result;
    EXPECT_FALSE(RunChildProcess("/nonexistent/program", {}, {}, 1024, 1000, result));
}

}  // namespace
