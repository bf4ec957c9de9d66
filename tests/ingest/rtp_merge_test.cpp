// The hitless merge of two RTP paths: the merger alone on a simulated clock, then the real
// server fed through a relay that sends every packet to two ports, each path losing its own 5 %.

#include "ingest/rtp_merge.h"

#include "support/live_feed.h"
#include "support/process.h"
#include "support/test_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> RtpPacket(uint16_t sequence, uint32_t ssrc)
{
    return {0x80, 33, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence), 0, 0, 0, 0,
            static_cast<uint8_t>(ssrc >> 24), static_cast<uint8_t>(ssrc >> 16), static_cast<uint8_t>(ssrc >> 8), static_cast<uint8_t>(ssrc)};
}

struct Arrival {
    uint64_t ms;
    int      path;
    uint16_t sequence;
    uint32_t ssrc;
};

// Feeds arrivals in time order; records each packet that goes out with the time it went.
struct MergeRun {
    struct Out {
        uint16_t sequence;
        uint32_t ssrc;
        uint64_t ms;
    };
    std::vector<Out> out;
    uint64_t         now = 0;
    RtpMerger        merger{[this](const uint8_t* data, std::size_t, int) {
        out.push_back({static_cast<uint16_t>((data[2] << 8) | data[3]),
                       (uint32_t{data[8]} << 24) | (uint32_t{data[9]} << 16) | (uint32_t{data[10]} << 8) | data[11], now});
    }};

    void Feed(std::vector<Arrival> arrivals)
    {
        std::stable_sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) { return a.ms < b.ms; });
        for (const Arrival& arrival : arrivals) {
            now = arrival.ms;
            merger.Expire(now);
            const std::vector<uint8_t> packet = RtpPacket(arrival.sequence, arrival.ssrc);
            merger.Offer(arrival.path, packet.data(), packet.size(), now);
        }
    }
};

TEST(MergingTwoPaths, EachLosingItsOwnFivePercentReorderedAndRepeatedTheOutputIsWholeAndInOrderAlsoAfterOnePathStops)
{
    // 3000 packets a millisecond apart from number 64000 on (across the wrap). Path 2 runs
    // 30 ms behind path 1; each path jitters by up to 20 ms, so packets overtake each other.
    // From packet 2000 on, path 1 is gone and path 2 loses nothing. The first packet comes first:
    // the merge starts from the first number it sees.
    std::mt19937 random(7);
    std::vector<Arrival> arrivals;
    uint64_t dropped[2] = {};
    std::vector<uint64_t> first_arrival(3000, UINT64_MAX);
    for (int k = 0; k < 3000; ++k) {
        const uint16_t sequence = static_cast<uint16_t>(64000 + k);
        const int dice = static_cast<int>(random() % 100);
        // The last packet before the stop comes on path 1, which shows every loss before it.
        const bool on_path[2] = {k < 2000 && (dice >= 5 || k == 1999), k >= 2000 || dice < 5 || dice >= 10};
        for (int path = 0; path < 2; ++path) {
            if (!on_path[path]) {
                dropped[path] += k < 2000 ? 1 : 0;
                continue;
            }
            const uint64_t ms = 1000 + static_cast<uint64_t>(k) + 30 * static_cast<uint64_t>(path) + (k == 0 ? 0 : random() % 20);
            arrivals.push_back({ms, path, sequence, 0x1234});
            if (random() % 50 == 0) arrivals.push_back({ms + 3, path, sequence, 0x1234});   // a repeat
            first_arrival[static_cast<std::size_t>(k)] = std::min(first_arrival[static_cast<std::size_t>(k)], ms);
        }
    }
    MergeRun run;
    run.Feed(arrivals);
    run.merger.Expire(run.now + 1000);

    ASSERT_EQ(run.out.size(), 3000u);
    uint64_t worst_wait = 0;
    for (std::size_t k = 0; k < 3000; ++k) {
        ASSERT_EQ(run.out[k].sequence, static_cast<uint16_t>(64000 + k)) << k;
        worst_wait = std::max(worst_wait, run.out[k].ms - first_arrival[k]);
    }
    EXPECT_LT(worst_wait, kRtpMergeWindowMs);          // nothing waited for the stopped path
    const RtpMergeCounts& counts = run.merger.Counts();
    EXPECT_EQ(counts.given_up, 0u);
    EXPECT_EQ(counts.used[0] + counts.used[1], 3000u);
    EXPECT_GT(counts.used[1], 1000u);
    // A packet that came late on its own path is not lost on it.
    EXPECT_EQ(counts.lost[0], dropped[0]);
    EXPECT_EQ(counts.lost[1], dropped[1]);
}

TEST(MergingTwoPaths, ANumberLostOnBothPathsIsGivenUpOnceTheOnesAfterItWaitedTheWindow)
{
    MergeRun run;
    std::vector<Arrival> arrivals;
    for (uint16_t sequence = 1; sequence <= 10; ++sequence)
        for (int path = 0; path < 2; ++path)
            if (sequence != 5) arrivals.push_back({1000u + sequence, path, sequence, 9});
    run.Feed(arrivals);
    EXPECT_EQ(run.out.size(), 4u);
    run.merger.Expire(1006 + kRtpMergeWindowMs - 1);
    EXPECT_EQ(run.out.size(), 4u);
    run.merger.Expire(1006 + kRtpMergeWindowMs);
    ASSERT_EQ(run.out.size(), 9u);
    EXPECT_EQ(run.out[4].sequence, 6);
    EXPECT_EQ(run.out[8].sequence, 10);
    EXPECT_EQ(run.merger.Counts().given_up, 1u);
}

TEST(MergingTwoPaths, ASenderRestartOnBothPathsAndThenOnTheOneLeftIsFollowedWithoutALostPacket)
{
    // Stream A (100 packets), then the restarted sender's stream B from another number and
    // SSRC; path 2 is 30 ms behind, so for 30 ms path 1 already carries B while path 2 still
    // carries A. Then path 2 goes silent and, 300 ms later, the sender restarts again (C).
    std::vector<Arrival> arrivals;
    std::vector<std::pair<uint32_t, uint16_t>> sent;
    const auto send = [&](uint32_t ssrc, uint16_t first, int count, uint64_t from_ms, bool second_path) {
        for (int k = 0; k < count; ++k) {
            const uint16_t sequence = static_cast<uint16_t>(first + k);
            sent.emplace_back(ssrc, sequence);
            arrivals.push_back({from_ms + static_cast<uint64_t>(k), 0, sequence, ssrc});
            if (second_path) arrivals.push_back({from_ms + static_cast<uint64_t>(k) + 30, 1, sequence, ssrc});
        }
    };
    send(0xA, 500, 100, 1000, true);
    send(0xB, 40000, 200, 1100, true);
    send(0xB, 40200, 300, 1300, false);
    send(0xC, 7, 100, 1600, false);
    MergeRun run;
    run.Feed(arrivals);
    run.merger.Expire(run.now + 1000);
    ASSERT_EQ(run.out.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(run.out[i].ssrc, sent[i].first) << i;
        ASSERT_EQ(run.out[i].sequence, sent[i].second) << i;
    }
    EXPECT_EQ(run.merger.Counts().resyncs, 2u);
    EXPECT_EQ(run.merger.Counts().given_up, 0u);
}

// Sends each datagram it receives to two ports of 127.0.0.1, leaving a different random 5 %
// out of each, until path 1 is stopped; path 2 then gets everything.
class SplittingRelay {
public:
    SplittingRelay(uint16_t first, uint16_t second) : port_(FreeUdpPort()), in_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in to[3] = {};
        for (int i = 0; i < 3; ++i) {
            to[i].sin_family = AF_INET;
            to[i].sin_port = htons(i == 0 ? first : i == 1 ? second : port_);
            to[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        bound_ = bind(in_, reinterpret_cast<sockaddr*>(&to[2]), sizeof to[2]) == 0;
        thread_ = std::thread([this, to] {
            std::mt19937 random(11);
            uint8_t datagram[2048];
            while (!stop_.load()) {
                pollfd watch{in_, POLLIN, 0};
                const ssize_t got = poll(&watch, 1, 50) > 0 ? recv(in_, datagram, sizeof datagram, 0) : 0;
                if (got <= 0) continue;
                const unsigned dice = random() % 100;
                const bool both = both_.load();
                for (int path = 0; path < 2; ++path)
                    if (!both ? path == 1 : path == 0 ? dice >= 5 : dice < 5 || dice >= 10)
                        sendto(in_, datagram, static_cast<std::size_t>(got), 0, reinterpret_cast<const sockaddr*>(&to[path]), sizeof to[path]);
                dropped_ += both && dice < 10 ? 1 : 0;
            }
        });
    }
    ~SplittingRelay()
    {
        stop_.store(true);
        thread_.join();
        close(in_);
    }
    uint16_t port() const { return port_; }
    bool bound() const { return bound_; }
    void StopFirstPath() { both_.store(false); }
    int dropped() const { return dropped_.load(); }

private:
    uint16_t          port_;
    int               in_;
    bool              bound_ = false;
    std::atomic<bool> stop_{false}, both_{true};
    std::atomic<int>  dropped_{0};
    std::thread       thread_;
};

TEST(MergedRtpChannel, TwoPathsEachLosingItsOwnFivePercentPlayWithoutALossAlsoAfterOnePathStops)
{
    for (const char* tool : {"ffmpeg", "curl"})
        if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    TestServer server;
    RunShell("cd '" + server.Dir().Path() + "' && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 "
             "-f lavfi -i sine -t 12 -c:v libx264 -preset ultrafast -g 25 -b:v 1500k -c:a aac -f mpegts clip.ts");
    ASSERT_TRUE(server.Dir().Exists("clip.ts"));
    const uint16_t first = FreeUdpPort();
    const uint16_t second = FreeUdpPort();
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n");
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"rtp://:" +
                                                         std::to_string(first) + "\" merge=\"rtp://:" + std::to_string(second) +
                                                         "\">Merged</ch>\r\n<ch src=\"rtp://:" + std::to_string(FreeUdpPort()) +
                                                         "\" merge=\"http://x/y\">Alone</ch>\r\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("CH [1]: merging two RTP paths, window 200 ms\n"));
    EXPECT_TRUE(server.WaitForLog("CH [2]: merge path http://x/y is not an RTP source, ignored\n"));
    EXPECT_TRUE(server.WaitForLog("CH [2]: UDP receive buffer "));          // the source alone
    SplittingRelay relay(first, second);
    ASSERT_TRUE(relay.bound());
    ChildProgram source;
    ASSERT_TRUE(source.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -i clip.ts -c copy -f rtp_mpegts rtp://127.0.0.1:" +
                                                   std::to_string(relay.port())},
                             server.Dir().Path()));
    const std::string token = server.Curl("'URL/token/createtoken?userid=root&password=rootpw' | sed -n 's/^token=//p' | tr -d '\\r\\n'");
    const auto metrics = [&] { return server.Curl("'URL/metrics?token=" + token + "'"); };
    const std::string labels = "{channel=\"1\",name=\"Merged\"";
    const auto sample = [&](const std::string& text, const std::string& name) {
        const std::size_t at = text.find(name);
        return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size());
    };
    // A viewer that joins once the ring holds a few seconds starts at a key frame.
    ASSERT_TRUE(WaitUntil([&] { return sample(metrics(), "quorvane_input_datagrams_total" + labels + "} ") > 400; },
                          15000));
    const int viewer = ConnectLoopback(server.Port());
    ASSERT_GE(viewer, 0);
    ASSERT_TRUE(SendAllText(viewer, "GET /1.ch HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::string received = ReadFor(viewer, 100u << 20, 3000);
    relay.StopFirstPath();
    EXPECT_GT(relay.dropped(), 50);
    EXPECT_EQ(source.WaitExit(20000), 0) << source.Stderr();
    received += ReadFor(viewer, 100u << 20, 1000);
    close(viewer);

    const std::size_t head = received.find("\r\n\r\n");
    ASSERT_NE(head, std::string::npos);
    EXPECT_GT(received.size(), 1000000u);
    server.Dir().WriteFile("viewer.ts", received.substr(head + 4));
    // Seven seconds: the reading stopped in the middle of a picture.
    EXPECT_EQ(RunShell("ffmpeg -nostdin -v error -i '" + server.Dir().PathOf("viewer.ts") + "' -t 7 -f null - 2>&1"), "");

    // Both paths carried the channel, path 2 alone at the end; nothing was given up.
    const std::string text = metrics();
    EXPECT_EQ(sample(text, "quorvane_input_rtp_merge_given_up_total" + labels + "} "), 0) << text;
    EXPECT_EQ(sample(text, "quorvane_input_cc_errors_total" + labels + "} "), 0) << text;
    for (const char* path : {"1", "2"})
        EXPECT_GT(sample(text, "quorvane_input_rtp_merge_packets_total" + labels + ",path=\"" + path + "\",kind=\"used\"} "), 100) << path;
}

}  // namespace
