#include "media/elementary.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Convert(const Bytes& sample, int nal_length_size, VideoCodec codec, const VideoConfig* config, bool key = false)
{
    Bytes out;
    EXPECT_TRUE(AppendAnnexB(out, sample.data(), sample.size(), nal_length_size, codec, config, key));
    return out;
}

}  // namespace

TEST(DecoderRecords, AvcRecordParameterSetsGoBeforeKeyFramesThatLackTheirOwn) {
    const Bytes avcc = {1, 0x64, 0, 0x1F, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x1F, 1, 0, 3, 0x68, 0xEE, 0x3C};
    AvcConfig avc;
    ASSERT_TRUE(ParseAvcConfig(avcc.data(), avcc.size(), avc));
    EXPECT_EQ(avc.nal_length_size, 4);
    EXPECT_EQ(avc.parameter_set_count, 2);
    const Bytes sets = {0, 0, 0, 1, 0x67, 0x64, 0, 0x1F, 0, 0, 0, 1, 0x68, 0xEE, 0x3C};
    EXPECT_EQ(avc.parameter_sets, sets);
    for (std::size_t cut = 0; cut < avcc.size(); ++cut) EXPECT_FALSE(ParseAvcConfig(avcc.data(), cut, avc)) << cut;

    const Bytes aud = {0, 0, 0, 1, 0x09, 0xF0};
    // An IDR picture with its own delimiter and an empty unit: ours replaces theirs, the sets go in.
    Bytes expected = aud;
    expected.insert(expected.end(), sets.begin(), sets.end());
    expected.insert(expected.end(), {0, 0, 0, 1, 0x65, 0x88, 0x84});
    EXPECT_EQ(Convert({0, 0, 0, 2, 0x09, 0xF0, 0, 0, 0, 0, 0, 0, 0, 3, 0x65, 0x88, 0x84}, 4, VideoCodec::kH264, &avc),
              expected);
    // A key frame that carries an SPS keeps its own; other frames get none.
    EXPECT_EQ(Convert({0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 2, 0x65, 0x88}, 4, VideoCodec::kH264, &avc),
              (Bytes{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65, 0x88}));
    EXPECT_EQ(Convert({0, 0, 0, 2, 0x41, 0x9A}, 4, VideoCodec::kH264, &avc),
              (Bytes{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41, 0x9A}));
    // A length past the end is refused and leaves the output as it was.
    Bytes out = {7};
    const Bytes broken = {0, 0, 0, 2, 0x41, 0x9A, 0, 0, 0, 5, 0x41};
    EXPECT_FALSE(AppendAnnexB(out, broken.data(), broken.size(), 4, VideoCodec::kH264, &avc, true));
    EXPECT_FALSE(AppendAnnexB(out, broken.data(), 3, 4, VideoCodec::kH264, &avc, true));
    EXPECT_EQ(out, Bytes{7});
}

TEST(DecoderRecords, HevcRecordKeepsVpsSpsPpsAndSkipsOtherArrays) {
    Bytes hvcc(21, 0);
    hvcc[0] = 1;
    hvcc.push_back(0x0D);                                  // NAL length size 2
    hvcc.push_back(4);                                     // arrays
    for (uint8_t type : {0x20, 0x21, 0x22, 0x27})          // VPS, SPS, PPS, SEI
        hvcc.insert(hvcc.end(), {static_cast<uint8_t>(0x80 | type), 0, 1, 0, 3, static_cast<uint8_t>(type << 1), 1, 0x0C});
    HevcConfig hevc;
    ASSERT_TRUE(ParseHevcConfig(hvcc.data(), hvcc.size(), hevc));
    EXPECT_EQ(hevc.codec, VideoCodec::kHevc);
    EXPECT_EQ(hevc.nal_length_size, 2);
    EXPECT_EQ(hevc.parameter_set_count, 3);
    EXPECT_FALSE(ParseHevcConfig(hvcc.data(), hvcc.size() - 1, hevc));
    ASSERT_TRUE(ParseHevcConfig(hvcc.data(), hvcc.size(), hevc));
    // A CRA picture is a key frame.
    EXPECT_EQ(Convert({0, 3, 0x2A, 0x01, 0xAF}, 2, VideoCodec::kHevc, &hevc),
              (Bytes{0, 0, 0, 1, 0x46, 0x01, 0x50, 0, 0, 0, 1, 0x40, 1, 0x0C, 0, 0, 0, 1, 0x42, 1, 0x0C,
                     0, 0, 0, 1, 0x44, 1, 0x0C, 0, 0, 0, 1, 0x2A, 0x01, 0xAF}));
}

TEST(AudioSpecificConfig, HeAacGivesItsCoreToTheAdtsHeader) {
    AacConfig aac;
    const uint8_t he_aac[] = {0x2B, 0x11, 0x88};           // SBR, core LC at 24 kHz, stereo
    ASSERT_TRUE(ParseAudioSpecificConfig(he_aac, sizeof he_aac, aac));
    EXPECT_EQ(aac.object_type, 2);
    EXPECT_EQ(aac.sample_rate, 24000);
    EXPECT_EQ(aac.channel_configuration, 2);
    EXPECT_FALSE(ParseAudioSpecificConfig(he_aac, 2, aac));
    uint8_t header[7];
    EXPECT_FALSE(AdtsHeader(aac, 8185, header));
}
