#include "media/ts_splicer.h"

#include "support/ts_builder.h"

#include <gtest/gtest.h>
#include <map>
#include <vector>

namespace {

uint16_t Pid(const uint8_t* packet) { return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]); }

// Continuity errors as a receiver counts them: a payload packet must carry the next counter of
// its PID (or repeat it once), unless a discontinuity indicator came with it or right before.
int ContinuityErrors(const std::vector<uint8_t>& stream)
{
    std::map<uint16_t, int> last;
    int errors = 0;
    for (std::size_t at = 0; at + kTsPacketSize <= stream.size(); at += kTsPacketSize) {
        const uint8_t* packet = stream.data() + at;
        const int control = (packet[3] >> 4) & 0x3;
        const bool discontinuity = (control & 0x2) != 0 && packet[4] > 0 && (packet[5] & 0x80) != 0;
        const int cc = packet[3] & 0x0F;
        const auto found = last.find(Pid(packet));
        if ((control & 0x1) != 0 && found != last.end() && !discontinuity && cc != found->second &&
            cc != ((found->second + 1) & 0x0F))
            ++errors;
        if ((control & 0x1) != 0 || discontinuity) last[Pid(packet)] = cc;
    }
    return errors;
}

std::vector<uint8_t> Splice(TsSourceSplicer& splicer, const TsBuilder& source)
{
    std::vector<uint8_t> out;
    for (std::size_t at = 0; at < source.Size(); at += kTsPacketSize)
        splicer.Packet(source.Bytes().data() + at, [&](const uint8_t* packet) { out.insert(out.end(), packet, packet + kTsPacketSize); });
    return out;
}

TEST(TsSourceSplicer, TheNewSourceStartsAtItsTablesAndEachPidAtAUnitStartBehindADiscontinuity)
{
    TsBuilder first;
    first.Payload(0x101);                                  // before any PAT: held back
    for (int k = 0; k < 6; ++k) first.Pat().Pmt().VideoPes(0x101, k * 3600, true, k * 1080000).Payload(0x101).VideoPes(0x102, k * 3600);
    // The second source is joined mid-way: a picture's tail, a PAT, more tail, its PMT, audio
    // mid-frame, then a new picture and an audio frame.
    TsBuilder second;
    for (int k = 0; k < 5; ++k) second.Payload(0x101);
    second.Pat().Payload(0x101).Pmt().Payload(0x102).Null().Pcr(0x105, 270000000).VideoPes(0x101, 900000, true, 270000000);
    second.Payload(0x101);
    second.Pat().VideoPes(0x102, 900000).Payload(0x101);

    TsSourceSplicer splicer;
    std::vector<uint8_t> out = Splice(splicer, first);
    ASSERT_EQ(out.size(), 6u * 5 * kTsPacketSize);         // everything from the first PAT on
    EXPECT_EQ(Pid(out.data()), 0);
    EXPECT_FALSE(holds_source_switch_mark(out.data(), out.size()));

    splicer.Switch(true);
    const std::vector<uint8_t> after = Splice(splicer, second);
    ASSERT_GE(after.size(), 6u * kTsPacketSize);
    EXPECT_TRUE(is_source_switch_mark(after.data()));
    EXPECT_EQ(Pid(after.data() + kTsPacketSize), 0);       // the PAT,
    EXPECT_EQ(Pid(after.data() + 3 * kTsPacketSize), 0x100);   // behind its own mark the PMT
    EXPECT_FALSE(splicer.Waiting());
    // Each PID's first packet after the switch is its mark, then a unit start.
    std::map<uint16_t, int> seen;
    for (std::size_t at = 0; at < after.size(); at += kTsPacketSize) {
        const uint8_t* packet = after.data() + at;
        const int count = seen[Pid(packet)]++;
        if (Pid(packet) == 0x1FFF) continue;
        if (count == 0) {
            EXPECT_EQ((packet[3] >> 4) & 0x3, 0x2) << "PID " << Pid(packet);
        } else if (count == 1 && Pid(packet) != 0x105) {
            EXPECT_NE(packet[1] & 0x40, 0) << "PID " << Pid(packet);
        }
    }
    EXPECT_EQ(seen[0x101], 4);                             // mark, picture start, its payload, one more
    EXPECT_EQ(seen[0x102], 2);                             // audio waits for its next frame
    EXPECT_EQ(seen[0x105], 2);                             // a PCR of its own passes at once
    // The tables' version moved on, their CRC made again.
    for (const std::size_t at : {std::size_t{1}, std::size_t{3}}) {
        const uint8_t* table = after.data() + at * kTsPacketSize;
        const uint8_t* section = table + payload_offset(table) + 1 + table[payload_offset(table)];
        const std::size_t length = 3 + (((section[1] & 0x0F) << 8) | section[2]);
        EXPECT_EQ((section[5] >> 1) & 0x1F, 1) << "packet " << at;
        EXPECT_EQ(crc32_mpeg(section, length), 0u) << "packet " << at;
    }

    out.insert(out.end(), after.begin(), after.end());
    EXPECT_EQ(ContinuityErrors(out), 0);
    // Without the splice, a receiver sees the counters jump.
    std::vector<uint8_t> joined = first.Bytes();
    joined.insert(joined.end(), second.Bytes().begin(), second.Bytes().end());
    EXPECT_GT(ContinuityErrors(joined), 0);
}

}  // namespace
