// The admin pages in headless Chromium against the real server with the admin program in
// "cgi-bin". The test process moves into a network namespace of its own before any thread
// starts, when it can, so that a simulated box can use the fixed management port; without one
// the box steps are left out.

#include "support/live_feed.h"
#include "support/set_top_box.h"
#include "support/test_server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

const bool g_own_network = EnterOwnNetwork();

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
    for (const char* page : {"login", "users_edit", "channels", "audience", "network", "points", "upload", "system"}) {
        EXPECT_NE(output.find(std::string("ok ") + page + "\n"), std::string::npos) << page << "\n" << output;
        EXPECT_TRUE(fs::exists(shots + "/" + page + ".png")) << page;
    }

    EXPECT_NE(server.Dir().ReadFile("user_profile.csv").find("carol,c&d <i>1</i>%,12/31/2030,pre,25"), std::string::npos);
    EXPECT_NE(server.Dir().ReadFile("channel_definition.xml").find("sports 2"), std::string::npos);
    // Seven packets every 5 ms of the PCR: 2.1 Mbit/s.
    EXPECT_NE(output.find("check Transport stream, 2.1 Mbit/s: H.264 (PID 257), AAC (PID 258)\n"), std::string::npos) << output;
    // The chart opened on today, then plotted the chosen day: a mean of 5 at 10 o'clock, 2 at
    // 11, nothing elsewhere, and its bars are on the canvas.
    EXPECT_NE(output.find("audience opened on today\n"), std::string::npos) << output;
    std::string means = "means";
    for (int hour = 0; hour < 24; ++hour) means += hour == 10 ? " 5" : hour == 11 ? " 2" : " 0";
    EXPECT_NE(output.find(means + "\n"), std::string::npos) << output;
    const std::size_t bars = output.find("bar pixels ");
    ASSERT_NE(bars, std::string::npos) << output;
    EXPECT_GT(std::atoi(output.c_str() + bars + 11), 1000) << output;
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

// 100 000 users: the list is on the page within 2 s of opening it, a search finds one name,
// passwords stay hidden until asked for and a past expiry is marked. The served folder has no
// vendor/ libraries: the audience page says so.
TEST(AdminPages, AHundredThousandUsersAreListedSearchedAndPagedQuickly)
{
    if (!HaveBrowser()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium missing";
    namespace fs = std::filesystem;
    TestServer server;
    std::string users = "root,rootpw,12/31/2099,free,0\r\n";
    users.reserve(100000 * 40);
    for (int i = 1; i < 100000; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "user%06d,pw%06d,%s,pre,%d\r\n", i, i, i % 7 == 3 ? "6/30/2021" : "12/31/2099",
                      i % 1000);
        users += line;
    }
    server.Dir().WriteFile("user_profile.csv", users);
    server.Dir().MakeDir("cgi-bin");
    fs::copy_file(CGI_QUORVANE_BINARY, server.Dir().PathOf("cgi-bin/cgi_quorvane"));
    fs::create_directory(server.Dir().PathOf("admin"));
    for (const fs::directory_entry& entry : fs::directory_iterator(QUORVANE_SOURCE_DIR "/demo/admin"))
        if (entry.is_regular_file()) fs::copy_file(entry.path(), server.Dir().PathOf("admin") / entry.path().filename());
    ASSERT_TRUE(server.Start()) << server.Process().Stdout().substr(0, 2000);

    const std::string shots = std::string(QUORVANE_BINARY_DIR) + "/admin_screenshots";
    fs::create_directories(shots);
    const std::string output = RunShell("timeout 180 /usr/bin/python3 " QUORVANE_SOURCE_DIR "/tests/admin/users_page.py '" +
                                        server.Url("/admin/index.htm") + "' rootpw '" + shots + "' 2>&1; echo exit=$?");
    EXPECT_NE(output.find("exit=0"), std::string::npos) << output;
    for (const char* step : {"users listed", "users searched", "users hidden", "users paged", "users", "audience"})
        EXPECT_NE(output.find(std::string("ok ") + step + "\n"), std::string::npos) << step << "\n" << output;
    EXPECT_TRUE(fs::exists(shots + "/users.png"));
    std::printf("%s", output.c_str());
}

}  // namespace
