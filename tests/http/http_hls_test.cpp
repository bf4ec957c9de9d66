#include "http/http_hls.h"

#include "core/config.h"
#include "core/text.h"
#include "http/http_catchup.h"
#include "http/http_playlist.h"

#include <array>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

ChannelTable TableOf(std::initializer_list<std::array<const char*, 3>> channels)
{
    ChannelTable table;
    for (const auto& [name, img, rec_folder] : channels) {
        auto channel = std::make_unique<ChannelRecord>();
        CopyText(channel->name, name);
        CopyText(channel->img, img);
        CopyText(channel->rec_folder, rec_folder);
        table.channels.push_back(std::move(channel));
    }
    return table;
}

}  // namespace

TEST(HlsAddresses, EachKindIsRecognisedAndAnythingElseIsLeftToTheFiles)
{
    const HlsPath playlist = ParseHlsPath("/12/index.m3u8");
    EXPECT_EQ(playlist.kind, HlsPath::kPlaylist);
    EXPECT_EQ(playlist.channel, 12);
    const HlsPath segment = ParseHlsPath("/3/seg-1765324800.ts");
    EXPECT_EQ(segment.kind, HlsPath::kSegment);
    EXPECT_EQ(segment.sequence, 1765324800);
    const HlsPath archive = ParseHlsPath("/3/archive-1765324800-3600.m3u8");
    EXPECT_EQ(archive.kind, HlsPath::kArchivePlaylist);
    EXPECT_EQ(archive.start, 1765324800);
    EXPECT_EQ(archive.seconds, 3600);
    EXPECT_EQ(ParseHlsPath("/3/archive-1765324800-3600.ts").kind, HlsPath::kArchiveStream);
    const HlsPath part = ParseHlsPath("/3/archive-1765324800-3600-part-7.ts");
    EXPECT_EQ(part.kind, HlsPath::kArchivePart);
    EXPECT_EQ(part.sequence, 7);
    for (const char* other : {"/index.m3u8", "/0/index.m3u8", "/x/index.m3u8", "/1/index.m3u8x", "/1/seg-.ts", "/1/seg-5.tsx",
                              "/1/archive-5-0.ts", "/1/archive--5.ts", "/1/archive-5-5", "/99999999999999999999/index.m3u8",
                              "/1/seg-99999999999999999999.ts", "/1.ch", "/1/sub/index.m3u8", ""})
        EXPECT_EQ(ParseHlsPath(other).kind, HlsPath::kNone) << other;
}

TEST(HlsAddresses, QueryParametersAreMatchedByWholeName)
{
    EXPECT_EQ(QueryParameter("ut=1&t=abc&x=2", "t"), "abc");
    EXPECT_EQ(QueryParameter("t=", "t"), "");
    EXPECT_EQ(QueryParameter("at=9", "t"), "");
}

TEST(MediaPlaylists, TheWindowGivesSequenceTargetDiscontinuitiesAndAddresses)
{
    HlsWindow window;
    window.media_sequence = 41;
    window.discontinuity_sequence = 2;
    window.target_duration = 7;
    for (int i = 0; i < 2; ++i) {
        HlsSegment segment;
        segment.sequence = 41 + i;
        segment.duration = 4.04 + i * 2;
        segment.discontinuity = i == 1;
        window.segments.push_back(segment);
    }
    EXPECT_EQ(MediaPlaylistText(window, "?t=ab"),
              "#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-TARGETDURATION:7\r\n#EXT-X-MEDIA-SEQUENCE:41\r\n"
              "#EXT-X-DISCONTINUITY-SEQUENCE:2\r\n#EXTINF:4.040,\r\nseg-41.ts?t=ab\r\n#EXT-X-DISCONTINUITY\r\n"
              "#EXTINF:6.040,\r\nseg-42.ts?t=ab\r\n");
}

TEST(HlsViewings, AViewingTouchedAfterAnExpiryPassReadItsClockStaysAndEndsOnlyWhenIdle)
{
    ResetConfiguration();
    static std::atomic<uint64_t> clock{50000000};
    SetHlsViewingClock([] { return clock.load(); });
    PlayerConnection conn;
    CopyText(conn.client_ip, "10.9.8.7");
    const std::string interval = "archive-1000-60";
    CatchUpViewingOf(conn, 1, interval);
    ASSERT_EQ(HlsViewingCount(), 1);
    // The pass's now is a moment older than the touch: the viewing is not idle for it.
    clock = 50000000 - 5;
    ExpireCatchUpViewings(false);
    EXPECT_EQ(HlsViewingCount(), 1);
    clock = 50000000 + kCatchUpViewingIdleMs;
    ExpireCatchUpViewings(false);
    EXPECT_EQ(HlsViewingCount(), 1);
    clock = 50000000 + kCatchUpViewingIdleMs + 1;
    ExpireCatchUpViewings(false);
    EXPECT_EQ(HlsViewingCount(), 0);
    ExpireCatchUpViewings(true);
    SetHlsViewingClock(nullptr);
}

TEST(ChannelLists, AddressesNameTheHostAndArchivedChannelsOfferCatchUp)
{
    const ChannelTable table = TableOf({{"One \"HD\"", "logo/one.png", ""}, {"Two", "http://cdn.example/two.png", "two"},
                                        {"Three", "", "../out"}});
    EXPECT_EQ(ChannelListText(table, "tv.example:8000", "u=bob&p=pw", true),
              "#EXTM3U url-tvg=\"http://tv.example:8000/epg.xml?u=bob&p=pw\" x-tvg-url=\"http://tv.example:8000/epg.xml?u=bob&p=pw\"\r\n"
              "#EXTINF:-1 tvg-id=\"1\" tvg-name=\"One 'HD'\" tvg-logo=\"http://tv.example:8000/logo/one.png\" "
              "group-title=\"TV\",One 'HD'\r\nhttp://tv.example:8000/1.ch?u=bob&p=pw\r\n"
              "#EXTINF:-1 tvg-id=\"2\" tvg-name=\"Two\" tvg-logo=\"http://cdn.example/two.png\" group-title=\"TV\" "
              "catchup=\"default\" catchup-days=\"7\" "
              "catchup-source=\"http://tv.example:8000/2/archive-{utc}-{duration}.ts?u=bob&p=pw\",Two\r\n"
              "http://tv.example:8000/2.ch?u=bob&p=pw\r\n"
              "#EXTINF:-1 tvg-id=\"3\" tvg-name=\"Three\" group-title=\"TV\",Three\r\nhttp://tv.example:8000/3.ch?u=bob&p=pw\r\n");
    // Without recording no channel offers catch-up.
    EXPECT_EQ(ChannelListText(table, "h", "", false).find("catchup"), std::string::npos);
}

TEST(ChannelLists, CarriedCredentialsLoseWhatWouldBreakTheAddress)
{
    ResetConfiguration();
    PlayerConnection conn;
    CopyText(conn.user_name, "bo b\"&");
    CopyText(conn.password, "p#w:1");
    EXPECT_EQ(CredentialQuery(conn), "u=bob&p=pw1");
    conn.user_name[0] = conn.password[0] = '\0';
    EXPECT_EQ(CredentialQuery(conn), "");
}

TEST(RequestHeaders, HostIsTakenWhenPlainAndDatesGoBothWays)
{
    EXPECT_EQ(HeaderValue("GET / HTTP/1.1\r\nhost:  tv.example:81 \r\nX: y\r\n\r\n", "Host"), "tv.example:81");
    EXPECT_EQ(HeaderValue("GET / HTTP/1.1\r\nX: y\r\n\r\nHost: body\r\n", "Host"), "");
    EXPECT_EQ(RequestHost("GET / HTTP/1.1\r\nHost: [::1]:8000\r\n\r\n", -1), "[::1]:8000");
    // A Host that would inject text into the lists is not taken.
    EXPECT_EQ(RequestHost("GET / HTTP/1.1\r\nHost: evil\"/x\r\n\r\n", -1).find("evil"), std::string::npos);
    EXPECT_EQ(HttpDate(1796861409), "Thu, 10 Dec 2026 00:10:09 GMT");
    EXPECT_EQ(ParseHttpDate("Thu, 10 Dec 2026 00:10:09 GMT"), 1796861409);
    EXPECT_EQ(ParseHttpDate("Thu, 29 Feb 2024 23:59:59 GMT"), 1709251199);
    EXPECT_EQ(ParseHttpDate("Thu, 10 Foo 2026 00:10:09 GMT"), -1);
    EXPECT_EQ(ParseHttpDate("yesterday"), -1);
}

TEST(CatchUpParts, AnIntervalIsCutIntoPartsWithinTheFilesThatCoverIt)
{
    std::vector<ArchiveFile> files(2);
    files[0].start = 1000;
    files[0].seconds = 3700;                     // runs past the next file's start: cut there
    files[1].start = 4600;
    files[1].seconds = 25;                       // the archive ends at 4625
    const std::vector<ArchivePart> parts = ArchiveParts(files, 4585, 3600);
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(parts[0].file, 0u);
    EXPECT_DOUBLE_EQ(parts[0].from, 3585);
    EXPECT_DOUBLE_EQ(parts[1].to, 3600);
    EXPECT_FALSE(parts[1].discontinuity);
    EXPECT_EQ(parts[2].file, 1u);
    EXPECT_TRUE(parts[2].discontinuity);
    EXPECT_DOUBLE_EQ(parts[4].from, 20);
    EXPECT_DOUBLE_EQ(parts[4].to, 25);
    EXPECT_TRUE(ArchiveParts(files, 0, 900).empty());
    EXPECT_TRUE(ArchiveParts(files, 4625, 60).empty());
    const std::string text = ArchivePlaylistText(parts, "archive-4585-3600", "?u=a&p=b");
    EXPECT_NE(text.find("#EXT-X-PLAYLIST-TYPE:VOD\r\n#EXT-X-TARGETDURATION:10\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("#EXT-X-DISCONTINUITY\r\n#EXTINF:10.000,\r\narchive-4585-3600-part-2.ts?u=a&p=b\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 16), "#EXT-X-ENDLIST\r\n");
}

TEST(CatchUpParts, AnIntervalBeyondWhatIsRecordedNowIsAGrowingPlaylist)
{
    std::vector<ArchiveFile> files(2);
    files[0].start = 1000;
    files[0].seconds = 3600;
    files[1].start = 4600;
    files[1].seconds = 25;                       // recorded so far
    // Done: the interval lies in the first file, or the second one is no longer written to.
    EXPECT_FALSE(ArchiveStillRecorded(files, 1000, 3600, 5000));
    EXPECT_FALSE(ArchiveStillRecorded(files, 4600, 60, 5000));
    EXPECT_TRUE(ArchiveStillRecorded(files, 4600, 60, 4630)) << "its end is still to come";
    files[1].recording = true;
    EXPECT_TRUE(ArchiveStillRecorded(files, 4600, 60, 5000)) << "past the bytes of the file being written";
    EXPECT_FALSE(ArchiveStillRecorded(files, 4600, 20, 5000));
    EXPECT_FALSE(ArchiveStillRecorded(files, 1000, 3600, 5000));

    std::vector<ArchivePart> parts(1);
    parts[0].to = 4;
    const std::string text = ArchivePlaylistText(parts, "archive-4600-60", "", true);
    EXPECT_NE(text.find("#EXT-X-PLAYLIST-TYPE:EVENT\r\n#EXT-X-TARGETDURATION:10\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("#EXT-X-ENDLIST"), std::string::npos);
    EXPECT_NE(ArchivePlaylistText({}, "archive-4600-60", "", true).find("#EXT-X-TARGETDURATION:10\r\n"), std::string::npos);
}
