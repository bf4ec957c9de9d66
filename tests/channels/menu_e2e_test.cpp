// The set-top menus of the real server binary, fetched with curl as a box fetches them: written
// at start-up and again after a channel refresh while a channel is being recorded.

#include "support/live_feed.h"
#include "support/test_server.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr char kHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<tml version=\"2.0\">\r\n"
                         "<title>Corvatelix Markup Language</title>\r\n"
                         "<lastBuildDate>Fri, 27 Aug 2010 04:50:23 GMT</lastBuildDate>\r\n";

std::string Icon(const std::string& file)
{
    const std::string hour = file.substr(11, 2);
    return "<icon src=\"" + std::to_string(std::stoi(hour)) + ".png\" href=\"tv_program_archive/News/" + file + "\">" + hour +
           "~" + (std::stoi(hour) + 1 < 10 ? "0" : "") + std::to_string(std::stoi(hour) + 1) + "</icon>\r\n";
}

TEST(SetTopMenus, BoxesGetTheDocumentsByteForByteAndARefreshListsTheRecordingUnderWay)
{
    if (std::system("command -v curl >/dev/null") != 0) GTEST_SKIP() << "curl missing";
    TestServer server;
    const uint16_t udp = FreeUdpPort();
    server.Dir().MakeDir("tml/pictures");
    server.Dir().WriteFile("tv_program_archive/news/2012_08_01_14_00.ts", "ts");
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n");
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
                                                     "<ch src=\"udp://:" + std::to_string(udp) + "\" rec_folder=\"news\">News</ch>\r\n"
                                                     "<ch src=\"udp://:1\">A&B</ch>\r\n");
    UdpSource source(udp, 60, PlainDatagram);
    ASSERT_TRUE(server.Start("tv_on_demand_record_duration=60\r\nvod_base_port=0\r\n"));
    const std::string port = std::to_string(server.Port());

    EXPECT_EQ(server.Curl("URL/tml/stb_tml.xml"),
              std::string(kHead) + "<logo src=\"http://@:" + port + "/tml/pictures/logo.png\" x=\"80\" y=\"140\"> </logo>\r\n"
                  "<msgfont>40</msgfont>\r\n<msgposition>150,868,1050,950</msgposition>\r\n"
                  "<item>\r\n<channel>1 - News</channel>\r\n<iptv>\r\n<livevideo>http://@:" + port + "/1.ch</livevideo>\r\n"
                  "</iptv>\r\n</item>\r\n"
                  "<item>\r\n<channel>2 - A&amp;B</channel>\r\n<iptv>\r\n<livevideo>http://@:" + port + "/2.ch</livevideo>\r\n"
                  "</iptv>\r\n</item>\r\n"
                  "<item>\r\n<channel>3 - Recorded Video</channel>\r\n<vod baseurl=\"http://@:" + port + "/tml/\">\r\n"
                  "<frame title=\"Channel Recorded Video\">\r\n"
                  "<icon src=\"pictures/ch1.png\" href=\"News.xml\">News</icon>\r\n"
                  "<icon src=\"pictures/ch2.png\" href=\"A&amp;B.xml\">A&amp;B</icon>\r\n"
                  "</frame>\r\n</vod>\r\n</item>\r\n</tml>\r\n");
    const std::string news_head = std::string(kHead) + "<logo> </logo>\r\n<item>\r\n<channel>1 - News Recorded Video</channel>\r\n"
                                  "<vod baseurl=\"http://@:" + port + "/tml/pictures/\" hrefbase=\"xancp://@:0/\">\r\n";
    EXPECT_EQ(server.Curl("URL/tml/News.xml"),
              news_head + "<frame title=\"News Channel: 2012_08_01\">\r\n" + Icon("2012_08_01_14_00.ts") + "</frame>\r\n"
                          "</vod>\r\n</item>\r\n</tml>\r\n");

    // The recorder opens today's file; a refresh lists it (and deletes nothing).
    ASSERT_TRUE(server.WaitForLog("Open TV On Demand File : [tv_program_archive/news/"));
    const std::string log = server.Dir().ReadFile("system.log");
    const std::size_t at = log.find("Open TV On Demand File : [tv_program_archive/news/") + 50;
    const std::string recording = log.substr(at, 19);
    const std::string token = server.Curl("'URL/token/createtoken?userid=root&password=rootpw' | sed -n 's/^token=//p' | tr -d '\\r\\n'");
    ASSERT_EQ(token.size(), 18u) << token;
    server.Curl("'URL/quorvane/refresh_channel?token=" + token + "'");
    ASSERT_TRUE(WaitUntil([&] {
        const std::string now = server.Dir().ReadFile("system.log");
        const std::size_t restart = now.find("IPTV EPG Update: Restart IPTV Channel Reader Thread\n");
        return restart != std::string::npos && now.find("End to Create TML...\n", restart) != std::string::npos;
    }, 15000));
    EXPECT_EQ(server.Curl("URL/tml/News.xml"),
              news_head + "<frame title=\"News Channel: 2012_08_01\">\r\n" + Icon("2012_08_01_14_00.ts") + "</frame>\r\n" +
                  "<frame title=\"News Channel: " + recording.substr(0, 10) + "\">\r\n" + Icon(recording) + "</frame>\r\n"
                  "</vod>\r\n</item>\r\n</tml>\r\n");
    EXPECT_TRUE(server.Dir().Exists("tml/stb_tml_backup.xml"));
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
