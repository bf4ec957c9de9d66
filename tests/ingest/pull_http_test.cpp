#include "ingest/pull_http.h"

#include "core/config.h"
#include "core/text.h"
#include "support/fake_dns.h"
#include "support/fake_peer.h"
#include "support/reader_fixture.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(ReadingASourcesReplyHead, TheHeadEndsAtTheFirstBlankLineOfEitherKind)
{
    // 300 bytes whose head ends at byte 112: 184 bytes of stream follow "\r\n\r\n", 186 "\n\n".
    std::string reply = "HTTP/1.0 200 OK\r\nServer: x\r\n";
    reply += std::string(112 - reply.size(), 'a');
    std::string crlf = reply + "\r\n\r\n";
    crlf += std::string(300 - crlf.size(), 'G');
    HttpSourceHead head = ParseHttpSourceHead(crlf.data(), crlf.size());
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(300 - head.header_length, 184);
    std::string lf = "HTTP/1.0 200 OK\nServer: x\n";
    lf += std::string(112 - lf.size(), 'a');
    lf += "\n\n";
    lf += std::string(300 - lf.size(), 'G');
    head = ParseHttpSourceHead(lf.data(), lf.size());
    EXPECT_EQ(300 - head.header_length, 186);
    EXPECT_EQ(ParseHttpSourceHead(crlf.data(), 100).header_length, 0);   // not all here yet
}

TEST(ReadingASourcesReplyHead, StatusLengthAndChunkedAreTakenFromTheHead)
{
    const std::string chunked = "HTTP/1.1 200 OK\r\ntransfer-encoding:  Chunked \r\nContent-Length: 5\r\n\r\n";
    HttpSourceHead head = ParseHttpSourceHead(chunked.data(), chunked.size());
    EXPECT_TRUE(head.chunked);
    EXPECT_EQ(head.content_length, -1);                      // a chunked body has no length
    const std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 26320\r\n\r\n";
    head = ParseHttpSourceHead(sized.data(), sized.size());
    EXPECT_FALSE(head.chunked);
    EXPECT_EQ(head.content_length, 26320);
    const std::string missing = "HTTP/1.1 404 Not Found\r\n\r\n200 OK";
    EXPECT_EQ(ParseHttpSourceHead(missing.data(), missing.size()).status, 404);
    const std::string odd = "ICY 200 OK\r\n\r\n";
    EXPECT_EQ(ParseHttpSourceHead(odd.data(), odd.size()).status, 0);
}

// Decodes wire through a reader fed `piece` bytes at a time.
std::string Decode(const std::string& wire, std::size_t piece, bool& finished, bool& failed)
{
    HttpSourceHead head;
    head.chunked = true;
    HttpBodyReader reader(head);
    std::string body;
    for (std::size_t at = 0; at < wire.size(); at += piece) {
        std::vector<uint8_t> bytes(wire.begin() + static_cast<long>(at),
                                   wire.begin() + static_cast<long>(std::min(wire.size(), at + piece)));
        const std::size_t kept = reader.Take(bytes.data(), bytes.size());
        body.append(bytes.begin(), bytes.begin() + static_cast<long>(kept));
    }
    finished = reader.Finished();
    failed = reader.Failed();
    return body;
}

TEST(DecodingAChunkedBody, TheFramingIsRemovedWhereverTheBytesAreCut)
{
    const std::string wire = "5;name=value\r\nhello\r\n1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nTrailer: 1\r\n\r\nafter";
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, wire.size()}) {
        bool finished = false;
        bool failed = false;
        EXPECT_EQ(Decode(wire, piece, finished, failed), "helloabcdefghijklmnopqrstuvwxyz") << piece;
        EXPECT_TRUE(finished);
        EXPECT_FALSE(failed);
    }
    bool finished = false;
    bool failed = false;
    EXPECT_EQ(Decode("3\r\nabcX\r\n", 4, finished, failed), "abc");   // no line end after the data
    EXPECT_TRUE(failed);
    Decode("zz\r\n", 4, finished, failed);
    EXPECT_TRUE(failed);
    Decode("FFFFFFFFFFFFFFFFFF\r\n", 4, finished, failed);   // a size no chunk has
    EXPECT_TRUE(failed);
}

TEST(DecodingAPlainBody, ALengthEndsTheBodyAndWithoutOneTheCloseDoes)
{
    HttpSourceHead head;
    head.content_length = 4;
    HttpBodyReader sized(head);
    uint8_t bytes[] = {'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(sized.Take(bytes, sizeof bytes), 4u);
    EXPECT_TRUE(sized.Finished());
    HttpBodyReader open(HttpSourceHead{});
    EXPECT_EQ(open.Take(bytes, sizeof bytes), 6u);
    EXPECT_FALSE(open.Finished());
}

TEST(AskingASourceForItsStream, CredentialsGoInOneHeaderLineAndHostNamesTheUrlsHost)
{
    ChannelRecord channel;
    CopyText(channel.src, "http://user:pw@origin.test:8000/1.ch");
    SourceRecord source;
    CopyText(source.host, "127.0.0.1");                      // resolved by the loader
    CopyText(source.credentials, "user:pw");
    CopyText(source.file.path, "1.ch");
    EXPECT_EQ(HttpSourceRequest(channel, source),
              "GET /1.ch HTTP/1.1\r\nHost: origin.test:8000\r\nAuthorization: Basic dXNlcjpwdw==\r\n\r\n");
    // Credentials long enough for the encoder's line breaks get none.
    const std::string long_user(100, 'u');
    CopyText(source.credentials, long_user + ":pw");
    const std::string request = HttpSourceRequest(channel, source);
    const std::size_t line = request.find("Authorization: Basic ");
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(request.find('\n', line), request.size() - 3);    // the line's own end, then the blank line
    CopyText(channel.src, "http://origin.test/live.ts");
    source.credentials[0] = '\0';
    CopyText(source.file.path, "live.ts");
    EXPECT_EQ(HttpSourceRequest(channel, source), "GET /live.ts HTTP/1.1\r\nHost: origin.test\r\n\r\n");
}

// A stream of numbered packets with a PAT now and then.
std::vector<uint8_t> Stream(int blocks)
{
    TsBuilder stream;
    for (int k = 0; k < blocks * 7; ++k) {
        if (k % 14 == 0) stream.Pat();
        else stream.Payload(0x100, static_cast<uint8_t>(k));
    }
    return stream.Bytes();
}

using HttpPull = ReaderFixture;

TEST_F(HttpPull, LengthAndChunkedBodiesFillTheRingWithTheStreamAloneAndAFailedReplyRefusesViewers)
{
    const uint8_t loopback[4] = {127, 0, 0, 1};
    FakeDnsServer dns([&](const std::vector<uint8_t>& query) { return FakeDnsServer::Answer(query, loopback); });
    CopyText(g_dns_server_ip, "127.0.0.1");
    g_dns_server_port = dns.Port();
    const std::vector<uint8_t> stream = Stream(20);
    std::mutex lock;
    std::vector<std::string> requests;
    FakeTcpPeer source([&](int fd, int connection) {
        const std::string head = ReadHead(fd);
        {
            std::lock_guard<std::mutex> held(lock);
            requests.push_back(head);
        }
        const std::string body = Text(stream);
        if (connection == 0) {
            // The head and the first 700 bytes in one piece, the rest trickled; the connection
            // then stays open: the client ends at the length.
            SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 700));
            for (std::size_t at = 700; at < body.size(); at += 1000) {
                SendText(fd, body.substr(at, 1000));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            WaitForClientClose(fd, 5000);
        } else if (connection == 1) {
            // ffmpeg's own HTTP server answers like this.
            std::string wire = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
            for (std::size_t at = 0; at < body.size(); at += 999) {
                const std::string chunk = body.substr(at, 999);
                char size[16];
                std::snprintf(size, sizeof size, "%zx", chunk.size());
                wire += std::string(size) + "\r\n" + chunk + "\r\n";
            }
            wire += "0\r\n\r\n";
            for (std::size_t at = 0; at < wire.size(); at += 1300) SendText(fd, wire.substr(at, 1300));
            WaitForClientClose(fd, 5000);
        } else {
            SendText(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        }
    });
    LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"http://user:pw@origin.test:" +
                                               std::to_string(source.Port()) + "/live.ts\">Pulled</ch>\r\n");
    ASSERT_STREQ(Channel(0).FirstSource()->host, "127.0.0.1");
    StartReader();
    ASSERT_TRUE(WaitUntil([&] { return source.Connections() >= 3; }, 20000));
    ChannelRecord& channel = Channel(0);
    ASSERT_TRUE(WaitUntil([&] { return channel.has_input.load() == 0; }, 5000));
    EXPECT_EQ(channel.http_reconnect.load(), 1);             // new viewers wait for the source
    // Twenty slots per connection, each seven whole packets of the stream and nothing else.
    const std::shared_ptr<RealBuffer> ring = channel.Buffer();
    ASSERT_NE(ring, nullptr);
    ASSERT_EQ(channel.input_index.load(), 40);
    for (int i = 0; i < 40; ++i) {
        const RealBufferSlot& slot = ring->slots[i];
        ASSERT_EQ(slot.length.load(), 1316) << i;
        EXPECT_TRUE(std::equal(slot.data, slot.data + 1316, stream.begin() + (i % 20) * 1316)) << i;
    }
    StopReader();
    g_dns_server_port = 53;
    std::lock_guard<std::mutex> held(lock);
    ASSERT_GE(requests.size(), 2u);
    const std::string expected = "GET /live.ts HTTP/1.1\r\nHost: origin.test:" + std::to_string(source.Port()) +
                                 "\r\nAuthorization: Basic dXNlcjpwdw==\r\n\r\n";
    EXPECT_EQ(requests[0], expected);
    EXPECT_EQ(requests[1], expected);
}

}  // namespace
