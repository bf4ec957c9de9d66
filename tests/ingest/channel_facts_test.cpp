// A channel's facts and the source check end to end: the real server with one UDP channel fed
// by the test from a file ffmpeg made (640x360 H.264 and English AAC at 1 Mbit/s).

#include "support/fake_peer.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

// Sends a file's bytes to a local UDP port in datagrams of seven packets at 1 Mbit/s, over and
// over, until destroyed (at most a minute).
class FileSource {
public:
    FileSource(uint16_t port, const std::string& bytes)
        : thread_([this, port, bytes] {
              const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
              sockaddr_in to{};
              to.sin_family = AF_INET;
              to.sin_port = htons(port);
              to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
              const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
              auto next = std::chrono::steady_clock::now();
              for (std::size_t at = 0; !stop_.load() && std::chrono::steady_clock::now() < until; at = (at + 1316) % bytes.size()) {
                  sendto(fd, bytes.data() + at, std::min<std::size_t>(1316, bytes.size() - at), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
                  next += std::chrono::microseconds(10528);   // 1316 bytes at 1 Mbit/s
                  std::this_thread::sleep_until(next);
              }
              close(fd);
          })
    {
    }
    ~FileSource()
    {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread       thread_;
};

std::string Body(const std::string& answer)
{
    const std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

int64_t NumberAfter(const std::string& text, const std::string& key)
{
    const std::size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + key.size());
}

}  // namespace

// (a) /channel.json of the channel, (b) a check of its own source, answered from its ring at
// once, (c) a check of another port the test feeds and of an HTTP source sending the file in
// chunks, (d) of a port nobody sends to, refused
// meanwhile to a second check, and (e) refused to a token that is not root's.
TEST(ChannelFacts, ChannelJsonAndSourceChecks)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    TempWorkDir media(false);
    const std::string clip = media.PathOf("clip.ts");
    ASSERT_EQ(RunShell("ffmpeg -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine -t 4 -c:v libx264 "
                       "-preset veryfast -g 25 -c:a aac -metadata:s:a:0 language=eng -muxrate 1000000 -f mpegts " + clip + " 2>&1"),
              "");
    const std::string bytes = media.ReadFile("clip.ts");
    ASSERT_GT(bytes.size(), 100000u);

    const uint16_t channel_port = FreeUdpPort(), other_port = FreeUdpPort(), silent_port = FreeUdpPort();
    const uint16_t second_port = FreeUdpPort(), backup_port = FreeUdpPort();
    TestServer server;
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\nbob,pw,12/31/2099,free,0\r\n");
    server.Dir().WriteFile("channel_definition.xml", kXmlHead + std::string("<ch src=\"udp://") + std::to_string(channel_port) +
                                                         "\">News</ch>\r\n<ch src=\"udp://" + std::to_string(second_port) +
                                                         "\" backup=\"udp://" + std::to_string(backup_port) + "\">Two</ch>\r\n");
    ASSERT_TRUE(server.Start()) << server.Process().Stdout().substr(0, 2000);
    const auto token = [&](const std::string& user, const std::string& password) {
        const std::string answer = server.Curl("'URL/token/createtoken?userid=" + user + "&password=" + password + "'");
        return answer.size() > 8 ? answer.substr(6, answer.size() - 8) : std::string();
    };
    const std::string root = token("root", "rootpw"), bob = token("bob", "pw");
    ASSERT_FALSE(root.empty());
    ASSERT_FALSE(bob.empty());
    const auto get = [&](const std::string& target) { return server.Fetch("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"); };
    const auto check = [&](const std::string& as, uint16_t port) {
        return get("/quorvane/check_source?token=" + as + "&source=udp%3A%2F%2F" + std::to_string(port));
    };
    ASSERT_TRUE(server.WaitForLog("CH [1]: UDP receive buffer "));
    FileSource channel_source(channel_port, bytes), other_source(other_port, bytes);

    // (a)
    std::string facts;
    EXPECT_TRUE(WaitUntil(
        [&] {
            facts = Body(get("/channel.json?channel=1&token=" + root));
            return facts.find("\"width\"") != std::string::npos && NumberAfter(facts, "\"bitrate\":") > 0;
        },
        15000))
        << facts;
    EXPECT_EQ(facts.rfind("{\"channel\":1,\"name\":\"News\",\"kind\":\"UDP\",\"ts\":true,\"bitrate\":", 0), 0u) << facts;
    EXPECT_NE(facts.find("\"programs\":[{\"number\":1,\"pmt_pid\":4096,\"streams\":[{\"pid\":256,\"type\":27,\"codec\":\"H.264\","
                         "\"width\":640,\"height\":360},{\"pid\":257,\"type\":15,\"codec\":\"AAC\",\"language\":\"eng\"}]}]}"),
              std::string::npos)
        << facts;
    EXPECT_NEAR(static_cast<double>(NumberAfter(facts, "\"bitrate\":")), 1e6, 1e5);
    const std::string unknown = get("/channel.json?channel=9&token=" + root);
    EXPECT_EQ(unknown.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << unknown;
    EXPECT_EQ(Body(unknown), "{\"channel\":0}\n");
    EXPECT_EQ(get("/channel.json?channel=1").rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);

    // (b): from the ring, without the second of measuring an opened source needs.
    auto started = std::chrono::steady_clock::now();
    const std::string own = Body(check(root, channel_port));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_EQ(own.rfind("result=0\r\nts=1\r\nbitrate=", 0), 0u) << own;
    EXPECT_NE(own.find("program=1\r\npmt_pid=4096\r\npid=256\r\ntype=27\r\ncodec=H.264\r\nwidth=640\r\nheight=360\r\n"
                       "pid=257\r\ntype=15\r\ncodec=AAC\r\nlanguage=eng\r\n"),
              std::string::npos)
        << own;

    // A group or another kind on the channel's port would take datagrams from it: refused.
    const std::string group_on_port = Body(get("/quorvane/check_source?token=" + root + "&source=rtp%3A%2F%2F239.1.2.3%3A" +
                                               std::to_string(channel_port)));
    EXPECT_EQ(group_on_port, "result=1\r\nerror=port in use by channel 1\r\n");
    // So is a backup's port, whose datagrams only the channel's own input reads.
    EXPECT_EQ(Body(get("/quorvane/check_source?token=" + root + "&source=udp%3A%2F%2F%3A" + std::to_string(backup_port))),
              "result=1\r\nerror=port in use by channel 2\r\n");

    // (c)
    const std::string other = Body(check(root, other_port));
    EXPECT_NE(other.find("result=0\r\nts=1\r\n"), std::string::npos) << other;
    EXPECT_NE(other.find("codec=H.264\r\nwidth=640\r\nheight=360\r\n"), std::string::npos) << other;
    EXPECT_NEAR(static_cast<double>(NumberAfter(other, "bitrate=")), 1e6, 1e5) << other;

    FakeTcpPeer http([&](int fd, int) {
        ReadHead(fd);
        if (!SendText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
        char size[16];
        for (std::size_t at = 0; at < bytes.size(); at += 5000) {
            const std::string piece = bytes.substr(at, 5000);
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            if (!SendText(fd, size + piece + "\r\n")) return;
        }
        SendText(fd, "0\r\n\r\n");
    });
    const std::string pulled =
        Body(get("/quorvane/check_source?token=" + root + "&source=http%3A%2F%2F127.0.0.1%3A" + std::to_string(http.Port()) + "%2Fclip.ts"));
    EXPECT_NE(pulled.find("codec=H.264\r\nwidth=640\r\nheight=360\r\npid=257\r\ntype=15\r\ncodec=AAC\r\nlanguage=eng\r\n"),
              std::string::npos)
        << pulled;
    EXPECT_NEAR(static_cast<double>(NumberAfter(pulled, "bitrate=")), 1e6, 1e5) << pulled;

    // (d), and a second check meanwhile.
    started = std::chrono::steady_clock::now();
    std::future<std::string> silent = std::async(std::launch::async, [&] { return Body(check(root, silent_port)); });
    EXPECT_TRUE(server.WaitForLog("Check source [udp://" + std::to_string(silent_port) + "]: starting"));
    EXPECT_EQ(Body(check(root, other_port)), "result=1\r\nerror=busy\r\n");
    EXPECT_EQ(silent.get(), "result=1\r\nerror=no data within 5 s\r\n");
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GT(took, std::chrono::milliseconds(4500));
    EXPECT_LT(took, std::chrono::milliseconds(6500));

    // An RTSP or RTMP server that takes the connection and never answers holds a check no
    // longer than its 5 s either.
    const int mute = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(mute, 8), 0);
    ASSERT_EQ(getsockname(mute, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string mute_port = std::to_string(ntohs(address.sin_port));
    for (const std::string scheme : {"rtsp", "rtmp"}) {
        started = std::chrono::steady_clock::now();
        const std::string answer =
            Body(get("/quorvane/check_source?token=" + root + "&source=" + scheme + "%3A%2F%2F127.0.0.1%3A" + mute_port + "%2Flive%2Fx"));
        EXPECT_EQ(answer.rfind("result=1\r\n", 0), 0u) << scheme << answer;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(6500)) << scheme;
    }
    close(mute);

    // (e)
    const std::string refused = check(bob, other_port);
    EXPECT_NE(refused.find(" 404 Not Found\r\n"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("result="), std::string::npos);
}
