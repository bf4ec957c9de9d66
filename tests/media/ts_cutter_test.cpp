#include "media/ts_cutter.h"

#include "support/ts_builder.h"
#include "support/ts_video.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr int kPacket = 188;
constexpr uint16_t kVideo = kTestVideoPid;

struct Cut {
    std::vector<TsSegmentCutter::Segment> segments;
    TsSegmentCutter cutter{[this](TsSegmentCutter::Segment&& segment) { segments.push_back(std::move(segment)); }};
};

int PidAt(const std::string& data, int packet)
{
    const auto* p = reinterpret_cast<const uint8_t*>(data.data()) + packet * kPacket;
    return ((p[1] & 0x1F) << 8) | p[2];
}

// Whether packet `index` starts a key picture (what AddPicture writes for one).
bool StartsKeyPicture(const std::string& data, int index)
{
    const auto* p = reinterpret_cast<const uint8_t*>(data.data()) + index * kPacket;
    if ((((p[1] & 0x1F) << 8) | p[2]) != kVideo || (p[1] & 0x40) == 0) return false;
    const bool random_access = (p[3] & 0x20) != 0 && p[4] > 0 && (p[5] & 0x40) != 0;
    const bool idr_here = p[28] == 0x65;
    const bool idr_next = index * kPacket + 2 * kPacket <= static_cast<int>(data.size()) && p[kPacket + 8] == 0x65;
    return random_access || idr_here || idr_next;
}

void ExpectWellFormed(const std::vector<TsSegmentCutter::Segment>& segments)
{
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::string& data = segments[i].data;
        ASSERT_GE(data.size(), 3u * kPacket);
        EXPECT_EQ(data.size() % kPacket, 0u) << "segment " << i;
        EXPECT_EQ(PidAt(data, 0), 0) << "segment " << i << " starts without the PAT";
        EXPECT_EQ(PidAt(data, 1), 0x100) << "segment " << i << " has no PMT second";
        // Behind the tables the next picture is a key picture (the PCR packet aside).
        int video = 2;
        while (PidAt(data, video) != kVideo || (data[static_cast<std::size_t>(video) * kPacket + 1] & 0x40) == 0) ++video;
        EXPECT_TRUE(StartsKeyPicture(data, video)) << "segment " << i;
        EXPECT_NEAR(segments[i].duration, 4.0, 1e-9) << "segment " << i;
    }
}

}  // namespace

TEST(CuttingSegments, EachSegmentSpansFourSecondsFromThePatBeforeAKeyPictureToTheNext)
{
    Cut cut;
    const std::vector<uint8_t> stream = Stream(13, true);
    cut.cutter.Feed(stream.data(), stream.size());
    ASSERT_EQ(cut.segments.size(), 3u);                         // cut at 4, 8 and 12 s
    ExpectWellFormed(cut.segments);
    // Nothing lost or doubled between the cuts: the segments and what is pending are the stream.
    std::size_t total = cut.cutter.pending_bytes();
    for (const auto& segment : cut.segments) total += segment.data.size();
    EXPECT_EQ(total, stream.size());
    EXPECT_FALSE(cut.segments[0].discontinuity);
}

TEST(CuttingSegments, AKeyPictureWithoutTablesInFrontGetsCopiesOfTheLastOnes)
{
    Cut cut;
    const std::vector<uint8_t> stream = Stream(9, false);
    cut.cutter.Feed(stream.data(), stream.size());
    ASSERT_EQ(cut.segments.size(), 2u);
    ExpectWellFormed(cut.segments);
}

TEST(CuttingSegments, KeyPicturesAreFoundByTheRandomAccessFlagOrAnIdrInTheNextPacket)
{
    for (const Mark mark : {Mark::kRandomAccessOnly, Mark::kIdrInSecondPacket}) {
        Cut cut;
        const std::vector<uint8_t> stream = Stream(9, true, mark);
        cut.cutter.Feed(stream.data(), stream.size());
        ASSERT_EQ(cut.segments.size(), 2u) << static_cast<int>(mark);
        ExpectWellFormed(cut.segments);
    }
}

TEST(CuttingSegments, AByteStreamInOddRunsAfterGarbageCutsAsThePacketsWould)
{
    // What came before the first key picture (plain pictures) is dropped either way.
    const std::vector<uint8_t> stream = Stream(9, true, Mark::kIdr, 10);
    Cut aligned;
    aligned.cutter.Feed(stream.data(), stream.size());
    Cut odd;
    const uint8_t garbage[] = {0x00, 0x47, 0x12, 0x99};
    odd.cutter.Feed(garbage, sizeof garbage);
    for (std::size_t at = 0; at < stream.size(); at += 1000)
        odd.cutter.Feed(stream.data() + at, std::min<std::size_t>(1000, stream.size() - at));
    ASSERT_EQ(aligned.segments.size(), 2u);
    ExpectWellFormed(aligned.segments);
    ASSERT_EQ(odd.segments.size(), aligned.segments.size());
    for (std::size_t i = 0; i < odd.segments.size(); ++i) EXPECT_EQ(odd.segments[i].data, aligned.segments[i].data);
}

TEST(CuttingSegments, ARestartMarksTheNextSegmentAsADiscontinuity)
{
    Cut cut;
    const std::vector<uint8_t> stream = Stream(9, true);
    cut.cutter.Feed(stream.data(), stream.size() / 2 + 77);      // cut off inside a packet
    cut.cutter.Restart();
    // The source starts again with its clock from zero.
    cut.cutter.Feed(stream.data(), stream.size());
    ASSERT_GE(cut.segments.size(), 2u);
    ExpectWellFormed({cut.segments.back()});
    bool marked = false;
    for (const auto& segment : cut.segments) marked = marked || segment.discontinuity;
    EXPECT_TRUE(marked);
}
