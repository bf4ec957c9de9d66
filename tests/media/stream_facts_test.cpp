// What a stream carries, read from streams our muxer makes, from a hand-made PMT whose
// descriptors span two packets, and from files ffmpeg makes.

#include "media/stream_facts.h"

#include "media/ts_muxer.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Writes the bits of a parameter set, then escapes it as a NAL unit carries it.
class BitWriter {
public:
    void Bits(uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1u) != 0);
    }
    void Ue(uint32_t value)
    {
        const uint32_t code = value + 1;
        int length = 0;
        while ((code >> length) > 1) ++length;
        Bits(0, length);
        Bits(code, length + 1);
    }
    Bytes Nal(uint8_t header)
    {
        Bits(1, 1);                                        // rbsp_stop_one_bit
        while (bits_.size() % 8 != 0) bits_.push_back(false);
        Bytes out{header};
        int zeros = 0;
        for (std::size_t i = 0; i < bits_.size(); i += 8) {
            uint8_t byte = 0;
            for (int k = 0; k < 8; ++k) byte = static_cast<uint8_t>(byte << 1 | (bits_[i + static_cast<std::size_t>(k)] ? 1 : 0));
            if (zeros >= 2 && byte <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            out.push_back(byte);
        }
        return out;
    }

private:
    std::vector<bool> bits_;
};

// A High-profile H.264 SPS of 640x360: 40x23 macroblocks, 8 lines cropped at the bottom.
Bytes Sps640x360()
{
    BitWriter w;
    w.Bits(100, 8);                                        // profile_idc: High
    w.Bits(0, 8);
    w.Bits(30, 8);                                         // level 3.0
    w.Ue(0);                                               // sps id
    w.Ue(1);                                               // 4:2:0
    w.Ue(0);
    w.Ue(0);
    w.Bits(0, 1);
    w.Bits(0, 1);                                          // no scaling matrices
    w.Ue(0);                                               // log2_max_frame_num_minus4
    w.Ue(0);                                               // poc type 0
    w.Ue(0);
    w.Ue(1);                                               // max_num_ref_frames
    w.Bits(0, 1);
    w.Ue(39);                                              // 40 macroblocks wide
    w.Ue(22);                                              // 23 high
    w.Bits(1, 1);                                          // frame_mbs_only
    w.Bits(1, 1);
    w.Bits(1, 1);                                          // cropping
    w.Ue(0);
    w.Ue(0);
    w.Ue(0);
    w.Ue(4);                                               // 4 units of 2 lines
    w.Bits(0, 1);                                          // no VUI
    return w.Nal(0x67);
}

void Append(Bytes& out, const Bytes& nal)
{
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
}

// Packets of one section of pid, from the pointer field on.
void AddSection(Bytes& stream, uint16_t pid, Bytes section)
{
    const uint32_t crc = TsBuilder::Crc32(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<uint8_t>(crc >> shift));
    section.insert(section.begin(), 0);                    // pointer field
    uint8_t continuity = 0;
    for (std::size_t at = 0; at < section.size(); at += 184) {
        uint8_t packet[188];
        std::memset(packet, 0xFF, sizeof packet);
        packet[0] = 0x47;
        packet[1] = static_cast<uint8_t>((at == 0 ? 0x40 : 0) | pid >> 8);
        packet[2] = static_cast<uint8_t>(pid);
        packet[3] = static_cast<uint8_t>(0x10 | continuity++);
        std::memcpy(packet + 4, section.data() + at, std::min<std::size_t>(184, section.size() - at));
        stream.insert(stream.end(), packet, packet + 188);
    }
}

const StreamFactsStream* Find(const StreamFacts& facts, uint16_t pid)
{
    for (const StreamFactsProgram& program : facts.programs())
        for (const StreamFactsStream& stream : program.streams)
            if (stream.pid == pid) return &stream;
    return nullptr;
}

}  // namespace

// Two seconds from the muxer, fed as a byte stream cut anywhere behind bytes that are no
// packets: the program, the codecs, the cropped picture and the bitrate by the PCR.
TEST(StreamFacts, ReadsWhatTheMuxerWrote)
{
    Bytes out(100, 0x47);                                  // not a stream: dropped while realigning
    TsMuxer muxer({TsCodec::kH264, TsCodec::kAac, TsCodec::kAc3},
                  [&](const uint8_t* block, int size) { out.insert(out.end(), block, block + size); });
    ASSERT_TRUE(muxer.valid());
    const Bytes sps = Sps640x360();
    for (int frame = 0; frame < 50; ++frame) {
        Bytes unit;
        if (frame % 25 == 0) Append(unit, sps);
        Append(unit, Bytes{0x65, 0x88, 0x84});
        unit.resize(unit.size() + 4000, 0x5A);
        const int64_t pts = 90000 + frame * 3600;
        ASSERT_TRUE(muxer.Write(0, unit.data(), unit.size(), pts, pts, frame % 25 == 0));
        const Bytes adts{0xFF, 0xF1, 0x50, 0x80, 0x10, 0x1F, 0xFC, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49};
        ASSERT_TRUE(muxer.Write(1, adts.data(), adts.size(), pts, pts, true));
        const Bytes ac3{0x0B, 0x77, 1, 2, 3, 4, 5, 6};
        ASSERT_TRUE(muxer.Write(2, ac3.data(), ac3.size(), pts, pts, true));
    }
    muxer.Flush();

    StreamFacts facts;
    for (std::size_t at = 0; at < out.size(); at += 1000) facts.Feed(out.data() + at, std::min<std::size_t>(1000, out.size() - at));
    ASSERT_TRUE(facts.Complete());
    ASSERT_EQ(facts.programs().size(), 1u);
    EXPECT_EQ(facts.programs()[0].number, 1);
    EXPECT_EQ(facts.programs()[0].pmt_pid, 0x1000);
    ASSERT_EQ(facts.programs()[0].streams.size(), 3u);
    const StreamFactsStream& video = facts.programs()[0].streams[0];
    EXPECT_EQ(video.pid, 0x100);
    EXPECT_EQ(video.codec, "H.264");
    EXPECT_EQ(video.width, 640);
    EXPECT_EQ(video.height, 360);
    EXPECT_EQ(facts.programs()[0].streams[1].codec, "AAC");
    EXPECT_EQ(facts.programs()[0].streams[2].codec, "AC-3");
    // The muxer's bytes over the PCR's span: about what was written per second.
    const double expected = static_cast<double>(out.size() - 100) * 8 / 2.0;
    EXPECT_GT(facts.measured_seconds(), 1.0);
    EXPECT_NEAR(static_cast<double>(facts.Bitrate()), expected, expected * 0.25);
}

// A PMT longer than a packet: its descriptors name the codecs of private streams and the
// languages; a PID the PMT leaves out, scrambled or not, changes nothing.
TEST(StreamFacts, ReadsDescriptorsOfAPmtOverTwoPackets)
{
    Bytes entries;
    const auto entry = [&](uint8_t type, uint16_t pid, const Bytes& descriptors) {
        entries.insert(entries.end(), {type, static_cast<uint8_t>(0xE0 | pid >> 8), static_cast<uint8_t>(pid),
                                       static_cast<uint8_t>(0xF0 | descriptors.size() >> 8), static_cast<uint8_t>(descriptors.size())});
        entries.insert(entries.end(), descriptors.begin(), descriptors.end());
    };
    const Bytes padding(60, 0x20);
    Bytes long_descriptor{0xFE, static_cast<uint8_t>(padding.size())};
    long_descriptor.insert(long_descriptor.end(), padding.begin(), padding.end());
    entry(0x1B, 0x100, long_descriptor);
    entry(0x06, 0x101, {0x6A, 1, 0, 0x0A, 4, 'd', 'e', 'u', 0});
    entry(0x06, 0x102, {0x05, 4, 'E', 'A', 'C', '3', 0x0A, 4, 'f', 'r', 'a', 0});
    entry(0x06, 0x103, {0x56, 5, 'f', 'i', 'n', 0x09, 0x00});
    entry(0x06, 0x104, {0x59, 8, 's', 'w', 'e', 0x10, 0, 1, 0, 1});
    entry(0x03, 0x105, long_descriptor);
    entry(0x86, 0x106, {0x0A, 4, 0x01, '"', 'x', 0});
    Bytes pmt = entries;
    const Bytes head{0x02, 0, 0, 0x00, 0x07, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0x00};
    pmt.insert(pmt.begin(), head.begin(), head.end());
    const std::size_t length = pmt.size() - 3 + 4;
    pmt[1] = static_cast<uint8_t>(0xB0 | length >> 8);
    pmt[2] = static_cast<uint8_t>(length);

    TsBuilder pat;
    pat.Pat({{7, 0x200}});
    Bytes stream = pat.Bytes();
    AddSection(stream, 0x200, pmt);
    ASSERT_GT(stream.size(), 2u * 188);
    StreamFacts facts;
    for (std::size_t at = 0; at < stream.size(); at += 188) facts.Packet(stream.data() + at);
    ASSERT_EQ(facts.programs().size(), 1u);
    ASSERT_TRUE(facts.programs()[0].pmt_seen);
    EXPECT_EQ(facts.programs()[0].number, 7);
    ASSERT_EQ(facts.programs()[0].streams.size(), 7u);
    EXPECT_EQ(Find(facts, 0x101)->codec, "AC-3");
    EXPECT_EQ(Find(facts, 0x101)->language, "deu");
    EXPECT_EQ(Find(facts, 0x102)->codec, "E-AC-3");
    EXPECT_EQ(Find(facts, 0x102)->language, "fra");
    EXPECT_EQ(Find(facts, 0x103)->codec, "teletext");
    EXPECT_EQ(Find(facts, 0x103)->language, "fin");
    EXPECT_EQ(Find(facts, 0x104)->codec, "subtitles");
    EXPECT_EQ(Find(facts, 0x104)->language, "swe");
    EXPECT_EQ(Find(facts, 0x105)->codec, "MP2");
    EXPECT_EQ(Find(facts, 0x106)->codec, "data");
    EXPECT_EQ(Find(facts, 0x106)->language, "");          // not letters: not a language
    EXPECT_FALSE(facts.Complete());                        // the video's size is still to come
}

// Files ffmpeg makes: H.264 640x360 with AAC in English, and HEVC whose height is cropped by
// the conformance window (180 of 184 lines) with MP2 sound.
TEST(StreamFacts, ReadsFfmpegFiles)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    TempWorkDir dir(false);
    struct Case {
        const char* video;
        const char* audio;
        const char* size;
        const char* codec;
        const char* audio_codec;
        int         width, height;
    };
    const Case cases[] = {{"libx264 -preset veryfast", "aac", "640x360", "H.264", "AAC", 640, 360},
                          {"libx265 -preset ultrafast -x265-params log-level=none", "mp2", "320x180", "HEVC", "MP2", 320, 180}};
    for (const Case& c : cases) {
        const std::string path = dir.PathOf("clip.ts");
        const std::string made = RunShell(std::string("ffmpeg -v error -y -f lavfi -i testsrc2=size=") + c.size +
                                          ":rate=25 -f lavfi -i sine -t 3 -c:v " + c.video + " -c:a " + c.audio +
                                          " -metadata:s:a:0 language=eng -muxrate 1000000 -f mpegts " + path + " 2>&1");
        ASSERT_EQ(made, "") << c.codec;
        std::FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        StreamFacts facts;
        uint8_t chunk[5000];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) facts.Feed(chunk, got);
        std::fclose(file);
        ASSERT_TRUE(facts.Complete()) << c.codec;
        ASSERT_EQ(facts.programs().size(), 1u);
        const auto& streams = facts.programs()[0].streams;
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0].codec, c.codec);
        EXPECT_EQ(streams[0].width, c.width);
        EXPECT_EQ(streams[0].height, c.height);
        EXPECT_EQ(streams[1].codec, c.audio_codec);
        EXPECT_EQ(streams[1].language, "eng");
        EXPECT_NEAR(static_cast<double>(facts.Bitrate()), 1000000.0, 60000.0) << c.codec;
    }
}
