#include "core/config.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// Loads text as "quorvane_config.txt" from a fresh working folder with defaults reset.
struct ConfigFixture : ::testing::Test {
    TempWorkDir dir;
    void SetUp() override { ResetConfiguration(); }
    int Load(const std::string& text)
    {
        dir.WriteFile("quorvane_config.txt", text);
        return LoadConfiguration();
    }
};

using ReadingValues = ConfigFixture;

TEST_F(ReadingValues, AMissingFileKeepsEveryDefault)
{
    EXPECT_EQ(LoadConfiguration(), 0);
    EXPECT_STREQ(g_config.httpport, "8000");
    EXPECT_EQ(g_config.iptv_base_port, 554);
    EXPECT_EQ(g_config.vod_base_port, 2000);
    EXPECT_STREQ(g_config.rtmpport, "1935");
    EXPECT_STREQ(g_config.network_interface, "eth0");
    EXPECT_FLOAT_EQ(g_config.bitrate_constant, 1.0f);
    EXPECT_EQ(g_config.system_log, 0);
    EXPECT_FALSE(g_config.user_authorization);
    EXPECT_EQ(g_config.user_separator, '&');
    EXPECT_EQ(g_config.password_separator, ':');
    EXPECT_STREQ(g_config.igmpip, "");
}

TEST_F(ReadingValues, AnEmptyFileCountsAsNotRead)
{
    EXPECT_EQ(Load(""), 0);
    EXPECT_STREQ(g_config.httpport, "8000");
}

TEST_F(ReadingValues, TheLastLineNeedsNoLineBreak)
{
    ASSERT_EQ(Load("iptv_base_port=8554\r\nhttpport=9000"), 1);
    EXPECT_STREQ(g_config.httpport, "9000");
    EXPECT_EQ(g_config.iptv_base_port, 8554);
}

TEST_F(ReadingValues, ALastLineEndingInABareNewlineLosesNoCharacter)
{
    ASSERT_EQ(Load("httpport=9000\n"), 1);
    EXPECT_STREQ(g_config.httpport, "9000");
}

TEST_F(ReadingValues, BlanksStayInTextValuesAndAreSkippedByIntegerConversion)
{
    ASSERT_EQ(Load("httpport= 8080\r\nvod_base_port= 2100\r\n"), 1);
    EXPECT_STREQ(g_config.httpport, " 8080");
    EXPECT_EQ(g_config.vod_base_port, 2100);
    EXPECT_STREQ(g_config.vod_base_port_text, " 2100");
}

TEST_F(ReadingValues, TheFirstOccurrenceOfAKeyWins)
{
    ASSERT_EQ(Load("httpport=1111\r\nhttpport=2222\r\n"), 1);
    EXPECT_STREQ(g_config.httpport, "1111");
}

TEST_F(ReadingValues, ACommentedOutKeyStillMatches)
{
    ASSERT_EQ(Load("#httpport=1111\r\nhttpport=2222\r\n"), 1);
    EXPECT_STREQ(g_config.httpport, "1111");
}

TEST_F(ReadingValues, SimilarKeysEachFindTheirOwnLine)
{
    ASSERT_EQ(Load("videopath=/v\r\npicturepath=/p\r\n"), 1);
    EXPECT_STREQ(g_config.videopath, "/v");
    EXPECT_STREQ(g_config.picturepath, "/p");
}

TEST_F(ReadingValues, AValueWithoutDigitsConvertsToZero)
{
    ASSERT_EQ(Load("iptv_base_port=abc\r\n"), 1);
    EXPECT_EQ(g_config.iptv_base_port, 0);
}

TEST_F(ReadingValues, TheWorkingDirectoryIsRecorded)
{
    ASSERT_EQ(Load("httpport=1\r\n"), 1);
    EXPECT_EQ(std::string(g_server_base_dir), dir.Path());
}

using ConvertingValues = ConfigFixture;

TEST_F(ConvertingValues, TvOnDemandAbove60IsClampedWithTwoLogLines)
{
    StderrCapture log;
    ASSERT_EQ(Load("tv_on_demand_record_duration=90\r\n"), 1);
    EXPECT_EQ(g_config.tv_on_demand_record_duration, 60);
    const std::string text = log.Text();
    const auto first  = text.find("tv_on_demand_record_duration should be >60 min.");
    const auto second = text.find("System sets 60 min. to tv_on_demand_record_duration");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
}

TEST_F(ConvertingValues, ANegativeTvOnDemandValueIsKept)
{
    ASSERT_EQ(Load("tv_on_demand_record_duration=-5\r\n"), 1);
    EXPECT_EQ(g_config.tv_on_demand_record_duration, -5);
}

TEST_F(ConvertingValues, BitrateConstantOfExactlyTwoStays)
{
    ASSERT_EQ(Load("bitrate_constant=2.0\r\n"), 1);
    EXPECT_FLOAT_EQ(g_config.bitrate_constant, 2.0f);
}

TEST_F(ConvertingValues, BitrateConstantAboveTwoBecomesZeroWithTheWarning)
{
    StderrCapture log;
    ASSERT_EQ(Load("bitrate_constant=2.5\r\n"), 1);
    EXPECT_FLOAT_EQ(g_config.bitrate_constant, 0.0f);
    EXPECT_NE(log.Text().find("System Warning : bitrate_constant ( 2.50) >2.0\n"), std::string::npos);
}

TEST_F(ConvertingValues, UserAuthorizationOneUsesAmpersandAndColon)
{
    ASSERT_EQ(Load("user_authorization=1\r\n"), 1);
    EXPECT_TRUE(g_config.user_authorization);
    EXPECT_EQ(g_config.user_separator, '&');
    EXPECT_EQ(g_config.password_separator, ':');
}

TEST_F(ConvertingValues, UserAuthorizationZeroIsOff)
{
    ASSERT_EQ(Load("user_authorization=0\r\n"), 1);
    EXPECT_FALSE(g_config.user_authorization);
}

TEST_F(ConvertingValues, UserAuthorizationWithAnyOtherCharacterUsesItForBothSeparators)
{
    ASSERT_EQ(Load("user_authorization=;\r\n"), 1);
    EXPECT_TRUE(g_config.user_authorization);
    EXPECT_EQ(g_config.user_separator, ';');
    EXPECT_EQ(g_config.password_separator, ';');
}

TEST_F(ConvertingValues, AnEmptyUserAuthorizationIsOnWithTheZeroCharacter)
{
    ASSERT_EQ(Load("user_authorization=\r\n"), 1);
    EXPECT_TRUE(g_config.user_authorization);
    EXPECT_EQ(g_config.user_separator, '\0');
    EXPECT_EQ(g_config.password_separator, '\0');
}

using CuttingValues = ConfigFixture;

TEST_F(CuttingValues, LongValuesAreCutToTheirBuffers)
{
    const std::string long_path(2000, 'x');
    ASSERT_EQ(Load("igmpip=239.255.255.250.1234\r\nsystem_log=12345\r\nnetwork_interface=enp0s31f6\r\n"
                   "videopath=" + long_path + "\r\nplugin_command_path=" + long_path + "\r\n"),
              1);
    EXPECT_STREQ(g_config.igmpip, "239.255.255.250");
    EXPECT_STREQ(g_config.system_log_text, "123");
    EXPECT_EQ(g_config.system_log, 123);
    EXPECT_STREQ(g_config.network_interface, "enp0");
    EXPECT_EQ(std::string(g_config.videopath), long_path.substr(0, 255));
    EXPECT_EQ(std::string(g_config.plugin_command_path), long_path.substr(0, 1023));
}

TEST(SharedReader, FindsTheValueUpToTheLineBreakWithoutItsCarriageReturn)
{
    std::string_view value;
    ASSERT_TRUE(FindKeyValue("a=1\r\nkey=va lue\r\nb=2\r\n", "key", value));
    EXPECT_EQ(value, "va lue");
    EXPECT_FALSE(FindKeyValue("key=open", "key", value));   // no line end after it
    EXPECT_FALSE(FindKeyValue("k=1\r\n", "key", value));
}

TEST(SharedReader, NormalisesTheEndOfTheText)
{
    std::string a = "x=1";
    std::string b = "x=1\n";
    std::string c = "x=1\r\n";
    NormaliseLineEnd(a);
    NormaliseLineEnd(b);
    NormaliseLineEnd(c);
    EXPECT_EQ(a, "x=1\r\n");
    EXPECT_EQ(b, "x=1\r\n");
    EXPECT_EQ(c, "x=1\r\n");
}

struct DnsFileFixture : ::testing::Test {
    TempWorkDir dir;
    void SetUp() override { ResetConfiguration(); }
};

using ReadingTheDnsFile = DnsFileFixture;

TEST_F(ReadingTheDnsFile, TakesTheTextBetweenTheMarkers)
{
    dir.WriteFile("xan_dns.txt", "<dns_ip>127.0.0.1</dns_ip>");
    EXPECT_EQ(LoadDnsServerFile(), 1);
    EXPECT_STREQ(g_dns_server_ip, "127.0.0.1");
}

TEST_F(ReadingTheDnsFile, AMissingFileKeepsTheDefault)
{
    StderrCapture log;
    const std::string before = g_dns_server_ip;
    EXPECT_EQ(LoadDnsServerFile(), 0);
    EXPECT_EQ(before, g_dns_server_ip);
    EXPECT_NE(log.Text().find("no DNS File\n"), std::string::npos);
}

TEST_F(ReadingTheDnsFile, AFileWithoutMarkersIsAnErrorFormat)
{
    StderrCapture log;
    dir.WriteFile("xan_dns.txt", "127.0.0.1\r\n");
    const std::string before = g_dns_server_ip;
    EXPECT_EQ(LoadDnsServerFile(), 0);
    EXPECT_EQ(before, g_dns_server_ip);
    EXPECT_NE(log.Text().find("DNS File is error format\n"), std::string::npos);
}

TEST_F(ReadingTheDnsFile, AnOpeningMarkerWithoutItsCloseIsAnErrorFormat)
{
    StderrCapture log;
    dir.WriteFile("xan_dns.txt", "<dns_ip>127.0.0.1\r\n");
    EXPECT_EQ(LoadDnsServerFile(), 0);
    EXPECT_NE(log.Text().find("DNS File is error format\n"), std::string::npos);
}

TEST_F(ReadingTheDnsFile, ALongAddressIsCutToFifteenCharacters)
{
    dir.WriteFile("xan_dns.txt", "<dns_ip>127.000.000.001.999</dns_ip>\r\n");
    EXPECT_EQ(LoadDnsServerFile(), 1);
    EXPECT_STREQ(g_dns_server_ip, "127.000.000.001");
}

}  // namespace
