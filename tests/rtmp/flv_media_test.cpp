#include "rtmp/flv_media.h"

#include "support/temp_dir.h"
#include "support/test_server.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Tag {
    uint8_t              type;
    uint32_t             timestamp;
    std::vector<uint8_t> body;
};

// The tags of an FLV file: a 9-byte header and a previous-tag size, then per tag its type,
// 24-bit size, 24-bit timestamp with an 8-bit top byte, stream id, body and previous-tag size.
std::vector<Tag> FlvTags(const std::string& file)
{
    std::vector<Tag> tags;
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    for (std::size_t at = 13; at + 11 <= file.size();) {
        const uint32_t size = (uint32_t{bytes[at + 1]} << 16) | (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
        const uint32_t timestamp =
            (uint32_t{bytes[at + 7]} << 24) | (uint32_t{bytes[at + 4]} << 16) | (uint32_t{bytes[at + 5]} << 8) | bytes[at + 6];
        if (at + 11 + size > file.size()) break;
        tags.push_back({bytes[at], timestamp, std::vector<uint8_t>(bytes + at + 11, bytes + at + 11 + size)});
        at += 11 + size + 4;
    }
    return tags;
}

struct Packet {
    bool        video;
    int64_t     pts;
    int64_t     dts;
    std::size_t size;
    bool        key;
    bool operator==(const Packet&) const = default;
};

std::vector<Packet> Probe(const std::string& path)
{
    std::vector<Packet> packets;
    const std::string text =
        RunShell("ffprobe -v error -show_entries packet=codec_type,pts,dts,size,flags -of csv=p=0 '" + path + "'");
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        char type[16] = {};
        long long pts = 0;
        long long dts = 0;
        std::size_t size = 0;
        char flags[8] = {};
        if (std::sscanf(text.substr(at, end - at).c_str(), "%15[^,],%lld,%lld,%zu,%7s", type, &pts, &dts, &size, flags) == 5)
            packets.push_back({std::string(type) == "video", pts, dts, size, flags[0] == 'K'});
        at = end + 1;
    }
    return packets;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> bytes;
    for (const int value : values) bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

FlvMedia Read(FlvMediaReader& reader, uint8_t type, uint32_t timestamp, const std::vector<uint8_t>& body)
{
    return reader.Read(type, timestamp, body.data(), body.size());
}

TEST(ReadingMediaMessages, AnFfmpegFlvFileGivesTheFramesAndTimesFfprobeSeesAcrossAWrap)
{
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    TempWorkDir dir(false);
    const std::string path = dir.PathOf("a.flv");
    RunShell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=sample_rate=44100 "
             "-t 3 -c:v libx264 -preset veryfast -bf 2 -g 25 -c:a aac -b:a 64k -f flv '" + path + "'");
    const std::vector<Packet> expected = Probe(path);
    const std::vector<Tag> tags = FlvTags(dir.ReadFile("a.flv"));
    ASSERT_GT(expected.size(), 150u);
    // As sent, and shifted so that the source starts 1 s before its 32-bit clock wraps.
    for (const int64_t offset : {int64_t{0}, int64_t{0xFFFFFFFF} - 1000}) {
        FlvMediaReader reader;
        std::vector<Packet> frames;
        int video_configs = 0;
        int audio_configs = 0;
        for (const Tag& tag : tags) {
            const FlvMedia media = Read(reader, tag.type, static_cast<uint32_t>(tag.timestamp + offset), tag.body);
            EXPECT_NE(media.kind, FlvKind::kMalformed);
            EXPECT_FALSE(media.discontinuity);
            if (media.kind == FlvKind::kVideoConfig) {
                ++video_configs;
                EXPECT_EQ(media.codec, FlvCodec::kAvc);
                EXPECT_EQ(media.payload[0], 1);                 // the avcC record's version
            } else if (media.kind == FlvKind::kAudioConfig) {
                ++audio_configs;
                EXPECT_EQ(media.payload[0] >> 3, 2);            // AAC LC
            } else if (media.kind == FlvKind::kVideoFrame || media.kind == FlvKind::kAudioFrame) {
                EXPECT_EQ(media.dts90k % 90, 0);
                frames.push_back({media.kind == FlvKind::kVideoFrame, media.pts90k / 90 - offset, media.dts90k / 90 - offset,
                                  media.payload.size(), media.key});
                const uint8_t* body = tag.body.data();
                EXPECT_TRUE(media.payload.data() >= body && media.payload.data() + media.payload.size() == body + tag.body.size());
            }
        }
        EXPECT_EQ(video_configs, 1);
        EXPECT_EQ(audio_configs, 1);
        EXPECT_EQ(frames, expected) << "offset " << offset;
    }
}

TEST(ReadingMediaMessages, HevcInBothFormsAndOtherCodecsAreToldApart)
{
    FlvMediaReader reader;
    // Codec id 12: record, key frame with a composition time of 40 ms, inter frame with -10 ms.
    FlvMedia media = Read(reader, kRtmpVideo, 1000, Bytes({0x1C, 0, 0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(media.kind, FlvKind::kVideoConfig);
    EXPECT_EQ(media.codec, FlvCodec::kHevc);
    EXPECT_EQ(media.payload.size(), 3u);
    media = Read(reader, kRtmpVideo, 1000, Bytes({0x1C, 1, 0, 0, 40, 0, 0, 0, 1, 0x26}));
    EXPECT_EQ(media.kind, FlvKind::kVideoFrame);
    EXPECT_TRUE(media.key);
    EXPECT_EQ(media.dts90k, 1000 * 90);
    EXPECT_EQ(media.pts90k, 1040 * 90);
    EXPECT_EQ(media.payload.size(), 5u);
    media = Read(reader, kRtmpVideo, 1040, Bytes({0x2C, 1, 0xFF, 0xFF, 0xF6, 0, 0, 0, 1, 2}));
    EXPECT_FALSE(media.key);
    EXPECT_EQ(media.pts90k, 1030 * 90);
    // The extended header with FourCC "hvc1": SequenceStart, CodedFrames, CodedFramesX, SequenceEnd.
    media = Read(reader, kRtmpVideo, 1080, Bytes({0x90, 'h', 'v', 'c', '1', 1, 9}));
    EXPECT_EQ(media.kind, FlvKind::kVideoConfig);
    EXPECT_EQ(media.codec, FlvCodec::kHevc);
    EXPECT_EQ(media.payload.size(), 2u);
    media = Read(reader, kRtmpVideo, 1080, Bytes({0x91, 'h', 'v', 'c', '1', 0, 0, 80, 0, 0, 0, 1, 0x26}));
    EXPECT_EQ(media.kind, FlvKind::kVideoFrame);
    EXPECT_TRUE(media.key);
    EXPECT_EQ(media.pts90k - media.dts90k, 80 * 90);
    EXPECT_EQ(media.payload.size(), 5u);
    media = Read(reader, kRtmpVideo, 1120, Bytes({0xA3, 'h', 'v', 'c', '1', 0, 0, 0, 1, 2}));
    EXPECT_EQ(media.kind, FlvKind::kVideoFrame);
    EXPECT_FALSE(media.key);
    EXPECT_EQ(media.pts90k, media.dts90k);
    EXPECT_EQ(media.payload.size(), 5u);
    EXPECT_EQ(Read(reader, kRtmpVideo, 1160, Bytes({0x92, 'h', 'v', 'c', '1'})).kind, FlvKind::kIgnored);
    // MP3 frames pass as they are; an unknown codec is reported once, then ignored.
    media = Read(reader, kRtmpAudio, 1160, Bytes({0x2F, 0xFF, 0xFB, 0x90}));
    EXPECT_EQ(media.kind, FlvKind::kAudioFrame);
    EXPECT_EQ(media.codec, FlvCodec::kMp3);
    EXPECT_EQ(media.payload.size(), 3u);
    for (const auto& [type, body, tag] : std::vector<std::tuple<uint8_t, std::vector<uint8_t>, uint32_t>>{
             {kRtmpVideo, Bytes({0x14, 0, 1, 2}), 4},                              // VP6
             {kRtmpVideo, Bytes({0x91, 'a', 'v', '0', '1', 5}), 0x61763031},      // AV1
             {kRtmpAudio, Bytes({0xB2, 1, 2}), 11}}) {                            // Speex
        media = Read(reader, type, 1200, body);
        EXPECT_EQ(media.kind, FlvKind::kUnsupported);
        EXPECT_EQ(media.codec_tag, tag);
        EXPECT_EQ(Read(reader, type, 1240, body).kind, FlvKind::kIgnored);
    }
}

TEST(ReadingMediaMessages, AJumpOfTheSourceClockIsADiscontinuityAndTimeGoesOnFromTheLastFrame)
{
    FlvMediaReader reader;
    const std::vector<uint8_t> frame = Bytes({0x27, 1, 0, 0, 0, 0, 0, 0, 1, 9});
    const std::vector<uint8_t> audio = Bytes({0xAF, 1, 0x21});
    EXPECT_EQ(Read(reader, kRtmpVideo, 500000, frame).dts90k, int64_t{500000} * 90);
    FlvMedia media = Read(reader, kRtmpAudio, 499990, audio);           // audio a little behind video
    EXPECT_FALSE(media.discontinuity);
    EXPECT_EQ(media.dts90k, int64_t{499990} * 90);
    media = Read(reader, kRtmpVideo, 520000, frame);                    // 20 s ahead
    EXPECT_TRUE(media.discontinuity);
    EXPECT_EQ(media.dts90k, int64_t{499990} * 90);
    media = Read(reader, kRtmpVideo, 520040, frame);
    EXPECT_FALSE(media.discontinuity);
    EXPECT_EQ(media.dts90k, int64_t{500030} * 90);
    media = Read(reader, kRtmpVideo, 0, frame);                         // the source restarted
    EXPECT_TRUE(media.discontinuity);
    EXPECT_EQ(media.dts90k, int64_t{500030} * 90);
    EXPECT_EQ(Read(reader, kRtmpVideo, 40, frame).dts90k, int64_t{500070} * 90);
}

TEST(ReadingMediaMessages, CutOrBrokenBodiesAreMalformedAndReadNothingBeyondThem)
{
    FlvMediaReader reader;
    for (const auto& [type, body] : std::vector<std::pair<uint8_t, std::vector<uint8_t>>>{
             {kRtmpVideo, Bytes({0x17})},
             {kRtmpVideo, Bytes({0x17, 0x01})},                                  // a frame without its composition time
             {kRtmpVideo, Bytes({0x17, 0x01, 0})},
             {kRtmpVideo, Bytes({0x17, 0x00, 0, 0, 0})},                         // an empty avcC
             {kRtmpVideo, Bytes({0x17, 0x05, 0, 0, 0, 1})},                      // no such packet type
             {kRtmpVideo, Bytes({0x91, 'h', 'v'})},                              // FourCC cut
             {kRtmpVideo, Bytes({0x91, 'h', 'v', 'c', '1', 0})},                 // composition time cut
             {kRtmpVideo, Bytes({0x90, 'h', 'v', 'c', '1'})},                    // an empty hvcC
             {kRtmpAudio, Bytes({0xAF})},
             {kRtmpAudio, Bytes({0xAF, 0x00})},                                  // an empty AudioSpecificConfig
             {kRtmpAudio, Bytes({0xAF, 0x07, 1})}}) {
        const FlvMedia media = Read(reader, type, 0, body);
        EXPECT_EQ(media.kind, FlvKind::kMalformed) << int(body[0]) << " size " << body.size();
        EXPECT_TRUE(media.payload.empty());
    }
    std::vector<uint8_t> huge(FlvMediaReader::kMaxPayload + 6, 0);
    huge[0] = 0x17;
    huge[1] = 1;
    EXPECT_EQ(Read(reader, kRtmpVideo, 0, huge).kind, FlvKind::kMalformed);
    // A message the chunk reader did not keep whole.
    RtmpMessage cut;
    cut.type = kRtmpVideo;
    cut.length = 100000;
    cut.body = huge.data();
    cut.body_kept = RtmpChunkReader::kKeptBody;
    EXPECT_EQ(reader.Read(cut).kind, FlvKind::kMalformed);
    cut.length = cut.body_kept;
    EXPECT_EQ(reader.Read(cut).kind, FlvKind::kVideoFrame);
}

}  // namespace
