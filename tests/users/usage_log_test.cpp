#include "core/config.h"
#include "core/log.h"
#include "users/usage_log.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <regex>

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

TEST(WatchLogLines, AreWrittenByteForByte)
{
    const std::tm start = At(2013, 3, 5, 10, 0, 0);
    const std::tm end   = At(2013, 3, 5, 10, 5, 0);
    EXPECT_EQ(ChannelStartLine(start, "bob", 3), "03/05 10:00:00 2013 --> UserName =[bob] Start to Watch Channel no.= [3]\n");
    EXPECT_EQ(ChannelEndLine(end, "bob", 3), "03/05 10:05:00 2013 --> UserName =[bob] End to Watch Channel no.= [3]\n");
    EXPECT_EQ(MovieStartLine(start, "bob", "bob", "media/videos/a.mp4", 95),
              "03/05 10:00:00 2013 --> ID : [bob] UserName =[bob] Start Movie Name: [media/videos/a.mp4], Movie Duration: [95]\n");
    EXPECT_EQ(MovieEndLine(end, "10.0.0.7", "10.0.0.7", "a.ts"),
              "03/05 10:05:00 2013 --> ID : [10.0.0.7] UserName =[10.0.0.7] End Movie Name: [a.ts]\n");
}

TEST(WatchLogLines, AHugeNameIsCutButTheLineStillEnds)
{
    const std::string name(10000, 'x');
    const std::string line = ChannelStartLine(At(2013, 3, 5, 10, 0, 0), name.c_str(), 1);
    EXPECT_LT(line.size(), 5000u);
    EXPECT_EQ(line.back(), '\n');
}

struct UsageLogFixture : ::testing::Test {
    TempWorkDir dir;
    void SetUp() override { ResetConfiguration(); }
    void TearDown() override { CloseUserLogs(); }
};

using UsageLogFiles = UsageLogFixture;

TEST_F(UsageLogFiles, EventsAppendTheirLinesAndStoreThePlayerTime)
{
    dir.MakeDir("users");
    dir.WriteFile("users/user_watch_log.csv", "old line\n");
    OpenUserLogs();
    char stamp[32] = "";
    LogChannelStart("bob", 3, stamp, sizeof stamp);
    LogChannelEnd("bob", 3);
    WritePointLog("point line\n");
    CloseUserLogs();
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})"))) << stamp;
    const std::string watch = dir.ReadFile("users/user_watch_log.csv");
    EXPECT_TRUE(std::regex_match(watch, std::regex("old line\n"
                                                   R"(\d\d/\d\d \d\d:\d\d:\d\d \d{4} --> UserName =\[bob\] Start to Watch Channel no\.= \[3\]\n)"
                                                   R"(\d\d/\d\d \d\d:\d\d:\d\d \d{4} --> UserName =\[bob\] End to Watch Channel no\.= \[3\]\n)")))
        << watch;
    EXPECT_EQ(dir.ReadFile("users/user_point_log.csv"), "point line\n");
}

TEST_F(UsageLogFiles, TheStartOfAMovieAlsoGoesToTheSystemLog)
{
    dir.MakeDir("users");
    g_config.system_log = 1;
    OpenLogFile();
    OpenUserLogs();
    char stamp[32] = "";
    LogMovieStart("bob", "bob", "film.mp4", 60, stamp, sizeof stamp);
    LogMovieEnd("bob", "bob", "film.mp4");
    CloseUserLogs();
    CloseLogFile();
    const std::string system_log = dir.ReadFile("system.log");
    EXPECT_NE(system_log.find("Start Movie Name: [film.mp4], Movie Duration: [60]\n"), std::string::npos);
    EXPECT_EQ(system_log.find("End Movie Name"), std::string::npos);
    EXPECT_NE(dir.ReadFile("users/user_watch_log.csv").find("End Movie Name: [film.mp4]\n"), std::string::npos);
}

TEST_F(UsageLogFiles, WithoutTheUsersFolderBothLogsAreSkipped)
{
    StderrCapture log;
    OpenUserLogs();
    char stamp[32] = "";
    LogChannelStart("bob", 1, stamp, sizeof stamp);
    WritePointLog("x\n");
    const std::string text = log.Text();
    EXPECT_NE(text.find("Failed to open User Billing Log File "), std::string::npos);
    EXPECT_NE(text.find("Failed to open User Watch Log File "), std::string::npos);
    EXPECT_NE(text.find("Open User Log....\n"), std::string::npos);
    EXPECT_FALSE(dir.Exists("users"));
}

}  // namespace
