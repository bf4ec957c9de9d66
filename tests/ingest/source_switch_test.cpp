// A channel with backup sources keeps its viewers through the loss of its first source and its
// return: HTTP, RTSP and HLS viewers stay connected and keep receiving, a decoder sees one
// discontinuity per change and no continuity error, the channel goes back to its first source
// once that has had signal for ten seconds, and a pull serves as a backup as well.

#include "support/live_feed.h"
#include "support/process.h"
#include "support/rtsp_client.h"
#include "support/test_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Viewers of one live path, read on a thread of their own: for each, the longest wait between
// two reads once data flowed (its current silence included), and whether the server closed it.
class Viewers {
public:
    Viewers(uint16_t port, const std::string& path, int count)
    {
        for (int i = 0; i < count; ++i) {
            const int fd = ConnectLoopback(port);
            if (fd >= 0 && SendAllText(fd, "GET " + path + " HTTP/1.0\r\n\r\n")) fds_.push_back(fd);
            else if (fd >= 0) close(fd);
        }
        last_ms_.assign(fds_.size(), 0);
        bytes_.assign(fds_.size(), 0);
        thread_ = std::thread([this] { Read(); });
    }
    ~Viewers()
    {
        stop_.store(true);
        thread_.join();
        for (const int fd : fds_) close(fd);
    }
    std::size_t Count() const { return fds_.size(); }
    bool AllReceived(uint64_t bytes)
    {
        std::lock_guard<std::mutex> held(lock_);
        return std::all_of(bytes_.begin(), bytes_.end(), [&](uint64_t got) { return got >= bytes; });
    }
    int64_t LongestGapMs()
    {
        std::lock_guard<std::mutex> held(lock_);
        int64_t longest = longest_gap_ms_;
        for (const int64_t last : last_ms_) longest = std::max(longest, last == 0 ? 0 : NowMs() - last);
        return longest;
    }
    void ForgetGaps()
    {
        std::lock_guard<std::mutex> held(lock_);
        longest_gap_ms_ = 0;
    }
    int Closed() const { return closed_.load(); }

private:
    void Read()
    {
        std::vector<pollfd> set;
        for (const int fd : fds_) set.push_back({fd, POLLIN, 0});
        std::vector<char> buffer(65536);
        while (!stop_.load()) {
            if (poll(set.data(), set.size(), 100) <= 0) continue;
            for (std::size_t i = 0; i < set.size(); ++i) {
                if (set[i].revents == 0 || set[i].fd < 0) continue;
                const ssize_t got = read(set[i].fd, buffer.data(), buffer.size());
                std::lock_guard<std::mutex> held(lock_);
                if (got <= 0) {
                    closed_.fetch_add(1);
                    set[i].fd = -1;
                    continue;
                }
                const int64_t now = NowMs();
                if (last_ms_[i] != 0) longest_gap_ms_ = std::max(longest_gap_ms_, now - last_ms_[i]);
                last_ms_[i] = now;
                bytes_[i] += static_cast<uint64_t>(got);
            }
        }
    }
    std::vector<int>      fds_;
    std::mutex            lock_;
    std::vector<int64_t>  last_ms_;
    std::vector<uint64_t> bytes_;
    int64_t               longest_gap_ms_ = 0;
    std::atomic<int>      closed_{0};
    std::atomic<bool>     stop_{false};
    std::thread           thread_;
};

// An RTSP viewer over TCP on a thread of its own, with the same record.
class RtspViewer {
public:
    RtspViewer(uint16_t port, const std::string& url)
        : thread_([this, port, url] {
              RtspClient client(port);
              if (client.PlayOverTcp(url).empty()) return;
              RtspClient::Frame frame;
              while (!stop_.load()) {
                  if (!client.NextFrame(frame, 500)) {
                      if (client.Closed(0)) closed_.store(true);
                      if (closed_.load()) return;
                      continue;
                  }
                  const int64_t now = NowMs();
                  const int64_t last = last_ms_.exchange(now);
                  if (last != 0) longest_gap_ms_.store(std::max(longest_gap_ms_.load(), now - last));
              }
          })
    {
    }
    ~RtspViewer()
    {
        stop_.store(true);
        thread_.join();
    }
    bool Receiving() const { return last_ms_.load() != 0 && NowMs() - last_ms_.load() < 1000; }
    int64_t LongestGapMs() const { return longest_gap_ms_.load(); }
    void ForgetGaps() { longest_gap_ms_.store(0); }
    bool Closed() const { return closed_.load(); }

private:
    std::atomic<int64_t> last_ms_{0};
    std::atomic<int64_t> longest_gap_ms_{0};
    std::atomic<bool>    closed_{false};
    std::atomic<bool>    stop_{false};
    std::thread          thread_;
};

class SourceSwitching : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    }
    void Send(ChildProgram& sender, const std::string& output)
    {
        ASSERT_TRUE(sender.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -c copy " + output},
                                 server.Dir().Path()));
    }
    std::size_t LogCount(const std::string& text) { return Occurrences(server.Dir().ReadFile("system.log"), text); }

    TestServer server;
};

TEST_F(SourceSwitching, ViewersStayThroughTheLossAndTheReturnOfTheFirstSource)
{
    const std::string made = RunShell("cd '" + server.Dir().Path() + "' && timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i "
                                      "testsrc2=size=320x240:rate=25 -f lavfi -i sine -t 10 -c:v libx264 -preset ultrafast -g 25 "
                                      "-c:a aac -f mpegts clip.ts 2>&1; echo exit=$?");
    ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
    const uint16_t first = FreeUdpPort(), backup = FreeUdpPort(), pulled_first = FreeUdpPort();
    const uint16_t pull_port = FreeTcpPort(), rtsp_port = FreeTcpPort();
    // A third channel's first source sends only stuffing (no tables); its backup a plain stream.
    const uint16_t stuffing = FreeUdpPort(), plain = FreeUdpPort();
    UdpSource stuffing_sender(stuffing, 60, [](int64_t) { return TsBuilder().Null(7); });
    UdpSource plain_sender(plain, 60, PlainDatagram);
    const auto udp = [](uint16_t port) { return "-f mpegts 'udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316'"; };
    ChildProgram first_sender, backup_sender, pulled_first_sender, pull_source;
    ASSERT_NO_FATAL_FAILURE(Send(first_sender, udp(first)));
    ASSERT_NO_FATAL_FAILURE(Send(backup_sender, udp(backup)));
    ASSERT_NO_FATAL_FAILURE(Send(pulled_first_sender, udp(pulled_first)));
    ASSERT_NO_FATAL_FAILURE(Send(pull_source, "-f mpegts -listen 1 http://127.0.0.1:" + std::to_string(pull_port) + "/live.ts"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // ffmpeg's HTTP server listens

    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n");
    server.Dir().WriteFile("channel_definition.xml",
                           "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
                           "<ch src=\"udp://:" + std::to_string(first) + "\" backup=\"udp://:" + std::to_string(backup) +
                               "\">Two UDP</ch>\r\n"
                           "<ch src=\"udp://:" + std::to_string(pulled_first) + "\" backup=\"http://127.0.0.1:" +
                               std::to_string(pull_port) + "/live.ts\">UDP and a pull</ch>\r\n"
                           "<ch src=\"udp://:" + std::to_string(stuffing) + "\" backup=\"udp://:" + std::to_string(plain) +
                               "\">Stuffing</ch>\r\n");
    ASSERT_TRUE(server.Start("iptv_base_port=" + std::to_string(rtsp_port) + "\r\n"));
    // Both channels pass their first source's packets.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string metrics = server.Curl("-s -u root:rootpw 'URL/metrics'");
            return metrics.find("quorvane_input_signal{channel=\"1\",name=\"Two UDP\"} 1\n") != std::string::npos &&
                   metrics.find("quorvane_input_signal{channel=\"2\",name=\"UDP and a pull\"} 1\n") != std::string::npos;
        },
        10000));
    ASSERT_EQ(LogCount("CH [1]: source 1 active\n") + LogCount("CH [2]: source 1 active\n"), 2u);
    // A source that gives no tables is passed over for one that does.
    EXPECT_TRUE(server.WaitForLog("CH [3]: source 1 sends no PAT and PMT\n", 8000));
    EXPECT_TRUE(server.WaitForLog("CH [3]: source 2 active\n", 3000));

    Viewers viewers(server.Port(), "/1.ch", 20);
    Viewers pull_viewer(server.Port(), "/2.ch", 1);
    RtspViewer rtsp(rtsp_port, "rtsp://127.0.0.1:" + std::to_string(rtsp_port) + "/1.ch");
    ASSERT_NE(server.Curl("-s -m 20 'URL/1/index.m3u8'").find("#EXTINF"), std::string::npos);
    ASSERT_EQ(viewers.Count(), 20u);
    ASSERT_TRUE(WaitUntil([&] { return viewers.AllReceived(50000) && pull_viewer.AllReceived(50000) && rtsp.Receiving(); },
                          20000))
        << viewers.AllReceived(50000) << pull_viewer.AllReceived(50000) << rtsp.Receiving() << "\n"
        << RunShell("grep -a -v 'HTTP Client wants\\|Connects HTTP\\|HTTPCmdThread\\|RTSP' '" + server.Dir().PathOf("system.log") + "' | tail -150");
    // A decoder that joins a ring of a few seconds starts at a key picture.
    ChildProgram decoder;
    ASSERT_TRUE(decoder.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v warning -hide_banner -i '" + server.Url("/1.ch") + "' -f null -"},
                              server.Dir().Path()));
    viewers.ForgetGaps();
    pull_viewer.ForgetGaps();
    rtsp.ForgetGaps();

    // The first sources go silent: the backups take over within the 2 s of silence and a PAT.
    first_sender.Signal(SIGKILL);
    pulled_first_sender.Signal(SIGKILL);
    ASSERT_TRUE(server.WaitForLog("CH [1]: source 2 active\n", 5000));
    ASSERT_TRUE(server.WaitForLog("CH [2]: source 2 active\n", 5000));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::cout << "longest waits at the loss: HTTP " << viewers.LongestGapMs() << " ms, pull backup " << pull_viewer.LongestGapMs()
              << " ms, RTSP " << rtsp.LongestGapMs() << " ms" << std::endl;
    EXPECT_LT(viewers.LongestGapMs(), 3000);
    EXPECT_LT(pull_viewer.LongestGapMs(), 3000);
    EXPECT_LT(rtsp.LongestGapMs(), 3000);
    // HLS marks the change.
    EXPECT_TRUE(WaitUntil([&] { return server.Curl("-s -m 5 'URL/1/index.m3u8'").find("#EXT-X-DISCONTINUITY") != std::string::npos; },
                          25000));

    // The first source comes back; the channel returns to it after ten seconds of its signal.
    ChildProgram first_again;
    viewers.ForgetGaps();
    rtsp.ForgetGaps();
    const int64_t back_ms = NowMs();
    ASSERT_NO_FATAL_FAILURE(Send(first_again, udp(first)));
    ASSERT_TRUE(WaitUntil([&] { return LogCount("CH [1]: source 1 active\n") >= 2; }, 15000));
    const int64_t returned_after = NowMs() - back_ms;
    EXPECT_GE(returned_after, 9500);
    EXPECT_LT(returned_after, 13000);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(viewers.LongestGapMs(), 3000);
    EXPECT_LT(rtsp.LongestGapMs(), 3000);
    EXPECT_EQ(viewers.Closed(), 0);
    EXPECT_EQ(pull_viewer.Closed(), 0);
    EXPECT_FALSE(rtsp.Closed());

    const std::string metrics = server.Curl("-s -u root:rootpw 'URL/metrics'");
    EXPECT_NE(metrics.find("quorvane_source_switches_total{channel=\"1\""), std::string::npos) << metrics.substr(0, 3000);
    EXPECT_NE(metrics.find("quorvane_input_cc_errors_total{channel=\"1\",name=\"Two UDP\"} 0\n"), std::string::npos);

    // The decoder went through both changes: nothing worse than the cut pictures of a change.
    decoder.Signal(SIGINT);
    decoder.WaitExit(5000);
    const std::string said = decoder.Stderr();
    EXPECT_EQ(Occurrences(said, "Packet corrupt"), 0u) << said.substr(0, 3000);
    EXPECT_LE(Occurrences(said, "corrupt decoded frame"), 4u) << said.substr(0, 3000);
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
