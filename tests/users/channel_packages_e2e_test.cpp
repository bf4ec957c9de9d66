// Channel packages against the real server: what a user with a package may open over each
// output, what their channel list holds, and the package files under concurrent REST edits.

#include "support/live_feed.h"
#include "support/rtsp_client.h"
#include "support/test_server.h"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
constexpr char kUserRefusal[] = "HTTP/1.0 1001 Username and Password error\r\n\r\n";
constexpr char kUsers[] = "root,rootpw,12/31/2099,free,0\r\nann,pw,12/31/2099,free,0\r\nbob,pw,12/31/2099,free,0\r\n";

std::string Get(const std::string& target) { return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; }

std::string Body(const std::string& answer)
{
    const std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

// The "http://.../N.ch" lines of an M3U list, without their queries.
std::vector<std::string> ListedChannels(const std::string& list)
{
    std::vector<std::string> channels;
    const std::regex line("/([0-9]+)\\.ch");
    for (auto at = std::sregex_iterator(list.begin(), list.end(), line); at != std::sregex_iterator(); ++at)
        channels.push_back((*at)[1]);
    return channels;
}

// Lines ended by "\r\n", each matching pattern.
bool CompleteLines(const std::string& text, const std::regex& pattern)
{
    if (!text.empty() && !text.ends_with("\r\n")) return false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        if (!std::regex_match(text.substr(at, end - at), pattern)) return false;
        at = end + 2;
    }
    return true;
}

}  // namespace

TEST(ChannelPackagesEndToEnd, AUserWithAPackageOpensOnlyItsChannelsOnEveryOutput)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    TestServer server;
    const uint16_t udp1 = FreeUdpPort(), udp2 = FreeUdpPort(), rtsp = FreeTcpPort();
    server.Dir().WriteFile("user_profile.csv", kUsers);
    server.Dir().WriteFile("channel_packages.csv", "basic,1\r\nsports,2\r\n");
    server.Dir().WriteFile("user_packages.csv", "ann,basic\r\n");
    server.Dir().WriteFile("channel_definition.xml", std::string(kXmlHead) + "<ch src=\"udp://" + std::to_string(udp1) +
                                                         "\">One</ch>\r\n<ch src=\"udp://" + std::to_string(udp2) + "\">Two</ch>\r\n");
    server.Dir().MakeDir("tml/pictures");
    ASSERT_TRUE(server.Start("user_authorization=1\r\ntv_on_demand_record_duration=60\r\niptv_base_port=" + std::to_string(rtsp) +
                             "\r\n"));
    UdpSource two(udp2, 60, PlainDatagram);
    // HLS needs key pictures to cut at.
    ChildProgram one;
    ASSERT_TRUE(one.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=160x120:rate=25 -t 60 "
                                            "-c:v libx264 -preset ultrafast -g 25 -f mpegts 'udp://127.0.0.1:" +
                                                std::to_string(udp1) + "?pkt_size=1316'"},
                          server.Dir().Path()));
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No [" + std::to_string(udp1) + "]"));

    EXPECT_EQ(ListedChannels(Body(server.Fetch(Get("/playlist.m3u?u=ann&p=pw")))), std::vector<std::string>{"1"});
    EXPECT_EQ(ListedChannels(Body(server.Fetch(Get("/playlist.m3u8?u=bob&p=pw")))), (std::vector<std::string>{"1", "2"}));
    // The boxes' menu: the user's channels when asked with credentials, every channel without.
    const auto menu_lists = [&](const std::string& target, const char* live) {
        return Body(server.Fetch(Get(target))).find(std::string("/") + live + ".ch</livevideo>") != std::string::npos;
    };
    EXPECT_TRUE(menu_lists("/tml/stb_tml.xml?u=ann&p=pw", "1"));
    EXPECT_FALSE(menu_lists("/tml/stb_tml.xml?u=ann&p=pw", "2"));
    EXPECT_TRUE(menu_lists("/tml/stb_tml.xml?u=bob&p=pw", "2"));
    EXPECT_TRUE(menu_lists("/tml/stb_tml.xml", "2"));
    EXPECT_EQ(server.Fetch(Get("/tml/stb_tml.xml?u=ann&p=wrong")), kUserRefusal);

    EXPECT_EQ(server.Fetch(Get("/2.ch?u=ann&p=pw")), kUserRefusal);
    EXPECT_EQ(server.Fetch(Get("/2/index.m3u8?u=ann&p=pw")), kUserRefusal);
    EXPECT_EQ(server.Fetch(Get("/2/archive-1700000000-60.m3u8?u=ann&p=pw")), kUserRefusal);
    EXPECT_EQ(server.Fetch(Get("/2/archive-1700000000-60.ts?u=ann&p=pw")), kUserRefusal);
    RtspClient refused(rtsp);
    ASSERT_TRUE(refused.Send("DESCRIBE rtsp://127.0.0.1:" + std::to_string(rtsp) + "/2.ch?u=ann&p=pw RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
    EXPECT_TRUE(refused.Reply().starts_with("RTSP/1.0 451 ")) << "the refusal of an unknown user";

    {
        RtspClient player(rtsp);
        ASSERT_NE(player.PlayOverTcp("rtsp://127.0.0.1:" + std::to_string(rtsp) + "/1.ch?u=ann&p=pw"), "");
        RtspClient::Frame frame;
        EXPECT_TRUE(player.NextFrame(frame, 10000));
    }
    for (const char* who : {"ann", "bob"}) {           // bob has no packages: every channel
        const std::string target = std::string(who == std::string("ann") ? "/1.ch" : "/2.ch") + "?u=" + who + "&p=pw";
        const int fd = ConnectLoopback(server.Port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAllText(fd, Get(target)));
        const std::string got = ReadFor(fd, 20000, 15000);
        close(fd);
        EXPECT_TRUE(got.starts_with("HTTP/1.1 200 OK")) << who << ": " << got.substr(0, 80);
        EXPECT_GT(got.size(), 20000u) << who;
    }

    // A change takes effect at once, for the segments of a running HLS viewing too (the user's
    // one stream: started after the others, which it ends).
    const std::string playlist = Body(server.Fetch(Get("/1/index.m3u8?u=ann&p=pw"), 30000));
    const std::size_t segment_at = playlist.rfind("seg-");
    ASSERT_NE(segment_at, std::string::npos) << playlist;
    const std::string segment = "/1/" + playlist.substr(segment_at, playlist.find('\r', segment_at) - segment_at);
    EXPECT_TRUE(server.Fetch(Get(segment)).starts_with("HTTP/1.1 200 OK"));
    const std::string token = Body(server.Fetch(Get("/token/createtoken?userid=root&password=rootpw"))).substr(6, 18);
    EXPECT_EQ(Body(server.Fetch(Get("/quorvane/user_package_update?token=" + token + "&username=ann&packages=sports"))),
              "result=1\r\n");
    EXPECT_EQ(server.Fetch(Get(segment)), kUserRefusal);
    EXPECT_EQ(ListedChannels(Body(server.Fetch(Get("/playlist.m3u?u=ann&p=pw")))), std::vector<std::string>{"2"});
}

TEST(ChannelPackagesEndToEnd, ConcurrentEditsAndAKilledServerLeaveCompleteFiles)
{
    TestServer server;
    server.Dir().WriteFile("user_profile.csv", kUsers);
    server.Dir().WriteFile("channel_definition.xml", kXmlHead);
    ASSERT_TRUE(server.Start());
    const std::string token = Body(server.Fetch(Get("/token/createtoken?userid=root&password=rootpw"))).substr(6, 18);
    const auto edits = [&](int client, int count) {
        for (int k = 0; k < count; ++k) {
            const std::string name = "p" + std::to_string(client) + "_" + std::to_string(k);
            server.Fetch(Get("/quorvane/package_list_update?token=" + token + "&package=" + name + "&channels=1%2C" +
                             std::to_string(k + 2) + "-" + std::to_string(k + 9)), 5000);
            server.Fetch(Get("/quorvane/user_package_update?token=" + token + "&username=u" + std::to_string(client) +
                             "&packages=" + name), 5000);
        }
    };
    std::vector<std::thread> clients;
    for (int client = 0; client < 4; ++client) clients.emplace_back(edits, client, 10);
    for (std::thread& client : clients) client.join();

    const std::regex package_line("p[0-9]_[0-9]+,1,[0-9]+-[0-9]+"), user_line("u[0-9],p[0-9]_[0-9]+");
    const std::string packages = server.Dir().ReadFile("channel_packages.csv");
    EXPECT_TRUE(CompleteLines(packages, package_line)) << packages;
    EXPECT_EQ(Occurrences(packages, "\r\n"), 40u) << "no edit is lost";
    const std::string users = server.Dir().ReadFile("user_packages.csv");
    EXPECT_EQ(users.size(), 4 * std::string("u0,p0_9\r\n").size()) << users;
    for (const char* line : {"u0,p0_9\r\n", "u1,p1_9\r\n", "u2,p2_9\r\n", "u3,p3_9\r\n"})
        EXPECT_NE(users.find(line), std::string::npos) << users;
    const std::string listed = Body(server.Fetch(Get("/quorvane/package_list_query?token=" + token)));
    EXPECT_NE(listed.find("package=p3_9\r\nchannels=1,11-18\r\n"), std::string::npos) << listed;
    EXPECT_EQ(Body(server.Fetch(Get("/quorvane/user_package_query?token=" + token + "&username=u2"))),
              "username=u2\r\npackages=p2_9\r\n");

    clients.clear();
    for (int client = 4; client < 8; ++client) clients.emplace_back(edits, client, 30);
    EXPECT_TRUE(WaitUntil([&] { return Occurrences(server.Dir().ReadFile("channel_packages.csv"), "\r\n") >= 50; }, 20000));
    server.Process().Signal(SIGKILL);
    for (std::thread& client : clients) client.join();
    EXPECT_TRUE(CompleteLines(server.Dir().ReadFile("channel_packages.csv"), package_line));
    EXPECT_TRUE(CompleteLines(server.Dir().ReadFile("user_packages.csv"), user_line));
}

TEST(ChannelPackagesEndToEnd, ARecordingIsRefusedAsItsChannelIsAndAFilmIsNot)
{
    TestServer server;
    const uint16_t rtsp = FreeTcpPort();
    server.Dir().WriteFile("user_profile.csv", kUsers);
    server.Dir().WriteFile("channel_packages.csv", "basic,1\r\n");
    server.Dir().WriteFile("user_packages.csv", "ann,basic\r\n");
    server.Dir().WriteFile("channel_definition.xml", std::string(kXmlHead) +
                                                         "<ch src=\"udp://" + std::to_string(FreeUdpPort()) +
                                                         "\" rec_folder=\"one\">One</ch>\r\n<ch src=\"udp://" +
                                                         std::to_string(FreeUdpPort()) + "\" rec_folder=\"two/b\">Two</ch>\r\n");
    for (const char* folder : {"tv_program_archive", "tv_program_archive/one", "tv_program_archive/two", "tv_program_archive/two/b"})
        server.Dir().MakeDir(folder);
    const std::string packets(188 * 20, '\x47');
    for (const char* name : {"tv_program_archive/one/2026_12_10_10_00.ts", "tv_program_archive/two/b/2026_12_10_10_00.ts", "film.ts"})
        server.Dir().WriteFile(name, packets);
    ASSERT_TRUE(server.Start("user_authorization=1\r\niptv_base_port=" + std::to_string(rtsp) + "\r\n"));

    for (const char* path : {"/tv_program_archive/two/b/2026_12_10_10_00.ts", "//tv_program_archive/./two//b/2026_12_10_10_00.ts"})
        EXPECT_EQ(server.Fetch(Get(std::string(path) + "?u=ann&p=pw")).substr(0, 80), kUserRefusal) << path;
    for (const char* path : {"/tv_program_archive/one/2026_12_10_10_00.ts", "/film.ts"})
        EXPECT_TRUE(server.Fetch(Get(std::string(path) + "?u=ann&p=pw")).starts_with("HTTP/1.1 200 OK")) << path;
    EXPECT_TRUE(server.Fetch(Get("/tv_program_archive/two/b/2026_12_10_10_00.ts?u=bob&p=pw")).starts_with("HTTP/1.1 200 OK"));

    const std::string base = "rtsp://127.0.0.1:" + std::to_string(rtsp) + "/";
    RtspClient refused(rtsp);
    ASSERT_TRUE(refused.Send("DESCRIBE " + base + "tv_program_archive/two/b/2026_12_10_10_00.ts?u=ann&p=pw RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
    EXPECT_TRUE(refused.Reply().starts_with("RTSP/1.0 451 "));
    RtspClient served(rtsp);
    ASSERT_TRUE(served.Send("DESCRIBE " + base + "tv_program_archive/one/2026_12_10_10_00.ts?u=ann&p=pw RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
    EXPECT_TRUE(served.Reply().starts_with("RTSP/1.0 200 "));
}

TEST(ChannelPackagesEndToEnd, PackageFilesThatCannotBeReadAtStartLetOnlyRootWatch)
{
    TestServer server;
    server.Dir().WriteFile("user_profile.csv", kUsers);
    server.Dir().MakeDir("user_packages.csv");          // there, but no file to read
    server.Dir().WriteFile("channel_definition.xml", std::string(kXmlHead) + "<ch src=\"udp://" +
                                                         std::to_string(FreeUdpPort()) + "\">One</ch>\r\n");
    ASSERT_TRUE(server.Start("user_authorization=1\r\n"));
    EXPECT_EQ(server.Fetch(Get("/1.ch?u=bob&p=pw")), kUserRefusal);
    EXPECT_TRUE(ListedChannels(Body(server.Fetch(Get("/playlist.m3u?u=bob&p=pw")))).empty());
    EXPECT_EQ(ListedChannels(Body(server.Fetch(Get("/playlist.m3u?u=root&p=rootpw")))), std::vector<std::string>{"1"});
}
