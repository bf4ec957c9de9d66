// Stored files and time-shift files over RTSP: real players to the end of a file over TCP and
// UDP, seeking by npt to the PAT after the asked second, PAUSE and resume, pacing across PCR
// jumps, and a live channel played back from its recorder's ring file.

#include "rtsp/rtsp_file_stream.h"
#include "rtsp/rtsp_service.h"
#include "support/live_feed.h"
#include "support/rtsp_client.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Frame = RtspClient::Frame;

constexpr char    kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
constexpr double  kTicks = 27000000.0;

uint16_t PidOf(const uint8_t* packet) { return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]); }

// The PCR of a packet in 27 MHz ticks, -1 without one.
int64_t PcrOf(const uint8_t* p)
{
    if (p[0] != 0x47 || (p[3] & 0x20) == 0 || p[4] == 0 || (p[5] & 0x10) == 0) return -1;
    const int64_t base = (int64_t{p[6]} << 25) | (int64_t{p[7]} << 17) | (int64_t{p[8]} << 9) | (int64_t{p[9]} << 1) | (p[10] >> 7);
    return base * 300 + (((p[10] & 1) << 8) | p[11]);
}

// The first PCR among the whole packets of bytes, -1 without one.
int64_t FirstPcr(const uint8_t* bytes, std::size_t size)
{
    for (std::size_t at = 0; at + 188 <= size; at += 188)
        if (const int64_t pcr = PcrOf(bytes + at); pcr >= 0) return pcr;
    return -1;
}

// The payload of an RTP frame (version 2, payload type 33, a 12-byte header); empty otherwise.
std::vector<uint8_t> RtpPayload(const Frame& frame)
{
    if (frame.bytes.size() < 12 || frame.bytes[0] != 0x80 || frame.bytes[1] != 33) return {};
    return {frame.bytes.begin() + 12, frame.bytes.end()};
}

uint16_t RtpSequence(const Frame& frame) { return static_cast<uint16_t>(frame.bytes[2] << 8 | frame.bytes[3]); }

// Chunks of seven packets, each a PAT, a PMT, a PCR `step_ms` after the previous one and four
// payload packets numbered by the chunk, over `seconds`.
std::vector<uint8_t> PacedChunks(int seconds, int step_ms)
{
    TsBuilder clip;
    for (int64_t k = 0; k < seconds * 1000 / step_ms; ++k) {
        clip.Pat().Pmt().Pcr(0x101, k * step_ms * 27000);
        for (int j = 0; j < 4; ++j) clip.Payload(0x102, static_cast<uint8_t>(k));
    }
    return clip.Bytes();
}

// Media made once for the whole suite: a short clip for the players and a long one at a mux
// rate of 2000 kbit/s for seeking.
std::unique_ptr<TempWorkDir> g_media;

class RtspFileStream : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!HaveTool("ffmpeg")) return;
        g_media = std::make_unique<TempWorkDir>(false);
        const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine -c:v libx264 "
                                 "-preset ultrafast -g 25 -c:a aac -f mpegts ";
        RunShell(make + "-t 5 -muxrate 1000k '" + g_media->PathOf("play.ts") + "' 2>&1");
        RunShell(make + "-t 70 -muxrate 2000k '" + g_media->PathOf("seek.ts") + "' 2>&1");
    }
    static void TearDownTestSuite() { g_media.reset(); }

    bool HaveMedia() const { return g_media != nullptr && g_media->Exists("play.ts") && g_media->Exists("seek.ts"); }
    void Start(const std::string& extra = "")
    {
        rtsp_port = FreeTcpPort();
        server.Dir().MakeDir("media");
        if (HaveMedia())
            for (const char* name : {"play.ts", "seek.ts"})
                std::filesystem::copy_file(g_media->PathOf(name), server.Dir().PathOf(std::string("media/") + name));
        ASSERT_TRUE(server.Start("iptv_base_port=" + std::to_string(rtsp_port) + "\r\n" + extra))
            << server.Process().Stdout().substr(0, 2000);
    }
    std::string Url(const std::string& path) const { return "rtsp://127.0.0.1:" + std::to_string(rtsp_port) + path; }
    std::string Request(const std::string& method, const std::string& path, int cseq, const std::string& more = "") const
    {
        return method + " " + Url(path) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + more + "\r\n";
    }
    // DESCRIBE and SETUP; the session number ("" when either failed). setup_reply gets the
    // SETUP reply.
    std::string Open(RtspClient& rtsp, const std::string& path, const std::string& transport = "RTP/AVP/TCP;unicast;interleaved=0-1",
                     std::string* setup_reply = nullptr)
    {
        rtsp.Send(Request("DESCRIBE", path, 1));
        if (rtsp.Reply().substr(0, 15) != "RTSP/1.0 200 OK") return "";
        rtsp.Send(Request("SETUP", path + "/trackID=1", 2, "Transport: " + transport + "\r\n"));
        const std::string reply = rtsp.Reply();
        if (setup_reply != nullptr) *setup_reply = reply;
        std::smatch found;
        return std::regex_search(reply, found, std::regex("Session: (\\d+);timeout=120")) ? found[1].str() : "";
    }
    std::string Play(RtspClient& rtsp, const std::string& path, const std::string& session, int cseq, const std::string& more = "")
    {
        rtsp.Send(Request("PLAY", path, cseq, more + "Session: " + session + "\r\n"));
        return rtsp.Reply();
    }
    std::string Log() { return server.Dir().ReadFile("system.log"); }

    TestServer server;
    uint16_t   rtsp_port = 0;
};

TEST_F(RtspFileStream, RealPlayersPlayAStoredFileToItsEndOverTcpAndUdp)
{
    if (!HaveMedia()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_NO_FATAL_FAILURE(Start());
    for (const std::string transport : {"tcp", "udp"}) {
        const std::string errors = server.Dir().PathOf("ffmpeg-" + transport + ".err");
        const std::string output = RunShell("timeout 40 ffmpeg -nostdin -hide_banner -nostats -v error -rtsp_transport " + transport +
                                            " -i '" + Url("/media/play.ts") + "' -f null - -progress pipe:1 2>'" + errors +
                                            "'; echo exit=$?");
        EXPECT_NE(output.find("exit=0"), std::string::npos) << transport << "\n" << output.substr(0, 2000);
        EXPECT_EQ(server.Dir().ReadFile("ffmpeg-" + transport + ".err"), "") << transport;
        // The last progress report counts the decoded pictures: 5 s at 25 per second.
        const std::size_t last = output.rfind("frame=");
        ASSERT_NE(last, std::string::npos) << output.substr(0, 2000);
        const int pictures = std::atoi(output.c_str() + last + 6);
        EXPECT_GE(pictures, 120) << transport;
        EXPECT_LE(pictures, 126) << transport;
    }
    int ends = 2;
    if (HaveTool("gst-launch-1.0")) {
        // GStreamer ends a UDP session at the RTCP BYE that follows the last packet.
        for (const char* protocols : {"tcp", "udp"}) {
            const std::string output = RunShell("timeout 40 gst-launch-1.0 -q rtspsrc location='" + Url("/media/play.ts") +
                                                "' protocols=" + protocols + " ! rtpmp2tdepay ! tsdemux ! fakesink 2>&1; echo exit=$?");
            EXPECT_NE(output.find("exit=0"), std::string::npos) << protocols << "\n" << output.substr(0, 2000);
        }
        ends += 2;
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string log = Log();
            int found = 0;
            for (std::size_t at = log.find("]: lenght=0 \n"); at != std::string::npos; at = log.find("]: lenght=0 \n", at + 1)) ++found;
            return found >= ends;
        },
        5000));
    EXPECT_NE(Log().find("Player MAC ID[] Socket=["), std::string::npos);
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(RtspFileStream, APlayFromSecondSixtyStartsAtThePatThatFollowsThatSecond)
{
    if (!HaveMedia()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string text = server.Dir().ReadFile("media/seek.ts");
    const auto* file = reinterpret_cast<const uint8_t*>(text.data());
    const int64_t first = FirstPcr(file, text.size());
    ASSERT_GE(first, 0);
    // Where the session must start: the first PAT at or after the first PCR of second 60.
    std::size_t expected = 0;
    while (expected + 188 <= text.size() && PcrOf(file + expected) < first + 60 * 27000000LL) expected += 188;
    while (expected + 188 <= text.size() && PidOf(file + expected) != 0) expected += 188;
    ASSERT_LT(expected + 1316, text.size());

    RtspClient rtsp(rtsp_port);
    const std::string session = Open(rtsp, "/media/seek.ts");
    ASSERT_FALSE(session.empty());
    EXPECT_NE(Play(rtsp, "/media/seek.ts", session, 3, "Range: npt=60-\r\n").find("\r\nRange: npt=60.000000-"), std::string::npos);
    Frame frame;
    ASSERT_TRUE(rtsp.NextFrame(frame));
    EXPECT_EQ(RtpSequence(frame), 0);
    const std::vector<uint8_t> payload = RtpPayload(frame);
    ASSERT_EQ(payload.size(), 1316u);
    EXPECT_EQ(PidOf(payload.data()), 0);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), file + expected)) << "landed elsewhere than byte " << expected;
    // The moment it landed on, against the one asked for.
    int64_t pcr = FirstPcr(payload.data(), payload.size());
    for (int frames = 0; pcr < 0 && frames < 50 && rtsp.NextFrame(frame); ++frames) {
        const std::vector<uint8_t> next = RtpPayload(frame);
        pcr = FirstPcr(next.data(), next.size());
    }
    ASSERT_GE(pcr, 0);
    const double landed = static_cast<double>(pcr - first) / kTicks;
    std::printf("npt=60 landed at %.3f s (PCR after the first PCR of the file)\n", landed);
    RecordProperty("npt60_landed_ms", static_cast<int>(landed * 1000));
    EXPECT_GE(landed, 60.0);
    EXPECT_LT(landed, 60.2);
    EXPECT_TRUE(server.WaitForLog("Find PAT\n"));
    rtsp.Send(Request("TEARDOWN", "/media/seek.ts", 4, "Session: " + session + "\r\n"));
    EXPECT_TRUE(rtsp.Closed(5000));

    // A start far beyond the file, in 64-bit bytes, is clamped to its end: the session ends there.
    RtspClient far(rtsp_port);
    const std::string far_session = Open(far, "/media/seek.ts");
    Play(far, "/media/seek.ts", far_session, 3, "Range: npt=100000-\r\n");
    EXPECT_TRUE(far.Closed(10000));
    EXPECT_NE(Log().find("]: Pos_Seek=" + std::to_string(text.size() - text.size() % 188) + "\n"), std::string::npos);
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(RtspFileStream, PauseHoldsTheStreamAndPlayResumesItWhereItStopped)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::vector<uint8_t> clip = PacedChunks(3, 20);
    server.Dir().WriteBytes("media/clip.ts", clip);
    RtspClient rtsp(rtsp_port);
    const std::string session = Open(rtsp, "/media/clip.ts");
    ASSERT_FALSE(session.empty());
    ASSERT_EQ(Play(rtsp, "/media/clip.ts", session, 3).substr(0, 15), "RTSP/1.0 200 OK");
    std::vector<Frame> frames;
    Frame frame;
    while (frames.size() < 20 && rtsp.NextFrame(frame)) frames.push_back(frame);
    // PAUSE and PLAY in one send resume at once; each pair leaves a wake-up behind that the
    // PAUSE after them must not take for a resume.
    std::string requests;
    for (int i = 0; i < 20; ++i)
        requests += Request("PAUSE", "/media/clip.ts", 4, "Session: " + session + "\r\n") +
                    Request("PLAY", "/media/clip.ts", 5, "Session: " + session + "\r\n");
    rtsp.Send(requests + Request("PAUSE", "/media/clip.ts", 6, "Session: " + session + "\r\n"));
    for (int i = 0; i < 41; ++i) EXPECT_EQ(rtsp.Reply().substr(0, 15), "RTSP/1.0 200 OK");
    // After the PAUSE's reply, at most what was on its way (the flag is set after the reply).
    int late = 0;
    while (rtsp.NextFrame(frame, 1500)) {
        late += frame.after_replies >= 3 + 41 ? 1 : 0;           // DESCRIBE, SETUP, PLAY and these
        frames.push_back(frame);
    }
    EXPECT_LE(late, 2) << "frames arrive while paused";
    rtsp.Send(Request("GET_PARAMETER", "/media/clip.ts", 7, "Session: " + session + "\r\n"));
    std::smatch position;
    const std::string parameter = rtsp.Reply();
    ASSERT_TRUE(std::regex_search(parameter, position, std::regex("position: (\\d+\\.\\d{3})$"))) << parameter;
    EXPECT_GT(std::stod(position[1].str()), 0.3);
    // A DESCRIBE while the session plays leaves its file alone.
    server.Dir().WriteBytes("media/other.ts", PacedChunks(1, 20));
    rtsp.Send(Request("DESCRIBE", "/media/other.ts", 8));
    EXPECT_EQ(rtsp.Reply().substr(0, 44), "RTSP/1.0 455 Method Not Valid in This State\r");

    EXPECT_EQ(Play(rtsp, "/media/clip.ts", session, 9).substr(0, 15), "RTSP/1.0 200 OK");
    while (rtsp.NextFrame(frame, 5000)) frames.push_back(frame);
    EXPECT_TRUE(rtsp.closed()) << "the end of the file ends the session";
    // Nothing lost or sent twice: the payloads are the file, the sequence numbers consecutive.
    std::vector<uint8_t> received;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(RtpSequence(frames[i]), static_cast<uint16_t>(i));
        const std::vector<uint8_t> payload = RtpPayload(frames[i]);
        received.insert(received.end(), payload.begin(), payload.end());
    }
    EXPECT_TRUE(received == clip) << received.size() << " bytes received of " << clip.size();
    EXPECT_TRUE(server.WaitForLog("]: lenght=0 \n"));
    EXPECT_EQ(server.Stop(), 0);
}

// The recorder's file of a channel with a UDP source (plain packets) and one with an RTP source
// (a header in every slot), rewound every 11 seconds.
TEST_F(RtspFileStream, ATimeShiftSessionPlaysTheRecordersFileSeeksInItAndFollowsItsRewind)
{
    const uint16_t udp = FreeUdpPort();
    const uint16_t rtp = FreeUdpPort();
    server.Dir().WriteFile("channel_definition.xml", std::string(kXmlHead) + "<ch src=\"udp://" + std::to_string(udp) +
                                                         "\">Plain</ch>\r\n<ch src=\"rtp://:" + std::to_string(rtp) + "\">Slots</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(Start("iptv_time_shift_record_duration=11\r\n"));
    UdpSource plain(udp, 40, PlainDatagram);
    UdpSource slots(rtp, 40, [](int64_t k) {
        TsBuilder datagram;
        datagram.RtpHeader(static_cast<uint16_t>(k), static_cast<uint32_t>(k * 450)).Raw(PlainDatagram(k).Bytes());
        return datagram;
    });
    // Four seconds of stream in the file, which has not been rewound yet: its start is the oldest.
    const std::string recording = server.Dir().PathOf("timeshift/time_shift_ch[1]");
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::error_code failed;
            return std::filesystem::file_size(recording, failed) >= 800 * 1316 && !failed;
        },
        20000));
    const std::string head = server.Dir().ReadFile("timeshift/time_shift_ch[1]").substr(0, 1316);
    const int64_t oldest = FirstPcr(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    ASSERT_GE(oldest, 0);

    RtspClient rtsp(rtsp_port);
    std::string setup;
    const std::string session = Open(rtsp, "/1.ch", "RTP/AVP/TCP;unicast;interleaved=0-1", &setup);
    ASSERT_FALSE(session.empty());
    EXPECT_NE(setup.find("Media-Properties: Random-Access=3.2, Time-Progressing,Time-Duration=11.000000\r\n"), std::string::npos);
    ASSERT_EQ(Play(rtsp, "/1.ch", session, 3).substr(0, 15), "RTSP/1.0 200 OK");
    Frame frame;
    ASSERT_TRUE(rtsp.NextFrame(frame));
    std::vector<uint8_t> payload = RtpPayload(frame);
    ASSERT_EQ(payload.size(), 1316u);
    EXPECT_EQ(PidOf(payload.data()), 0) << "the session starts at a PAT";
    EXPECT_GT(static_cast<double>(FirstPcr(payload.data(), payload.size()) - oldest) / kTicks, 3.0) << "near the writer";

    // The RTP channel's file carries a header in every slot; the player gets packets only,
    // framed as RTP even on a raw transport.
    {
        RtspClient raw(rtsp_port);
        const std::string raw_session = Open(raw, "/2.ch", "RAW/RAW/TCP;unicast;client_port=6970-6971");
        ASSERT_FALSE(raw_session.empty());
        ASSERT_EQ(Play(raw, "/2.ch", raw_session, 3).substr(0, 15), "RTSP/1.0 200 OK");
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(raw.NextFrame(frame));
            const std::vector<uint8_t> packets = RtpPayload(frame);
            ASSERT_FALSE(packets.empty()) << "no RTP header";
            ASSERT_EQ(packets.size() % 188, 0u);
            for (std::size_t at = 0; at < packets.size(); at += 188) {
                ASSERT_EQ(packets[at], 0x47) << "frame " << i << " byte " << at;
            }
            if (i == 0) {
                EXPECT_EQ(PidOf(packets.data()), 0);
            }
        }
    }

    // A seek to second 1 of what the file holds lands on the PAT after that moment.
    rtsp.Send(Request("PLAY", "/1.ch", 4, "Range: npt=1-\r\nSession: " + session + "\r\n"));
    int64_t last = -1;
    bool seeked = false;
    int64_t gaps_over_half_a_second = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until && (!seeked || last < oldest + 13 * 27000000LL)) {
        ASSERT_TRUE(rtsp.NextFrame(frame));
        payload = RtpPayload(frame);
        ASSERT_FALSE(payload.empty());
        const int64_t pcr = FirstPcr(payload.data(), payload.size());
        if (pcr < 0) continue;
        if (!seeked) {
            if (pcr >= oldest + 2 * 27000000LL) continue;              // still the stream before the seek
            seeked = true;
            const double landed = static_cast<double>(pcr - oldest) / kTicks;
            std::printf("time-shift npt=1 landed at %.3f s after the oldest PCR\n", landed);
            EXPECT_EQ(PidOf(payload.data()), 0);
            EXPECT_GE(landed, 1.0);
            EXPECT_LT(landed, 1.1);
        } else {
            // Across the recorder's rewind and the reader's own return to the file's start the
            // stream goes on: no step back, no hole.
            EXPECT_GE(pcr, last);
            if (pcr - last > 27000000LL / 2) ++gaps_over_half_a_second;
        }
        last = pcr;
    }
    EXPECT_TRUE(seeked);
    EXPECT_GE(last, oldest + 13 * 27000000LL);
    EXPECT_EQ(gaps_over_half_a_second, 0);
    EXPECT_NE(Log().find("System Message: Channel [1] Time Shift FIle=[timeshift/time_shift_ch[1]] Seeks to 0 Position\n"),
              std::string::npos);
    EXPECT_NE(Log().find("IPTV_Time_Shift_File_Name [timeshift/time_shift_ch[1]] End of File & Seeks to 0 Position\n"),
              std::string::npos);
    rtsp.Send(Request("TEARDOWN", "/1.ch", 5, "Session: " + session + "\r\n"));
    EXPECT_TRUE(rtsp.Closed(5000));
    EXPECT_EQ(server.Stop(), 0);
}

// ---------------------------------------------------------------------------------------------
// The searches and the pacing on their own.

// A file whose chunk k (a PAT, a PMT, a PCR of k * 10 ms, payload) lies at chunk (k + shift) mod
// count, as in a ring file whose oldest byte is not its first.
struct RingFile {
    TempWorkDir dir;
    int         fd = -1;
    RingFile(int count, int shift)
    {
        const std::vector<uint8_t> chunks = PacedChunks(count / 100, 10);
        std::vector<uint8_t> ring(chunks.size());
        for (int k = 0; k < count; ++k)
            std::copy_n(chunks.begin() + k * 1316, 1316, ring.begin() + ((k + shift) % count) * 1316);
        dir.WriteBytes("ring", ring);
        fd = open(dir.PathOf("ring").c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~RingFile() { close(fd); }
};

TEST(RtspRingSeek, TheSeekLandsOnThePatAfterTheWantedPcrWhereverTheRingStarts)
{
    const int count = 3000;                                   // 3.9 MB, 30 s
    const int shift = 1234;
    RingFile file(count, shift);
    const TsRing ring(file.fd, kPlainTsLayout, int64_t{shift} * 1316, int64_t{count} * 1316);
    const auto never = [] { return false; };
    for (const int k : {0, 5, 1765, 1766, 2990}) {
        // Just after chunk k's PCR: the next PCR is chunk k + 1's, the next PAT chunk k + 2's.
        const SeekPoint point = FindSeekPoint(ring, k * 270000LL + 1, k * 1316LL / 2, never);
        ASSERT_TRUE(point.pcr_found && point.pat_found) << k;
        EXPECT_EQ(point.pcr_ticks, (k + 1) * 270000LL) << k;
        EXPECT_EQ(point.pat_at, (k + 2) * 1316LL) << k;
        EXPECT_EQ(ring.Physical(point.pat_at), ((k + 2 + shift) % count) * 1316LL) << k;
    }
    EXPECT_FALSE(FindSeekPoint(ring, count * 270000LL, 0, never).pcr_found);     // beyond the newest
    int64_t first = -1;
    EXPECT_EQ(MeasureRingKbps(ring, first, never), 1052);            // 1316 bytes per 10 ms
    EXPECT_EQ(first, 0);
}

TEST(RtspRingSeek, RtpSlotsAreSearchedAfterTheirHeaderAndALostSyncByteIsReported)
{
    TsBuilder slots;
    for (int k = 0; k < 3; ++k) slots.RtpHeader().Null(2).Pat().Null(4);
    std::vector<uint8_t> bytes = slots.Bytes();
    ASSERT_EQ(bytes.size(), 3u * 1328);
    EXPECT_EQ(FindLastPatPacket(bytes.data(), static_cast<int>(bytes.size()), kRtpSlotLayout, static_cast<int>(bytes.size())),
              2 * 1328 + 12 + 2 * 188);
    EXPECT_EQ(FindLastPatPacket(bytes.data(), static_cast<int>(bytes.size()), kRtpSlotLayout, 2 * 1328 + 12 + 2 * 188),
              1328 + 12 + 2 * 188);
    EXPECT_EQ(FindPatPacket(bytes.data(), static_cast<int>(bytes.size()), kRtpSlotLayout, 13), 12 + 2 * 188);
    bytes[2 * 1328 + 12 + 6 * 188] = 0x00;                    // the last packet of the last slot
    EXPECT_EQ(FindLastPatPacket(bytes.data(), static_cast<int>(bytes.size()), kRtpSlotLayout, static_cast<int>(bytes.size())),
              kNoSyncByte);
    EXPECT_EQ(kRtpSlotLayout.PacketAtOrAfter(1328 + 6 * 188 + 13), 2 * 1328 + 12);
}

TEST(RtspFilePacing, APcrJumpSleepsAtMostOneSecondAndAPcrGoingBackStartsAgain)
{
    RtspConnection conn;
    FilePacer pacer(conn.Clock(), 0.0);
    const auto chunk = [](int64_t ticks) { return TsBuilder().Pat().Pcr(0x101, ticks).Bytes(); };
    std::vector<uint8_t> bytes = chunk(27000000);
    EXPECT_EQ(pacer.Next(bytes.data(), static_cast<int>(bytes.size())), 0);          // the first only starts it
    bytes = chunk(27000000 + 1080000);                                               // 40 ms on
    EXPECT_EQ(pacer.Next(bytes.data(), static_cast<int>(bytes.size())), 39);           // just short of 40 ms: the rest carried
    bytes = chunk(27000000LL * 5000);                                                // a jump of hours
    EXPECT_EQ(pacer.Next(bytes.data(), static_cast<int>(bytes.size())), kMaxPaceSleepMs);
    bytes = chunk(27000000LL * 2);                                                   // back
    EXPECT_EQ(pacer.Next(bytes.data(), static_cast<int>(bytes.size())), 0);
    EXPECT_DOUBLE_EQ(conn.current_position.load(), 2.0);
    bytes = chunk(27000000LL * 2 + 540000);                                          // 20 ms after the new reference
    EXPECT_EQ(pacer.Next(bytes.data(), static_cast<int>(bytes.size())), 20);   // with the fractions carried
    pacer.Seeked(30.0);
    EXPECT_DOUBLE_EQ(conn.last_pcr_time.load(), 30.0);
    bytes = chunk(27000000LL * 31);
    EXPECT_EQ(pacer.Next(bytes.data(), static_cast<int>(bytes.size())), 0);          // a seek's chunk is not paced
}

}  // namespace
