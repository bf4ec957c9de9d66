// The admin pages in headless Chromium against the real server with the admin program in
// "cgi-bin". The test process moves into a network namespace of its own before any thread
// starts, when it can, so that a simulated box can use the fixed management port; without one
// the box steps are left out.

#include "support/live_feed.h"
#include "support/set_top_box.h"
#include "support/test_server.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

const bool g_own_network = EnterOwnNetwork();

bool HaveBrowser()
{
    return std::system("test -x /usr/bin/chromium && test -x /usr/bin/chromedriver && "
                       "/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1") == 0;
}

TEST(AdminPages, AnAdministratorDoesEachTaskInABrowser)
{
    if (!HaveBrowser()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium missing";
    namespace fs = std::filesystem;
    TestServer server;
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\nbob,pw,12/31/2099,pre,100\r\n");
    server.Dir().WriteFile("channel_definition.xml",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<ch src=\"udp://5001\">news</ch>\r\n");
    for (const char* folder : {"cgi-bin", "media", "media/videos", "media/tml", "channel_log", "users", "upload"})
        server.Dir().MakeDir(folder);
    // Channel 1's audience on 3 March 2026: 4 and 6 viewers at 10 o'clock, 2 at 11.
    server.Dir().WriteFile("channel_log/channel_active_player_log_3_2026.csv",
                           "03/03/2026 10:00:00,4,0,\r\n03/03/2026 10:01:00,6,0,\r\n03/03/2026 11:00:00,2,0,\r\n");
    fs::copy_file(CGI_QUORVANE_BINARY, server.Dir().PathOf("cgi-bin/cgi_quorvane"));
    fs::copy(QUORVANE_SOURCE_DIR "/demo/admin", server.Dir().PathOf("admin"), fs::copy_options::recursive);
    ASSERT_TRUE(server.Start()) << server.Process().Stdout().substr(0, 2000);

    const bool with_box = g_own_network && server.WaitForLog("Player Management Server Starting\n");
    SetTopBox box("0011223344C1", "lobby");
    if (with_box) {
        ASSERT_TRUE(box.Connect());
        ASSERT_TRUE(box.Register());
        box.AnswerQueries("[network]\r\nip_mode=dhcp\r\n");
    }

    std::string film(1200000, '\0');
    for (std::size_t at = 0; at < film.size(); ++at) film[at] = static_cast<char>((at * 7919) >> 3);
    server.Dir().WriteFile("upload/clip.ts", film);

    // Channel 1's source, for its "Check source" (read from the channel's ring).
    UdpSource feed(5001, 100, PlainDatagram);
    const std::string shots = std::string(QUORVANE_BINARY_DIR) + "/admin_screenshots";
    fs::create_directories(shots);
    const std::string output = RunShell("timeout 240 /usr/bin/python3 " QUORVANE_SOURCE_DIR "/tests/admin/admin_pages.py '" +
                                        server.Url("/admin/index.htm") + "' rootpw '" + shots + "' 2026-03-03 " +
                                        (with_box ? "0011223344C1" : "-") + " '" + server.Dir().PathOf("upload/clip.ts") +
                                        "' 2>&1; echo exit=$?");
    EXPECT_NE(output.find("exit=0"), std::string::npos) << output;
    for (const char* page : {"login", "users", "channels", "audience", "network", "points", "upload", "system"}) {
        EXPECT_NE(output.find(std::string("ok ") + page + "\n"), std::string::npos) << page << "\n" << output;
        EXPECT_TRUE(fs::exists(shots + "/" + page + ".png")) << page;
    }

    EXPECT_NE(server.Dir().ReadFile("user_profile.csv").find("carol,c&d <i>1</i>%,12/31/2030,pre,25"), std::string::npos);
    EXPECT_NE(server.Dir().ReadFile("channel_definition.xml").find("sports 2"), std::string::npos);
    // Seven packets every 5 ms of the PCR: 2.1 Mbit/s.
    EXPECT_NE(output.find("check Transport stream, 2.1 Mbit/s: H.264 (PID 257), AAC (PID 258)\n"), std::string::npos) << output;
    // Full height for the hour of mean 5, two fifths of it for the hour of 2, nothing elsewhere.
    std::string heights = "heights";
    for (int hour = 0; hour < 24; ++hour) heights += hour == 10 ? " 180" : hour == 11 ? " 72" : " 0";
    EXPECT_NE(output.find(heights + "\n"), std::string::npos) << output;
    EXPECT_NE(output.find("network Update Setting Successfully"), std::string::npos) << output;
    const std::string config = server.Dir().ReadFile("quorvane_config.txt");
    EXPECT_NE(config.find("igmpport=5600\r\n"), std::string::npos) << config;
    EXPECT_NE(config.find("vod_base_port=2100\r\n"), std::string::npos) << config;

    EXPECT_NE(output.find("upload Stored clip.ts\n"), std::string::npos) << output;
    EXPECT_TRUE(server.Dir().ReadFile("media/videos/clip.ts") == film);
    EXPECT_NE(output.find("system The server is shutting down\n"), std::string::npos) << output;
    EXPECT_EQ(server.Process().WaitExit(30000), 0);

    if (with_box) {
        EXPECT_NE(output.find("ok players\n"), std::string::npos) << output;
        EXPECT_NE(output.find("players Reboot MACID=[0011223344C1] Successfully"), std::string::npos) << output;
        EXPECT_NE(box.Received().find("ip_mode=static"), std::string::npos) << box.Received();
        EXPECT_TRUE(box.WaitFor("REST", 5000));
    }
}

}  // namespace
