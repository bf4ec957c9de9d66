#include "rtsp/rtp_framing.h"
#include "rtsp/rtsp_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(RtspFraming, FindsEachRequestHoweverTheReadsCut)
{
    std::size_t length = 0;
    EXPECT_EQ(NextRtspUnit("OPTIONS rtsp://h/a.ts RTSP/1.0\r\nCSeq: 1\r\n", 8192, length), RtspUnit::kIncomplete);
    const std::string two = "PAUSE rtsp://h/a.ts RTSP/1.0\r\nCSeq: 4\r\n\r\nPLAY rtsp://h/a.ts RTSP/1.0\r\nCSeq: 5\r\n\r\n";
    ASSERT_EQ(NextRtspUnit(two, 8192, length), RtspUnit::kRequest);
    EXPECT_EQ(two.substr(length).rfind("PLAY", 0), 0u);
    const std::string body = "ANNOUNCE rtsp://h/a RTSP/1.0\r\nCSeq: 2\r\nContent-Length: 5\r\n\r\nv=0\r\nX";
    ASSERT_EQ(NextRtspUnit(body, 8192, length), RtspUnit::kRequest);
    EXPECT_EQ(length, body.size() - 1);
    EXPECT_EQ(NextRtspUnit(body.substr(0, body.size() - 3), 8192, length), RtspUnit::kIncomplete);
    // An interleaved RTCP report of 8 bytes before the next request.
    const std::string frame = std::string("$\x01\x00\x08", 4) + "12345678" + "GET_PARAMETER";
    ASSERT_EQ(NextRtspUnit(frame, 8192, length), RtspUnit::kInterleaved);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(NextRtspUnit(std::string(9000, 'A'), 8192, length), RtspUnit::kTooLong);
    EXPECT_EQ(NextRtspUnit("X\r\nContent-Length: 99999\r\n\r\n", 8192, length), RtspUnit::kTooLong);
}

TEST(RtspFraming, ReadsHeadersWhereverTheyStand)
{
    const std::string play = "PLAY rtsp://h/a.ts RTSP/1.0\r\nRange: npt=30.5-40\r\ncseq: 7\r\nSession: 1000;timeout=60\r\n\r\n";
    uint32_t number = 0;
    ASSERT_TRUE(RtspHeaderNumber(play, "CSeq", number));
    EXPECT_EQ(number, 7u);
    ASSERT_TRUE(RtspHeaderNumber(play, "Session", number));
    EXPECT_EQ(number, 1000u);
    double start = 0, end = 0;
    bool has_end = false;
    ASSERT_TRUE(RtspRange(play, start, has_end, end));
    EXPECT_DOUBLE_EQ(start, 30.5);
    EXPECT_TRUE(has_end);
    EXPECT_DOUBLE_EQ(end, 40);
    EXPECT_FALSE(RtspHeaderNumber("OPTIONS * RTSP/1.0\r\nXCSeq: 3\r\n\r\n", "CSeq", number));
    EXPECT_EQ(RtspUrl(play), "rtsp://h/a.ts");
}

TEST(RtspFraming, TransportsAndTheirPorts)
{
    RtspTransport t = ParseRtspTransport("RTP/AVP;unicast;client_port=5000-5001");
    EXPECT_EQ(t.kind, kRtspRtpUdp);                      // no lower transport: UDP
    EXPECT_EQ(t.client_rtp_port, 5000);
    EXPECT_EQ(t.client_rtcp_port, 5001);
    t = ParseRtspTransport("RTP/AVP/TCP;unicast;interleaved=2-3;mode=play");
    EXPECT_EQ(t.kind, kRtspRtpTcp);
    EXPECT_EQ(t.interleaved_rtp, 2);
    EXPECT_EQ(t.interleaved_rtcp, 3);
    EXPECT_EQ(t.interleave_text, "interleaved=2-3");
    EXPECT_EQ(ParseRtspTransport("RAW/RAW/UDP;unicast;client_port=7000").client_rtcp_port, 0);
    EXPECT_EQ(ParseRtspTransport("MP2T/H2221/UDP;unicast").kind, kRtspTransportNone);
    EXPECT_EQ(ParseRtspTransport("RTP/AVP/TCP;interleaved=0-1,RTP/AVP;client_port=9-10").kind, kRtspRtpTcp);
    EXPECT_FALSE(ParseRtspTransport("RTP/AVP;client_port=99999-2").has_client_port);
}

TEST(RtspFraming, TheMediaPathEndsAfterTheFirstAcceptedExtension)
{
    std::size_t start = 0;
    const std::string url = "rtsp://10.0.0.1:554/media/videos/Film.TS?u=a&p=b";
    const std::size_t end = RtspMediaPathEnd(url, start);
    EXPECT_EQ(url.substr(start, end - start), "/media/videos/Film.TS");
    EXPECT_EQ(RtspMediaPathEnd("rtsp://h/5.ch", start), 13u);
    EXPECT_EQ(RtspMediaPathEnd("rtsp://h/movie.mkv", start), 0u);
    EXPECT_EQ(RtspMediaPathEnd("rtsp://h/x?f=a.ts", start), 0u);   // not in the query
}

TEST(RtpPackets, HeaderCountersAndFramingPerTransport)
{
    RtpCounters counters;
    std::vector<uint8_t> payload(1316, 0x47);
    std::vector<uint8_t> out(2000);
    ASSERT_EQ(FramePacket(out.data(), kRtspRtpTcp, true, 33, 2, counters, payload.data(), payload.size()), 1332u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 16),
              (std::vector<uint8_t>{0x24, 2, 0x05, 0x30, 0x80, 33, 0, 0, 0, 0, 0x01, 0x3C, 0x2A, 0x55, 0xA9, 0xE8}));
    ASSERT_EQ(FramePacket(out.data(), kRtspRtpUdp, true, 33, 0, counters, payload.data(), payload.size()), 1328u);
    EXPECT_EQ(out[3], 1);                                // the second packet: sequence 1, timestamp 632
    EXPECT_EQ(out[6], 0x02);
    EXPECT_EQ(out[7], 0x78);
    EXPECT_EQ(FramePacket(out.data(), kRtspRawUdp, true, 33, 0, counters, payload.data(), payload.size()), 1316u);
    EXPECT_EQ(out[0], 0x47);
    EXPECT_EQ(FramePacket(out.data(), kRtspRawTcp, true, 33, 0, counters, payload.data(), 188), 192u);
    EXPECT_EQ(FramePacket(out.data(), kRtspRawUdp, false, 33, 0, counters, payload.data(), 188), 200u);   // live: RTP
}
