#include "ingest/pull_rtmp.h"

#include "rtmp/amf0.h"
#include "support/fake_peer.h"
#include "support/reader_fixture.h"
#include "support/test_server.h"

#include <atomic>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

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

namespace {

// Reads exactly n bytes (at most 5 s); false when the client closed first.
bool ReadExactly(int fd, std::size_t n, std::vector<uint8_t>* into = nullptr)
{
    std::vector<uint8_t> bytes(n);
    std::size_t got = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got < n && std::chrono::steady_clock::now() < until) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 20) <= 0) continue;
        const ssize_t r = recv(fd, bytes.data() + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    if (into != nullptr) *into = bytes;
    return got == n;
}

std::string Chunk(int chunk_stream, uint8_t type, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> out(12);
    RTMP_PutChunkHeader(out.data(), 0, chunk_stream, 0, static_cast<uint32_t>(body.size()), type, 0);
    out.insert(out.end(), body.begin(), body.end());
    return {out.begin(), out.end()};
}

std::vector<uint8_t> Result(double transaction, bool with_stream)
{
    std::vector<uint8_t> body(64);
    int n = AMF0_PutString(body.data(), "_result");
    n += AMF0_PutNumber(body.data() + n, transaction);
    n += AMF0_PutNull(body.data() + n);
    if (with_stream) n += AMF0_PutNumber(body.data() + n, 1.0);
    body.resize(static_cast<std::size_t>(n));
    return body;
}

using RtmpPull = ReaderFixture;

TEST_F(RtmpPull, AServerThatNeverSendsMetadataIsLeftAfterTenSecondsAndItsPingsAreAnswered)
{
    std::atomic<bool> pong{false};
    std::atomic<int64_t> played_ms{0};
    FakeTcpPeer server([&](int fd, int connection) {
        if (connection > 0) return;
        std::vector<uint8_t> c0c1;
        if (!ReadExactly(fd, 1 + 1536, &c0c1)) return;
        std::string s0s1s2(1 + 2 * 1536, 'S');
        s0s1s2[0] = 3;
        SendText(fd, s0s1s2);
        ReadExactly(fd, 1536);                               // C2
        // connect: one message of a few chunks; its reply, then the rest of the exchange.
        std::vector<uint8_t> chunk;
        ReadExactly(fd, 12, &chunk);
        const std::size_t length = (std::size_t{chunk[4]} << 16) | (std::size_t{chunk[5]} << 8) | chunk[6];
        ReadExactly(fd, length + (length - 1) / 128);
        SendText(fd, Chunk(3, kRtmpAmf0Command, Result(1.0, false)));
        ReadExactly(fd, 8 + 10);                             // Set Buffer Length
        ReadExactly(fd, 12, &chunk);
        ReadExactly(fd, chunk[6]);                           // createStream
        SendText(fd, Chunk(3, kRtmpAmf0Command, Result(2.0, true)));
        ReadExactly(fd, 12, &chunk);
        ReadExactly(fd, chunk[6]);                           // play
        played_ms.store(static_cast<int64_t>(GetTickMs()));
        SendText(fd, Chunk(2, kRtmpUserControl, {0, 6, 0x12, 0x34, 0x56, 0x78}));   // ping request
        std::vector<uint8_t> answer;
        if (ReadExactly(fd, 12 + 6, &answer))
            pong.store(answer[7] == kRtmpUserControl && answer[13] == 7 && answer[14] == 0x12 && answer[17] == 0x78);
        WaitForClientClose(fd, 15000);
    });
    LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"rtmp://127.0.0.1:" +
                                               std::to_string(server.Port()) + "/live/cam1\">Studio</ch>\r\n");
    StartReader();
    ASSERT_TRUE(WaitUntil([&] { return Channel(0).rtmp_reconnect.load() == 1; }, 20000));
    const int64_t waited = static_cast<int64_t>(GetTickMs()) - played_ms.load();
    EXPECT_GE(waited, 9500);
    EXPECT_LT(waited, 13000);
    EXPECT_TRUE(pong.load());
    EXPECT_EQ(Channel(0).input_index.load(), 0);             // nothing stored
    StopReader();
}

}  // namespace
