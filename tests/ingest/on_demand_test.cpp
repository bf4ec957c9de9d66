// A pull marked ondemand="1" against the real server binary: its HTTP source is connected only
// while a viewer watches, and let go the idle time after the last one has left.

#include "support/fake_peer.h"
#include "support/live_feed.h"
#include "support/test_server.h"
#include "support/ts_video.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A viewer of /1.ch for a moment: true when its stream starts at a PAT right after the head.
bool WatchStartsAtPat(const TestServer& server)
{
    const int fd = ConnectLoopback(server.Port());
    if (fd < 0 || !SendAllText(fd, "GET /1.ch HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
        if (fd >= 0) close(fd);
        return false;
    }
    const std::string got = ReadFor(fd, 20000, 12000);
    close(fd);
    const std::size_t head = got.find("\r\n\r\n");
    if (head == std::string::npos || got.size() < head + 4 + 188) return false;
    const auto* packet = reinterpret_cast<const uint8_t*>(got.data() + head + 4);
    return packet[0] == 0x47 && (((packet[1] & 0x1F) << 8) | packet[2]) == 0;
}

TEST(OnDemandPull, TheSourceIsConnectedOnlyWhileSomeoneWatchesAndLetGoTheIdleTimeAfter)
{
    // A minute of video at its own pace, one picture every 40 ms, to each connection.
    const std::vector<uint8_t> stream = Stream(60, true);
    const std::size_t piece = stream.size() / (60 * 25);
    std::atomic<bool> open{false};
    FakeTcpPeer source([&](int fd, int) {
        ReadHead(fd);
        open.store(true);
        bool sending = SendText(fd, "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n");
        for (std::size_t at = 0; sending && at < stream.size() && !source.Stopping(); at += piece) {
            sending = SendText(fd, std::string(stream.begin() + at, stream.begin() + std::min(at + piece, stream.size())));
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        open.store(false);
    });
    TestServer server;
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"http://127.0.0.1:" +
                                                         std::to_string(source.Port()) + "/live.ts\" ondemand=\"1\">Pulled</ch>\r\n");
    ASSERT_TRUE(server.Start("pull_idle_seconds=2\r\n"));
    std::this_thread::sleep_for(std::chrono::seconds(3));      // nothing to wait for: nobody asks
    EXPECT_EQ(source.Connections(), 0);

    // A viewer connects the source within a second and gets the stream from a PAT on.
    std::atomic<bool> watched{false};
    std::thread viewer([&] { watched.store(WatchStartsAtPat(server)); });
    EXPECT_TRUE(WaitUntil([&] { return source.Connections() == 1; }, 1000));
    viewer.join();
    EXPECT_TRUE(watched.load());
    // Gone, the source follows within the idle time (and a little).
    EXPECT_TRUE(WaitUntil([&] { return !open.load(); }, 4000));
    EXPECT_TRUE(server.WaitForLog("CH [1]: on-demand source idle, disconnected\n", 1000));

    // The next viewer, and an HLS player, get it again.
    EXPECT_TRUE(WatchStartsAtPat(server));
    EXPECT_EQ(source.Connections(), 2);
    EXPECT_TRUE(WaitUntil([&] { return !open.load(); }, 4000));
    const std::string playlist = server.Fetch("GET /1/index.m3u8 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 25000);
    EXPECT_NE(playlist.find("#EXTINF:"), std::string::npos) << playlist.substr(0, 300);
    EXPECT_EQ(source.Connections(), 3);
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
