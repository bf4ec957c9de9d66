// The RTSP service against the real server binary: exact replies over raw sockets, requests
// cut and joined as players send them, the transports and their ports, sessions of one user,
// and real clients (ffprobe, GStreamer) negotiating a session.

#include "support/rtsp_client.h"
#include "support/set_top_box.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A connection as a player reads it: replies, and the media frames interleaved with them.
using Rtsp = RtspClient;

// A stream of `seconds` with a PAT and a PCR in a chunk per second, so that a session on it
// plays that long; too small for the probe to give it a duration.
std::string PacedClip(int seconds)
{
    TsBuilder clip;
    for (int64_t k = 0; k < seconds; ++k) {
        clip.Pat().Pmt().Pcr(0x101, k * 27000000);
        for (int j = 0; j < 4; ++j) clip.Payload(0x102, static_cast<uint8_t>(k));
    }
    return std::string(clip.Bytes().begin(), clip.Bytes().end());
}

class RtspService : public ::testing::Test {
protected:
    void Start(const std::string& extra = "")
    {
        rtsp_port = FreeTcpPort();
        server.Dir().MakeDir("media");
        server.Dir().MakeDir("media/videos");
        server.Dir().WriteFile("media/videos/clip.ts", PacedClip(60));
        server.Dir().WriteFile("media/videos/UPPER.TS", std::string(188 * 10, '\x47'));
        ASSERT_TRUE(server.Start("iptv_base_port=" + std::to_string(rtsp_port) + "\r\n" + extra))
            << server.Process().Stdout().substr(0, 2000);
    }
    std::string Url(const std::string& path) { return "rtsp://127.0.0.1:" + std::to_string(rtsp_port) + path; }
    std::string Request(const std::string& method, const std::string& path, int cseq, const std::string& more = "")
    {
        return method + " " + Url(path) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + more + "\r\n";
    }
    std::string Log() { return server.Dir().ReadFile("system.log"); }
    // DESCRIBE and a TCP SETUP; the session number.
    std::string Describe(Rtsp& rtsp, const std::string& path = "/media/videos/clip.ts")
    {
        rtsp.Send(Request("DESCRIBE", path, 1));
        return rtsp.Reply();
    }
    std::string SetupTcp(Rtsp& rtsp, int cseq = 2, const std::string& timeout = "120")
    {
        rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=1", cseq, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
        const std::string reply = rtsp.Reply();
        std::smatch found;
        return std::regex_search(reply, found, std::regex("Session: (\\d+);timeout=" + timeout + "\r\n")) ? found[1].str() : "";
    }
    TestServer server;
    uint16_t   rtsp_port = 0;
};

TEST_F(RtspService, AnswersOptionsAndDescribeWithTheExactTexts)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Rtsp rtsp(rtsp_port);
    rtsp.Send("OPTIONS " + Url("/media/videos/clip.ts") + " RTSP/1.0\r\n\r\n");
    EXPECT_EQ(rtsp.Reply(), "RTSP/1.0 451 Parameter Not Understood\r\n\r\n");
    rtsp.Send(Request("OPTIONS", "/media/videos/clip.ts", 1));
    EXPECT_EQ(rtsp.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 1\r\nServer: Corvatelix Quorvane7.0\r\n"
                            "Public: DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER\r\n\r\n");

    const std::string describe = Describe(rtsp);
    const std::regex form("RTSP/1\\.0 200 OK\r\nCSeq: 1\r\nServer: Corvatelix Quorvane7\\.0\r\nContent-base: (rtsp://[^\r]+)\r\n"
                          "Content-Type: application/sdp\r\nContent-Length: (\\d+)\r\n\r\n(v=0\r\ns=[^\r]+\r\n"
                          "o=Quorvane7\\.0 906079990 906079991 IN IP4 [0-9.]*\r\nc=IN IP4 0\\.0\\.0\\.0\r\na=maxps:1300\r\n"
                          "t=0 0\r\nm=video 0 RTP/AVP 33\r\na=control:trackID=1\r\na=rtpmap:33 MP2T/90000\r\n"
                          "a=range:npt=now-\r\n)");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(describe, parts, form)) << describe;
    EXPECT_EQ(parts[1].str(), Url("/media/videos/clip.ts"));
    EXPECT_EQ(std::stoul(parts[2].str()), parts[3].str().size());

    EXPECT_NE(Describe(rtsp, "/media/videos/UPPER.TS").find("a=rtpmap:33 H264/90000\r\n"), std::string::npos);
    EXPECT_NE(Describe(rtsp, "/5.ch").find("a=range:npt=now-\r\n"), std::string::npos);
    EXPECT_EQ(Describe(rtsp, "/media/videos/missing.ts"), "RTSP/1.0 451 Parameter Not Understood\r\n\r\n");
    EXPECT_EQ(Describe(rtsp, "/media/../media/videos/clip.ts"), "RTSP/1.0 451 Parameter Not Understood\r\n\r\n");
    EXPECT_EQ(Describe(rtsp, "/" + std::string(600, 'a') + ".ts"), "RTSP/1.0 451 Parameter Not Understood\r\n\r\n");
    EXPECT_EQ(Describe(rtsp, "/media/videos/film.mkv"), "RTSP/1.0 415 Unsupported Media Type\r\n\r\n");
    EXPECT_TRUE(rtsp.Closed(5000));
}

TEST_F(RtspService, RequestsCutOrJoinedAreEachAnsweredAndTheOrderOfCommandsHolds)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Rtsp rtsp(rtsp_port);
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts", 1, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    EXPECT_EQ(rtsp.Reply(), "RTSP/1.0 451 Parameter Not Understood\r\n\r\n");   // nothing described
    const std::string describe = Request("DESCRIBE", "/media/videos/clip.ts", 2);
    rtsp.Send(describe.substr(0, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    rtsp.Send(describe.substr(20));
    EXPECT_EQ(rtsp.Reply().substr(0, 15), "RTSP/1.0 200 OK");
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=1", 3, "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n"));
    const std::string setup = rtsp.Reply();
    EXPECT_TRUE(std::regex_match(setup, std::regex("RTSP/1\\.0 200 OK\r\nSession: 1000;timeout=120\r\n"
                                                   "Transport: RTP/AVP/TCP;source=[0-9.]*;interleaved=2-3\r\nCSeq: 3\r\n\r\n")))
        << setup;
    const std::string head = setup.substr(0, setup.find("CSeq:"));
    // Range before Session, a seek to 30 s; then PAUSE and PLAY in one send.
    rtsp.Send(Request("PLAY", "/media/videos/clip.ts", 4, "Range: npt=30-\r\nSession: 1000\r\n"));
    EXPECT_EQ(rtsp.Reply(), head + "Range: npt=30.000-\r\nCSeq: 4\r\n\r\n");
    EXPECT_TRUE(server.WaitForLog("] [30.000] Sec.\n"));
    EXPECT_TRUE(server.WaitForLog(": First Time to Get Play command\n"));
    rtsp.Send(Request("PAUSE", "/media/videos/clip.ts", 5, "Session: 1000\r\n") +
              Request("PLAY", "/media/videos/clip.ts", 6, "Session: 1000\r\n"));
    EXPECT_EQ(rtsp.Reply(), head + "CSeq: 5\r\n\r\n");
    EXPECT_EQ(rtsp.Reply().substr(0, head.size()), head);
    rtsp.Send(Request("GET_PARAMETER", "/media/videos/clip.ts", 7, "Session: 1000\r\n"));
    const std::string position = rtsp.Reply();       // the seek put the session at second 30
    EXPECT_EQ(position.substr(0, head.size()), head);
    EXPECT_TRUE(std::regex_search(position, std::regex("CSeq: 7\r\nContent-Type: text/parameters\r\nContent-Length: 16\r\n\r\n"
                                                       "position: 3[0-3]\\.\\d{3}$")))
        << position;
    rtsp.Send(Request("PLAY", "/media/videos/clip.ts", 8, "Session: 999\r\n"));
    EXPECT_EQ(rtsp.Reply(), "RTSP/1.0 454 Session Not Found\r\n\r\n");
    rtsp.Send(Request("TEARDOWN", "/media/videos/clip.ts", 9, "Session: 1001\r\n"));
    EXPECT_EQ(rtsp.Reply(), "RTSP/1.0 454 Session Not Found\r\n\r\n");
    EXPECT_TRUE(rtsp.Closed(5000));
    // The session's record is freed once its threads have ended.
    EXPECT_TRUE(server.WaitForLog("DataThread["));
    EXPECT_TRUE(server.WaitForLog(": VOD Finished \n", 10000));
}

TEST_F(RtspService, UdpSetupsTakeConsecutivePortsAndAPlainRtpAvpMeansUdp)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Rtsp rtsp(rtsp_port);
    Describe(rtsp);
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=1", 2, "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n"));
    const std::string first = rtsp.Reply();
    std::smatch ports;
    ASSERT_TRUE(std::regex_search(first, ports, std::regex("Session: (\\d+);timeout=120\r\nServer: Corvatelix Quorvane7\\.0\r\n"
                                                           "Content-base: [^\r]+\r\nTransport: RTP/AVP;source=[0-9.]*;"
                                                           "port=5000-5001;client_port=5000-5001;server_port=(\\d+)-(\\d+)\r\nCSeq: 2\r\n\r\n")))
        << first;
    const int p = std::stoi(ports[2].str());
    EXPECT_EQ(std::stoi(ports[3].str()), p + 1);
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=2", 3, "Transport: RTP/AVP/UDP;unicast;client_port=5002-5003\r\n"));
    const std::string second = rtsp.Reply();
    EXPECT_NE(second.find("Session: " + ports[1].str() + ";"), std::string::npos);
    EXPECT_NE(second.find("server_port=" + std::to_string(p + 2) + "-" + std::to_string(p + 3) + "\r\n"), std::string::npos)
        << second;
    // A third SETUP takes the first pair over: its receive threads end, new ports are bound.
    // (A thread stopped before it ran never runs, and never says that it leaves.)
    ASSERT_TRUE(server.WaitForLog("RTP_DataThread_0["));
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=1", 4, "Transport: RTP/AVP;unicast;client_port=5004-5005\r\n"));
    EXPECT_NE(rtsp.Reply().find("server_port=" + std::to_string(p + 4) + "-" + std::to_string(p + 5) + "\r\n"), std::string::npos);
    EXPECT_TRUE(server.WaitForLog("]: Leave RTP Data Thread \n"));
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=1", 4, "Transport: MP2T/H2221/UDP;unicast\r\n"));
    EXPECT_EQ(rtsp.Reply(), "RTSP/1.0 461 Unsupported transport\r\n\r\n");
    // An RTCP report to the server's port is read and dropped.
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(p + 3));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(udp, "report", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(udp);
    EXPECT_TRUE(server.WaitForLog("RTCP_DataThread_3[") && server.WaitForLog("]: iReturn=6\n"));
}

// A channel input binds its port sharing it; a receive port bound the same way would get a copy
// of every input datagram (each logged, and the session never idle).
TEST_F(RtspService, ReceivePortsSkipAPortAnInputHoldsAndStrayDatagramsAreLoggedOnceASecond)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Rtsp rtsp(rtsp_port);
    Describe(rtsp);
    const std::regex ports("server_port=(\\d+)-(\\d+)\r\n");
    std::smatch found;
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=1", 2, "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n"));
    const std::string first = rtsp.Reply();
    ASSERT_TRUE(std::regex_search(first, found, ports)) << first;
    const int p = std::stoi(found[1].str());
    const int input = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ASSERT_EQ(setsockopt(input, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(p + 2));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(input, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    rtsp.Send(Request("SETUP", "/media/videos/clip.ts/trackID=2", 3, "Transport: RTP/AVP;unicast;client_port=5002-5003\r\n"));
    const std::string second = rtsp.Reply();
    close(input);
    ASSERT_TRUE(std::regex_search(second, found, ports)) << second;
    EXPECT_EQ(std::stoi(found[1].str()), p + 3);
    EXPECT_EQ(std::stoi(found[2].str()), p + 4);

    // A stream landing on a receive port: its first datagram is logged, the rest of that second not.
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    address.sin_port = htons(static_cast<uint16_t>(p + 3));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto send_to = [&](std::size_t length) {
        sendto(udp, std::string(length, 'x').data(), length, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    };
    for (int i = 0; i < 50; ++i) send_to(7);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));   // the next second
    send_to(9);
    close(udp);
    EXPECT_TRUE(server.WaitForLog("]: iReturn=9\n"));
    EXPECT_EQ(CountOf(Log(), "]: iReturn=7\n"), 1);
}

TEST_F(RtspService, ASecondSessionOfAUserDisplacesTheFirstButRootNever)
{
    server.Dir().WriteFile("user_profile.csv", "bob,pw,12/31/2099,pre,10\r\nroot,rt,12/31/2099,free,0\r\n");
    ASSERT_NO_FATAL_FAILURE(Start("user_authorization=1\r\n"));
    {
        Rtsp rtsp(rtsp_port);
        EXPECT_EQ(Describe(rtsp), "RTSP/1.0 451 Parameter Not Understood\r\n\r\n");
        EXPECT_EQ(Describe(rtsp, "/media/videos/clip.ts?u=bob&p=bad"), "RTSP/1.0 451 Parameter Not Understood\r\n\r\n");
    }
    auto play = [&](Rtsp& rtsp, const std::string& user, const std::string& password) {
        EXPECT_EQ(Describe(rtsp, "/media/videos/clip.ts?u=" + user + "&p=" + password).substr(0, 15), "RTSP/1.0 200 OK");
        const std::string session = SetupTcp(rtsp);
        rtsp.Send(Request("PLAY", "/media/videos/clip.ts", 3, "Session: " + session + "\r\n"));
        EXPECT_EQ(rtsp.Reply().substr(0, 15), "RTSP/1.0 200 OK");
        RtspClient::Frame frame;                      // playing: its data thread has started
        EXPECT_TRUE(rtsp.NextFrame(frame));
    };
    Rtsp first(rtsp_port);
    play(first, "bob", "pw");
    Rtsp root_one(rtsp_port);
    play(root_one, "root", "rt");
    Rtsp root_two(rtsp_port);
    play(root_two, "root", "rt");
    Rtsp second(rtsp_port);
    play(second, "bob", "pw");
    EXPECT_TRUE(first.Closed(8000));
    EXPECT_FALSE(second.Closed(500));
    EXPECT_FALSE(root_one.Closed(500));
    const std::string log = Log();
    const std::string warning = "System Warning: Discard the previous connection of user [bob]\n";
    EXPECT_NE(log.find(warning), std::string::npos);
    EXPECT_EQ(log.find(warning, log.find(warning) + 1), std::string::npos);
    EXPECT_EQ(log.find("previous connection of user [root]"), std::string::npos);
}

TEST_F(RtspService, ASessionSilentForItsAnnouncedTimeoutIsEndedPausedOrNotUnlessItPlaysOverTcp)
{
    ASSERT_NO_FATAL_FAILURE(Start("rtsp_session_timeout=3\r\n"));
    Rtsp silent(rtsp_port);
    Describe(silent);
    Rtsp talking(rtsp_port);
    Describe(talking);
    const auto play = [&](Rtsp& rtsp) {
        Describe(rtsp);
        const std::string session = SetupTcp(rtsp, 2, "3");
        rtsp.Send(Request("PLAY", "/media/videos/clip.ts", 3, "Session: " + session + "\r\n"));
        EXPECT_EQ(rtsp.Reply().substr(0, 15), "RTSP/1.0 200 OK");
        return session;
    };
    Rtsp playing(rtsp_port);
    play(playing);
    // Paused, then silent (a player that vanished without a close): nothing flows, so it ends.
    Rtsp paused(rtsp_port);
    const std::string session = play(paused);
    paused.Send(Request("PAUSE", "/media/videos/clip.ts", 4, "Session: " + session + "\r\n"));
    EXPECT_EQ(paused.Reply().substr(0, 15), "RTSP/1.0 200 OK");
    const auto start = Clock::now();
    bool silent_closed = false;
    bool paused_closed = false;
    RtspClient::Frame frame;
    // The talking session asks something every second; the playing one takes its stream.
    for (int cseq = 10; cseq < 30 && !(silent_closed && paused_closed); ++cseq) {
        talking.Send(Request("OPTIONS", "/media/videos/clip.ts", cseq));
        EXPECT_EQ(talking.Reply().substr(0, 15), "RTSP/1.0 200 OK");
        while (playing.NextFrame(frame, 20)) {
        }
        silent_closed = silent_closed || silent.Closed(500);
        paused_closed = paused_closed || paused.Closed(500);
    }
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(silent_closed);
    EXPECT_TRUE(paused_closed);
    EXPECT_LT(waited, 8.0);
    EXPECT_FALSE(playing.closed());
    EXPECT_TRUE(playing.NextFrame(frame, 3000));
    EXPECT_TRUE(server.WaitForLog("]: session idle for 3 s, closed\n"));
    EXPECT_TRUE(server.WaitForLog(": Leave RTSP Data Thread \n"));
}

TEST_F(RtspService, RealClientsNegotiateTheSessionOverBothTransports)
{
    if (!HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    ASSERT_NO_FATAL_FAILURE(Start());
    for (const char* transport : {"tcp", "udp"}) {
        const std::string output = RunShell("timeout 20 ffprobe -v debug -rtsp_transport " + std::string(transport) +
                                            " -timeout 2000000 '" + Url("/media/videos/clip.ts") + "' 2>&1");
        EXPECT_NE(output.find("a=rtpmap:33 MP2T/90000"), std::string::npos) << transport << "\n" << output.substr(0, 3000);
    }
    const std::string log = Log();
    EXPECT_NE(log.find("Transport: RTP/AVP/TCP;source="), std::string::npos);
    EXPECT_NE(log.find(";server_port="), std::string::npos);
    EXPECT_NE(log.find(": First Time to Get Play command\n"), std::string::npos);
    if (HaveTool("gst-launch-1.0")) {
        for (const char* protocols : {"tcp", "udp"}) {
            RunShell("timeout 8 gst-launch-1.0 -q rtspsrc location='" + Url("/media/videos/clip.ts") + "' protocols=" +
                     protocols + " ! rtpmp2tdepay ! tsdemux ! fakesink >/dev/null 2>&1");
        }
        const std::string after = Log();
        EXPECT_GE(static_cast<int>(std::count(after.begin(), after.end(), '\n')), 1);
        std::size_t plays = 0;
        for (std::size_t at = after.find("First Time to Get Play command"); at != std::string::npos;
             at = after.find("First Time to Get Play command", at + 1))
            ++plays;
        EXPECT_GE(plays, 4u) << "GStreamer did not reach PLAY over both transports";
    }
}

}  // namespace
