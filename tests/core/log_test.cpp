#include "core/config.h"
#include "core/log.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <regex>
#include <string>

namespace {

struct LogFixture : ::testing::Test {
    TempWorkDir dir;
    void SetUp() override { ResetConfiguration(); }
    void TearDown() override { CloseLogFile(); }
};

using SystemLog = LogFixture;

TEST_F(SystemLog, IsNeverCreatedWhenSwitchedOff)
{
    g_config.system_log = 0;
    EXPECT_EQ(LogSystemMessage("nothing to the file\n"), 0);
    EXPECT_FALSE(dir.Exists("system.log"));
}

TEST_F(SystemLog, GetsTheBareTextsWithoutAddedLineBreaks)
{
    g_config.system_log = 1;
    OpenLogFile();
    EXPECT_EQ(LogSystemMessage("first part "), 11);
    EXPECT_EQ(LogSystemMessage("continued %d\n", 7), 12);
    LogSystemMessage("windows line\r\n");
    CloseLogFile();
    EXPECT_EQ(dir.ReadFile("system.log"), "Open System Log....\nfirst part continued 7\nwindows line\r\n");
}

TEST_F(SystemLog, AppendsToAnExistingFile)
{
    dir.WriteFile("system.log", "old\n");
    g_config.system_log = 1;
    OpenLogFile();
    LogSystemMessage("new\n");
    CloseLogFile();
    EXPECT_EQ(dir.ReadFile("system.log"), "old\nOpen System Log....\nnew\n");
}

TEST_F(SystemLog, AMessageLongerThanTheBufferIsCut)
{
    g_config.system_log = 1;
    OpenLogFile();
    const std::string huge(20000, 'y');
    EXPECT_EQ(LogSystemMessage("%s", huge.c_str()), 5119);
    CloseLogFile();
    EXPECT_EQ(dir.ReadFile("system.log"), "Open System Log....\n" + huge.substr(0, 5119));
}

using DebuggerOutput = LogFixture;

TEST_F(DebuggerOutput, NumbersMessagesWithFiveDigitsAndCountsUp)
{
    StderrCapture captured;
    LogSystemMessage("alpha\n");
    LogSystemMessage("beta\n");
    const std::string text = captured.Text();
    std::smatch first;
    std::smatch second;
    ASSERT_TRUE(std::regex_search(text, first, std::regex(R"(System Message \[(\d{5,})\]: alpha\n)")));
    ASSERT_TRUE(std::regex_search(text, second, std::regex(R"(System Message \[(\d{5,})\]: beta\n)")));
    EXPECT_EQ(std::stoi(second[1]), std::stoi(first[1]) + 1);
}

TEST_F(DebuggerOutput, TheStartupLoggerHasItsOwnPrefixAndNeverWritesTheFile)
{
    g_config.system_log = 1;
    OpenLogFile();
    StderrCapture captured;
    LogStartupMessage("hello %s\n", "there");
    CloseLogFile();
    EXPECT_TRUE(std::regex_search(captured.Text(), std::regex(R"(Quorvane Message \[\d{5}\]: hello there\n)")));
    EXPECT_EQ(dir.ReadFile("system.log"), "Open System Log....\n");
}

TEST_F(DebuggerOutput, ClosingTheLogIsAnnouncedOnlyToTheDebugger)
{
    g_config.system_log = 1;
    OpenLogFile();
    StderrCapture captured;
    CloseLogFile();
    EXPECT_NE(captured.Text().find("Close System Log....\n"), std::string::npos);
    EXPECT_EQ(dir.ReadFile("system.log"), "Open System Log....\n");
}

}  // namespace

namespace {

TEST_F(SystemLog, AFileThatCannotBeOpenedIsReportedAndNothingIsWritten)
{
    dir.MakeDir("system.log");                   // a folder in the way
    g_config.system_log = 1;
    StderrCapture captured;
    OpenLogFile();
    EXPECT_EQ(LogSystemMessage("lost\n"), 0);
    EXPECT_NE(captured.Text().find("Failed to open User System Log File "), std::string::npos);
    EXPECT_NE(captured.Text().find("Open System Log....\n"), std::string::npos);
}

}  // namespace
