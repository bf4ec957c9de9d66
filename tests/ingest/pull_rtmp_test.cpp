#include "ingest/pull_rtmp.h"

#include "rtmp/amf0.h"

#include <cctype>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(NamingAnRtmpStream, AppTcUrlAndStreamComeFromTheSourceUrl)
{
    RtmpNames names = RtmpNamesOf("rtmp://10.1.2.3:1935/live/cam1");
    EXPECT_STREQ(names.app, "live");
    EXPECT_STREQ(names.tc_url, "rtmp://10.1.2.3:1935/live");
    EXPECT_STREQ(names.stream, "cam1");
    names = RtmpNamesOf("rtmp://user:pw@media.test/vod/2024/show");
    EXPECT_STREQ(names.app, "vod/2024");
    EXPECT_STREQ(names.tc_url, "rtmp://media.test/vod/2024");   // credentials stay out of it
    EXPECT_STREQ(names.stream, "show");
}

// A data message body as a publisher's onMetaData has it.
std::vector<uint8_t> Metadata(bool with_framerate, bool codec_as_text)
{
    std::vector<uint8_t> body(1024);
    int n = AMF0_PutString(body.data(), "onMetaData");
    body[static_cast<std::size_t>(n)] = 0x08;
    n += 5;
    const auto number = [&](const char* name, double value) {
        n += AMF0_PutName(body.data() + n, name);
        n += AMF0_PutNumber(body.data() + n, value);
    };
    number("width", 320);
    number("height", 240);
    if (with_framerate) number("framerate", 30);
    if (codec_as_text) {
        n += AMF0_PutName(body.data() + n, "videocodecid");
        n += AMF0_PutString(body.data() + n, "avc1");
    } else {
        number("videocodecid", 7);
    }
    number("videodatarate", 400);
    number("audiocodecid", 10);
    number("audiodatarate", 128);
    body.resize(static_cast<std::size_t>(n));
    return body;
}

RtmpMessage Message(uint8_t type, const std::vector<uint8_t>& body)
{
    RtmpMessage message;
    message.type = type;
    message.body = body.data();
    message.body_kept = static_cast<uint32_t>(body.size());
    message.length = message.body_kept;
    return message;
}

TEST(ReadingOnMetaData, ValuesAreTakenAndAMissingFrameRateIs25)
{
    const std::vector<uint8_t> plain = Metadata(false, false);
    RtmpMetadata metadata;
    ASSERT_TRUE(ParseOnMetaData(Message(kRtmpAmf0Data, plain), metadata));
    EXPECT_EQ(metadata.width, 320);
    EXPECT_EQ(metadata.height, 240);
    EXPECT_EQ(metadata.framerate, 25.0);
    EXPECT_EQ(metadata.videocodecid, 7);
    EXPECT_EQ(metadata.audiodatarate, 128);
    const std::vector<uint8_t> text = Metadata(true, true);
    ASSERT_TRUE(ParseOnMetaData(Message(kRtmpAmf0Data, text), metadata));
    EXPECT_EQ(metadata.framerate, 30);
    EXPECT_EQ(metadata.videocodecid, -1.0);
    EXPECT_STREQ(metadata.videocodec, "avc1");
    EXPECT_FALSE(ParseOnMetaData(Message(kRtmpAmf0Command, text), metadata));
    std::vector<uint8_t> other(32);
    other.resize(static_cast<std::size_t>(AMF0_PutString(other.data(), "|RtmpSampleAccess")));
    EXPECT_FALSE(ParseOnMetaData(Message(kRtmpAmf0Data, other), metadata));
}

TEST(StartingAnRtmpSession, C1CarriesTheTicksDigitsAndRandomLetters)
{
    uint8_t c1[kRtmpHandshakeSize];
    BuildHandshakeC1(c1, 987654321);
    EXPECT_EQ(c1[0], 0);
    EXPECT_EQ(c1[1], '8');
    EXPECT_EQ(c1[2], '7');
    EXPECT_EQ(c1[3], '6');
    for (int i = 4; i < 8; ++i) EXPECT_EQ(c1[i], 0);
    for (int i = 8; i < kRtmpHandshakeSize; ++i) ASSERT_TRUE(std::isalnum(c1[i])) << i;
}

TEST(StartingAnRtmpSession, TheConnectMessageCarriesItsExactLengthAndIsChunkedAt128)
{
    uint8_t message[1024];
    const RtmpNames names = RtmpNamesOf("rtmp://127.0.0.1:1935/live/cam1");
    const int length = BuildConnectMessage(message, names, 1.0);
    int32_t body_length = 0;
    int32_t type = 0;
    ASSERT_EQ(RTMP_ReadMessageHeader(message, static_cast<std::size_t>(length), body_length, type), 11);
    EXPECT_EQ(message[0], 0x03);
    EXPECT_EQ(type, 20);
    EXPECT_EQ(length, 12 + body_length + (body_length - 1) / 128);
    EXPECT_EQ(message[12 + 128], 0xC3);
    const std::string body(reinterpret_cast<const char*>(message) + 12, 40);
    EXPECT_EQ(body.substr(0, 10), std::string("\x02\x00\x07" "connect", 10));
    EXPECT_EQ(message[length - 1], 0x09);                    // the object's end
    EXPECT_NE(std::string(reinterpret_cast<const char*>(message), static_cast<std::size_t>(length)).find("rtmp://127.0.0.1:1935/live"),
              std::string::npos);
    // A command reply is recognised by name and transaction id.
    std::vector<uint8_t> reply(64);
    int n = AMF0_PutString(reply.data(), "_result");
    n += AMF0_PutNumber(reply.data() + n, 1.0);
    reply.resize(static_cast<std::size_t>(n));
    char name[64];
    double transaction = 0;
    ASSERT_TRUE(ReadCommand(Message(kRtmpAmf0Command, reply), name, transaction));
    EXPECT_STREQ(name, "_result");
    EXPECT_EQ(transaction, 1.0);
    reply.resize(5);                                         // cut inside the name
    EXPECT_FALSE(ReadCommand(Message(kRtmpAmf0Command, reply), name, transaction));
}

}  // namespace
