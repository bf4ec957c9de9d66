#include "core/base64.h"
#include "core/text.h"
#include "http/http_file_stream.h"
#include "http/http_request.h"
#include "net/connection.h"
#include "stream/pacing.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string Decoded(const std::string& text)
{
    const auto bytes = base64_decode(text.data(), text.size());
    if (!bytes) return "<none>";
    return std::string(bytes->begin(), bytes->end());
}

TEST(Base64, EncodesWithALineFeedAfterEvery72Characters)
{
    const std::string input(54, 'a');
    const std::string text = base64_encode(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    EXPECT_EQ(text.size(), 73u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), 72u);
    const std::string longer(55, 'a');
    const std::string two_lines = base64_encode(reinterpret_cast<const uint8_t*>(longer.data()), longer.size());
    EXPECT_EQ(two_lines, text.substr(0, 72) + "\nYQ==\n");
    EXPECT_EQ(base64_encode(nullptr, 0), "");
    EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t*>("bob:pw"), 6, false), "Ym9iOnB3");
}

TEST(Base64, DecodesPaddingAndSkipsForeignCharacters)
{
    EXPECT_EQ(Decoded("YQ=="), "a");
    EXPECT_EQ(Decoded("YWI="), "ab");
    EXPECT_EQ(Decoded("Ym9i\r\nOnB3"), "bob:pw");
    EXPECT_EQ(Decoded("YQ="), "<none>");             // three counted characters
    EXPECT_EQ(Decoded(""), "");
    EXPECT_EQ(Decoded("!!!"), "");
}

TEST(Base64, RoundTripsEveryByteValue)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    for (std::size_t cut = 0; cut < 5; ++cut) {
        const std::string part = bytes.substr(cut);
        const std::string text = base64_encode(reinterpret_cast<const uint8_t*>(part.data()), part.size());
        EXPECT_EQ(Decoded(text), part);
    }
}

std::string KindOf(const char* text)
{
    const ExtensionEntry* entry = MatchExtensionAt(text);
    return entry == nullptr ? "none" : entry->extension;
}

TEST(Extensions, MatchByPrefixInTableOrder)
{
    EXPECT_EQ(KindOf(".html HTTP/1.1"), ".htm");
    EXPECT_EQ(KindOf(".tsx"), ".ts");
    EXPECT_EQ(KindOf(".jsp"), ".js");
    EXPECT_EQ(KindOf(".m3u8"), ".m3u8");
    EXPECT_EQ(KindOf(".m3u"), ".m3u");
    EXPECT_EQ(KindOf(".mpeg"), ".mpeg");
    EXPECT_EQ(KindOf(".csv"), "none");
    EXPECT_EQ(KindOf("mp4"), "none");
    EXPECT_EQ(MatchExtensionAt(".wmv")->params, kParamsQueryOnly);
    EXPECT_EQ(MatchExtensionAt(".c4")->kind, kHttpLiveTrack);
    EXPECT_EQ(MatchExtensionAt(".CH")->kind, kHttpLive);
    EXPECT_STREQ(MatchExtensionAt(".mp4")->content_type, "video/mp4\r\n\r\n");
}

TEST(BitratePacing, HalfTheConstantAt2000KbpsSleeps1316Microseconds)
{
    EXPECT_EQ(BlockSleepMicroseconds(0.5f, 2000), 1316);
    EXPECT_EQ(BlockSleepMicroseconds(1.0f, 2000), 0);
    EXPECT_EQ(BlockSleepMicroseconds(0.5f, 0), 0);
    EXPECT_EQ(BlockSleepMicroseconds(0.5f, -1), 0);
    EXPECT_EQ(BlockSleepMicroseconds(2.0f, 1000), 0);
}

}  // namespace

namespace {

TEST(ByteRanges, StayInsideTheFileWhateverTheHeaderSays)
{
    ByteRange range = ParseByteRange("100-\r\n", 1000);
    EXPECT_EQ(range.start, 100);
    EXPECT_EQ(range.end, 1000);
    range = ParseByteRange("-500\r\n", 1000);             // the last 500 bytes
    EXPECT_EQ(range.start, 500);
    EXPECT_EQ(range.end, 1000);
    range = ParseByteRange("0-99999999999999999999\r\n", 1000);
    EXPECT_EQ(range.start, 0);
    EXPECT_EQ(range.end, 1000);
    range = ParseByteRange("99999999999999999999-\r\n", 1000);
    EXPECT_GE(range.start, 1000);                          // nothing of the file: 416
}

}  // namespace

TEST(DiscardPreviousConnection, StopsTheUsersStreamThatStillRunsNotOneAlreadyStopping)
{
    LockedList list;
    PlayerConnection leaving, watching, other_user, arriving;
    for (PlayerConnection* conn : {&leaving, &watching, &arriving}) CopyText(conn->user_name, "bob");
    CopyText(other_user.user_name, "alice");
    leaving.stop.store(1);
    list.list.AddTail(&leaving);
    list.list.AddTail(&other_user);
    list.list.AddTail(&watching);
    list.list.AddTail(&arriving);
    DiscardPreviousConnection(arriving, list);
    EXPECT_EQ(watching.stop.load(), 1);
    EXPECT_EQ(other_user.stop.load(), 0);
    EXPECT_EQ(arriving.stop.load(), 0);
}
