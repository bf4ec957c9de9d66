#include "channels/channel_log.h"
#include "channels/channel_table.h"
#include "core/platform/platform.h"
#include "core/server_control.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

std::tm TimeOf(int year, int month, int day, int hour, int minute, int second)
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

TEST(FormattingALogLine, CountsFollowTheTimeStampAndEveryLineEnds)
{
    const std::tm when = TimeOf(2024, 3, 5, 7, 8, 9);
    EXPECT_EQ(ChannelLogLine(when, {2, 0, 5}), "03/05/2024 07:08:09,2,0,5\n");
    EXPECT_EQ(ChannelLogLine(when, {}), "03/05/2024 07:08:09,\n");
}

struct ChannelLogFixture : ::testing::Test {
    TempWorkDir dir;
    void SetUp() override { dir.MakeDir("channel_log"); }
    void TearDown() override
    {
        g_channel_log_stop.store(0);
        FreeChannelTable();
    }
};

using ReadingTheLogBack = ChannelLogFixture;

TEST_F(ReadingTheLogBack, TheFileNamesTheMonthAsANumberAndTheKeyUsesItAsSent)
{
    dir.WriteFile("channel_log/channel_active_player_log_3_2024.csv",
                  "03/05/2024 06:59:00,1\n03/05/2024 07:00:00,1\n03/05/2024 07:01:00,2\n"
                  "03/05/2024 08:00:00,3\n03/05/2024 07:30:00,9\n");
    std::string out = "stale";
    ASSERT_EQ(ReadChannelLogLines("2024", "03", "05", "07", out), 1);
    EXPECT_EQ(out, "03/05/2024 07:00:00,1\n03/05/2024 07:01:00,2\n");   // stops after the block

    ASSERT_EQ(ReadChannelLogLines("2024", "03", "06", "07", out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(ReadChannelLogLines("2025", "03", "05", "07", out), 0);    // no such file
}

TEST_F(ReadingTheLogBack, AYearThatIsNotDigitsIsRefused)
{
    dir.WriteFile("channel_log/channel_active_player_log_3_2024.csv", "03/05/2024 07:00:00,1\n");
    dir.WriteFile("channel_log/channel_active_player_log_3_x.csv", "03/05/x 07:00:00,1\n");
    std::string out;
    for (const char* year : {"x", "", "2024.csv/../2024", " 2024", "-2024"})
        EXPECT_EQ(ReadChannelLogLines(year, "03", "05", "07", out), 0) << year;
}

TEST_F(ReadingTheLogBack, LinesLongerThan1024BytesAreMatchedWhole)
{
    std::string counts;
    for (int i = 0; i < 600; ++i) counts += ",1";
    const std::string first  = "03/05/2024 07:00:00" + counts + "\n";
    const std::string second = "03/05/2024 07:01:00" + counts + "\n";
    dir.WriteFile("channel_log/channel_active_player_log_3_2024.csv", first + second + "03/05/2024 08:00:00,0\n");
    std::string out;
    ASSERT_EQ(ReadChannelLogLines("2024", "03", "05", "07", out), 1);
    EXPECT_EQ(out, first + second);
}

using WritingTheLog = ChannelLogFixture;

TEST_F(WritingTheLog, TheFirstLineIsWrittenAtOnceWithEveryChannelsCount)
{
    dir.WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
                                            "<ch src=\"udp://:5001\">A</ch>\r\n<ch src=\"udp://:5002\">B</ch>\r\n"
                                            "<ch src=\"udp://:5003\">C</ch>\r\n");
    ASSERT_EQ(LoadChannelTable(false), 1);
    const auto table = CurrentChannels();
    const int players[] = {2, 0, 5};
    for (int i = 0; i < 3; ++i) table->channels[static_cast<std::size_t>(i)]->active_players = players[i];

    const std::tm now = LocalTime();
    const std::string name = "channel_log/channel_active_player_log_" + std::to_string(now.tm_mon + 1) + "_" +
                             std::to_string(now.tm_year + 1900) + ".csv";
    g_channel_log_stop.store(0);
    std::thread writer([] { ChannelLogWriter(nullptr); });
    const uint64_t deadline = GetTickMs() + 10000;
    while (dir.ReadFile(name).find('\n') == std::string::npos && GetTickMs() < deadline) SleepMs(10);
    g_channel_log_stop.store(1);
    writer.join();

    const std::string text = dir.ReadFile(name);
    ASSERT_EQ(text.size(), std::string("03/05/2024 07:08:09,2,0,5\n").size()) << text;
    EXPECT_EQ(text.substr(19), ",2,0,5\n");
}

}  // namespace
