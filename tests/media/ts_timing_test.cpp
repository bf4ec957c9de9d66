#include "core/config.h"
#include "media/probe.h"
#include "media/ts_timing.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"
#include "support/ts_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct Pacing : ::testing::Test {
    void SetUp() override { ResetConfiguration(); }
    void TearDown() override { ResetConfiguration(); }
};

TEST_F(Pacing, FortyMillisecondsSleepThirtyNine)
{
    EXPECT_EQ(pcr_sleep_ms(0.040), 39);
}

TEST_F(Pacing, HalfAMillisecondDoesNotSleep)
{
    EXPECT_EQ(pcr_sleep_ms(0.0005), 0);
}

TEST_F(Pacing, TheConstantIsSubtractedInMicroseconds)
{
    g_config.bitrate_constant = 0.0f;
    EXPECT_EQ(pcr_sleep_ms(0.040), 40);
    EXPECT_EQ(pcr_sleep_ms(0.0), 0);
    EXPECT_EQ(pcr_sleep_ms(-1.0), 0);
    EXPECT_GT(pcr_sleep_ms(1.0e12), 0);                   // a PCR jump stays defined
}

TEST(PcrSleepCarry, PcrsEveryFiveMillisecondsArePacedAtTheirOwnRate)
{
    PcrSleepCarry carry;
    int64_t total = 0;
    for (int i = 0; i < 1000; ++i) total += carry.NextMs(0.005);
    EXPECT_NEAR(static_cast<double>(total), 5000.0, 2.0);   // 4000 with each fraction dropped
    EXPECT_EQ(carry.NextMs(-1.0), 0);
}

TEST(FollowingPcr, TheFirstOnlyStartsAndALowerOneIsSkipped)
{
    StderrCapture log;
    PcrFollower follower;
    double delta = -1;
    EXPECT_FALSE(follower.Next(27000000, delta));
    EXPECT_TRUE(follower.Next(27000000 + 1080000, delta));
    EXPECT_DOUBLE_EQ(delta, 0.04);
    EXPECT_FALSE(follower.Next(100, delta));
    EXPECT_NE(log.Text().find("pcr < cur_pcr\n"), std::string::npos);
    EXPECT_TRUE(follower.Next(27000000 + 2160000, delta));  // measured from the kept value
    EXPECT_DOUBLE_EQ(delta, 0.04);
}

struct FileFixture : ::testing::Test {
    TempWorkDir dir;
};

using FirstPcr = FileFixture;

TEST_F(FirstPcr, IsTheFirstPacketWithAPcr)
{
    dir.WriteBytes("a.ts", TsBuilder().Pat().Pmt().Null(3).Pcr(0x101, 27000000LL * 10 + 13500000).Pcr(0x101, 5).Bytes());
    EXPECT_DOUBLE_EQ(first_pcr_seconds(dir.PathOf("a.ts").c_str()), 10.5);
}

TEST_F(FirstPcr, GivesItsSentinelsForBadFiles)
{
    EXPECT_DOUBLE_EQ(first_pcr_seconds(dir.PathOf("missing.ts").c_str()), 1000.0);
    dir.WriteFile("empty.ts", "");
    EXPECT_DOUBLE_EQ(first_pcr_seconds(dir.PathOf("empty.ts").c_str()), -1.0);
    dir.WriteBytes("zero.ts", std::vector<uint8_t>(376, 0x00));
    EXPECT_DOUBLE_EQ(first_pcr_seconds(dir.PathOf("zero.ts").c_str()), 0.0);
    dir.WriteBytes("nopcr.ts", TsBuilder().Pat().Pmt().Null(2).Bytes());
    EXPECT_DOUBLE_EQ(first_pcr_seconds(dir.PathOf("nopcr.ts").c_str()), 0.0);
    auto cut = TsBuilder().Pat().Bytes();
    cut.resize(100);
    dir.WriteBytes("cut.ts", cut);
    EXPECT_DOUBLE_EQ(first_pcr_seconds(dir.PathOf("cut.ts").c_str()), 0.0);
}

struct PlaylistFixture : FileFixture {
    std::vector<PlaylistEntry> entries;
    void Add(const std::string& name, int64_t size, int64_t duration, bool create = true)
    {
        if (create) {
            dir.WriteFile(name, "");
            truncate(dir.PathOf(name).c_str(), size);
        }
        PlaylistEntry entry{};
        std::snprintf(entry.path, sizeof entry.path, "%s", dir.PathOf(name).c_str());
        entry.size     = size;
        entry.duration = duration;
        entries.push_back(entry);
    }
};

using PlaylistPosition = PlaylistFixture;

constexpr int64_t kBytesPerSecondAt1024 = 1024 * 128;   // an unknown kind probes as 1024 kbit/s

TEST_F(PlaylistPosition, FindsTheFileAndAPacketAlignedOffset)
{
    Add("a.avi", 10 * kBytesPerSecondAt1024, 10);
    Add("b.avi", 20 * kBytesPerSecondAt1024, 20);
    int index = -1;
    int64_t offset = -1;
    const int fd = find_playlist_position(1000, 30, entries.data(), 2, index, offset, 1000 + 15000 + 999);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(index, 1);
    // 15 s in: 5 s into b, whose end is 15 s of bytes further
    const int64_t expected = 20 * kBytesPerSecondAt1024 - 15 * kBytesPerSecondAt1024;
    EXPECT_EQ(offset, expected - expected % 188);
    EXPECT_EQ(offset % 188, 0);
}

TEST_F(PlaylistPosition, LoopsAroundTheTotalDuration)
{
    Add("a.avi", 10 * kBytesPerSecondAt1024, 10);
    Add("b.avi", 20 * kBytesPerSecondAt1024, 20);
    int index = -1;
    int64_t offset = -1;
    const int fd = find_playlist_position(0, 30, entries.data(), 2, index, offset, 3ULL * 30 * 1000 + 2000);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(index, 0);
}

TEST_F(PlaylistPosition, ATotalDurationOfZeroHasNoPosition)
{
    Add("a.avi", 1000, 0);
    int index = -1;
    int64_t offset = -1;
    EXPECT_EQ(find_playlist_position(0, 0, entries.data(), 1, index, offset, 5000), -1);
}

TEST_F(PlaylistPosition, ANegativeOffsetIsClampedToZero)
{
    Add("small.avi", 1000, 10);                  // far fewer bytes than 10 s at the probed rate
    int index = -1;
    int64_t offset = -1;
    const int fd = find_playlist_position(0, 10, entries.data(), 1, index, offset, 3000);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(offset, 0);
}

TEST_F(PlaylistPosition, DurationsShortOfTheTotalOrAMissingFileGiveNoPosition)
{
    Add("a.avi", 1000, 5);
    int index = -1;
    int64_t offset = -1;
    EXPECT_EQ(find_playlist_position(0, 30, entries.data(), 1, index, offset, 20000), -1);
    entries.clear();
    Add("gone.avi", 1000, 10, false);
    EXPECT_EQ(find_playlist_position(0, 10, entries.data(), 1, index, offset, 1000), -1);
}

}  // namespace
