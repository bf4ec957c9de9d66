// Live channels over RTSP against the real server binary: a UDP channel and a looping folder of
// files decode in ffmpeg over both transports, and a channel whose input the RTSP output cannot
// stream is refused at SETUP.

#include "support/live_feed.h"
#include "support/rtsp_client.h"
#include "support/test_server.h"
#include "support/ts_video.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

class RtspLive : public ::testing::Test {
protected:
    void Start(const std::string& channels, const std::string& settings = "")
    {
        rtsp_port = FreeTcpPort();
        server.Dir().WriteFile("channel_definition.xml",
                               "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n" + channels);
        ASSERT_TRUE(server.Start("iptv_base_port=" + std::to_string(rtsp_port) + "\r\n" + settings));
    }
    std::string Url(const std::string& path) { return "rtsp://127.0.0.1:" + std::to_string(rtsp_port) + path; }
    std::string Request(const std::string& method, int cseq, const std::string& more)
    {
        return method + " " + Url("/1.ch") + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + more + "\r\n";
    }
    // DESCRIBE, SETUP over TCP and PLAY of channel 1; the session.
    void PlayOverTcp(RtspClient& rtsp, std::string& session)
    {
        session = rtsp.PlayOverTcp(Url("/1.ch"));
        ASSERT_FALSE(session.empty());
    }
    TestServer server;
    uint16_t   rtsp_port = 0;
};

TEST_F(RtspLive, AUdpChannelDecodesInFfmpegOverBothTransports)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">Live</ch>\r\n"));
    const std::string clip = server.Dir().PathOf("clip.ts");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine "
                           "-t 30 -c:v libx264 -preset ultrafast -g 25 -c:a aac -f mpegts -muxrate 1200k '" + clip + "'")
                              .c_str()),
              0);
    ChildProgram feed;
    ASSERT_TRUE(feed.Start({"/bin/sh", "-c",
                            "exec ffmpeg -nostdin -v error -re -i '" + clip + "' -c copy -f mpegts 'udp://127.0.0.1:" +
                                std::to_string(udp) + "?pkt_size=1316'"},
                           server.Dir().Path()));
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No"));
    for (const char* transport : {"tcp", "udp"}) {
        const std::string output = RunShell("timeout 30 ffmpeg -nostdin -v error -stats -rtsp_transport " + std::string(transport) +
                                            " -i '" + Url("/1.ch") + "' -t 4 -map 0:v -f null - 2>&1; echo \"exit=$?\"");
        EXPECT_NE(output.find("exit=0"), std::string::npos) << transport << "\n" << output.substr(0, 2000);
        const std::size_t last = output.rfind("frame=");         // the final progress line
        ASSERT_NE(last, std::string::npos) << output.substr(0, 2000);
        EXPECT_GT(std::atoi(output.c_str() + last + 6), 50) << transport;   // 4 s at 25 frames a second
    }
    feed.Signal(SIGTERM);
}

TEST_F(RtspLive, RepliesWhileAFullConnectionPlaysNeverLandInsideAPacket)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">Live</ch>\r\n"));
    ChildProgram feed;
    ASSERT_TRUE(feed.Start({"/bin/sh", "-c",
                            "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=25 -t 30 -c:v libx264 "
                            "-preset ultrafast -g 25 -f mpegts -muxrate 12000k 'udp://127.0.0.1:" + std::to_string(udp) +
                                "?pkt_size=1316'"},
                           server.Dir().Path()));
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));   // a ring to catch up from

    RtspClient rtsp(rtsp_port);
    rtsp.ShrinkReceiveBuffer(65536);
    std::string session;
    ASSERT_NO_FATAL_FAILURE(PlayOverTcp(rtsp, session));
    // The connection fills while the player reads nothing; the replies then wait for room, as
    // the rest of a half-sent batch of packets does.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    std::string asked;
    for (int cseq = 10; cseq < 20; ++cseq) asked += Request("GET_PARAMETER", cseq, "Session: " + session + "\r\n");
    rtsp.Send(asked);
    for (int cseq = 10; cseq < 20; ++cseq) {
        const std::string reply = rtsp.Reply(15000);
        ASSERT_EQ(reply.substr(0, 15), "RTSP/1.0 200 OK") << "reply " << cseq << ": " << reply.substr(0, 200);
        EXPECT_NE(reply.find("CSeq: " + std::to_string(cseq) + "\r\n"), std::string::npos) << reply;
    }
    RtspClient::Frame frame;
    int frames = 0;
    while (frames < 2000 && rtsp.NextFrame(frame, 2000)) {
        ++frames;
        ASSERT_EQ(frame.channel, 0);
        ASSERT_GE(frame.bytes.size(), 12u + 188u);
        ASSERT_EQ(frame.bytes[0], 0x80) << "frame " << frames << " is not an RTP packet";
        ASSERT_EQ((frame.bytes.size() - 12) % 188, 0u) << "frame " << frames;
        ASSERT_LE(frame.bytes.size(), 12u + 7 * 188) << "frame " << frames << " is more than a datagram of seven packets";
        ASSERT_EQ(frame.bytes[12], 0x47) << "frame " << frames;
    }
    EXPECT_GT(frames, 100);
    feed.Signal(SIGTERM);
}

// Frames of the final progress line of an ffmpeg run over RTSP (-1 when it failed).
int DecodedFrames(const std::string& output)
{
    if (output.find("exit=0") == std::string::npos) return -1;
    const std::size_t last = output.rfind("frame=");
    return last == std::string::npos ? -1 : std::atoi(output.c_str() + last + 6);
}

TEST_F(RtspLive, AFolderChannelDecodesOverBothTransportsAndLoops)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    server.Dir().MakeDir("media/loop");
    // Two short files of 75 frames each.
    for (const char* name : {"a.ts", "b.ts"}) {
        ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 3 -c:v libx264 "
                               "-preset ultrafast -g 25 -f mpegts -muxrate 600k '" + server.Dir().PathOf(std::string("media/loop/") + name) + "'")
                                  .c_str()),
                  0);
    }
    // Channel 2: a folder of MP4 files of 75 frames each, remuxed as they play.
    server.Dir().MakeDir("media/films");
    for (const char* name : {"a.mp4", "b.mp4"})
        ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf(std::string("media/films/") + name), "testsrc2", 3), "");
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"dir://media/loop\">Loop</ch>\r\n<ch src=\"dir://media/films\">Films</ch>\r\n"));
    for (const char* transport : {"tcp", "udp", "tcp /2.ch"}) {
        const std::string how = transport;
        const std::string output = RunShell("timeout 30 ffmpeg -nostdin -v error -stats -rtsp_transport " + how.substr(0, 3) +
                                            " -i '" + Url(how.size() > 3 ? "/2.ch" : "/1.ch") +
                                            "' -map 0:v -frames:v 200 -f null - 2>&1; echo \"exit=$?\"");
        // Each file's clock starts again at 0, so the frames count, not the stream's time: 200
        // frames are more than two files.
        EXPECT_GE(DecodedFrames(output), 200) << transport << "\n" << output.substr(0, 2000);
    }
    // The UDP session got its media as datagrams: nothing but replies on its control connection.
    EXPECT_TRUE(server.WaitForLog("IPTV_TS_RTSP_DataThread Starting (CH no.[1])"));
    EXPECT_TRUE(server.WaitForLog("DataThread[") && server.WaitForLog("IPTV Client RAW/RAW/UDP Port no="));
    EXPECT_TRUE(server.WaitForLog("j=["));
}

// The second program of a multiplex of two: over both transports a player decodes its MPEG-2
// video alone (the first program's H.264 does not come along).
TEST_F(RtspLive, ADvbProgramDecodesAloneOverBothTransports)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t dvb = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"dvb://:" + std::to_string(dvb) + ",2\">Dvb</ch>\r\n<ch src=\"\">Dvb 2</ch>\r\n"));
    ChildProgram feed;
    ASSERT_TRUE(feed.Start({"/bin/sh", "-c",
                            "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=160x120:rate=25 -re -f lavfi "
                            "-i testsrc=size=160x120:rate=25 -t 60 -map 0 -map 1 -c:0 libx264 -preset ultrafast -g 25 "
                            "-c:1 mpeg2video -g 12 -program program_num=101:st=0 -program program_num=102:st=1 -f mpegts "
                            "'udp://127.0.0.1:" + std::to_string(dvb) + "?pkt_size=1316'"},
                           server.Dir().Path()));
    ASSERT_TRUE(server.WaitForLog("Finished filled the PMT Table\n", 20000));
    for (const char* transport : {"tcp", "udp"}) {
        const std::string output = RunShell("timeout 30 ffmpeg -nostdin -v info -rtsp_transport " + std::string(transport) + " -i '" +
                                            Url("/2.ch") + "' -t 3 -map 0:v -f null - 2>&1; echo \"exit=$?\"");
        EXPECT_NE(output.find("exit=0"), std::string::npos) << transport << "\n" << output.substr(0, 3000);
        EXPECT_NE(output.find("Video: mpeg2video"), std::string::npos) << transport << "\n" << output.substr(0, 3000);
        EXPECT_EQ(output.find("h264"), std::string::npos) << transport << ": the other program came along";
    }
    feed.Signal(SIGTERM);
}

// With time-shift on, the programs of a multiplex and an HTTP pull play from their own
// time-shift files: each program's file holds that program alone, the pull's whole packets.
TEST_F(RtspLive, DvbProgramsAndPulledChannelsPlayFromTheirTimeShiftFiles)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t dvb = FreeUdpPort();
    const uint16_t http = FreeTcpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"dvb://:" + std::to_string(dvb) + ",2\">Dvb</ch>\r\n<ch src=\"\">Dvb 2</ch>\r\n"
                                  "<ch src=\"http://127.0.0.1:" + std::to_string(http) + "/live.ts\">Pull</ch>\r\n",
                                  "iptv_time_shift_record_duration=600\r\n"));
    ChildProgram multiplex, pulled;
    ASSERT_TRUE(multiplex.Start({"/bin/sh", "-c",
                                 "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=160x120:rate=25 -re -f lavfi "
                                 "-i testsrc=size=160x120:rate=25 -t 60 -map 0 -map 1 -c:0 libx264 -preset ultrafast -g 25 "
                                 "-c:1 mpeg2video -g 12 -program program_num=101:st=0 -program program_num=102:st=1 -f mpegts "
                                 "'udp://127.0.0.1:" + std::to_string(dvb) + "?pkt_size=1316'"},
                                server.Dir().Path()));
    ASSERT_TRUE(pulled.Start({"/bin/sh", "-c",
                              "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=160x120:rate=25 -t 60 -c:v libx264 "
                              "-preset ultrafast -g 25 -f mpegts -listen 1 http://127.0.0.1:" + std::to_string(http) + "/live.ts"},
                             server.Dir().Path()));
    ASSERT_TRUE(server.WaitForLog("Finished filled the PMT Table\n", 20000));
    ASSERT_TRUE(server.WaitForLog("CH [3]: Normal HTTP Header", 20000));
    std::this_thread::sleep_for(std::chrono::seconds(3));   // a few seconds in every file
    const char* codecs[] = {"h264", "mpeg2video", "h264"};
    for (int n = 1; n <= 3; ++n) {
        const std::string output = RunShell("timeout 30 ffmpeg -nostdin -v info -rtsp_transport tcp -i '" + Url("/" + std::to_string(n) + ".ch") +
                                            "' -map 0:v -frames:v 30 -f null - 2>&1; echo \"exit=$?\"");
        EXPECT_NE(output.find("exit=0"), std::string::npos) << n << "\n" << output.substr(0, 3000);
        EXPECT_NE(output.find(std::string("Video: ") + codecs[n - 1]), std::string::npos) << n << "\n" << output.substr(0, 3000);
        EXPECT_TRUE(server.WaitForLog("RTSP_Time_Shift_Video_Streaming (CH no.[" + std::to_string(n) + "])", 1000)) << n;
    }
}

TEST_F(RtspLive, AChannelTheOutputCannotStreamIsRefusedAtSetup)
{
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"dir://no-such-folder\">Nothing</ch>\r\n"));
    const int fd = ConnectLoopback(rtsp_port);
    ASSERT_TRUE(SendAllText(fd, "DESCRIBE " + Url("/1.ch") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n"));
    std::string got = ReadFor(fd, 300, 3000);
    ASSERT_EQ(got.substr(0, 15), "RTSP/1.0 200 OK");
    ASSERT_TRUE(SendAllText(fd, "SETUP " + Url("/1.ch") + " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n"));
    got = ReadFor(fd, 39, 3000);
    EXPECT_EQ(got, "RTSP/1.0 461 Unsupported transport\r\n\r\n");
    close(fd);
}

// A source that never sends the tables right before a key picture: the join puts copies in front
// of it, and what the player gets is still RTP packets of seven TS packets at most.
TEST_F(RtspLive, AJoinAtAKeyPictureWithCopiedTablesStillSendsWholeSmallPackets)
{
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">Live</ch>\r\n"));
    // Groups of 25 pictures (75 packets) and the tables after the fifth: 11 datagrams each, every
    // key picture at the start of one.
    std::vector<uint8_t> stream;
    const std::vector<uint8_t> tables = TsBuilder().Pat().Pmt().Bytes();
    for (int picture = 0; picture < 100; ++picture) {
        if (picture % 25 == 5) stream.insert(stream.end(), tables.begin(), tables.end());
        AddPicture(stream, picture * 3600, picture % 25 == 0 ? Mark::kIdr : Mark::kPlain);
    }
    const std::size_t blocks = stream.size() / 1316;
    UdpSource feed(udp, 20, [&](int64_t k) {
        const std::size_t at = static_cast<std::size_t>(k) % blocks * 1316;
        return TsBuilder().Raw(std::vector<uint8_t>(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + 1316)));
    });
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No"));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));   // a ring with key pictures after the join point

    RtspClient rtsp(rtsp_port);
    std::string session;
    ASSERT_NO_FATAL_FAILURE(PlayOverTcp(rtsp, session));
    RtspClient::Frame frame;
    std::string media;
    for (int frames = 0; frames < 50 && rtsp.NextFrame(frame, 2000); ++frames) {
        ASSERT_GE(frame.bytes.size(), 12u + 188u);
        ASSERT_LE(frame.bytes.size(), 12u + 7 * 188) << "frame " << frames << " is more than a datagram of seven packets";
        media.append(reinterpret_cast<const char*>(frame.bytes.data()) + 12, frame.bytes.size() - 12);
    }
    ASSERT_GE(media.size(), 3u * 188);
    const auto pid = [&](std::size_t packet) { return ((media[packet * 188 + 1] & 0x1F) << 8) | static_cast<uint8_t>(media[packet * 188 + 2]); };
    EXPECT_EQ(pid(0), 0);
    EXPECT_EQ(pid(1), 0x100);
    EXPECT_EQ(pid(2), kTestVideoPid);
    EXPECT_EQ(static_cast<uint8_t>(media[2 * 188 + 28]), 0x65) << "the stream starts with the key picture";
}

}  // namespace
