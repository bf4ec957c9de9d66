#include "core/config.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/real_buffer.h"
#include "ingest/recorders.h"

#include "support/temp_dir.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second)
{
    std::tm when{};
    when.tm_year = year - 1900;
    when.tm_mon  = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min  = minute;
    when.tm_sec  = second;
    return when;
}

TEST(RecordingFiles, AreNamedByChannelAndStartTime)
{
    EXPECT_EQ(TimeShiftFileName(3), "timeshift/time_shift_ch[3]");
    EXPECT_EQ(ArchiveFileName("news", At(2012, 8, 1, 13, 20, 5)), "tv_program_archive/news/2012_08_01_13_20.ts");
}

TEST(RecordingNames, ARecordingFolderThatLeadsOutOfTheArchiveIsRefused)
{
    for (const char* good : {"news", "sport/hd", "a..b", "..hidden"}) EXPECT_TRUE(RecordingFolderIsSafe(good)) << good;
    for (const char* bad : {"..", "../etc", "news/../../x", "news/..", "/tmp/x", "a\\..\\b", ""})
        EXPECT_FALSE(RecordingFolderIsSafe(bad)) << bad;
}

TEST(ArchiveSwitching, TheFirstFileEndsOnTheHour)
{
    const std::tm start = At(2012, 8, 1, 13, 20, 5);
    EXPECT_FALSE(ArchiveFileFinished(true, start, At(2012, 8, 1, 13, 59, 59), 60));
    EXPECT_TRUE(ArchiveFileFinished(true, start, At(2012, 8, 1, 14, 0, 0), 60));
    EXPECT_FALSE(ArchiveFileFinished(true, start, At(2012, 8, 1, 14, 0, 1), 60));
}

TEST(ArchiveSwitching, LaterFilesEndAfterMoreThanTheDuration)
{
    const std::tm start = At(2012, 8, 1, 14, 0, 0);
    EXPECT_FALSE(ArchiveFileFinished(false, start, At(2012, 8, 1, 15, 0, 59), 60));
    EXPECT_TRUE(ArchiveFileFinished(false, start, At(2012, 8, 1, 15, 1, 0), 60));
}

TEST(ArchiveSwitching, AFileStartedBeforeMidnightEndsAfterIt)
{
    const std::tm start = At(2012, 8, 1, 23, 30, 0);
    EXPECT_FALSE(ArchiveFileFinished(false, start, At(2012, 8, 2, 0, 30, 0), 60));
    EXPECT_TRUE(ArchiveFileFinished(false, start, At(2012, 8, 2, 0, 31, 0), 60));
}

// A channel ring written by the test, with its recorders running.
class Recording : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetConfiguration();
        g_channel_reader_stop.store(0);
        auto source = std::make_unique<SourceRecord>();
        source->kind = kSourceRtpPort;
        channel.sources.push_back(std::move(source));
        std::snprintf(channel.rec_folder, sizeof channel.rec_folder, "news");
        channel.SetBuffer(buffer);
    }
    void TearDown() override
    {
        g_channel_reader_stop.store(1);
        StopRecorders(recorders);
        g_channel_reader_stop.store(0);
    }
    void Write(const std::vector<uint8_t>& bytes)
    {
        RealBufferSlot& slot = buffer->slots[channel.input_index.load()];
        std::memcpy(slot.data, bytes.data(), bytes.size());
        write_slot(channel, *buffer, static_cast<int32_t>(bytes.size()));
    }
    bool WaitFor(const std::function<bool()>& done, int timeout_ms)
    {
        const uint64_t deadline = GetTickMs() + static_cast<uint64_t>(timeout_ms);
        while (!done()) {
            if (GetTickMs() >= deadline) return false;
            SleepMs(10);
        }
        return true;
    }
    // The archive file of this test (named by the minute the recorder started).
    std::string ArchivePath() const
    {
        std::vector<DirEntry> entries;
        ListDirectory(dir.PathOf("tv_program_archive/news"), entries);
        return entries.size() == 1 ? "tv_program_archive/news/" + entries[0].name : "";
    }
    std::string ArchiveText() const
    {
        const std::string path = ArchivePath();
        return path.empty() ? "" : dir.ReadFile(path);
    }
    TempWorkDir                 dir;
    ChannelRecord               channel;
    std::shared_ptr<RealBuffer> buffer = std::make_shared<RealBuffer>();
    std::vector<ThreadRecord*>  recorders;
};

TEST_F(Recording, NoRecorderRunsWithoutItsSettings)
{
    g_config.iptv_time_shift_record_duration = 10;
    g_config.tv_on_demand_record_duration    = 0;
    StartRecorders(channel, 2, buffer, true, recorders);
    EXPECT_TRUE(recorders.empty());
    g_config.tv_on_demand_record_duration = 60;
    StartRecorders(channel, 2, buffer, false, recorders);      // an input that keeps no archive
    EXPECT_TRUE(recorders.empty());
}

TEST_F(Recording, TheArchiveDropsRtpHeadersWhileTheTimeShiftFileKeepsThem)
{
    g_config.iptv_time_shift_record_duration = 600;
    g_config.tv_on_demand_record_duration    = 60;
    StartRecorders(channel, 2, buffer, true, recorders);
    ASSERT_EQ(recorders.size(), 2u);
    for (int i = 0; i < 30; ++i) Write(TsBuilder().RtpHeader(static_cast<uint16_t>(i)).Pat().Null(6).Bytes());
    ASSERT_TRUE(WaitFor([&] { return channel.timeshift_bytes.load() == 30 * 1328; }, 5000));
    ASSERT_TRUE(WaitFor([&] { return ArchiveText().size() == 30u * 1316; }, 5000));
    g_channel_reader_stop.store(1);
    StopRecorders(recorders);
    const std::string shifted = dir.ReadFile("timeshift/time_shift_ch[3]");
    ASSERT_EQ(shifted.size(), 30u * 1328);
    EXPECT_EQ(static_cast<uint8_t>(shifted[0]), 0x80);
    const std::string archive = ArchiveText();
    ASSERT_EQ(archive.size(), 30u * 1316);
    for (std::size_t at = 0; at < archive.size(); at += 188) ASSERT_EQ(archive[at], 0x47) << at;
}

TEST_F(Recording, TheTimeShiftFileIsRewoundEveryPeriod)
{
    g_config.iptv_time_shift_record_duration = 11;
    StartRecorders(channel, 0, buffer, false, recorders);
    ASSERT_EQ(recorders.size(), 1u);
    const uint64_t started = GetTickMs();
    // Keep writing until the recorder rewinds: the written count drops back.
    int64_t highest = 0;
    bool rewound = false;
    while (!rewound && GetTickMs() - started < 20000) {
        Write(TsBuilder().RtpHeader().Null(7).Bytes());
        SleepMs(20);
        const int64_t now = channel.timeshift_bytes.load();
        if (now < highest) rewound = true;
        highest = std::max(highest, now);
    }
    ASSERT_TRUE(rewound);
    const uint64_t took = GetTickMs() - started;
    EXPECT_GE(took, 10500u);
    EXPECT_LT(took, 13500u);
    EXPECT_LT(channel.timeshift_bytes.load(), highest);
}

TEST_F(Recording, AnArchiveOfRealTrafficOpensInFfprobe)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    // A transport stream made here, fed to the ring as RTP slots of 7 packets.
    RunShell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 3 -c:v libx264 -preset ultrafast "
             "-f mpegts '" + dir.PathOf("clip.ts") + "'");
    const std::string clip = dir.ReadFile("clip.ts");
    ASSERT_GT(clip.size(), 1316u * 10);
    g_config.tv_on_demand_record_duration = 60;
    StartRecorders(channel, 4, buffer, true, recorders);
    std::size_t written = 0;
    for (std::size_t at = 0; at + 1316 <= clip.size(); at += 1316) {
        std::vector<uint8_t> slot = TsBuilder().RtpHeader().Bytes();
        slot.insert(slot.end(), clip.begin() + static_cast<long>(at), clip.begin() + static_cast<long>(at + 1316));
        Write(slot);
        written += 1316;
        if (channel.input_index.load() % 200 == 0) SleepMs(30);   // stay within one lap of the recorder
    }
    ASSERT_TRUE(WaitFor([&] { return ArchiveText().size() == written; }, 5000));
    const std::string name = ArchivePath();
    const std::string streams = RunShell("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + dir.PathOf(name) + "'");
    EXPECT_NE(streams.find("video"), std::string::npos) << streams;
}

}  // namespace
