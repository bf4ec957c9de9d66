// The metrics pages end to end: the real server fed over UDP and RTP through a relay in the
// test that drops every 100th datagram, /metrics read with a strict parser of the exposition
// format, /status.json checked as JSON, viewers joining and leaving, the silence of a stopped
// source, and the refusals.

#include "support/process.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <unistd.h>

namespace {

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

// Forwards datagrams from its own port to the server's, leaving out every 100th.
class LossyRelay {
public:
    LossyRelay(uint16_t to_port) : listen_port_(FreeUdpPort())
    {
        in_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(listen_port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = bind(in_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const int size = 8 << 20;
        setsockopt(in_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        thread_ = std::thread([this, to_port] {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(to_port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            uint8_t datagram[2048];
            while (!stop_.load()) {
                pollfd watch{in_, POLLIN, 0};
                if (poll(&watch, 1, 50) <= 0) continue;
                const ssize_t got = recv(in_, datagram, sizeof datagram, 0);
                if (got <= 0) continue;
                if ((received_.fetch_add(1) + 1) % 100 == 0) {
                    dropped_.fetch_add(1);
                    continue;
                }
                sendto(in_, datagram, static_cast<std::size_t>(got), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                forwarded_.fetch_add(1);
                revealed_.store(dropped_.load());
            }
        });
    }
    ~LossyRelay()
    {
        stop_.store(true);
        thread_.join();
        close(in_);
    }
    uint16_t port() const { return listen_port_; }
    bool bound() const { return bound_; }
    int64_t dropped() const { return dropped_.load(); }
    // The drops a later datagram came after: the receiver can only see those.
    int64_t revealed() const { return revealed_.load(); }
    int64_t forwarded() const { return forwarded_.load(); }

private:
    uint16_t             listen_port_;
    int                  in_ = -1;
    bool                 bound_ = false;
    std::atomic<bool>    stop_{false};
    std::atomic<int64_t> received_{0}, dropped_{0}, forwarded_{0}, revealed_{0};
    std::thread          thread_;
};

// Datagram k of a stream with correct counters: a PAT (PID 0), then six packets of PID 0x101,
// the first with a PCR 5 ms after the last one's; as RTP with sequence number k when rtp.
std::vector<uint8_t> SourceDatagram(int64_t k, bool rtp)
{
    TsBuilder ts;
    if (rtp) ts.RtpHeader(static_cast<uint16_t>(k), static_cast<uint32_t>(k * 450));
    ts.Pat();
    for (int j = 0; j < 6; ++j) ts.Payload(0x101, static_cast<uint8_t>(k));
    std::vector<uint8_t> bytes = ts.Bytes();
    uint8_t* packets = bytes.data() + (rtp ? 12 : 0);
    packets[3] = static_cast<uint8_t>((packets[3] & 0xF0) | (k & 0x0F));
    for (int j = 0; j < 6; ++j) {
        uint8_t* packet = packets + 188 * (1 + j);
        packet[3] = static_cast<uint8_t>(0x10 | ((6 * k + j) & 0x0F));
    }
    uint8_t* first = packets + 188;
    first[3] |= 0x20;                               // adaptation field with the PCR, then payload
    first[4] = 7;
    first[5] = 0x10;
    TsBuilder::PutPcr(first + 6, k * 135000);
    return bytes;
}

// Sends SourceDatagram(k) every 5 ms to port until stopped.
class TestSource {
public:
    TestSource(uint16_t port, bool rtp)
        : thread_([this, port, rtp] {
              const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
              sockaddr_in to{};
              to.sin_family = AF_INET;
              to.sin_port = htons(port);
              to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
              for (int64_t k = 0; !stop_.load(); ++k) {
                  const auto bytes = SourceDatagram(k, rtp);
                  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
              close(fd);
          })
    {
    }
    ~TestSource() { Stop(); }
    void Stop()
    {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread       thread_;
};

// The samples of an exposition-format text, by series ("name{labels as written}"); fails the
// test for any line that breaks the format: a name or label outside the grammar, a sample
// before its family's TYPE, a family split or typed twice, a series given twice, a value that
// is no number.
void ParseExposition(const std::string& text, std::map<std::string, double>& samples)
{
    samples.clear();
    const std::regex name_rx("[a-zA-Z_:][a-zA-Z0-9_:]*");
    const std::regex label_name_rx("[a-zA-Z_][a-zA-Z0-9_]*");
    std::map<std::string, std::string> types;
    std::set<std::string> helped, finished;
    std::string current;                             // the family whose lines come now
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        SCOPED_TRACE(line);
        if (line.rfind("# ", 0) == 0) {
            const std::size_t space = line.find(' ', 2);
            const std::string keyword = line.substr(2, space == std::string::npos ? std::string::npos : space - 2);
            if (keyword != "HELP" && keyword != "TYPE") continue;  // a plain comment
            ASSERT_NE(space, std::string::npos);
            const std::size_t name_end = line.find(' ', space + 1);
            const std::string name = line.substr(space + 1, name_end == std::string::npos ? std::string::npos : name_end - space - 1);
            EXPECT_TRUE(std::regex_match(name, name_rx));
            if (name != current) {
                EXPECT_EQ(finished.count(name), 0u) << "family split";
                if (!current.empty()) finished.insert(current);
                current = name;
            }
            if (keyword == "TYPE") {
                ASSERT_NE(name_end, std::string::npos);
                const std::string type = line.substr(name_end + 1);
                EXPECT_TRUE(type == "counter" || type == "gauge" || type == "untyped" || type == "histogram" || type == "summary");
                EXPECT_TRUE(types.emplace(name, type).second) << "TYPE twice";
            } else {
                EXPECT_TRUE(helped.insert(name).second) << "HELP twice";
            }
            continue;
        }
        ASSERT_FALSE(line.empty()) << "empty line";
        std::size_t i = 0;
        while (i < line.size() && line[i] != '{' && line[i] != ' ') ++i;
        const std::string name = line.substr(0, i);
        EXPECT_TRUE(std::regex_match(name, name_rx));
        EXPECT_EQ(types.count(name), 1u) << "sample before its TYPE";
        EXPECT_EQ(name, current) << "sample outside its family";
        std::string labels;
        std::set<std::string> label_names;
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                std::size_t eq = line.find('=', i);
                ASSERT_NE(eq, std::string::npos);
                const std::string label = line.substr(i, eq - i);
                EXPECT_TRUE(std::regex_match(label, label_name_rx)) << label;
                EXPECT_TRUE(label_names.insert(label).second) << "label twice";
                ASSERT_LT(eq + 1, line.size());
                ASSERT_EQ(line[eq + 1], '"');
                std::size_t k = eq + 2;
                for (; k < line.size() && line[k] != '"'; ++k) {
                    if (line[k] == '\\') {
                        ASSERT_LT(k + 1, line.size());
                        EXPECT_TRUE(line[k + 1] == '\\' || line[k + 1] == '"' || line[k + 1] == 'n') << "bad escape";
                        ++k;
                    }
                }
                ASSERT_LT(k, line.size()) << "label value not closed";
                i = k + 1;
                if (i < line.size() && line[i] == ',') ++i;
                else ASSERT_TRUE(i < line.size() && line[i] == '}');
            }
            ASSERT_LT(i, line.size());
            labels = line.substr(name.size(), i + 1 - name.size());
            ++i;
        }
        ASSERT_LT(i, line.size());
        ASSERT_EQ(line[i], ' ');
        const std::string value = line.substr(i + 1);
        char* value_end = nullptr;
        const double number = std::strtod(value.c_str(), &value_end);
        EXPECT_TRUE(!value.empty() && value_end != nullptr && *value_end == '\0') << "value " << value;
        EXPECT_TRUE(samples.emplace(name + labels, number).second) << "series twice";
    }
}

// The value of the one series of family whose labels hold all of `with`; NaN when none.
double Sample(const std::map<std::string, double>& samples, const std::string& family, const std::string& with)
{
    if (with.empty() && samples.count(family) != 0) return samples.at(family);
    for (const auto& [series, value] : samples)
        if (series.rfind(family + "{", 0) == 0 && series.find(with) != std::string::npos) return value;
    return std::nan("");
}

class Metrics : public ::testing::Test {
protected:
    void StartServer(const std::string& channels, const std::string& extra = "")
    {
        server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\nbob,pw,12/31/2099,free,0\r\n");
        server.Dir().WriteFile("channel_definition.xml", kXmlHead + channels);
        ASSERT_TRUE(server.Start(extra)) << server.Process().Stdout().substr(0, 2000);
    }
    std::string Token(const std::string& user, const std::string& password)
    {
        const std::string answer = server.Curl("'URL/token/createtoken?userid=" + user + "&password=" + password + "'");
        return answer.size() > 8 ? answer.substr(6, answer.size() - 8) : "";
    }
    std::string Get(const std::string& target, const std::string& headers = "")
    {
        return server.Fetch("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    }
    static std::string Body(const std::string& answer)
    {
        const std::size_t at = answer.find("\r\n\r\n");
        return at == std::string::npos ? "" : answer.substr(at + 4);
    }
    std::map<std::string, double> Scrape()
    {
        const std::string answer = Get("/metrics?token=" + root);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
        EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
        std::map<std::string, double> samples;
        ParseExposition(Body(answer), samples);
        return samples;
    }
    double Value(const std::string& family, const std::string& with) { return Sample(Scrape(), family, with); }
    int LogCount(const std::string& line)
    {
        const std::string log = server.Dir().ReadFile("system.log");
        int count = 0;
        for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
        return count;
    }

    TestServer  server;
    std::string root;
};

TEST_F(Metrics, LossesCountAtTheRateOfTheDropsAndASilentSourceIsReportedOnceThenBack) {
    const uint16_t udp = FreeUdpPort();
    const uint16_t rtp = FreeUdpPort();
    StartServer("<ch src=\"udp://" + std::to_string(udp) + "\">Plain \"one\"</ch>\r\n<ch src=\"rtp://:" + std::to_string(rtp) +
                "\">Two</ch>\r\n");
    root = Token("root", "rootpw");
    ASSERT_FALSE(root.empty());
    EXPECT_TRUE(server.WaitForLog("CH [2]: UDP receive buffer "));
    LossyRelay udp_relay(udp), rtp_relay(rtp);
    ASSERT_TRUE(udp_relay.bound() && rtp_relay.bound());
    {
        TestSource udp_source(udp_relay.port(), false), rtp_source(rtp_relay.port(), true);
        ASSERT_TRUE(WaitUntil([&] { return udp_relay.dropped() >= 4 && rtp_relay.dropped() >= 4; }, 20000));
        udp_source.Stop();
        rtp_source.Stop();
    }
    const auto stopped = std::chrono::steady_clock::now();
    // Everything forwarded has arrived once the datagram counts match the relays'.
    ASSERT_TRUE(WaitUntil([&] {
        const auto samples = Scrape();
        return Sample(samples, "quorvane_input_datagrams_total", "channel=\"1\"") == double(udp_relay.forwarded()) &&
               Sample(samples, "quorvane_input_datagrams_total", "channel=\"2\"") == double(rtp_relay.forwarded());
    }, 5000));
    auto samples = Scrape();
    // Each lost datagram breaks the counters of both PIDs once; RTP also loses one number.
    EXPECT_GE(udp_relay.revealed(), 3);
    EXPECT_EQ(Sample(samples, "quorvane_input_cc_errors_total", "channel=\"1\""), 2.0 * double(udp_relay.revealed()));
    EXPECT_EQ(Sample(samples, "quorvane_input_cc_errors_total", "channel=\"2\""), 2.0 * double(rtp_relay.revealed()));
    EXPECT_EQ(Sample(samples, "quorvane_input_rtp_gaps_total", "channel=\"2\""), double(rtp_relay.revealed()));
    EXPECT_EQ(Sample(samples, "quorvane_input_rtp_gaps_total", "channel=\"1\""), 0.0);
    EXPECT_EQ(Sample(samples, "quorvane_input_pcr_jumps_total", "channel=\"1\""), 0.0);
    EXPECT_EQ(Sample(samples, "quorvane_input_bytes_total", "channel=\"1\""), 1316.0 * double(udp_relay.forwarded()));
    EXPECT_GT(Sample(samples, "quorvane_input_bitrate_bits", "channel=\"2\""), 0.0);
    EXPECT_EQ(Sample(samples, "quorvane_input_datagrams_total", "name=\"Plain \\\"one\\\"\""), double(udp_relay.forwarded()));
    EXPECT_GT(Sample(samples, "process_threads", ""), 0.0);

    // Silence: the signal goes to 0 within 6 s of the stop, with one line in the log.
    ASSERT_TRUE(WaitUntil([&] { return Value("quorvane_input_signal", "channel=\"2\"") == 0.0; }, 7000));
    EXPECT_LE(std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count(), 6.5);
    ASSERT_TRUE(server.WaitForLog("CH [2]: no signal\n", 4000));
    ASSERT_TRUE(server.WaitForLog("CH [1]: no signal\n", 4000));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));   // a second report would come here
    EXPECT_EQ(LogCount("CH [2]: no signal\n"), 1);
    EXPECT_EQ(LogCount("CH [2]: signal back\n"), 0);
    {
        TestSource again(rtp_relay.port(), true);
        EXPECT_TRUE(server.WaitForLog("CH [2]: signal back\n", 5000));
        EXPECT_TRUE(WaitUntil([&] { return Value("quorvane_input_signal", "channel=\"2\"") == 1.0; }, 5000));
    }
    EXPECT_EQ(LogCount("CH [2]: no signal\n"), 1);
    EXPECT_EQ(LogCount("CH [1]: signal back\n"), 0);
}

TEST_F(Metrics, AnFfmpegSourceThroughTheLossyRelayShowsItsLosses) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t udp = FreeUdpPort();
    const uint16_t rtp = FreeUdpPort();
    StartServer("<ch src=\"udp://" + std::to_string(udp) + "\">U</ch>\r\n<ch src=\"rtp://:" + std::to_string(rtp) + "\">R</ch>\r\n");
    root = Token("root", "rootpw");
    LossyRelay udp_relay(udp), rtp_relay(rtp);
    ChildProgram udp_source, rtp_source;
    const std::string input = "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc=size=320x240:rate=25,noise=alls=30:allf=t "
                              "-t 6 -c:v mpeg2video -q:v 4 ";               // noise: about 2.7 Mbit/s
    ASSERT_TRUE(udp_source.Start({"/bin/sh", "-c", input + "-f mpegts 'udp://127.0.0.1:" + std::to_string(udp_relay.port()) +
                                                    "?pkt_size=1316'"},
                                 server.Dir().Path()));
    ASSERT_TRUE(rtp_source.Start({"/bin/sh", "-c", input + "-f rtp_mpegts rtp://127.0.0.1:" + std::to_string(rtp_relay.port())},
                                 server.Dir().Path()));
    EXPECT_EQ(udp_source.WaitExit(20000), 0) << udp_source.Stderr();
    EXPECT_EQ(rtp_source.WaitExit(20000), 0) << rtp_source.Stderr();
    ASSERT_TRUE(WaitUntil([&] {
        const auto samples = Scrape();
        return Sample(samples, "quorvane_input_datagrams_total", "channel=\"1\"") == double(udp_relay.forwarded()) &&
               Sample(samples, "quorvane_input_datagrams_total", "channel=\"2\"") == double(rtp_relay.forwarded());
    }, 5000));
    const auto samples = Scrape();
    ASSERT_GE(udp_relay.revealed(), 3);
    ASSERT_GE(rtp_relay.revealed(), 3);
    // A lost datagram breaks the counter of every PID it carried that comes again: the video
    // PID always, the tables' now and then.
    for (const auto& [channel, relay] : {std::pair{"1", &udp_relay}, std::pair{"2", &rtp_relay}}) {
        const double errors = Sample(samples, "quorvane_input_cc_errors_total", std::string("channel=\"") + channel + "\"");
        EXPECT_GE(errors, double(relay->revealed())) << channel;
        EXPECT_LE(errors, 3.0 * double(relay->revealed())) << channel;
        EXPECT_EQ(Sample(samples, "quorvane_input_pcr_present", std::string("channel=\"") + channel + "\""), 1.0);
    }
    EXPECT_EQ(Sample(samples, "quorvane_input_rtp_gaps_total", "channel=\"2\""), double(rtp_relay.revealed()));
    EXPECT_EQ(Sample(samples, "quorvane_input_rtp_gaps_total", "channel=\"1\""), 0.0);
}

TEST_F(Metrics, ViewersByProtocolFollowAnHttpViewerJoiningAndLeavingAndStatusJsonListsIt) {
    const uint16_t udp = FreeUdpPort();
    StartServer("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n");
    root = Token("root", "rootpw");
    TestSource source(udp, false);
    ASSERT_TRUE(WaitUntil([&] { return Value("quorvane_input_signal", "channel=\"1\"") == 1.0; }, 10000));
    EXPECT_EQ(Value("quorvane_viewers", "protocol=\"http\""), 0.0);
    const int viewer = ConnectLoopback(server.Port());
    ASSERT_GE(viewer, 0);
    ASSERT_TRUE(SendAllText(viewer, "GET /1.ch HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(WaitUntil([&] { return Value("quorvane_viewers", "channel=\"1\",name=\"One\",protocol=\"http\"") == 1.0; }, 10000));
    for (const char* protocol : {"rtsp", "hls", "multicast"})
        EXPECT_EQ(Value("quorvane_viewers", std::string("protocol=\"") + protocol + "\""), 0.0) << protocol;

    // What the viewer received was counted as sent, for it and for its service.
    std::size_t received = 0;
    char chunk[65536];
    const auto reading_until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received < 200000 && std::chrono::steady_clock::now() < reading_until) {
        pollfd ready{viewer, POLLIN, 0};
        if (poll(&ready, 1, 500) <= 0) continue;
        const ssize_t got = recv(viewer, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        received += static_cast<std::size_t>(got);
    }
    ASSERT_GE(received, 200000u);
    received -= 1024;                                 // the answer's head is not media
    EXPECT_GE(Value("quorvane_service_sent_bytes_total", "service=\"HTTP\""), static_cast<double>(received));
    const std::string status = Body(Get("/status.json?token=" + root));
    server.Dir().WriteFile("status.json.out", status);
    EXPECT_EQ(RunShell("/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                       "print(d[\"channels\"][0][\"name\"], d[\"channels\"][0][\"signal\"], d[\"viewers\"][0][\"protocol\"], "
                       "d[\"viewers\"][0][\"channel\"], d[\"viewers\"][0][\"bytes_sent\"] >= " + std::to_string(received) +
                       ")' " + server.Dir().Path() + "/status.json.out"),
              "One 1 http 1 True\n")
        << status;
    close(viewer);
    EXPECT_TRUE(WaitUntil([&] { return Value("quorvane_viewers", "protocol=\"http\"") == 0.0; }, 10000));
    // A player of the channel's HLS playlist counts as its HLS viewer.
    // (The answer may wait for a first segment; the viewing starts with the request.)
    std::thread player([&] { server.Fetch("GET /1/index.m3u8 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 2000); });
    EXPECT_TRUE(WaitUntil([&] { return Value("quorvane_viewers", "channel=\"1\",name=\"One\",protocol=\"hls\"") == 1.0; },
                          10000));
    player.join();
    EXPECT_EQ(Value("quorvane_service_connections_total", "service=\"HTTP\"") > 0, true);
}

// A page opened now draws the last minutes at once: /status.json carries the samples the
// server took every 5 s, and a folder channel reports the file it plays, not "no signal".
TEST_F(Metrics, StatusJsonCarriesTheRecentSamplesAndWhatAFolderChannelPlays) {
    const uint16_t udp = FreeUdpPort();
    std::string film;
    for (int64_t k = 0; k < 2000; ++k) {             // 10 s of the test stream, PCRs every 5 ms
        const std::vector<uint8_t> bytes = SourceDatagram(k, false);
        film.append(bytes.begin(), bytes.end());
    }
    server.Dir().MakeDir("loop");
    server.Dir().WriteFile("loop/a.ts", film);
    StartServer("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n<ch src=\"dir://loop\">Loop</ch>\r\n");
    root = Token("root", "rootpw");
    TestSource source(udp, false);
    const std::string out = server.Dir().Path() + "/status.json.out";
    const std::string summary =
        "/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); one, loop = d[\"channels\"]; "
        "h = one[\"history\"][\"bitrate\"]; "
        "print(d[\"history_step\"], \"cpu_percent\" in d[\"process\"], d[\"process\"][\"out_bitrate\"] >= 0, one[\"kind\"], "
        "len(h) >= 2 and h[-1] > 1000000, len(one[\"history\"][\"viewers\"]) == len(h), one[\"cc_errors_minute\"], "
        "loop[\"kind\"], loop[\"playing\"], loop[\"file\"], loop[\"file_bitrate\"] > 1000000)' " + out;
    const std::string expected = "5 True True UDP True True 0 TS folder 1 a.ts True\n";
    std::string last;
    EXPECT_TRUE(WaitUntil([&] {
        server.Dir().WriteFile("status.json.out", Body(Get("/status.json?token=" + root)));
        last = RunShell(summary + " 2>&1");
        return last == expected;
    }, 20000)) << last << server.Dir().ReadFile("status.json.out").substr(0, 3000);
}

TEST_F(Metrics, OnlyRootMayReadThePagesAndMetricsOffLeavesThemToTheFileRoutes) {
    StartServer("");
    root = Token("root", "rootpw");
    const std::string bob = Token("bob", "pw");
    ASSERT_FALSE(bob.empty());
    for (const std::string path : {"/metrics", "/status.json"}) {
        SCOPED_TRACE(path);
        const std::string refused = Get(path);
        EXPECT_EQ(refused.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << refused;
        EXPECT_NE(refused.find("\r\nWWW-Authenticate: Basic realm=\"quorvane\"\r\n"), std::string::npos);
        EXPECT_EQ(Get(path + "?token=123456789012345678").rfind("HTTP/1.1 401 ", 0), 0u);
        EXPECT_EQ(Get(path + "?token=" + bob).rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
        EXPECT_EQ(Get(path, "Authorization: Basic Ym9iOnB3\r\n").rfind("HTTP/1.1 403 ", 0), 0u);        // bob:pw
        EXPECT_EQ(Get(path, "Authorization: Basic cm9vdDp3cm9uZw==\r\n").rfind("HTTP/1.1 401 ", 0), 0u);  // root:wrong
        EXPECT_EQ(Get(path, "Authorization: Basic cm9vdDpyb290cHc=\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);  // root:rootpw
        EXPECT_EQ(Get(path + "?token=" + root).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    }
    EXPECT_EQ(server.Stop(), 0);

    TestServer off;
    off.Dir().WriteFile("channel_definition.xml", kXmlHead);
    ASSERT_TRUE(off.Start("metrics=0\r\n"));
    const auto get = [&](const std::string& target) { return off.Fetch("GET " + target + " HTTP/1.1\r\n\r\n"); };
    EXPECT_EQ(get("/metrics"), get("/metricz"));
    EXPECT_EQ(get("/metrics?token=1"), get("/metricz"));
    EXPECT_EQ(get("/status.json"), get("/statuz.json"));
    EXPECT_EQ(get("/metrics").rfind("HTTP/1.0 404 Not Found", 0), 0u);
}

TEST_F(Metrics, TheStatusPageFillsItsChannelTableInABrowser) {
    if (!HaveBrowser()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium missing";
    const uint16_t udp = FreeUdpPort();
    std::filesystem::copy(QUORVANE_SOURCE_DIR "/demo/admin", server.Dir().PathOf("admin"), std::filesystem::copy_options::recursive);
    StartServer("<ch src=\"udp://" + std::to_string(udp) + "\">News</ch>\r\n");
    root = Token("root", "rootpw");
    TestSource source(udp, false);
    // A viewer that came before the first datagram would be refused.
    ASSERT_TRUE(WaitUntil([&] { return Value("quorvane_input_signal", "channel=\"1\"") == 1.0; }, 10000));
    const int viewer = ConnectLoopback(server.Port());
    ASSERT_TRUE(SendAllText(viewer, "GET /1.ch HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string shots = std::string(QUORVANE_BINARY_DIR) + "/status_screenshots";
    std::filesystem::create_directories(shots);
    const std::string output = RunShell("timeout 120 /usr/bin/python3 " QUORVANE_SOURCE_DIR "/tests/admin/status_page.py '" +
                                        server.Url("/admin/status.htm?token=" + root) + "' News '" + shots + "' 2>&1; echo exit=$?");
    close(viewer);
    EXPECT_NE(output.find("exit=0"), std::string::npos) << output;
    EXPECT_TRUE(std::filesystem::exists(shots + "/status.png"));
}

}  // namespace
