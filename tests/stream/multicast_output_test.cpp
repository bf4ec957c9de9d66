// The multicast output's pieces that need no network: group addresses, the configuration's
// base and port, re-alignment into 1316-byte datagrams and the handling of failed sends.

#include "stream/multicast_output.h"

#include "stream/byte_stream_output.h"
#include "support/stderr_capture.h"
#include "support/ts_builder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Dotted(uint32_t address)
{
    in_addr value{htonl(address)};
    char text[16];
    inet_ntop(AF_INET, &value, text, sizeof text);
    return text;
}

TEST(MulticastGroups, EachChannelAddsItsIndexToTheLastOctetAndAWrapSkipsZero)
{
    uint32_t base = 0;
    ASSERT_TRUE(ParseMulticastBase("239.1.1.250", base));
    EXPECT_EQ(Dotted(multicast_group(base, 0)), "239.1.1.250");
    EXPECT_EQ(Dotted(multicast_group(base, 5)), "239.1.1.255");
    EXPECT_EQ(Dotted(multicast_group(base, 6)), "239.1.2.1");
    EXPECT_EQ(Dotted(multicast_group(base, 10)), "239.1.2.5");
    ASSERT_TRUE(ParseMulticastBase("239.1.255.250", base));
    EXPECT_EQ(Dotted(multicast_group(base, 6)), "239.1.0.1");             // no carry into the second octet
}

TEST(MulticastConfiguration, OnlyAGroupAddressAndAPortNumberAreTaken)
{
    uint32_t base = 0;
    for (const char* bad : {"", "0.0.0.0", "239.1.1", "10.0.0.1", "239.1.1.250 ", "240.0.0.1", "x"})
        EXPECT_FALSE(ParseMulticastBase(bad, base)) << bad;
    uint16_t port = 0;
    for (const char* bad : {"", "0", "65536", "50a0", "-1", " 5000", "123456"}) EXPECT_FALSE(ParseMulticastPort(bad, port)) << bad;
    ASSERT_TRUE(ParseMulticastPort("5000", port));
    EXPECT_EQ(port, 5000);
}

// Packets told apart by their payload bytes.
std::vector<uint8_t> Packets(int count)
{
    TsBuilder stream;
    for (int k = 0; k < count; ++k) stream.Payload(0x100, static_cast<uint8_t>(k));
    return stream.Bytes();
}

TEST(Realigning, AByteStreamCutAnywhereWithGarbageBecomesWholeSevenPacketDatagrams)
{
    const std::vector<uint8_t> packets = Packets(21);
    std::vector<uint8_t> stream(packets.begin(), packets.begin() + 7 * 188);
    stream.insert(stream.end(), {0x47, 0x00, 0x12});                      // a torn packet between two
    stream.insert(stream.end(), packets.begin() + 7 * 188, packets.end());
    PacketAligner aligner;
    std::vector<std::vector<uint8_t>> sent;
    const PacketAligner::Emit emit = [&](const uint8_t* block, int length) {
        sent.emplace_back(block, block + length);
        return true;
    };
    for (std::size_t at = 0; at < stream.size(); at += 1000)
        ASSERT_TRUE(aligner.Add(stream.data() + at, static_cast<int>(std::min<std::size_t>(1000, stream.size() - at)), emit));
    // The last packet waits for the one after it: two sync bytes 188 apart make a packet.
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], std::vector<uint8_t>(packets.begin(), packets.begin() + 1316));
    EXPECT_EQ(sent[1], std::vector<uint8_t>(packets.begin() + 1316, packets.begin() + 2632));

    // Single-packet datagrams are grouped by seven.
    sent.clear();
    aligner.Reset();
    const std::vector<uint8_t> more = Packets(15);
    for (int k = 0; k < 15; ++k) ASSERT_TRUE(aligner.Add(more.data() + k * 188, 188, emit));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], std::vector<uint8_t>(more.begin() + 1316, more.begin() + 2632));
}

TEST(FailedSends, AreSaidOncePauseBrieflyAndNeverEndTheChannel)
{
    StderrCapture log;
    int failures_left = 3;
    int delivered = 0;
    sockaddr_in to{};
    MulticastOut out(to, 7, [&](const uint8_t*, std::size_t length) -> ssize_t {
        if (failures_left > 0) {
            --failures_left;
            errno = ENOBUFS;
            return -1;
        }
        ++delivered;
        return static_cast<ssize_t>(length);
    });
    const uint8_t block[1316] = {0x47};
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(out.Send(block, sizeof block));
        out.WaitOutPause();
    }
    EXPECT_TRUE(out.Send(block, sizeof block));
    EXPECT_EQ(delivered, 1);
    EXPECT_FALSE(out.failing());
    const std::string text = log.Text();
    const std::string said = "Thread[7]: IPTV_IGMPDataThread 5: errorno is [" + std::to_string(ENOBUFS) + "]\n";
    EXPECT_EQ(text.find(said), text.rfind(said));                          // once for the episode
    EXPECT_NE(text.find(said), std::string::npos);
}

}  // namespace
