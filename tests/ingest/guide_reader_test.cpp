// The programme guide of the real server: the operator's XMLTV files and the event tables of a
// stream become "/epg.xml" (valid against the XMLTV DTD), the channel list names it, and
// "/status.json" shows what is on now and next.

#include "support/eit_builder.h"
#include "support/live_feed.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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
    void SetUp() override { server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n"); }
    std::string Body(const std::string& path) { return server.Curl("-s -u root:rootpw 'URL" + path + "'"); }
    // The title of the guide's programme with these times on the channel ("" without one).
    static std::string TitleAt(const std::string& guide, std::time_t start, std::time_t stop, int channel = 1)
    {
        const std::size_t at = guide.find("<programme start=\"" + XmltvTimeOf(start) + "\" stop=\"" + XmltvTimeOf(stop) + "\" channel=\"" +
                                          std::to_string(channel) + "\">");
        if (at == std::string::npos) return "";
        const std::size_t title = guide.find("<title>", at);
        if (title == std::string::npos || title > guide.find("</programme>", at)) return "";
        return guide.substr(title + 7, guide.find("</title>", title) - title - 7);
    }
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
    EXPECT_EQ(TitleAt(guide, now - 1800, now + 1800), "Morning &amp; more") << guide;
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

    // The guide page's document, and the page itself in a browser.
    const std::string week = Body("/guide.json?channel=1");
    EXPECT_EQ(week.rfind("{\"channel\":1,\"name\":\"News\",\"archive\":false,\"programmes\":[{\"start\":" + std::to_string(now - 1800), 0), 0u)
        << week;
    if (HaveBrowser()) {
        std::filesystem::copy(QUORVANE_SOURCE_DIR "/demo/admin", server.Dir().PathOf("admin"), std::filesystem::copy_options::recursive);
        const std::string answer = server.Curl("-s 'URL/token/createtoken?userid=root&password=rootpw'");
        const std::string token = answer.size() > 8 ? answer.substr(6, answer.size() - 8) : "";
        const std::string page = RunShell("timeout 120 /usr/bin/python3 " QUORVANE_SOURCE_DIR "/tests/admin/guide_page.py '" +
                                          server.Url("/admin/guide.htm?token=" + token) + "' 'Morning & more' 2>&1; echo exit=$?");
        EXPECT_NE(page.find("exit=0"), std::string::npos) << page;
    }

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

// An event of the tables starting at `start` (UTC) for `minutes`.
EitTestEvent EventAt(uint16_t id, std::time_t start, int minutes, const std::string& title, const std::string& text = "")
{
    const auto bcd = [](int value) { return static_cast<uint32_t>(value / 10 * 16 + value % 10); };
    EitTestEvent event;
    event.event_id = id;
    event.mjd = static_cast<uint16_t>(start / 86400 + 40587);
    const int seconds = static_cast<int>(start % 86400);
    event.start_bcd = bcd(seconds / 3600) << 16 | bcd(seconds / 60 % 60) << 8 | bcd(seconds % 60);
    event.duration_bcd = bcd(minutes / 60) << 16 | bcd(minutes % 60) << 8;
    event.title = title;
    event.text = text;
    return event;
}

TEST_F(Guide, TheEventTablesOfAStreamBecomeItsGuide)
{
    const std::time_t now = std::time(nullptr) / 60 * 60;
    const uint16_t port = FreeUdpPort();
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://" +
                                                         std::to_string(port) + "\">Live</ch>\r\n");
    ASSERT_TRUE(server.Start());

    // Present and following, a schedule whose long description spans three packets, a section
    // whose CRC is broken and the events of another program: the stream's program is 1.
    EitPackets eit;
    EitTestSection present{0x4E, 1, 0, 0, 1, true, {EventAt(1, now - 600, 30, "Present")}};
    EitTestSection following{0x4E, 1, 0, 1, 1, true, {EventAt(2, now + 1200, 60, "Following")}};
    EitTestSection schedule{0x50, 1, 0, 0, 0, true,
                            {EventAt(3, now + 4800, 30, "Later", std::string(240, 'a')), EventAt(4, now + 6600, 30, "Latest", std::string(200, 'b'))}};
    std::vector<uint8_t> broken = EitSectionBytes(EitTestSection{0x50, 1, 0, 8, 8, true, {EventAt(5, now + 9000, 30, "Broken")}});
    broken[20] ^= 0x01;
    EitTestSection other{0x4E, 2, 0, 0, 1, true, {EventAt(6, now, 30, "Other program")}};
    eit.Add(EitSectionBytes(present)).Add(EitSectionBytes(following)).Add(EitSectionBytes(schedule)).Add(broken).Add(EitSectionBytes(other));
    ASSERT_GE(eit.Count(), 7u);
    std::vector<TsBuilder> datagrams{TsBuilder().Pat().Pmt()};
    for (std::size_t at = 0; at < eit.Count(); at += 7) {
        TsBuilder datagram;
        for (std::size_t k = at; k < std::min(at + 7, eit.Count()); ++k) datagram.Raw(std::vector<uint8_t>(eit.Packet(k), eit.Packet(k) + 188));
        datagrams.push_back(datagram);
    }
    UdpSource source(port, 20, [&](int64_t k) { return datagrams[static_cast<std::size_t>(k) % datagrams.size()]; }, 20);

    std::string guide;
    const auto has = [&](const std::string& title) { return guide.find("<title>" + title + "</title>") != std::string::npos; };
    for (int tries = 0; tries < 100 && !has("Latest"); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        guide = Body("/epg.xml");
    }
    EXPECT_EQ(TitleAt(guide, now - 600, now + 1200), "Present") << guide;
    EXPECT_TRUE(has("Following") && has("Later") && has("Latest")) << guide;
    EXPECT_NE(guide.find(std::string(240, 'a')), std::string::npos);
    EXPECT_FALSE(has("Broken") || has("Other program")) << guide;
    ExpectValid();
    const std::string status = Body("/status.json");
    EXPECT_NE(status.find("\"now\":{\"start\":" + std::to_string(now - 600) + ",\"stop\":" + std::to_string(now + 1200) +
                          ",\"title\":\"Present\"},\"next\":{\"start\":" + std::to_string(now + 1200)),
              std::string::npos)
        << status;
}

// On a multiplex each program takes the events of its own service.
TEST_F(Guide, TheEventTablesOfAMultiplexGoToTheirPrograms)
{
    const std::time_t now = std::time(nullptr) / 60 * 60;
    const uint16_t port = FreeUdpPort();
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"dvb://:" +
                                                         std::to_string(port) + ",2\">First</ch>\r\n<ch>Second</ch>\r\n");
    ASSERT_TRUE(server.Start());
    EitPackets eit;
    eit.Add(EitSectionBytes(EitTestSection{0x4E, 102, 0, 0, 1, true, {EventAt(1, now - 300, 30, "Two")}}))
        .Add(EitSectionBytes(EitTestSection{0x4E, 101, 0, 0, 1, true, {EventAt(1, now - 600, 30, "One")}}));
    TsBuilder tables;
    tables.Pat({{101, 0x100}, {102, 0x200}}).Pmt(0x100, 101, 0x101, {{0x1B, 0x101}}).Pmt(0x200, 102, 0x201, {{0x1B, 0x201}});
    TsBuilder events;
    for (std::size_t k = 0; k < eit.Count(); ++k) events.Raw(std::vector<uint8_t>(eit.Packet(k), eit.Packet(k) + 188));
    UdpSource source(port, 20, [&](int64_t k) { return k % 2 == 0 ? tables : events; }, 20);
    std::string guide;
    for (int tries = 0; tries < 100 && (TitleAt(guide, now - 600, now + 1200, 1).empty() || TitleAt(guide, now - 300, now + 1500, 2).empty());
         ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        guide = Body("/epg.xml");
    }
    EXPECT_EQ(TitleAt(guide, now - 600, now + 1200, 1), "One") << guide;
    EXPECT_EQ(TitleAt(guide, now - 300, now + 1500, 2), "Two") << guide;
}

}  // namespace
