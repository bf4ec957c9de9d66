// The dashboard of the admin pages in headless Chromium against the real server, with the user
// check on: a UDP channel fed by ffmpeg and a folder channel, their tiles and charts after the
// log-in, and the live channel played in the page over HLS with the log-in's credentials.

#include "support/process.h"
#include "support/test_server.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(DashboardPage, ShowsEachChannelsHealthAndPlaysAClickedChannel)
{
    namespace fs = std::filesystem;
    if (!HaveBrowser()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium missing";
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    if (!fs::exists(QUORVANE_SOURCE_DIR "/demo/admin/vendor/hls.min.js") ||
        !fs::exists(QUORVANE_SOURCE_DIR "/demo/admin/vendor/uPlot.iife.min.js"))
        GTEST_SKIP() << "demo/admin/vendor missing: run scripts/setup.sh";
    TestServer server;
    const uint16_t udp = FreeUdpPort();
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n");
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<ch src=\"udp://" +
                                                         std::to_string(udp) + "\">News</ch>\r\n<ch src=\"dir://loop\">Loop</ch>\r\n");
    for (const char* folder : {"cgi-bin", "loop"}) server.Dir().MakeDir(folder);
    const ShellResult clip = RunShellWithCode("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine "
                                              "-t 4 -c:v libx264 -preset ultrafast -g 25 -c:a aac -f mpegts '" +
                                              server.Dir().PathOf("loop/a.ts") + "'");
    ASSERT_EQ(clip.code, 0) << clip.output;
    fs::copy_file(CGI_QUORVANE_BINARY, server.Dir().PathOf("cgi-bin/cgi_quorvane"));
    fs::copy(QUORVANE_SOURCE_DIR "/demo/admin", server.Dir().PathOf("admin"), fs::copy_options::recursive);
    ASSERT_TRUE(server.Start("user_authorization=1\r\n")) << server.Process().Stdout().substr(0, 2000);

    ASSERT_TRUE(server.WaitForLog("CH [1]: UDP receive buffer "));
    ChildProgram source;
    ASSERT_TRUE(source.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=25 "
                                               "-f lavfi -i sine -t 150 -c:v libx264 -preset ultrafast -g 25 -c:a aac "
                                               "-f mpegts 'udp://127.0.0.1:" + std::to_string(udp) + "?pkt_size=1316'"},
                             server.Dir().Path()));

    const std::string shots = std::string(QUORVANE_BINARY_DIR) + "/admin_screenshots";
    fs::create_directories(shots);
    const std::string output = RunShell("timeout 120 /usr/bin/python3 " QUORVANE_SOURCE_DIR "/tests/admin/dashboard_page.py '" +
                                        server.Url("/admin/index.htm") + "' rootpw '" + shots + "' News Loop 2>&1; echo exit=$?");
    source.Signal(SIGKILL);
    source.WaitExit(5000);
    EXPECT_NE(output.find("exit=0"), std::string::npos) << output;
    for (const char* step : {"dashboard", "refresh", "player", "close"})
        EXPECT_NE(output.find(std::string("ok ") + step + "\n"), std::string::npos) << step << "\n" << output;
    for (const char* shot : {"dashboard.png", "player.png"}) EXPECT_TRUE(fs::exists(shots + "/" + shot)) << shot;
}

}  // namespace
