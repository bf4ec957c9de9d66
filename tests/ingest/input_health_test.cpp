#include "ingest/input_health.h"

#include "support/ts_builder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A fresh record of its own for each case (indices far from any other test's).
InputHealth& Fresh(int32_t index)
{
    InputHealth& health = HealthOf(index);
    StartHealth(health);
    return health;
}

std::vector<uint8_t> Packets(uint16_t pid, int count)
{
    TsBuilder ts;
    for (int i = 0; i < count; ++i) ts.Payload(pid);
    return ts.Bytes();
}

}  // namespace

TEST(ContinuityCounting, ALostDatagramIsOneErrorOnEachPidItWouldHaveContinued) {
    InputHealth& health = Fresh(60001);
    TsBuilder ts;
    for (int i = 0; i < 21; ++i) ts.Payload(static_cast<uint16_t>(i % 3 == 0 ? 0x101 : 0x102));
    const auto& bytes = ts.Bytes();
    CountTsPackets(health, bytes.data(), 7 * 188);
    CountTsPackets(health, bytes.data() + 14 * 188, 7 * 188);   // the middle seven never came
    EXPECT_EQ(health.cc_errors.load(), 2u);
}

TEST(ContinuityCounting, RepeatsDiscontinuitiesAndPacketsWithoutPayloadAreNoErrors) {
    InputHealth& health = Fresh(60002);
    auto bytes = Packets(0x101, 3);
    std::vector<uint8_t> stream(bytes.begin(), bytes.begin() + 2 * 188);
    stream.insert(stream.end(), bytes.begin() + 188, bytes.begin() + 2 * 188);   // one repeat
    // An adaptation-only packet (its counter need not move) with a wrong counter.
    std::vector<uint8_t> adaptation_only(bytes.begin(), bytes.begin() + 188);
    adaptation_only[3] = 0x20 | 0x09;
    adaptation_only[4] = 183;
    adaptation_only[5] = 0x00;
    stream.insert(stream.end(), adaptation_only.begin(), adaptation_only.end());
    stream.insert(stream.end(), bytes.begin() + 2 * 188, bytes.end());
    // A packet with the discontinuity indicator may start its counter anew.
    std::vector<uint8_t> restart(bytes.begin(), bytes.begin() + 188);
    restart[3] = 0x30 | 0x0C;
    restart[4] = 1;
    restart[5] = 0x80;
    stream.insert(stream.end(), restart.begin(), restart.end());
    auto next = restart;
    next[3] = 0x10 | 0x0D;
    stream.insert(stream.end(), next.begin(), next.end());
    // Null packets are never counted, nor is a packet without its sync byte.
    const auto nulls = TsBuilder().Null(1).Null(1).Bytes();
    stream.insert(stream.end(), nulls.begin(), nulls.end());
    CountTsPackets(health, stream.data(), stream.size());
    EXPECT_EQ(health.cc_errors.load(), 0u);

    auto lost = next;
    lost[0] = 0x00;
    lost[3] = 0x10 | 0x03;
    CountTsPackets(health, lost.data(), lost.size());
    EXPECT_EQ(health.cc_errors.load(), 0u);
    lost[0] = 0x47;
    CountTsPackets(health, lost.data(), lost.size() - 1);       // a partial packet
    EXPECT_EQ(health.cc_errors.load(), 0u);
    CountTsPackets(health, lost.data(), lost.size());
    EXPECT_EQ(health.cc_errors.load(), 1u);
}

TEST(ContinuityCounting, TheCounterWrapsFrom15To0) {
    InputHealth& health = Fresh(60003);
    const auto bytes = Packets(0x44, 40);
    CountTsPackets(health, bytes.data(), bytes.size());
    EXPECT_EQ(health.cc_errors.load(), 0u);
}

TEST(PcrCounting, PcrsAreCountedAndAJumpOfMoreThanASecondOrBackwardsIsAJump) {
    InputHealth& health = Fresh(60004);
    constexpr int64_t kTick = 27000000;                         // one second of 27 MHz
    const auto bytes = TsBuilder()
                           .Pcr(0x101, 0)
                           .Pcr(0x101, kTick / 10)
                           .Pcr(0x101, kTick / 10 + kTick * 2)      // jump ahead
                           .Pcr(0x101, kTick / 10)                  // back
                           .Pcr(0x200, 0)                           // another PID: counted, not followed
                           .Pcr(0x101, kTick / 5)
                           .Bytes();
    CountTsPackets(health, bytes.data(), bytes.size());
    EXPECT_EQ(health.pcr_packets.load(), 6u);
    EXPECT_EQ(health.pcr_jumps.load(), 2u);
}

TEST(PcrCounting, TheClockWrappingAt33BitsIsNoJump) {
    InputHealth& health = Fresh(60005);
    const int64_t wrap = (int64_t{1} << 33) * 300;
    const auto bytes = TsBuilder().Pcr(0x101, wrap - 300 * 900).Pcr(0x101, 300 * 900).Bytes();
    CountTsPackets(health, bytes.data(), bytes.size());
    EXPECT_EQ(health.pcr_jumps.load(), 0u);
}

TEST(RtpCounting, MissingSequenceNumbersAreGapsAcrossTheWrapButLateOnesAreNot) {
    InputHealth& health = Fresh(60006);
    for (const uint16_t sequence : {65533, 65534, 1, 2, 2, 1, 6}) {
        const auto datagram = TsBuilder().RtpHeader(sequence).Payload(0x101).Bytes();
        EXPECT_EQ(CountRtpHeader(health, datagram.data(), datagram.size()), 12);
    }
    EXPECT_EQ(health.rtp_gaps.load(), 2u + 3u);                 // 65535 and 0, then 3 to 5
    const uint8_t not_rtp[12] = {0x47};
    EXPECT_EQ(CountRtpHeader(health, not_rtp, sizeof not_rtp), -1);
    // CSRCs and a header extension move the payload; one past the end is no RTP packet.
    uint8_t extended[12 + 4 + 4 + 8] = {0x91, 33, 0, 7};
    extended[16 + 3] = 2;                                       // two words of extension
    EXPECT_EQ(CountRtpHeader(health, extended, sizeof extended), 28);
    EXPECT_EQ(CountRtpHeader(health, extended, sizeof extended - 1), -1);
}

TEST(DatagramCounting, AnRtpDatagramCountsItsPacketsAfterTheHeaderAndTheBitrateTakesWholeSeconds) {
    InputHealth& health = Fresh(60007);
    TsBuilder first, second;
    first.RtpHeader(10);
    second.RtpHeader(12);
    const auto packets = Packets(0x101, 14);
    first.Raw(std::vector<uint8_t>(packets.begin(), packets.begin() + 7 * 188));
    second.Raw(std::vector<uint8_t>(packets.begin() + 8 * 188, packets.end()));
    const uint64_t start = 1000000;
    CountDatagram(health, first.Bytes().data(), first.Size(), true, start);
    CountDatagram(health, second.Bytes().data(), second.Size(), true, start + 500);
    EXPECT_EQ(health.rtp_gaps.load(), 1u);
    EXPECT_EQ(health.cc_errors.load(), 1u);
    EXPECT_EQ(health.datagrams.load(), 2u);
    EXPECT_EQ(health.bytes.load(), first.Size() + second.Size());
    EXPECT_EQ(InputBitrate(health, start + 800), 0u);          // the current second is not whole
    EXPECT_EQ(InputBitrate(health, start + 1000), (first.Size() + second.Size()) * 8);   // one second heard
    EXPECT_EQ(InputBitrate(health, start + 11000), 0u);        // out of the window
    EXPECT_TRUE(SignalUp(health, start + 500 + kNoSignalMs - 1));
    EXPECT_FALSE(SignalUp(health, start + 500 + kNoSignalMs));
}

TEST(Bitrate, AnInputFedAtAKnownRateReadsThatRateFromItsFirstWholeSecondOn) {
    InputHealth& health = Fresh(60009);
    const auto datagram = Packets(0x101, 7);
    const uint64_t start = 7000250;                             // the input starts a quarter into a second
    const double source_bits = static_cast<double>(datagram.size()) * 8 * 100;   // one every 10 ms
    for (uint64_t now = start; now < start + 15000; now += 10) {
        if (now % 1000 == 500 && now > start + 2000) {        // a whole second heard
            EXPECT_NEAR(static_cast<double>(InputBitrate(health, now)), source_bits, source_bits * 0.02)
                << (now - start) / 1000.0 << " s after the start";
        }
        CountDatagram(health, datagram.data(), datagram.size(), false, now);
    }
}

TEST(Silence, NoSignalIsDeclaredOnceAfterFiveSecondsAndClearedByTheNextDatagram) {
    InputHealth& health = Fresh(60008);
    const auto bytes = Packets(0x101, 7);
    CountDatagram(health, bytes.data(), bytes.size(), false, 5000);
    CheckInputSilence(5000 + kNoSignalMs - 1);
    EXPECT_EQ(health.silent.load(), 0);
    CheckInputSilence(5000 + kNoSignalMs);
    EXPECT_EQ(health.silent.load(), 1);
    CountDatagram(health, bytes.data(), bytes.size(), false, 20000);
    EXPECT_EQ(health.silent.load(), 0);
    StopHealth(health);
    CheckInputSilence(60000);                                   // a stopped input is never silent
    EXPECT_EQ(health.silent.load(), 0);
}
