#include "stream/hls_segmenter.h"

#include "support/ts_builder.h"
#include "support/ts_video.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace {

// 25 fps video with a PCR before each picture and the tables before each key picture.
std::vector<uint8_t> VideoWithKeysAt(const std::vector<int>& key_frames, int frames)
{
    std::vector<uint8_t> out;
    const std::vector<uint8_t> tables = TsBuilder().Pat().Pmt().Bytes();
    std::size_t next_key = 0;
    for (int frame = 0; frame < frames; ++frame) {
        const int64_t pts = frame * 3600;
        const bool key = next_key < key_frames.size() && key_frames[next_key] == frame;
        if (key) {
            out.insert(out.end(), tables.begin(), tables.end());
            ++next_key;
        }
        const std::vector<uint8_t> pcr = TsBuilder().Pcr(kTestVideoPid, pts * 300).Bytes();
        out.insert(out.end(), pcr.begin(), pcr.end());
        AddPicture(out, pts, key ? Mark::kIdr : Mark::kPlain);
    }
    return out;
}

}  // namespace

TEST(HlsLiveWindow, LongGopsNeitherChangeTheTargetNorGrowASegmentPastItNorShrinkTheWindowBelowThreeTargets)
{
    // Key frames every 2 s for 20 s, one GOP of 21 s, GOPs of 5.96 s (cut just before their
    // key frame, leaving a segment of one picture), then every 2 s again.
    std::vector<int> keys;
    int frame = 0;
    for (; frame < 500; frame += 50) keys.push_back(frame);
    frame += 525;
    for (int k = 0; k < 6; ++k, frame += 149) keys.push_back(frame);
    for (int k = 0; k < 15; ++k, frame += 50) keys.push_back(frame);
    const std::vector<uint8_t> stream = VideoWithKeysAt(keys, frame);

    HlsSegmentWindow window;
    int64_t sequence = 0;
    int target = -1;
    bool slid = false;
    TsSegmentCutter cutter([&](TsSegmentCutter::Segment&& segment) {
        window.Add(std::move(segment), sequence++, 0);
        HlsWindow playlist;
        ASSERT_TRUE(window.CopyTo(playlist));
        if (target < 0) target = playlist.target_duration;
        EXPECT_EQ(playlist.target_duration, target) << "segment " << sequence - 1;
        double total = 0;
        for (const HlsSegment& each : playlist.segments) {
            EXPECT_LE(std::lround(each.duration), target) << "segment " << each.sequence << " lasts " << each.duration;
            total += each.duration;
        }
        slid = slid || playlist.media_sequence > 0;
        if (slid) {
            EXPECT_GE(total, 3.0 * target) << "after segment " << sequence - 1;
        }
    },
                           [&] { return window.SegmentLimit(); });
    cutter.Feed(stream.data(), stream.size());
    EXPECT_EQ(target, 6);
    EXPECT_GT(sequence, 20);
    EXPECT_TRUE(slid);
}
