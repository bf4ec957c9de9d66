// The texts of the set-top VOD protocol: the request's keys, the commands and the skip
// arithmetic, where a fault would send the box to the wrong byte or the wrong account.

#include "vod/vod_request.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace {

TEST(ReadingABoxRequest, TheMacIdEndsOneCharacterBeforeUsernameAndThePathRunsToTheEnd)
{
    const VodRequest request =
        ParseVodRequest("MACID=00AABBCCDDEE USERNAME=box PASSWORD=secret VIDEONAME=media/videos/my film.ts\r\n");
    EXPECT_TRUE(request.has_mac_id && request.has_user && request.has_password && request.has_video);
    EXPECT_STREQ(request.mac_id, "00AABBCCDDEE");
    EXPECT_STREQ(request.user_name, "box");
    EXPECT_STREQ(request.password, "secret");
    EXPECT_STREQ(request.video, "media/videos/my film.ts");    // spaces kept, the line end dropped

    // A longer MAC text is cut to its 12 characters; without USERNAME= it ends at a space.
    EXPECT_STREQ(ParseVodRequest("MACID=00AABBCCDDEEFF USERNAME=x").mac_id, "00AABBCCDDEE");
    EXPECT_STREQ(ParseVodRequest("MACID=abc PASSWORD=p").mac_id, "abc");
    EXPECT_STREQ(ParseVodRequest("MACID=USERNAME=x").mac_id, "");
}

TEST(ReadingABoxRequest, MissingKeysAreToldApartAndAnOverlongPathIsRefusedNotCut)
{
    const VodRequest bare = ParseVodRequest("VIDEONAME=a.ts");
    EXPECT_FALSE(bare.has_mac_id || bare.has_user || bare.has_password);
    EXPECT_TRUE(bare.has_video);
    EXPECT_STREQ(bare.video, "a.ts");
    EXPECT_FALSE(ParseVodRequest("MACID=1 USERNAME=u PASSWORD=p").has_video);

    const VodRequest longer = ParseVodRequest("VIDEONAME=" + std::string(kConnectionPathSize, 'a'));
    EXPECT_TRUE(longer.has_video && longer.video_too_long);
    EXPECT_STREQ(longer.video, "");
    EXPECT_TRUE(ParseVodRequest(std::string("VIDEONAME=a.ts\0../b", 19)).video_too_long);
}

TEST(ReadingACommand, CommandsAreKnownByTheStartOfTheTextAndSeekTimesStayUsable)
{
    EXPECT_EQ(ParseVodCommand("TEARDOWN").kind, VodCommand::kTeardown);
    EXPECT_EQ(ParseVodCommand("PAUSE\r\n").kind, VodCommand::kPause);
    EXPECT_EQ(ParseVodCommand("RESUME").kind, VodCommand::kResume);
    EXPECT_EQ(ParseVodCommand("BEFORE_SEEK").kind, VodCommand::kBeforeSeek);
    EXPECT_EQ(ParseVodCommand("FORWARD").kind, VodCommand::kForward);
    EXPECT_EQ(ParseVodCommand("BACKWARD").kind, VodCommand::kBackward);
    EXPECT_EQ(ParseVodCommand(" PAUSE").kind, VodCommand::kNone);
    EXPECT_EQ(ParseVodCommand("SEEK").kind, VodCommand::kNone);

    const ParsedVodCommand seek = ParseVodCommand("SEEKTO=12.5");
    EXPECT_EQ(seek.kind, VodCommand::kSeekTo);
    EXPECT_DOUBLE_EQ(seek.seconds, 12.5);
    for (const char* odd : {"SEEKTO=-3", "SEEKTO=nan", "SEEKTO=inf", "SEEKTO=", "SEEKTO=x"})
        EXPECT_EQ(ParseVodCommand(odd).seconds, 0.0) << odd;
}

TEST(SkippingThirtySeconds, ASkipIsBitrateTimes3840BytesClampedAndOnA1316ByteBoundary)
{
    // 1000 kbit/s: 3 840 000 bytes.
    EXPECT_EQ(VodSkipTarget(1316 * 10, 1000, 100000000, true), (1316 * 10 + 3840000) / 1316 * 1316);
    EXPECT_EQ(VodSkipTarget(5000000, 1000, 100000000, false), (5000000 - 3840000) / 1316 * 1316);
    EXPECT_EQ(VodSkipTarget(1000, 1000, 100000000, false), 0);                // near the start: 0
    EXPECT_EQ(VodSkipTarget(9000000, 1000, 10000000, true), 10000000 / 1316 * 1316);   // near the end
    EXPECT_EQ(VodSkipTarget(-5, std::numeric_limits<int32_t>::max(), 1 << 20, true), (1 << 20) / 1316 * 1316);
    EXPECT_EQ(VodSkipTarget(2632, -7, 10000, true), 2632);
}

TEST(SameBox, TheFirstTwelveCharactersDecideIgnoringCase)
{
    EXPECT_TRUE(SameBox("00aabbccddee", "00AABBCCDDEE"));
    EXPECT_FALSE(SameBox("00aabbccddee", "00aabbccddef"));
}

}  // namespace
