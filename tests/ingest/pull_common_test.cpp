#include "ingest/pull_common.h"

#include "support/ts_builder.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// Numbered payload packets, so that a block shows which packets it holds and in what order.
std::vector<uint8_t> NumberedPackets(int count)
{
    TsBuilder stream;
    for (int k = 0; k < count; ++k) stream.Payload(0x100, static_cast<uint8_t>(k));
    return stream.Bytes();
}

std::vector<uint8_t> Reblock(TsReblocker& reblocker, const std::vector<uint8_t>& bytes, std::mt19937& random)
{
    std::vector<uint8_t> out;
    std::uniform_int_distribution<std::size_t> piece(1, 3000);
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = std::min(piece(random), bytes.size() - at);
        reblocker.Feed(bytes.data() + at, length, [&](const uint8_t* block) {
            for (int p = 0; p < 7; ++p) EXPECT_EQ(block[p * 188], 0x47);
            out.insert(out.end(), block, block + 1316);
        });
        at += length;
    }
    return out;
}

TEST(CuttingAStreamIntoSlots, WholeBlocksOfSevenPacketsComeOutWhereverTheBytesWereCut)
{
    std::mt19937 random(7);
    const std::vector<uint8_t> stream = NumberedPackets(7 * 40 + 3);
    TsReblocker reblocker;
    const std::vector<uint8_t> out = Reblock(reblocker, stream, random);
    ASSERT_EQ(out.size(), 40u * 1316);                       // the last three packets wait for four more
    EXPECT_TRUE(std::equal(out.begin(), out.end(), stream.begin()));
}

TEST(CuttingAStreamIntoSlots, BytesOutsideThePacketsAreDroppedAndTheStreamIsFoundAgain)
{
    std::mt19937 random(11);
    const std::vector<uint8_t> first = NumberedPackets(14);
    std::vector<uint8_t> stream = {0x47, 0x00, 0x13, 0x47};  // junk before the stream, sync bytes among it
    stream.insert(stream.end(), first.begin(), first.end());
    stream.insert(stream.end(), {0x00, 0x01});               // a burst of junk in the middle
    stream.insert(stream.end(), 50, 0x47);
    const std::vector<uint8_t> second = NumberedPackets(7);
    stream.insert(stream.end(), second.begin(), second.end());
    TsReblocker reblocker;
    const std::vector<uint8_t> out = Reblock(reblocker, stream, random);
    ASSERT_EQ(out.size(), 3u * 1316);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), out.begin() + 2 * 1316));
}

TEST(CuttingAStreamIntoSlots, AResetDropsAHalfBuiltBlock)
{
    TsReblocker reblocker;
    int blocks = 0;
    const std::vector<uint8_t> stream = NumberedPackets(10);
    reblocker.Feed(stream.data(), 5 * 188, [&](const uint8_t*) { ++blocks; });
    reblocker.Reset();
    reblocker.Feed(stream.data(), stream.size(), [&](const uint8_t* block) {
        ++blocks;
        EXPECT_EQ(block[4], 0);                              // the new connection's first packet
    });
    EXPECT_EQ(blocks, 1);
}

TEST(NamingASource, TheAuthorityIsTheHostAndPortAsWrittenWithoutCredentials)
{
    EXPECT_EQ(SourceAuthority("http://user:pw@origin:8000/1.ch"), "origin:8000");
    EXPECT_EQ(SourceAuthority("rtsp://cam.example/live"), "cam.example");
    EXPECT_EQ(SourceAuthority("rtmp://10.0.0.1:1935/live/cam1"), "10.0.0.1:1935");
    EXPECT_EQ(SourceAuthority("http://origin"), "origin");
    EXPECT_EQ(SourceAuthority("http://user:p@ss@origin:8000/1.ch"), "origin:8000");
}

}  // namespace
