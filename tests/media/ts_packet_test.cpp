#include "media/ts_packet.h"

#include "support/ts_builder.h"

#include <array>
#include <gtest/gtest.h>

namespace {

using Packet = std::array<uint8_t, 188>;

Packet AdaptationPacket(uint8_t length, uint8_t flags, uint8_t fill = 0x00)
{
    Packet packet{};
    packet.fill(fill);
    packet[0] = 0x47;
    packet[1] = 0x01;
    packet[2] = 0x00;
    packet[3] = 0x30;
    packet[4] = length;
    packet[5] = flags;
    return packet;
}

TEST(PacketHeader, DecodesEveryField)
{
    const Packet packet = {0x47, 0xFF, 0xAB, 0xE7};
    TsPacketHeader header{};
    EXPECT_EQ(parse_ts_header(packet.data(), header), 0x1FAB);
    EXPECT_EQ(header.sync_byte, 0x47);
    EXPECT_EQ(header.transport_error_indicator, 1);
    EXPECT_EQ(header.payload_unit_start_indicator, 1);
    EXPECT_EQ(header.transport_priority, 1);
    EXPECT_EQ(header.pid, 0x1FAB);
    EXPECT_EQ(header.transport_scrambling_control, 3);
    EXPECT_EQ(header.adaptation_field_flag, 1);
    EXPECT_EQ(header.payload_flag, 0);
    EXPECT_EQ(header.continuity_counter, 7);
}

TEST(PacketHeader, OnlyPidZeroIsThePat)
{
    const auto pat = TsBuilder().Pat().Bytes();
    EXPECT_TRUE(is_pat(pat.data()));
    const Packet pid_one = {0x47, 0xE0, 0x01, 0x10};   // flag bits set, PID 1
    EXPECT_FALSE(is_pat(pid_one.data()));
    const Packet flags_only = {0x47, 0xE0, 0x00, 0x10};
    EXPECT_TRUE(is_pat(flags_only.data()));
}

TEST(ProgramClockReference, AllOnesDecodesToTheLargestValue)
{
    Packet packet = AdaptationPacket(7, 0x10);
    for (int i = 6; i < 12; ++i) packet[i] = 0xFF;
    int64_t ticks = 0;
    ASSERT_TRUE(extract_pcr(packet.data(), ticks));
    EXPECT_EQ(ticks, 8589934591LL * 300 + 511);
    EXPECT_EQ(ticks, 2576980377811LL);
}

TEST(ProgramClockReference, RoundTripsThroughTheBuilder)
{
    for (const int64_t value : {0LL, 1LL, 299LL, 300LL, 27000000LL * 3600, 8589934591LL * 300 + 299}) {
        const auto bytes = TsBuilder().Pcr(0x100, value).Bytes();
        int64_t ticks = -1;
        ASSERT_TRUE(extract_pcr(bytes.data(), ticks)) << value;
        EXPECT_EQ(ticks, value);
    }
}

TEST(ProgramClockReference, IsAbsentWithoutItsFlagOrField)
{
    int64_t ticks = 42;
    EXPECT_FALSE(extract_pcr(AdaptationPacket(0, 0x10).data(), ticks));        // length 0
    EXPECT_FALSE(extract_pcr(AdaptationPacket(7, 0x80, 0xFF).data(), ticks));  // discontinuity only
    Packet no_field = AdaptationPacket(7, 0x10);
    no_field[3] = 0x10;                                                        // payload only
    EXPECT_FALSE(extract_pcr(no_field.data(), ticks));
    Packet no_sync = AdaptationPacket(7, 0x10);
    no_sync[0] = 0x00;
    EXPECT_FALSE(extract_pcr(no_sync.data(), ticks));
    EXPECT_EQ(ticks, 42);
}

TEST(VideoTimeStamp, HighBitsAreKeptExactly)
{
    for (const int64_t pts : {int64_t{1} << 30, (int64_t{1} << 31) | (int64_t{1} << 30) | 12345,
                              (int64_t{1} << 33) - 1, int64_t{90000}}) {
        const auto bytes = TsBuilder().VideoPes(0x101, pts).Bytes();
        EXPECT_EQ(extract_video_pts(bytes.data(), false), pts);
    }
}

TEST(VideoTimeStamp, IsReadAfterTheAdaptationField)
{
    const auto bytes = TsBuilder().VideoPes(0x101, 123456789, true, 27000000).Bytes();
    EXPECT_EQ(extract_video_pts(bytes.data(), true), 123456789);
}

TEST(VideoTimeStamp, IsZeroWithoutPtsFlagsOrWhenTheHeaderLeavesThePacket)
{
    auto bytes = TsBuilder().VideoPes(0x101, 5000).Bytes();
    bytes[4 + 7] = 0x00;                                   // PTS_DTS_flags 0
    EXPECT_EQ(extract_video_pts(bytes.data(), false), 0);
    bytes[4 + 7] = 0x40;                                   // 1 is forbidden
    EXPECT_EQ(extract_video_pts(bytes.data(), false), 0);
    Packet late = AdaptationPacket(180, 0x00);             // payload at 185
    EXPECT_EQ(extract_video_pts(late.data(), true), 0);
    Packet past = AdaptationPacket(255, 0x00);             // length beyond the packet
    EXPECT_EQ(extract_video_pts(past.data(), true), 0);
}

}  // namespace
