#include "ingest/pull_rtsp.h"

#include "support/fake_peer.h"
#include "support/reader_fixture.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ReadingAnRtspReply, ItIsCompleteOnlyWithItsBodyAndTheSessionIdStopsAtTheSemicolon)
{
    const std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession:  4F1A9C;timeout=60\r\nContent-Length: 4\r\n\r\nv=0\n";
    RtspReply parsed = ParseRtspReply(reply.data(), reply.size() - 1);
    EXPECT_EQ(parsed.length, 0);                             // the body is not all here
    EXPECT_EQ(parsed.status, 200);
    parsed = ParseRtspReply(reply.data(), reply.size());
    EXPECT_EQ(parsed.length, static_cast<int>(reply.size()));
    EXPECT_STREQ(parsed.session, "4F1A9C");
    EXPECT_EQ(parsed.timeout_s, 60);
    const std::string refused = "RTSP/1.0 454 Session Not Found\r\nCSeq: 3\r\n\r\n";
    EXPECT_EQ(ParseRtspReply(refused.data(), refused.size()).status, 454);
    const std::string http = "HTTP/1.0 200 OK\r\n\r\n";
    EXPECT_EQ(ParseRtspReply(http.data(), http.size()).status, 0);
}

TEST(FindingTheTrackToSetUp, TheSdpsControlLinesAreResolvedAgainstTheBase)
{
    const std::string sdp = "v=0\r\na=control:*\r\nm=video 0 RTP/AVP 33\r\na=rtpmap:33 MP2T/90000\r\na=control:stream=0\r\n"
                            "m=audio 0 RTP/AVP 0\r\na=control:stream=1\r\n";
    char url[kRtspUrlSize];
    ASSERT_TRUE(SdpControlUrl(sdp, true, "rtsp://cam:8554/live/", url));
    EXPECT_STREQ(url, "rtsp://cam:8554/live/stream=0");
    ASSERT_TRUE(SdpControlUrl(sdp, true, "rtsp://cam:8554/live", url));
    EXPECT_STREQ(url, "rtsp://cam:8554/live/stream=0");
    ASSERT_TRUE(SdpControlUrl(sdp, false, "rtsp://cam:8554/live/", url));
    EXPECT_STREQ(url, "rtsp://cam:8554/live/");              // "*": the base itself
    const std::string absolute = "v=0\nm=video 0 RTP/AVP 33\na=control:rtsp://other/track7\n";
    ASSERT_TRUE(SdpControlUrl(absolute, true, "rtsp://cam/live", url));
    EXPECT_STREQ(url, "rtsp://other/track7");
    EXPECT_FALSE(SdpControlUrl(absolute, false, "rtsp://cam/live", url));
    EXPECT_FALSE(SdpControlUrl("v=0\r\nm=video 0 RTP/AVP 33\r\n", true, "rtsp://cam/live", url));
}

TEST(TakingThePayloadOfAnRtpPacket, ContributorsExtensionAndPaddingAreLeftOut)
{
    std::vector<uint8_t> packet = {0x80, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
    packet.resize(12 + 188, 0x47);
    std::size_t offset = 0;
    std::size_t length = 0;
    ASSERT_TRUE(RtpPayload(packet.data(), packet.size(), offset, length));
    EXPECT_EQ(offset, 12u);
    EXPECT_EQ(length, 188u);
    // One contributor, a one-word extension, four bytes of padding.
    std::vector<uint8_t> full = {0xB1, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 9, 9, 9, 9, 0xBE, 0xDE, 0, 1, 5, 5, 5, 5};
    full.resize(full.size() + 188, 0x47);
    full.insert(full.end(), {0, 0, 0, 4});
    ASSERT_TRUE(RtpPayload(full.data(), full.size(), offset, length));
    EXPECT_EQ(offset, 24u);
    EXPECT_EQ(length, 188u);
    packet[0] = 0x40;                                        // version 1
    EXPECT_FALSE(RtpPayload(packet.data(), packet.size(), offset, length));
    full.back() = 250;                                       // more padding than packet
    EXPECT_FALSE(RtpPayload(full.data(), full.size(), offset, length));
}

// "$", channel, length and an RTP packet carrying `payload`.
std::string Frame(int channel, const std::vector<uint8_t>& payload, uint16_t sequence)
{
    std::string frame = "$";
    frame.push_back(static_cast<char>(channel));
    const std::size_t length = 12 + payload.size();
    frame.push_back(static_cast<char>(length >> 8));
    frame.push_back(static_cast<char>(length & 0xFF));
    const uint8_t header[12] = {0x80, 33, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence), 0, 0, 0, 0, 1, 2, 3, 4};
    frame.append(reinterpret_cast<const char*>(header), 12);
    frame.append(payload.begin(), payload.end());
    return frame;
}

using RtspPull = ReaderFixture;

TEST_F(RtspPull, TheRingGetsTheTransportStreamWithoutInterleavingOrRtpHeaders)
{
    TsBuilder builder;
    for (int k = 0; k < 7 * 12; ++k) {
        if (k % 14 == 0) builder.Pat();
        else builder.Payload(0x100, static_cast<uint8_t>(k));
    }
    const std::vector<uint8_t> stream = builder.Bytes();
    std::mutex lock;
    std::vector<std::string> requests;
    const auto take = [&](int fd) {
        const std::string head = ReadHead(fd);
        std::lock_guard<std::mutex> held(lock);
        requests.push_back(head);
        return head;
    };
    std::string base;                                        // guarded by lock
    const auto base_url = [&] {
        std::lock_guard<std::mutex> held(lock);
        return base;
    };
    FakeTcpPeer server([&](int fd, int connection) {
        if (connection == 0) {
            take(fd);
            const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=live\r\na=control:*\r\nm=video 0 RTP/AVP 33\r\na=control:stream=0\r\n";
            const std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Base: " + base_url() + "/\r\nContent-Type: application/sdp\r\n"
                                      "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
            // The reply in two pieces: the client reads on until the body is complete.
            SendText(fd, reply.substr(0, reply.size() - 20));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            SendText(fd, reply.substr(reply.size() - 20));
            take(fd);
            SendText(fd, "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 7D3A;timeout=60\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
            take(fd);
            // The PLAY reply with the stream's first frame behind it in one piece; later frames
            // cut anywhere, an RTCP report and a stray reply among them.
            std::string wire;
            for (int p = 0; p < 12; ++p) {
                const auto from = stream.begin() + p * 1316;
                wire += Frame(0, std::vector<uint8_t>(from, from + 1316), static_cast<uint16_t>(p));
                if (p == 3) wire += Frame(1, std::vector<uint8_t>(20, 0x81), 0);
                if (p == 6) wire += "RTSP/1.0 200 OK\r\nCSeq: 4\r\nContent-Length: 3\r\n\r\nabc";
            }
            SendText(fd, "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 7D3A\r\n\r\n" + wire.substr(0, 700));
            for (std::size_t at = 700; at < wire.size(); at += 977) SendText(fd, wire.substr(at, 977));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return;                                           // the server goes away
        }
        if (connection == 1) {
            // No control lines, no session: the client sets up trackID=1 and plays with a blank
            // session, which this server refuses.
            take(fd);
            const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 33\r\n";
            SendText(fd, "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp);
            take(fd);
            SendText(fd, "RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n");
            take(fd);
            SendText(fd, "RTSP/1.0 454 Session Not Found\r\nCSeq: 3\r\n\r\n");
            WaitForClientClose(fd, 5000);
        }
    });
    {
        std::lock_guard<std::mutex> held(lock);
        base = "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/live";
    }
    LoadChannels("channel_definition.xml",
                 "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"" + base + "\">Camera</ch>\r\n");
    StartReader();
    ASSERT_TRUE(WaitUntil([&] { std::lock_guard<std::mutex> held(lock); return requests.size() >= 6; }, 20000));
    ChannelRecord& channel = Channel(0);
    const std::shared_ptr<RealBuffer> ring = channel.Buffer();
    ASSERT_NE(ring, nullptr);
    ASSERT_EQ(channel.input_index.load(), 12);
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(ring->slots[i].length.load(), 1316) << i;
        EXPECT_TRUE(std::equal(ring->slots[i].data, ring->slots[i].data + 1316, stream.begin() + i * 1316)) << i;
    }
    EXPECT_EQ(channel.rtsp_reconnect.load(), 1);
    StopReader();

    std::lock_guard<std::mutex> held(lock);
    EXPECT_EQ(requests[0], "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\nUser-Agent: Corvatelix RTSP Stream\r\n\r\n");
    EXPECT_EQ(requests[1], "SETUP " + base + "/stream=0 RTSP/1.0\r\nCSeq:2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
                           "User-Agent: Corvatelix RTSP Stream\r\n\r\n");
    EXPECT_EQ(requests[2], "PLAY " + base + " RTSP/1.0\r\nCSeq:3\r\nSession: 7D3A\r\nRange: npt=0.000-\r\nUser-Agent: Corvatelix RTSP Stream\r\n\r\n");
    EXPECT_EQ(requests[4].substr(0, requests[4].find(" RTSP/1.0")), "SETUP " + base + "/trackID=1");
    EXPECT_NE(requests[5].find("\r\nSession:  \r\n"), std::string::npos);
}

}  // namespace
