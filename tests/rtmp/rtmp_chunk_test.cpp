#include "rtmp/rtmp_chunk.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A message as a server sends it: a format 0 chunk, then format 3 continuations every
// chunk_size bytes of body.
std::vector<uint8_t> Chunked(int chunk_stream, uint8_t type, const std::vector<uint8_t>& body, uint32_t chunk_size = 128,
                             uint32_t timestamp = 0)
{
    std::vector<uint8_t> out(12);
    RTMP_PutChunkHeader(out.data(), 0, chunk_stream, timestamp >= 0xFFFFFF ? 0xFFFFFF : timestamp,
                        static_cast<uint32_t>(body.size()), type, 1);
    const auto extended = [&] {
        if (timestamp < 0xFFFFFF) return;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(timestamp >> (24 - 8 * i)));
    };
    extended();
    for (std::size_t at = 0; at < body.size(); at += chunk_size) {
        if (at > 0) {
            out.push_back(static_cast<uint8_t>(0xC0 | chunk_stream));
            extended();
        }
        const std::size_t end = std::min<std::size_t>(body.size(), at + chunk_size);
        out.insert(out.end(), body.begin() + static_cast<long>(at), body.begin() + static_cast<long>(end));
    }
    return out;
}

std::vector<uint8_t> Pattern(std::size_t size)
{
    std::vector<uint8_t> body(size);
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    return body;
}

struct Seen {
    uint8_t              type;
    uint32_t             length;
    uint32_t             timestamp;
    std::vector<uint8_t> body;
    int                  first_chunk;
    int                  end;
};

std::vector<Seen> FeedAll(RtmpChunkReader& reader, const std::vector<uint8_t>& bytes, std::size_t piece, long* result = nullptr)
{
    std::vector<Seen> seen;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t length = std::min(piece, bytes.size() - at);
        const long used = reader.Feed(bytes.data() + at, length, [&](const RtmpMessage& m) {
            seen.push_back({m.type, m.length, m.timestamp, {m.body, m.body + m.body_kept}, m.first_chunk, m.end});
            return true;
        });
        if (result != nullptr) *result = used;
        if (used < 0) break;
    }
    return seen;
}

TEST(CuttingAMessageIntoChunks, OnlyBetween128ByteChunksComesAContinuationByte)
{
    for (const auto& [length, expected] : std::vector<std::pair<int, int>>{{100, 100}, {128, 128}, {129, 130}, {256, 257}, {300, 302}}) {
        std::vector<uint8_t> body(static_cast<std::size_t>(length) + 4);
        for (int i = 0; i < length; ++i) body[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i % 200);
        ASSERT_EQ(RTMP_InsertChunkHeaders(body.data(), length), expected) << length;
        if (length == 300) {
            EXPECT_EQ(body[128], 0xC3);
            EXPECT_EQ(body[129], 128);                       // the body goes on after it
            EXPECT_EQ(body[257], 0xC3);
            EXPECT_EQ(body[258], 256 % 200);
            EXPECT_EQ(body[301], 299 % 200);
        }
    }
    std::vector<uint8_t> play(140, 1);
    RTMP_InsertChunkHeaders(play.data(), 139, 0xC8);         // a continuation on chunk stream 8
    EXPECT_EQ(play[128], 0xC8);
}

TEST(ReadingAChunkHeader, Formats0And1GiveLengthAndTypeAndTheOthersNothing)
{
    uint8_t chunk[12];
    RTMP_PutChunkHeader(chunk, 0, 3, 0, 300, 20, 1);
    int32_t length = 0;
    int32_t type = 0;
    EXPECT_EQ(chunk[0], 0x03);
    ASSERT_EQ(RTMP_ReadMessageHeader(chunk, sizeof chunk, length, type), 11);
    EXPECT_EQ(length, 300);
    EXPECT_EQ(type, 20);
    EXPECT_EQ(chunk[8], 1);                                  // stream id, least significant first
    ASSERT_EQ(RTMP_PutChunkHeader(chunk, 1, 3, 0, 10, 4, 0), 8);
    EXPECT_EQ(chunk[0], 0x43);
    EXPECT_EQ(RTMP_ReadMessageHeader(chunk, 8, length, type), 7);
    EXPECT_EQ(type, 4);
    length = -5;
    const uint8_t continuation[] = {0xC3};
    EXPECT_EQ(RTMP_ReadMessageHeader(continuation, 1, length, type), 0);
    EXPECT_EQ(length, -5);                                   // nothing stored
    EXPECT_EQ(RTMP_ReadMessageHeader(chunk, 7, length, type), 0);   // header cut short
}

TEST(ReadingAChunkStream, AMessageInSeveralChunksComesOutWholeHoweverItsBytesArrive)
{
    const std::vector<uint8_t> body = Pattern(300);
    const std::vector<uint8_t> wire = Chunked(5, 18, body);
    for (const std::size_t piece : {wire.size(), std::size_t{1}, std::size_t{7}, std::size_t{129}}) {
        RtmpChunkReader reader;
        const std::vector<Seen> seen = FeedAll(reader, wire, piece);
        ASSERT_EQ(seen.size(), 1u) << piece;
        EXPECT_EQ(seen[0].type, 18);
        EXPECT_EQ(seen[0].body, body);
        if (piece == wire.size()) {
            EXPECT_EQ(seen[0].first_chunk, 0);
            EXPECT_EQ(seen[0].end, static_cast<int>(wire.size()));
        } else {
            EXPECT_EQ(seen[0].first_chunk, -1);              // it began in an earlier block
        }
    }
}

TEST(ReadingAChunkStream, ALongMessageIsKnownByItsStartInTheBlockWhereItBegins)
{
    // A key frame of 6000 bytes in 4096-byte chunks, received in 1452-byte blocks after 100
    // bytes of something else: its start is seen in the first block, at its header's offset.
    std::vector<uint8_t> wire = Chunked(2, kRtmpSetChunkSize, {0x00, 0x00, 0x10, 0x00});
    const std::vector<uint8_t> audio = Chunked(4, kRtmpAudio, Pattern(84), 4096);
    wire.insert(wire.end(), audio.begin(), audio.end());
    std::vector<uint8_t> frame = Pattern(6000);
    frame[0] = 0x17;
    frame[1] = 0x01;
    const std::size_t header_at = wire.size();
    const std::vector<uint8_t> video = Chunked(6, kRtmpVideo, frame, 4096);
    wire.insert(wire.end(), video.begin(), video.end());
    RtmpChunkReader reader;
    std::vector<std::pair<int, int>> starts;                 // block, first chunk
    int block = 0;
    for (std::size_t at = 0; at < wire.size(); at += 1452, ++block) {
        reader.Feed(wire.data() + at, std::min<std::size_t>(1452, wire.size() - at), [](const RtmpMessage&) { return true; },
                    [&](const RtmpMessage& m) {
                        if (m.type == kRtmpVideo) {
                            EXPECT_GE(m.body_kept, 2u);
                            EXPECT_EQ(m.body[1], 0x01);
                            starts.emplace_back(block, m.first_chunk);
                        }
                        return true;
                    });
    }
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], std::make_pair(0, static_cast<int>(header_at)));
}

TEST(ReadingAChunkStream, TheServersChunkSizeAndInterleavedStreamsAreFollowed)
{
    std::vector<uint8_t> wire = Chunked(2, kRtmpSetChunkSize, {0x00, 0x00, 0x10, 0x00});   // 4096
    const std::vector<uint8_t> big = Pattern(5000);
    const std::vector<uint8_t> video = Chunked(6, kRtmpVideo, big, 4096);
    const std::vector<uint8_t> audio = Chunked(4, kRtmpAudio, Pattern(10), 4096);
    // Audio arrives between the two chunks of the video message.
    wire.insert(wire.end(), video.begin(), video.begin() + 12 + 4096);
    wire.insert(wire.end(), audio.begin(), audio.end());
    wire.insert(wire.end(), video.begin() + 12 + 4096, video.end());
    RtmpChunkReader reader;
    const std::vector<Seen> seen = FeedAll(reader, wire, 1000);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(reader.chunk_size(), 4096u);
    EXPECT_EQ(seen[1].type, kRtmpAudio);
    EXPECT_EQ(seen[2].type, kRtmpVideo);
    EXPECT_EQ(seen[2].body, big);
}

TEST(ReadingAChunkStream, AReaderOfMediaKeepsBodiesWholeUpToItsBoundTheOthers64KiB)
{
    std::vector<uint8_t> wire = Chunked(2, kRtmpSetChunkSize, {0x00, 0x00, 0x10, 0x00});   // 4096
    const std::vector<uint8_t> key_frame = Pattern(200000);
    const std::vector<uint8_t> video = Chunked(6, kRtmpVideo, key_frame, 4096);
    wire.insert(wire.end(), video.begin(), video.end());
    RtmpChunkReader media(4u << 20);
    std::vector<Seen> seen = FeedAll(media, wire, 1452);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].length, 200000u);
    EXPECT_EQ(seen[1].body, key_frame);
    RtmpChunkReader commands;
    seen = FeedAll(commands, wire, 1452);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].body.size(), RtmpChunkReader::kKeptBody);
}

TEST(ReadingAChunkStream, ExtendedTimestampsAndLaterHeaderFormatsAreRead)
{
    std::vector<uint8_t> wire = Chunked(6, kRtmpVideo, Pattern(200), 128, 0x01000000);
    // A second message on the same stream with a format 2 header: delta 40, same length/type.
    wire.push_back(0x80 | 6);
    wire.insert(wire.end(), {0x00, 0x00, 40});
    const std::vector<uint8_t> next = Pattern(200);
    wire.insert(wire.end(), next.begin(), next.begin() + 128);
    wire.push_back(0xC6);
    wire.insert(wire.end(), next.begin() + 128, next.end());
    RtmpChunkReader reader;
    const std::vector<Seen> seen = FeedAll(reader, wire, 33);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].timestamp, 0x01000000u);
    EXPECT_EQ(seen[1].timestamp, 0x01000000u + 40);
    EXPECT_EQ(seen[1].body, next);
}

TEST(ReadingAChunkStream, ALengthBeyondTheBytesReceivedIsWaitedForNotTrusted)
{
    // A header that announces 16 MB, followed by 20 bytes: nothing is delivered or read past.
    std::vector<uint8_t> wire(12);
    RTMP_PutChunkHeader(wire.data(), 0, 5, 0, 0xFFFFFF, 18, 0);
    wire.resize(32, 0x41);
    RtmpChunkReader reader;
    long used = 0;
    EXPECT_TRUE(FeedAll(reader, wire, wire.size(), &used).empty());
    EXPECT_EQ(used, 32);
}

TEST(ReadingAChunkStream, AHeaderThatNeedsAnEarlierOneWhichNeverCameBreaksTheStream)
{
    RtmpChunkReader reader;
    const std::vector<uint8_t> wire = {0xC7, 1, 2, 3};       // format 3 on a chunk stream never opened
    long used = 0;
    FeedAll(reader, wire, wire.size(), &used);
    EXPECT_EQ(used, -1);
    const std::vector<uint8_t> zero = Chunked(2, kRtmpSetChunkSize, {0, 0, 0, 0});
    RtmpChunkReader other;
    FeedAll(other, zero, zero.size(), &used);
    EXPECT_EQ(used, -1);                                     // a chunk size of 0
}

TEST(ReadingAChunkStream, AWalkStoppedAtAMessageLeavesTheRestForLater)
{
    std::vector<uint8_t> wire = Chunked(5, 20, Pattern(50));
    const std::vector<uint8_t> second = Chunked(5, 18, Pattern(60));
    wire.insert(wire.end(), second.begin(), second.end());
    RtmpChunkReader reader;
    int calls = 0;
    const long used = reader.Feed(wire.data(), wire.size(), [&](const RtmpMessage&) { return ++calls > 1; });
    EXPECT_EQ(used, 62);
    EXPECT_EQ(calls, 1);
    std::vector<Seen> rest = FeedAll(reader, std::vector<uint8_t>(wire.begin() + used, wire.end()), 1000);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].type, 18);
    EXPECT_EQ(rest[0].first_chunk, 0);
}

}  // namespace
