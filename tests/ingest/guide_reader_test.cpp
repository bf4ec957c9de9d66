// The programme guide of the real server: the operator's XMLTV files and the event tables of a
// stream become "/epg.xml" (valid against the XMLTV DTD), the channel list names it, and
// "/status.json" shows what is on now and next.

#include "support/test_server.h"

#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kDtd = "/usr/share/sgml/xmltv/dtd/0.5/xmltv.dtd";

std::string XmltvTimeOf(std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S +0000", &utc);
    return text;
}

std::string Programme(const std::string& channel, std::time_t start, int minutes, const std::string& title)
{
    return "<programme start=\"" + XmltvTimeOf(start) + "\" stop=\"" + XmltvTimeOf(start + minutes * 60) + "\" channel=\"" + channel +
           "\"><title lang=\"en\">" + title + "</title><desc>About " + title + "</desc></programme>\n";
}

class Guide : public ::testing::Test {
protected:
    std::string Body(const std::string& path) { return server.Curl("-s 'URL" + path + "'"); }
    // Whether xmllint accepts the guide the server answers now (true without xmllint or the DTD).
    void ExpectValid()
    {
        if (!HaveTool("xmllint") || access(kDtd, R_OK) != 0) return;
        server.Dir().WriteFile("epg_out.xml", Body("/epg.xml"));
        const ShellResult checked =
            RunShellWithCode("xmllint --noout --dtdvalid " + std::string(kDtd) + " '" + server.Dir().PathOf("epg_out.xml") + "'");
        EXPECT_EQ(checked.code, 0) << checked.output;
    }
    TestServer server;
};

TEST_F(Guide, AnOperatorsXmltvFileIsReadAtStartAndAgainWhenItChanges)
{
    const std::time_t now = std::time(nullptr);
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
                                                     "<ch src=\"udp://127.0.0.1:1\" img=\"logo/news.png\">News</ch>\r\n"
                                                     "<ch src=\"udp://127.0.0.1:2\">Films</ch>\r\n");
    server.Dir().MakeDir("epg");
    // Channel "news" is named by its name, "2" by its number (the list's tvg-id); "radio" by none.
    server.Dir().WriteFile("epg/guide.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tv>\n"
                                            "<channel id=\"news\"><display-name>News</display-name></channel>\n"
                                            "<channel id=\"2\"><display-name>Cinema</display-name></channel>\n" +
                                                Programme("news", now - 1800, 60, "Morning &amp; more") +
                                                Programme("news", now + 1800, 30, "Weather") + Programme("2", now - 600, 120, "Film") +
                                                Programme("radio", now, 60, "Nobody's") + "</tv>\n");
    ASSERT_TRUE(server.Start("epg_poll_seconds=1\r\n"));
    ASSERT_TRUE(server.WaitForLog("EPG: [epg/guide.xml] read: 2 channels, 4 programmes\n"));

    const std::string guide = Body("/epg.xml");
    EXPECT_NE(guide.find("<channel id=\"1\">"), std::string::npos) << guide;
    EXPECT_NE(guide.find("<icon src=\"http://127.0.0.1:" + std::to_string(server.Port()) + "/logo/news.png\""), std::string::npos) << guide;
    EXPECT_NE(guide.find("<programme start=\"" + XmltvTimeOf(now - 1800) + "\" stop=\"" + XmltvTimeOf(now + 1800) + "\" channel=\"1\">"),
              std::string::npos)
        << guide;
    EXPECT_NE(guide.find("Morning &amp; more"), std::string::npos) << guide;
    EXPECT_NE(guide.find("channel=\"2\""), std::string::npos) << guide;
    EXPECT_EQ(guide.find("Nobody's"), std::string::npos) << guide;
    ExpectValid();
    const std::string list = Body("/playlist.m3u");
    EXPECT_EQ(list.rfind("#EXTM3U url-tvg=\"http://127.0.0.1:" + std::to_string(server.Port()) + "/epg.xml\"", 0), 0u) << list;

    // What is on now and next, for the status page.
    const std::string status = Body("/status.json");
    EXPECT_NE(status.find("\"now\":{\"start\":" + std::to_string(now - 1800) + ",\"stop\":" + std::to_string(now + 1800) +
                          ",\"title\":\"Morning & more\"},\"next\":{\"start\":" + std::to_string(now + 1800)),
              std::string::npos)
        << status;

    // A changed file replaces what the old one said; a broken one leaves the guide as it was.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));   // a new modification time
    server.Dir().WriteFile("epg/guide.xml", "<tv><channel id=\"news\"/>" + Programme("news", now - 60, 30, "Breaking") + "</tv>");
    ASSERT_TRUE(server.WaitForLog("EPG: [epg/guide.xml] read: 1 channels, 1 programmes\n", 5000));
    const std::string changed = Body("/epg.xml");
    EXPECT_NE(changed.find("Breaking"), std::string::npos) << changed;
    EXPECT_EQ(changed.find("Weather"), std::string::npos) << changed;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    server.Dir().WriteFile("epg/guide.xml", "<tv><programme start=\"2026");
    ASSERT_TRUE(server.WaitForLog("EPG: [epg/guide.xml] is not an XMLTV guide (", 5000));
    EXPECT_NE(Body("/epg.xml").find("Breaking"), std::string::npos);
}

}  // namespace
