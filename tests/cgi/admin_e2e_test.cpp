// The admin program behind the real server: installed in "cgi-bin" and called with curl as the
// admin pages call it.

#include "support/test_server.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

class AdminEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        namespace fs = std::filesystem;
        server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\nbob,pw,12/31/2099,pre,100\r\n");
        server.Dir().WriteFile("channel_definition.xml",
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<ch src=\"udp://5000\">news</ch>\r\n");
        for (const char* folder : {"cgi-bin", "media", "media/videos", "media/tml", "channel_log", "users"})
            server.Dir().MakeDir(folder);
        fs::copy_file(CGI_QUORVANE_BINARY, server.Dir().PathOf("cgi-bin/cgi_quorvane"));
        fs::copy(QUORVANE_SOURCE_DIR "/demo/admin", server.Dir().PathOf("admin"), fs::copy_options::recursive);
        ASSERT_TRUE(server.Start("plugin_command_path=/opt/keep\r\n")) << server.Process().Stdout().substr(0, 2000);
    }
    std::string Cgi(const std::string& query) { return server.Curl("'URL/cgi-bin/cgi_quorvane?" + query + "'"); }
    TestServer server;
};

TEST_F(AdminEndToEnd, TheCommandsWorkThroughTheServer)
{
    const std::string token = Cgi("user_id=root&password=rootpw");
    ASSERT_EQ(token.size(), 18u) << token;
    EXPECT_EQ(Cgi("user_id=root&password=wrong"), "0");
    EXPECT_NE(Cgi("token=" + token + "&query_all_user").find("username=bob\r\n"), std::string::npos);
    // Values with "&", "%" and spaces arrive whole.
    EXPECT_EQ(Cgi("token=" + token + "&add_user&username=amy&password=a%26b%20c%25&expired_time=12/31/2030"
                  "&paymodel=pre&user_point=7"),
              "1\r\n");
    EXPECT_NE(Cgi("token=" + token + "&query_all_user").find("username=amy\r\npassword=a&b c%\r\n"), std::string::npos);
    EXPECT_NE(Cgi("token=" + token + "&channel_inquery=1").find("CH"), std::string::npos);
    const std::string folders = Cgi("token=" + token + "&get_dir_list=media");
    EXPECT_TRUE(folders == "tml\nvideos\n\n" || folders == "videos\ntml\n\n") << folders;
    // Another user's token changes no setting.
    const std::string bob = Cgi("user_id=bob&password=pw");
    EXPECT_EQ(Cgi("token=" + bob + "&vod_base_port=2100"), "Root token required\n");
    EXPECT_EQ(Cgi("token=" + token + "&vod_base_port=2100&igmpport=5500"), "Update Setting Successfully");
    const std::string config = server.Dir().ReadFile("quorvane_config.txt");
    EXPECT_NE(config.find("vod_base_port=2100\r\n"), std::string::npos);
    EXPECT_NE(config.find("plugin_command_path=/opt/keep\r\n"), std::string::npos);
    EXPECT_NE(config.find("httpport=" + std::to_string(server.Port()) + "\r\n"), std::string::npos);

    // A film through the page's form upload.
    std::string film(1500000, '\0');
    std::mt19937 random(3);
    for (char& byte : film) byte = static_cast<char>(random() & 0xff);
    server.Dir().WriteFile("clip.ts", film);
    server.Curl("-F 'film=@" + server.Dir().PathOf("clip.ts") + "' 'URL/cgi-bin/cgi_quorvane?token=" + token +
                "&upload_film'");
    EXPECT_TRUE(server.Dir().ReadFile("media/videos/clip.ts") == film);

    EXPECT_EQ(Cgi("token=" + token + "&quorvane_shutdown"), "1\r\n");
}

}  // namespace
