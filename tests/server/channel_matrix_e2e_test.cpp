// Every channel kind on every output, in one server: UDP, RTP, an HTTP pull (ffmpeg's server),
// an RTSP pull (the GStreamer RTSP server), an RTMP pull (nginx with its RTMP module), the two
// programs of a DVB multiplex, a folder of TS files and a folder of MP4 files; each played over
// HTTP, RTSP on both transports and HLS by ffmpeg, which must decode video frames; and each live
// channel's archive file and its catch-up playlist. (The multicast output has its own test in
// its private networks.)

#include "support/process.h"
#include "support/test_server.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kLiveChannels = 7;

bool AcceptsConnections(uint16_t port)
{
    const int fd = ConnectLoopback(port, 200);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// Frames of the final progress line of an ffmpeg run (-1 when it failed).
int DecodedFrames(const std::string& output)
{
    if (output.find("exit=0") == std::string::npos) return -1;
    const std::size_t last = output.rfind("frame=");
    return last == std::string::npos ? -1 : std::atoi(output.c_str() + last + 6);
}

// What ffmpeg reported besides its progress: its errors.
std::string ErrorLines(const std::string& output)
{
    std::string errors;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t end = output.find_first_of("\r\n", at);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(at, end - at);
        if (!line.empty() && line.rfind("frame=", 0) != 0 && line.rfind("exit=", 0) != 0) errors += line + "\n";
        at = end + 1;
    }
    return errors;
}

class ChannelMatrix : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"ffmpeg", "ffprobe", "nginx"})
            if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
        if (access("/usr/lib/nginx/modules/ngx_rtmp_module.so", R_OK) != 0) GTEST_SKIP() << "nginx has no RTMP module";
        if (std::system("/usr/bin/python3 -c 'import gi; gi.require_version(\"GstRtspServer\", \"1.0\")' >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "python3-gi with the GStreamer RTSP server is not installed";
    }
    void Make(const std::string& what, const std::string& output)
    {
        const std::string made = RunShell("cd '" + server.Dir().Path() + "' && timeout 60 ffmpeg -nostdin -v error -y " + what + " " +
                                          output + " 2>&1; echo exit=$?");
        ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
    }
    void Run(ChildProgram& child, const std::string& command)
    {
        ASSERT_TRUE(child.Start({"/bin/sh", "-c", "exec " + command}, server.Dir().Path()));
    }
    TestServer   server;
    ChildProgram udp, rtp, http, rtsp, nginx, rtmp, dvb;
};

TEST_F(ChannelMatrix, EveryChannelKindDecodesOnEveryOutput)
{
    const std::string clip = "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine -t 10 -c:v libx264 -preset ultrafast "
                             "-g 25 -bf 2 -c:a aac";
    ASSERT_NO_FATAL_FAILURE(Make(clip, "-f mpegts clip.ts"));
    ASSERT_NO_FATAL_FAILURE(Make(clip, "clip.mp4"));
    server.Dir().MakeDir("folder_ts");
    server.Dir().MakeDir("folder_mp4");
    RunShell("cd '" + server.Dir().Path() + "' && cp clip.ts folder_ts/a.ts && cp clip.ts folder_ts/b.ts && cp clip.mp4 folder_mp4/a.mp4 && "
             "cp clip.mp4 folder_mp4/b.mp4");

    const uint16_t udp_port = FreeUdpPort(), rtp_port = FreeUdpPort(), dvb_port = FreeUdpPort();
    const uint16_t http_port = FreeTcpPort(), rtsp_source = FreeTcpPort(), rtmp_port = FreeTcpPort(), rtsp_out = FreeTcpPort();
    const std::string loop = "ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -c copy ";
    ASSERT_NO_FATAL_FAILURE(Run(udp, loop + "-f mpegts 'udp://127.0.0.1:" + std::to_string(udp_port) + "?pkt_size=1316'"));
    ASSERT_NO_FATAL_FAILURE(Run(rtp, loop + "-f rtp_mpegts rtp://127.0.0.1:" + std::to_string(rtp_port)));
    ASSERT_NO_FATAL_FAILURE(Run(http, loop + "-f mpegts -listen 1 http://127.0.0.1:" + std::to_string(http_port) + "/live.ts"));
    ASSERT_NO_FATAL_FAILURE(Run(rtsp, "/usr/bin/python3 " QUORVANE_TEST_SUPPORT_DIR "/rtsp_source.py " + std::to_string(rtsp_source) +
                                          " clip.ts"));
    const std::string folder = PrepareNginxRtmp(server.Dir(), rtmp_port);
    ASSERT_TRUE(nginx.Start({RunShell("command -v nginx | tr -d '\\n'"), "-e", "stderr", "-p", folder + "/", "-c", folder + "/nginx.conf"},
                            folder));
    ASSERT_TRUE(WaitUntil([&] { return AcceptsConnections(rtmp_port); }, 10000)) << nginx.Stderr();
    const std::string rtmp_url = "rtmp://127.0.0.1:" + std::to_string(rtmp_port) + "/live/cam";
    ASSERT_NO_FATAL_FAILURE(Run(rtmp, "ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.mp4 -c copy -f flv " + rtmp_url));
    ASSERT_NO_FATAL_FAILURE(Run(dvb, "ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -re -f lavfi -i testsrc=size=320x240:rate=25 "
                                     "-map 0 -map 1 -c:0 copy -c:1 copy -c:2 mpeg2video -g 12 -program program_num=101:st=0:st=1 "
                                     "-program program_num=102:st=2 -f mpegts 'udp://127.0.0.1:" + std::to_string(dvb_port) +
                                     "?pkt_size=1316'"));
    ASSERT_TRUE(WaitUntil([&] { return AcceptsConnections(rtsp_source); }, 15000)) << rtsp.Stderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // ffmpeg's HTTP server listens

    const std::time_t started = std::time(nullptr);
    const std::vector<std::pair<std::string, std::string>> channels = {
        {"UDP", "udp://:" + std::to_string(udp_port)},
        {"RTP", "rtp://:" + std::to_string(rtp_port)},
        {"HTTP pull", "http://127.0.0.1:" + std::to_string(http_port) + "/live.ts"},
        {"RTSP pull", "rtsp://127.0.0.1:" + std::to_string(rtsp_source) + "/live"},
        {"RTMP pull", rtmp_url},
        {"DVB program 101", "dvb://:" + std::to_string(dvb_port) + ",2"},
        {"DVB program 102", ""},
        {"TS folder", "dir://folder_ts"},
        {"MP4 folder", "dir://folder_mp4"},
    };
    std::string definition = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
    // The live channels (the first seven) record an archive each.
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const std::string recorded = i < kLiveChannels ? " rec_folder=\"rec" + std::to_string(i + 1) + "\"" : "";
        definition += "<ch src=\"" + channels[i].second + "\"" + recorded + ">" + channels[i].first + "</ch>\r\n";
    }
    server.Dir().WriteFile("channel_definition.xml", definition);
    ASSERT_TRUE(server.Start("iptv_base_port=" + std::to_string(rtsp_out) + "\r\ntv_on_demand_record_duration=60\r\n"))
        << server.Process().Stderr().substr(0, 2000);
    ASSERT_TRUE(server.WaitForLog("Finished filled the PMT Table\n", 20000));
    ASSERT_TRUE(server.WaitForLog("RTMP Find Type [", 30000));

    const std::string rtsp_base = "rtsp://127.0.0.1:" + std::to_string(rtsp_out);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        // Each output: its name and ffmpeg's options for its input.
        const std::vector<std::pair<std::string, std::string>> outputs = {
            {"HTTP", "-i '" + server.Url("/" + n + ".ch") + "'"},
            {"RTSP/TCP", "-rtsp_transport tcp -i '" + rtsp_base + "/" + n + ".ch'"},
            {"RTSP/UDP", "-rtsp_transport udp -i '" + rtsp_base + "/" + n + ".ch'"},
            {"HLS", "-i '" + server.Url("/" + n + "/index.m3u8") + "'"},
        };
        for (const auto& [output, input] : outputs) {
            const std::string run = RunShell("timeout 40 ffmpeg -nostdin -v error -stats " + input +
                                             " -map 0:v:0 -frames:v 30 -f null - 2>&1; echo exit=$?");
            EXPECT_GE(DecodedFrames(run), 30) << channels[i].first << " over " << output << ":\n" << run.substr(0, 1500);
            // A viewer starts at a key picture: no decoding error before the first picture. (Not
            // checked on the RTSP pull: its source loops a file and starts its clocks and counters
            // again at each turn, which a decoder reports wherever it joins.)
            if (output == "HTTP" && channels[i].first != "RTSP pull") {
                EXPECT_EQ(ErrorLines(run), "") << channels[i].first << " over " << output;
            }
        }
    }

    // Each live channel's archive plays from its file and, by wall-clock time, as catch-up HLS.
    const std::string interval = "archive-" + std::to_string(started + 20) + "-20.m3u8";
    for (std::size_t i = 0; i < kLiveChannels; ++i) {
        const std::string n = std::to_string(i + 1);
        const std::string file = RunShell("ls '" + server.Dir().PathOf("tv_program_archive/rec" + n) + "'/*.ts 2>/dev/null | head -1 | tr -d '\\n'");
        const std::vector<std::pair<std::string, std::string>> recorded = {
            {"archive file", "-i '" + file + "'"},
            {"catch-up HLS", "-i '" + server.Url("/" + n + "/" + interval) + "'"},
        };
        for (const auto& [output, input] : recorded) {
            const std::string run = RunShell("timeout 40 ffmpeg -nostdin -v error -stats " + input +
                                             " -map 0:v:0 -frames:v 30 -f null - 2>&1; echo exit=$?");
            EXPECT_GE(DecodedFrames(run), 30) << channels[i].first << ", " << output << ":\n" << run.substr(0, 1500);
        }
    }
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
