// Pull channels against real sources and the real server binary: ffmpeg's own HTTP server
// (chunked), a GStreamer RTSP server, nginx with its RTMP module (remuxed to a transport
// stream), and a second quorvane that pulls a channel of the first (edge and origin). Players
// are ffprobe and raw sockets.

#include "support/live_feed.h"
#include "support/process.h"
#include "support/rtsp_client.h"
#include "support/test_server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

std::string Channel(const std::string& src) { return std::string(kXmlHead) + "<ch src=\"" + src + "\">Pulled</ch>\r\n"; }

// Whether ffprobe finds H.264 video and AAC audio at url.
bool PlaysH264AndAac(const std::string& url)
{
    const std::string codecs = RunShell("timeout 40 ffprobe -v error -analyzeduration 2000000 -show_entries stream=codec_name "
                                        "-of csv=p=0 '" + url + "' 2>/dev/null");
    return codecs.find("h264") != std::string::npos && codecs.find("aac") != std::string::npos;
}

bool AcceptsConnections(uint16_t port)
{
    const int fd = ConnectLoopback(port, 200);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// What a player got after the response head: transport-stream packets only, from the first
// byte on (a viewer must never get anything else, also across a source's reconnection).
bool WholePacketsOnly(const std::string& received, std::size_t& packets)
{
    const std::size_t head = received.find("\r\n\r\n");
    if (head == std::string::npos) return false;
    packets = 0;
    for (std::size_t at = head + 4; at + 188 <= received.size(); at += 188, ++packets)
        if (static_cast<uint8_t>(received[at]) != 0x47) return false;
    return true;
}

// A player of a channel that gets data at once; the ring of a pull channel fills a moment
// after its source has answered.
bool WaitUntilPlayable(const TestServer& server, int timeout_ms)
{
    return WaitUntil([&] {
        const int fd = ConnectLoopback(server.Port());
        if (fd < 0) return false;
        const bool sent = SendAllText(fd, "GET /1.ch HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        const std::size_t got = sent ? ReadFor(fd, 5000, 1000).size() : 0;
        close(fd);
        return got >= 5000;
    }, timeout_ms);
}

class PullSources : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"ffmpeg", "ffprobe"})
            if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    // A clip of H.264 and AAC with a key frame every second: clip.ts or, with mp4, clip.mp4.
    void MakeClip(bool mp4 = false)
    {
        const std::string name = mp4 ? "clip.mp4" : "clip.ts";
        RunShell("cd '" + server.Dir().Path() + "' && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 "
                 "-f lavfi -i sine -t 6 -c:v libx264 -preset ultrafast -g 25 -c:a aac " +
                 std::string(mp4 ? "" : "-f mpegts ") + name);
        ASSERT_TRUE(server.Dir().Exists(name));
    }
    void StartServer(const std::string& channels, const std::string& extra = "")
    {
        server.Dir().WriteFile("channel_definition.xml", channels);
        ASSERT_TRUE(server.Start(extra)) << server.Process().Stdout().substr(0, 2000);
    }
    // ffmpeg serving the clip in a loop to one HTTP client (its replies are chunked).
    void ServeOverHttp(ChildProgram& source, uint16_t port)
    {
        ASSERT_TRUE(source.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -c copy -f mpegts "
                                                   "-listen 1 http://127.0.0.1:" + std::to_string(port) + "/live.ts"},
                                 server.Dir().Path()));
    }
    std::string Log() { return server.Dir().ReadFile("system.log"); }
    TestServer server;
};

TEST_F(PullSources, AChunkedHttpSourcePlaysAndItsViewerGoesOnAfterTheSourceRestarts)
{
    ASSERT_NO_FATAL_FAILURE(MakeClip());
    const uint16_t port = FreeTcpPort();
    ChildProgram first;
    ASSERT_NO_FATAL_FAILURE(ServeOverHttp(first, port));
    ASSERT_TRUE(WaitUntil([&] { return first.Running(); }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // ffmpeg's single accept: no probe connection
    ASSERT_NO_FATAL_FAILURE(StartServer(Channel("http://127.0.0.1:" + std::to_string(port) + "/live.ts")));
    ASSERT_TRUE(WaitUntilPlayable(server, 20000)) << Log();
    EXPECT_TRUE(PlaysH264AndAac(server.Url("/1.ch")));

    const int viewer = ConnectLoopback(server.Port());
    ASSERT_GE(viewer, 0);
    ASSERT_TRUE(SendAllText(viewer, "GET /1.ch HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::string received = ReadFor(viewer, 200000, 10000);
    ASSERT_GT(received.size(), 200000u);

    first.Signal(SIGTERM);
    first.WaitExit(5000);
    const Clock::time_point lost = Clock::now();
    received += ReadFor(viewer, 1u << 30, 300);               // what was on its way
    ChildProgram second;
    ASSERT_NO_FATAL_FAILURE(ServeOverHttp(second, port));
    const std::size_t before = received.size();
    while (received.size() < before + 200000 && Clock::now() - lost < std::chrono::seconds(30))
        received += ReadFor(viewer, before + 200000 - received.size(), 1000);
    const double gap = std::chrono::duration<double>(Clock::now() - lost).count();
    close(viewer);
    EXPECT_GE(received.size(), before + 200000) << "the viewer got nothing after the restart; " << Log();
    std::size_t packets = 0;
    EXPECT_TRUE(WholePacketsOnly(received, packets)) << "after " << packets << " packets";
    std::printf("viewer resumed %.1f s after the source went away\n", gap);
    const std::string log = Log();
    EXPECT_NE(log.find("HTTP Connection is disconneted and restart the connection"), std::string::npos);
    EXPECT_NE(log.find("System Warning : CH[1] HTTP RECONNECTION"), std::string::npos);
}

// Interleaved RTP frames of a session until `wanted` more arrived or 30 s passed; false when a
// frame was not one RTP packet of whole transport-stream packets.
bool ReadWholePacketFrames(RtspClient& rtsp, int wanted, int& frames)
{
    const Clock::time_point until = Clock::now() + std::chrono::seconds(30);
    RtspClient::Frame frame;
    for (int got = 0; got < wanted && Clock::now() < until && !rtsp.closed();) {
        if (!rtsp.NextFrame(frame, 1000) || frame.channel != 0) continue;
        ++got;
        ++frames;
        const std::size_t payload = frame.bytes.size() - 12;
        if (frame.bytes.size() < 12 + 188 || payload % 188 != 0 || payload > 7 * 188) return false;
        for (std::size_t at = 12; at < frame.bytes.size(); at += 188)
            if (frame.bytes[at] != 0x47) return false;
    }
    return true;
}

TEST_F(PullSources, AnHttpChannelPlaysOverRtspInWholePacketsAndGoesOnAfterTheSourceRestarts)
{
    ASSERT_NO_FATAL_FAILURE(MakeClip());
    const uint16_t port = FreeTcpPort();
    const uint16_t rtsp_port = FreeTcpPort();
    ChildProgram first;
    ASSERT_NO_FATAL_FAILURE(ServeOverHttp(first, port));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // ffmpeg's single accept: no probe connection
    ASSERT_NO_FATAL_FAILURE(StartServer(Channel("http://127.0.0.1:" + std::to_string(port) + "/live.ts"),
                                        "iptv_base_port=" + std::to_string(rtsp_port) + "\r\n"));
    ASSERT_TRUE(WaitUntilPlayable(server, 15000)) << Log();
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(rtsp_port) + "/1.ch";
    EXPECT_TRUE(PlaysH264AndAac(url));

    RtspClient rtsp(rtsp_port);
    ASSERT_FALSE(rtsp.PlayOverTcp(url).empty());
    int frames = 0;
    ASSERT_TRUE(ReadWholePacketFrames(rtsp, 200, frames)) << "frame " << frames;
    first.Signal(SIGTERM);
    first.WaitExit(5000);
    RtspClient::Frame frame;
    for (const Clock::time_point until = Clock::now() + std::chrono::seconds(2); Clock::now() < until && rtsp.NextFrame(frame, 300);) {
    }                                                              // what was on its way
    ChildProgram second;
    ASSERT_NO_FATAL_FAILURE(ServeOverHttp(second, port));
    frames = 0;
    EXPECT_TRUE(ReadWholePacketFrames(rtsp, 200, frames)) << "frame " << frames;
    EXPECT_EQ(frames, 200) << "the session got nothing after the restart; " << Log();
    EXPECT_NE(Log().find("System Warning : CH[1] HTTP RECONNECTION"), std::string::npos);
}

TEST_F(PullSources, AnEdgeServerPullsAChannelOfItsOriginAndPlaysIt)
{
    ASSERT_NO_FATAL_FAILURE(MakeClip());
    const uint16_t udp = FreeUdpPort();
    ChildProgram feed;
    ASSERT_TRUE(feed.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -c copy -f mpegts "
                                             "'udp://127.0.0.1:" + std::to_string(udp) + "?pkt_size=1316'"},
                           server.Dir().Path()));
    ASSERT_NO_FATAL_FAILURE(StartServer(Channel("udp://" + std::to_string(udp))));
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No", 15000));
    TestServer edge;
    edge.Dir().WriteFile("channel_definition.xml", Channel("http://127.0.0.1:" + std::to_string(server.Port()) + "/1.ch"));
    ASSERT_TRUE(edge.Start()) << edge.Process().Stdout().substr(0, 2000);
    ASSERT_TRUE(WaitUntilPlayable(edge, 20000)) << edge.Dir().ReadFile("system.log");
    EXPECT_TRUE(PlaysH264AndAac(edge.Url("/1.ch")));
    EXPECT_NE(Log().find("IPTV_TS_HTTP_DataThread (CH no.[1])"), std::string::npos);   // the origin serves the edge
}

TEST_F(PullSources, AnRtspChannelFromAGstreamerServerPlaysOverHttpAndRtsp)
{
    if (!HaveTool("/usr/bin/python3") ||
        std::system("/usr/bin/python3 -c 'import gi; gi.require_version(\"GstRtspServer\", \"1.0\")' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3-gi with the GStreamer RTSP server is not installed";
    ASSERT_NO_FATAL_FAILURE(MakeClip());
    const uint16_t port = FreeTcpPort();
    ChildProgram camera;
    ASSERT_TRUE(camera.Start({"/usr/bin/python3", QUORVANE_TEST_SUPPORT_DIR "/rtsp_source.py", std::to_string(port), "clip.ts"},
                             server.Dir().Path()));
    ASSERT_TRUE(WaitUntil([&] { return AcceptsConnections(port); }, 15000)) << camera.Stderr();
    const uint16_t rtsp_port = FreeTcpPort();
    ASSERT_NO_FATAL_FAILURE(StartServer(Channel("rtsp://127.0.0.1:" + std::to_string(port) + "/live"),
                                        "iptv_base_port=" + std::to_string(rtsp_port) + "\r\n"));
    ASSERT_TRUE(WaitUntilPlayable(server, 20000)) << Log();
    EXPECT_TRUE(PlaysH264AndAac(server.Url("/1.ch")));
    EXPECT_TRUE(PlaysH264AndAac("rtsp://127.0.0.1:" + std::to_string(rtsp_port) + "/1.ch"));
    const int viewer = ConnectLoopback(server.Port());
    ASSERT_GE(viewer, 0);
    ASSERT_TRUE(SendAllText(viewer, "GET /1.ch HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const std::string received = ReadFor(viewer, 100000, 10000);
    close(viewer);
    std::size_t packets = 0;
    EXPECT_TRUE(WholePacketsOnly(received, packets)) << "after " << packets << " packets";
    EXPECT_GT(packets, 400u);
}

TEST_F(PullSources, AnRtmpChannelFromNginxIsRemuxedFromAKeyFrameRecordedAndPlayedEverywhere)
{
    std::string nginx_path = RunShell("command -v nginx");
    while (!nginx_path.empty() && nginx_path.back() == '\n') nginx_path.pop_back();
    if (nginx_path.empty() || access("/usr/lib/nginx/modules/ngx_rtmp_module.so", R_OK) != 0)
        GTEST_SKIP() << "nginx with its RTMP module is not installed";
    ASSERT_NO_FATAL_FAILURE(MakeClip(true));
    const uint16_t port = FreeTcpPort();
    const std::string folder = PrepareNginxRtmp(server.Dir(), port);
    ChildProgram nginx;                                      // one process: no workers outlive it
    ASSERT_TRUE(nginx.Start({nginx_path, "-e", "stderr", "-p", folder + "/", "-c", folder + "/nginx.conf"}, folder));
    ASSERT_TRUE(WaitUntil([&] { return AcceptsConnections(port); }, 10000)) << nginx.Stderr();
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/cam1";
    ChildProgram publisher;
    ASSERT_TRUE(publisher.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.mp4 -c copy -f flv " + url},
                                server.Dir().Path()));
    const uint16_t rtsp_port = FreeTcpPort();
    ASSERT_NO_FATAL_FAILURE(StartServer(Channel(url), "iptv_time_shift_record_duration=60\r\niptv_base_port=" +
                                                          std::to_string(rtsp_port) + "\r\n"));
    ASSERT_TRUE(server.WaitForLog("Found PPS Packet", 40000)) << Log();
    const std::string log = Log();
    for (const char* line : {"RTMP  Send C0/C1", "RTMP  Recv S0/S1/S2 length [3073]", "RTMP  Send C2", "Send Connect command",
                             "Send Ping command", "Send createStream command", "Send play command",
                             "RTMPDataThread CH[1], IN: width=[320.0], height=[240.0] framerate=[ 25.0]"})
        EXPECT_NE(log.find(line), std::string::npos) << line;

    // The time-shift file holds the transport stream the remuxer made: it starts with a PAT,
    // and a decoder plays it without a complaint.
    EXPECT_TRUE(server.WaitForLog("RTMP Find Type [", 10000));
    const std::string file = "timeshift/time_shift_ch[1]";
    ASSERT_TRUE(WaitUntil([&] { return server.Dir().ReadFile(file).size() > 200000; }, 15000));
    const std::string recorded = server.Dir().ReadFile(file);
    ASSERT_EQ(recorded[0], 0x47);
    EXPECT_EQ(((recorded[1] & 0x1F) << 8) | static_cast<uint8_t>(recorded[2]), 0) << "not a PAT first";
    // (Its last access unit may still be cut short: its first second is judged.)
    const std::string checked = RunShell("ffmpeg -nostdin -v error -i '" + server.Dir().PathOf(file) + "' -t 1 -f null - 2>&1; echo exit=$?");
    EXPECT_EQ(checked, "exit=0\n") << checked.substr(0, 1000);

    // Players over HTTP, RTSP and HLS decode it.
    EXPECT_TRUE(PlaysH264AndAac(server.Url("/1.ch")));
    EXPECT_TRUE(PlaysH264AndAac("rtsp://127.0.0.1:" + std::to_string(rtsp_port) + "/1.ch"));
    EXPECT_TRUE(PlaysH264AndAac(server.Url("/1/index.m3u8")));
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_NE(Log().find("Send deleteStream command"), std::string::npos);
}

// The admin's "check source" plays an RTSP or RTMP source no channel uses, for a few seconds
// and without a ring, and tells what it carries.
TEST_F(PullSources, ACheckOfAnRtspAndAnRtmpSourceNoChannelUsesTellsWhatTheyCarry)
{
    std::string nginx_path = RunShell("command -v nginx");
    while (!nginx_path.empty() && nginx_path.back() == '\n') nginx_path.pop_back();
    if (nginx_path.empty() || access("/usr/lib/nginx/modules/ngx_rtmp_module.so", R_OK) != 0 ||
        std::system("/usr/bin/python3 -c 'import gi; gi.require_version(\"GstRtspServer\", \"1.0\")' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nginx with its RTMP module or the GStreamer RTSP server is not installed";
    ASSERT_NO_FATAL_FAILURE(MakeClip(true));
    // The GStreamer server sends its first packets a clip's length after a PLAY: a short clip
    // lets them come within the check's 5 s.
    RunShell("cd '" + server.Dir().Path() + "' && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
             "-i sine -t 1.5 -c:v libx264 -preset ultrafast -g 25 -c:a aac -f mpegts short.ts");
    const uint16_t rtsp_port = FreeTcpPort(), rtmp_port = FreeTcpPort();
    ChildProgram camera;
    ASSERT_TRUE(camera.Start({"/usr/bin/python3", QUORVANE_TEST_SUPPORT_DIR "/rtsp_source.py", std::to_string(rtsp_port), "short.ts"},
                             server.Dir().Path()));
    const std::string folder = PrepareNginxRtmp(server.Dir(), rtmp_port);
    ChildProgram nginx;
    ASSERT_TRUE(nginx.Start({nginx_path, "-e", "stderr", "-p", folder + "/", "-c", folder + "/nginx.conf"}, folder));
    ASSERT_TRUE(WaitUntil([&] { return AcceptsConnections(rtsp_port) && AcceptsConnections(rtmp_port); }, 15000));
    const std::string rtmp = "rtmp%3A%2F%2F127.0.0.1%3A" + std::to_string(rtmp_port) + "%2Flive%2Fcam1";
    ChildProgram publisher;
    ASSERT_TRUE(publisher.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.mp4 -c copy -f flv "
                                                  "rtmp://127.0.0.1:" + std::to_string(rtmp_port) + "/live/cam1"},
                                server.Dir().Path()));
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer(Channel("udp://" + std::to_string(FreeUdpPort()))));
    const std::string answer = server.Curl("'URL/token/createtoken?userid=root&password=rootpw'");
    const std::string root = answer.size() > 8 ? answer.substr(6, answer.size() - 8) : "";
    const auto check = [&](const std::string& source) {
        const auto started = std::chrono::steady_clock::now();
        const std::string reply = server.Curl("'URL/quorvane/check_source?token=" + root + "&source=" + source + "'");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8)) << source;
        return reply;
    };
    const std::string carried = "codec=H.264\r\nwidth=320\r\nheight=240\r\n";
    const std::string by_rtsp = check("rtsp%3A%2F%2F127.0.0.1%3A" + std::to_string(rtsp_port) + "%2Flive");
    EXPECT_EQ(by_rtsp.rfind("result=0\r\nts=1\r\n", 0), 0u) << by_rtsp;
    EXPECT_NE(by_rtsp.find(carried), std::string::npos) << by_rtsp;
    EXPECT_NE(by_rtsp.find("codec=AAC"), std::string::npos) << by_rtsp;
    // The publisher may need a moment before nginx has the stream to play.
    std::string by_rtmp;
    EXPECT_TRUE(WaitUntil([&] { return (by_rtmp = check(rtmp)).find(carried) != std::string::npos; }, 20000)) << by_rtmp;
    EXPECT_NE(by_rtmp.find("codec=AAC"), std::string::npos) << by_rtmp;
}

}  // namespace
