// The admin program's texts: whole-name parameters, forwarded values, the configuration
// rewrite and the answer styles.

#include "cgi/cgi_config.h"
#include "cgi/cgi_query.h"
#include "cgi/cgi_rest.h"
#include "core/config.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

TEST(AdminQuery, NamesMatchWholeAndValuesNeedTheirOwnEqualsSign)
{
    std::string value;
    EXPECT_FALSE(GetQueryParameter("reboot_player&token=5", "reboot_player", value));
    EXPECT_FALSE(GetQueryParameter("xchannel_inquery=1", "channel_inquery", value));
    ASSERT_TRUE(GetQueryParameter("a=1&token=77&b=2", "token", value));
    EXPECT_EQ(value, "77");
    ASSERT_TRUE(GetQueryParameter("setup_setting=a=%22b%22", "setup_setting", value));
    EXPECT_EQ(value, "a=%22b%22");
    EXPECT_FALSE(ContainsKeyword("ch_name=quorvane_shutdown&add_channel=2", "quorvane_shutdown"));
    EXPECT_TRUE(ContainsKeyword("token=1&quorvane_shutdown", "quorvane_shutdown"));
    EXPECT_TRUE(ContainsKeyword("query_all_user=1", "query_all_user"));
}

TEST(AdminQuery, ValuesReachTheServerWhole)
{
    EXPECT_EQ(DecodeBrowserValue("a%26b%2fc%zz%4"), "a&b/c%zz%4");
    EXPECT_EQ(ForwardValue("100%25%20off%26more"), "100%25%20off%26more");
    EXPECT_EQ(ForwardValue("udp%3A%2F%2F239.1.1.1%3A1234"), "udp%3A%2F%2F239.1.1.1%3A1234");
    EXPECT_EQ(EncodeRestValue("a b&c=d,e\"f?g:h/%"), "a%20b%26c%3Dd%2Ce%22f%3Fg%3Ah%2F%25");
    EXPECT_EQ(ForwardValue("x%0D%0AHost:%20y"), "xHost%3A%20y");
}

TEST(AdminConfiguration, TheUpdateRewritesOnlyTheLinesItWasGiven)
{
    const std::string file = "startmenu=admin/index.htm\r\nvideopath=media/videos\r\nhttpport=8000\r\n"
                             "plugin_command_path=/opt/x\r\n# note\r\nvod_base_port=2000\r\n";
    EXPECT_EQ(UpdatedConfigurationText(file, {{"vod_base_port", "2100"}, {"path", "p"}, {"httpport", "8080"}}),
              "startmenu=admin/index.htm\r\nvideopath=media/videos\r\nhttpport=8080\r\n"
              "plugin_command_path=/opt/x\r\n# note\r\nvod_base_port=2100\r\npath=p\r\n");
    EXPECT_EQ(UpdatedConfigurationText("a=1", {{"b", "2"}}), "a=1\r\nb=2\r\n");
    EXPECT_TRUE(IsPortText("65535"));
    for (const char* bad : {"", "0", "65536", "80x", "-1", "123456"}) EXPECT_FALSE(IsPortText(bad)) << bad;
    EXPECT_TRUE(IsIpv4Text("239.0.0.1"));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "a.b.c.d"}) EXPECT_FALSE(IsIpv4Text(bad)) << bad;
}

TEST(AdminConfiguration, ReadsTheFileAsTheServerDoes)
{
    // A commented-out key, a key inside a longer one, a last line without a line break.
    const TempWorkDir dir;
    dir.WriteFile("quorvane_config.txt",
                  "# httpport=9\r\nhttpport=8000\r\nxigmpip=239.1.1.1\r\nigmpip=0.0.0.0\r\nvideopath=media/videos");
    ResetConfiguration();
    ASSERT_EQ(LoadConfiguration(), 1);
    CgiConfiguration admin;
    ASSERT_EQ(ReadConfiguration(admin), 1);
    EXPECT_EQ(admin.Get("httpport"), g_config.httpport);
    EXPECT_EQ(admin.Get("igmpip"), g_config.igmpip);
    EXPECT_EQ(admin.Get("videopath"), g_config.videopath);
    EXPECT_EQ(admin.Get("path"), "media/videos");
    ResetConfiguration();
}

TEST(AdminAnswers, EachStyleTakesItsPartOfTheAnswer)
{
    EXPECT_EQ(ResultStyle("HTTP/1.1 200 OK\r\n\r\nresult=1\r\n"), "1\r\n");
    EXPECT_EQ(ResultStyle("HTTP/1.1 200 OK\r\n\r\n"), "\r\n\r\n");
    EXPECT_EQ(ResultStyle("HTTP/1.0 404 Not Found\r\n\r\n\r\n"), "\r\n");
    EXPECT_EQ(LengthStyle("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcdeXYZ"), "abcde\r\n");
    EXPECT_EQ(LengthStyle("HTTP/1.1 200 OK\r\n\r\nall of it"), "all of it\r\n");
    EXPECT_EQ(LengthStyle("HTTP/1.0 404 Not Found\r\n\r\n\r\n"), "\r\n");
    const std::string log = "HTTP/1.1 200 OK\r\n\r\n12/9/2026 10:01,3,0,1\r\n12/9/2026 10:02,3,1,1\r\n";
    EXPECT_EQ(ChannelLogStyle(log, "12", "9", "2026"), " 10:01,3,0,1\r\n 10:02,3,1,1\r\n\n");
    EXPECT_EQ(ChannelLogStyle(log, "1", "1", "2026"), "");
    EXPECT_EQ(ChannelLogStyle("HTTP/1.0 404 Not Found\r\n\r\n", "12", "9", "2026"), "\n");
}

}  // namespace
