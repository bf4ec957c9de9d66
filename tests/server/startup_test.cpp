// The real server binary, started in a temporary working folder.

#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <cstdio>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000;

struct ServerRun : ::testing::Test {
    TempWorkDir  dir{false};
    ChildProgram server;

    void StartServer()
    {
        ASSERT_TRUE(server.Start({QUORVANE_BINARY}, dir.Path(), CanUseOwnNetwork()));
        ASSERT_TRUE(server.WaitForStdout("Quorvane in Running\n", kWaitMs)) << server.Stderr();
    }
    void WriteDemoConfig()
    {
        dir.WriteFile("quorvane_config.txt",
                      "httpport=8123\r\niptv_base_port=8554\r\nvod_base_port=2000\r\nigmpip=0.0.0.0\r\n"
                      "system_log=1\r\nuser_authorization=0\r\n");
        dir.WriteFile("xan_dns.txt", "<dns_ip>127.0.0.1</dns_ip>\r\n");
        WriteChannels();
    }
    void WriteChannels() { dir.WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"); }
};

using StartingAndStopping = ServerRun;

TEST_F(StartingAndStopping, StatusLinesNameTheAdminPageAndTheLogHasTheStartLines)
{
    WriteDemoConfig();
    StartServer();
    const std::string out = server.Stdout();
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(Quorvane 7\.0\nQuorvane in Running\n)"
                                                  R"(System Management : http://[0-9.]+:8123/admin/index\.htm\n)"
                                                  R"(Online Video Service : http://[0-9.]+:8123\n)")))
        << out;
    const std::string log = dir.ReadFile("system.log");
    EXPECT_EQ(log.rfind("Open System Log....\nCorvatelix Quorvane version: 7.0 (Build 2012.08.001)\n", 0), 0u) << log;
    EXPECT_TRUE(server.WaitForStderr("Quorvane is running...", kWaitMs));
    EXPECT_NE(server.Stderr().find("Start Corvatelix Quorvane 7.0 ...\n"), std::string::npos);

    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(kWaitMs), 0);
    const std::string final_log = dir.ReadFile("system.log");
    const std::string tail = "piaKVR_XANCP_IPTV_VOD_Server_Uninitialization finished\n";
    ASSERT_GE(final_log.size(), tail.size());
    EXPECT_EQ(final_log.substr(final_log.size() - tail.size()), tail);
    EXPECT_NE(final_log.find("IPTV_Channel_ReaderProcess IN: Closing\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(server.Stderr(), std::regex(R"(Quorvane Message \[\d{5}\]: Quorvane OUT\n)")));
}

TEST_F(StartingAndStopping, CtrlCStopsTheServerPromptly)
{
    WriteDemoConfig();
    StartServer();
    server.Signal(SIGINT);
    EXPECT_EQ(server.WaitExit(5000), 0);
}

TEST_F(StartingAndStopping, AMissingConfigurationStartsWithTheDefaults)
{
    WriteChannels();
    StartServer();
    const std::string out = server.Stdout();
    EXPECT_EQ(out.rfind("Failed", 0), 0u) << out;
    EXPECT_NE(out.find(":8000/admin/index.htm\n"), std::string::npos) << out;
    EXPECT_TRUE(server.WaitForStderr("Quorvane Configuration File Error.\n", kWaitMs));
    EXPECT_TRUE(server.WaitForStderr("Quorvane DNS File not exist.\n", kWaitMs));
    EXPECT_FALSE(dir.Exists("system.log"));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(kWaitMs), 0);
}

TEST_F(StartingAndStopping, WithoutAChannelFileTheStartFailsButTheWindowStillOpens)
{
    WriteDemoConfig();
    dir.WriteFile("channel_definition.xml", "");
    std::remove(dir.PathOf("channel_definition.xml").c_str());
    StartServer();
    EXPECT_NE(server.Stdout().find("Quorvane in Running\nHTTP Server is not available\n"), std::string::npos)
        << server.Stdout();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(kWaitMs), 0);
}

TEST_F(StartingAndStopping, HangupIsIgnoredAndUser1PrintsTheAboutText)
{
    WriteDemoConfig();
    StartServer();
    server.Signal(SIGHUP);
    server.Signal(SIGUSR1);
    // The About text follows the status lines.
    EXPECT_TRUE(server.WaitForStdout(":8123\nQuorvane 7.0\n", kWaitMs)) << server.Stdout();
    EXPECT_TRUE(server.Running());
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(kWaitMs), 0);
}

TEST_F(StartingAndStopping, ABusyVodPortEndsTheStartAfterHttpAndBeforeRtsp)
{
    // Whoever holds the VOD port, the start stops there: RTSP and the rest are not started.
    const uint16_t vod_port = FreeTcpPort();
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    // A parallel test's connection may have taken the port as its own end meanwhile.
    const int reuse = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(vod_port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    dir.WriteFile("quorvane_config.txt", "httpport=" + std::to_string(FreeTcpPort()) + "\r\niptv_base_port=" +
                                             std::to_string(FreeTcpPort()) + "\r\nvod_base_port=" + std::to_string(vod_port) +
                                             "\r\nigmpip=0.0.0.0\r\nsystem_log=1\r\n");
    dir.WriteFile("xan_dns.txt", "<dns_ip>127.0.0.1</dns_ip>\r\n");
    WriteChannels();
    ASSERT_TRUE(server.Start({QUORVANE_BINARY}, dir.Path()));
    ASSERT_TRUE(server.WaitForStdout("Quorvane in Running\nVOD service is not available\n", kWaitMs)) << server.Stdout();
    // The log file may trail the console under load.
    std::string log;
    EXPECT_TRUE(WaitUntil([&] {
        log = dir.ReadFile("system.log");
        return log.find("open vod socket failed\n") != std::string::npos;
    }, kWaitMs)) << log;
    EXPECT_LT(log.find("HTTP Server Starting\n"), log.find("open vod socket failed\n")) << log;
    EXPECT_EQ(log.find("RTSP Server Starting\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("IPTV_Channel_ReaderProcess"), std::string::npos) << log;
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(kWaitMs), 0);
    close(holder);
}

}  // namespace
