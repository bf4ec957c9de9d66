// Live channels over HTTP, end to end: the real server binary fed by ffmpeg over UDP and RTP
// on 127.0.0.1, a DVB multiplex cut down to one program, a looping folder of TS files, and the
// answers for unknown channels, per-user stream limits and shutdown. Read back by raw sockets,
// ffprobe and ffmpeg.

#include "media/ts_cutter.h"
#include "support/process.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPacket = 188;
constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t LineCount(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The first lines of a tool's log, for a failure message (never the whole of it).
std::string FirstLines(const std::string& text, std::size_t lines = 5)
{
    std::size_t at = 0;
    for (std::size_t k = 0; k < lines && at != std::string::npos; ++k) {
        at = text.find('\n', at);
        if (at != std::string::npos) ++at;
    }
    return at == std::string::npos ? text : text.substr(0, at);
}

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}


// ---------------------------------------------------------------------------------------------
// Transport-stream reading

uint16_t PidOf(const uint8_t* packet)
{
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

// The PCR of a packet in seconds, when it carries one.
bool PcrSeconds(const uint8_t* packet, double& seconds)
{
    if ((packet[3] & 0x20) == 0 || packet[4] == 0 || (packet[5] & 0x10) == 0) return false;
    const uint8_t* p = packet + 6;
    const int64_t base = (static_cast<int64_t>(p[0]) << 25) | (static_cast<int64_t>(p[1]) << 17) |
                         (static_cast<int64_t>(p[2]) << 9) | (static_cast<int64_t>(p[3]) << 1) | (p[4] >> 7);
    const int64_t extension = ((p[4] & 0x01) << 8) | p[5];
    seconds = static_cast<double>(base * 300 + extension) / 27000000.0;
    return true;
}

const uint8_t* Bytes(const std::string& text, std::size_t at = 0)
{
    return reinterpret_cast<const uint8_t*>(text.data()) + at;
}

// Offset of the first packet that loses the sync byte, or npos when every packet has it.
std::size_t FirstSyncLoss(const std::string& body)
{
    for (std::size_t at = 0; at + kPacket <= body.size(); at += kPacket)
        if (static_cast<uint8_t>(body[at]) != 0x47) return at;
    return std::string::npos;
}

struct PcrMark {
    std::size_t offset;
    double      seconds;
};

std::vector<PcrMark> PcrMarks(const std::string& body, uint16_t only_pid = 0x1FFF)
{
    std::vector<PcrMark> marks;
    for (std::size_t at = 0; at + kPacket <= body.size(); at += kPacket) {
        const uint8_t* packet = Bytes(body, at);
        double seconds = 0;
        if (packet[0] == 0x47 && (only_pid == 0x1FFF || PidOf(packet) == only_pid) && PcrSeconds(packet, seconds))
            marks.push_back({at, seconds});
    }
    return marks;
}

// The stream's own rate: bytes from the first PCR to the last over the PCR time between them.
double RateByPcr(const std::string& body, uint16_t pcr_pid = 0x1FFF)
{
    const std::vector<PcrMark> marks = PcrMarks(body, pcr_pid);
    if (marks.size() < 2 || marks.back().seconds <= marks.front().seconds) return -1;
    return static_cast<double>(marks.back().offset - marks.front().offset) * 8.0 /
           (marks.back().seconds - marks.front().seconds);
}

// MPEG-2 CRC-32 (polynomial 0x04C11DB7, all ones at the start, no reflection). Over a whole
// section with its CRC the result is 0.
uint32_t SectionCrc(const uint8_t* data, std::size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool feed = (((crc >> 31) & 1u) ^ ((data[i] >> bit) & 1u)) != 0;
            crc <<= 1;
            if (feed) crc ^= 0x04C11DB7u;
        }
    }
    return crc;
}

// One PSI section that starts in a packet (pointer field honoured), as far as the packet goes.
struct Section {
    bool                 found = false;
    std::vector<uint8_t> bytes;       // table_id up to and including the CRC
};

Section SectionIn(const uint8_t* packet)
{
    Section section;
    if ((packet[1] & 0x40) == 0) return section;                      // no unit start
    std::size_t at = 4;
    if (packet[3] & 0x20) at += 1 + packet[4];
    if (at >= kPacket) return section;
    at += 1 + packet[at];                                             // pointer field
    if (at + 3 > kPacket) return section;
    const std::size_t length = 3 + (((packet[at + 1] & 0x0F) << 8) | packet[at + 2]);
    if (at + length > kPacket) return section;
    section.found = true;
    section.bytes.assign(packet + at, packet + at + length);
    return section;
}

struct PatEntry {
    uint16_t program;
    uint16_t pmt_pid;
};

// The programs of a PAT section (without its CRC check).
std::vector<PatEntry> PatPrograms(const Section& section)
{
    std::vector<PatEntry> programs;
    const std::vector<uint8_t>& s = section.bytes;
    for (std::size_t at = 8; at + 4 + 4 <= s.size(); at += 4)
        programs.push_back({static_cast<uint16_t>((s[at] << 8) | s[at + 1]),
                            static_cast<uint16_t>(((s[at + 2] & 0x1F) << 8) | s[at + 3])});
    return programs;
}

struct PmtInfo {
    uint16_t                                  program = 0;
    uint16_t                                  pcr_pid = 0;
    std::vector<std::pair<uint8_t, uint16_t>> streams;    // stream type, PID
};

PmtInfo ParsePmt(const Section& section)
{
    PmtInfo info;
    const std::vector<uint8_t>& s = section.bytes;
    if (s.size() < 16 || s[0] != 0x02) return info;
    info.program = static_cast<uint16_t>((s[3] << 8) | s[4]);
    info.pcr_pid = static_cast<uint16_t>(((s[8] & 0x1F) << 8) | s[9]);
    std::size_t at = 12 + (((s[10] & 0x0F) << 8) | s[11]);
    while (at + 5 <= s.size() - 4) {
        info.streams.push_back({s[at], static_cast<uint16_t>(((s[at + 1] & 0x1F) << 8) | s[at + 2])});
        at += 5 + (((s[at + 3] & 0x0F) << 8) | s[at + 4]);
    }
    return info;
}

// ---------------------------------------------------------------------------------------------
// Clients

// A viewer of one live channel on a raw socket: reads on its own thread (for at most two
// minutes), keeps the answer head and the first `keep` bytes of the body, and notes when the
// body bytes arrived and when the server ended the connection.
class LiveViewer {
public:
    LiveViewer(uint16_t port, std::string request, std::size_t keep = 16u << 20)
        : request_(std::move(request)), keep_(keep)
    {
        fd_ = ConnectLoopback(port);
    }
    ~LiveViewer()
    {
        quit_.store(true);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    LiveViewer(const LiveViewer&) = delete;
    LiveViewer& operator=(const LiveViewer&) = delete;

    // Sends the request and starts reading; false when the connection failed.
    bool Start()
    {
        if (fd_ < 0 || !SendAllText(fd_, request_)) return false;
        asked_ = Clock::now();
        thread_ = std::thread([this] { Run(); });
        return true;
    }
    // Connects and asks several viewers as close together as the sockets allow.
    static bool StartTogether(const std::vector<LiveViewer*>& viewers)
    {
        bool ok = true;
        for (LiveViewer* viewer : viewers) ok = viewer->Start() && ok;
        return ok;
    }

    bool Closed() const { return closed_.load(); }
    int64_t BodyBytes() const { return body_bytes_.load(); }
    bool WaitForBody(int64_t bytes, int timeout_ms) const
    {
        return WaitUntil([&] { return body_bytes_.load() >= bytes || closed_.load(); }, timeout_ms) &&
               body_bytes_.load() >= bytes;
    }
    bool WaitForClose(int timeout_ms) const
    {
        return WaitUntil([&] { return closed_.load(); }, timeout_ms);
    }
    std::string Head() const
    {
        std::lock_guard<std::mutex> held(lock_);
        return head_;
    }
    std::string Body() const
    {
        std::lock_guard<std::mutex> held(lock_);
        return body_;
    }
    // Seconds from the request to the first body byte (negative before it came).
    double FirstByteSeconds() const
    {
        std::lock_guard<std::mutex> held(lock_);
        return samples_.empty() ? -1 : samples_.front().first;
    }
    // Body bytes that had arrived `seconds` after the first body byte.
    int64_t BytesAfterFirst(double seconds) const
    {
        std::lock_guard<std::mutex> held(lock_);
        if (samples_.empty()) return 0;
        const double limit = samples_.front().first + seconds;
        int64_t bytes = 0;
        for (const auto& sample : samples_) {
            if (sample.first > limit) break;
            bytes = sample.second;
        }
        return bytes;
    }
    // When the body byte at offset arrived (the far future when it has not).
    Clock::time_point ArrivalOf(std::size_t offset) const
    {
        std::lock_guard<std::mutex> held(lock_);
        for (const auto& sample : samples_)
            if (sample.second > static_cast<int64_t>(offset))
                return asked_ +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sample.first));
        return Clock::time_point::max();
    }
    // Seconds between the first body byte and the last one received.
    double BodySpanSeconds() const
    {
        std::lock_guard<std::mutex> held(lock_);
        return samples_.empty() ? 0 : samples_.back().first - samples_.front().first;
    }

private:
    void Run()
    {
        std::vector<char> chunk(65536);
        std::string pending;
        bool head_done = false;
        const Clock::time_point deadline = asked_ + std::chrono::seconds(120);
        while (!quit_.load() && Clock::now() < deadline) {
            pollfd watch{fd_, POLLIN, 0};
            if (poll(&watch, 1, 50) <= 0) continue;
            const ssize_t got = recv(fd_, chunk.data(), chunk.size(), 0);
            if (got <= 0) {
                closed_.store(true);
                break;
            }
            std::lock_guard<std::mutex> held(lock_);
            if (!head_done) {
                pending.append(chunk.data(), static_cast<std::size_t>(got));
                const std::size_t end = pending.find("\r\n\r\n");
                if (end == std::string::npos) {
                    head_ = pending;
                    continue;
                }
                head_done = true;
                head_ = pending.substr(0, end + 4);
                const std::string rest = pending.substr(end + 4);
                pending.clear();
                Take(rest.data(), rest.size());
                continue;
            }
            Take(chunk.data(), static_cast<std::size_t>(got));
        }
    }
    // Called with lock_ held.
    void Take(const char* data, std::size_t length)
    {
        if (length == 0) return;
        if (body_.size() < keep_) body_.append(data, std::min(length, keep_ - body_.size()));
        const int64_t total = body_bytes_.fetch_add(static_cast<int64_t>(length)) + static_cast<int64_t>(length);
        samples_.emplace_back(SecondsSince(asked_), total);
    }

    std::string                               request_;
    std::size_t                               keep_;
    int                                       fd_ = -1;
    Clock::time_point                         asked_ = Clock::now();
    std::thread                               thread_;
    std::atomic<bool>                         quit_{false};
    std::atomic<bool>                         closed_{false};
    std::atomic<int64_t>                      body_bytes_{0};
    mutable std::mutex                        lock_;
    std::string                               head_;
    std::string                               body_;
    std::vector<std::pair<double, int64_t>>   samples_;   // seconds since the request, body bytes
};

std::string LiveRequest(const std::string& path)
{
    return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
}

// The output clock of an ffmpeg source, from the progress it prints on standard output
// ("out_time_us=..."), against the test's clock. Watches for at most two minutes.
class SourceClock {
public:
    explicit SourceClock(const ChildProgram& source) : source_(source), thread_([this] { Run(); }) {}
    ~SourceClock()
    {
        quit_.store(true);
        thread_.join();
    }
    SourceClock(const SourceClock&) = delete;
    SourceClock& operator=(const SourceClock&) = delete;

    // The source's output time at moment t: its last report before t plus the time since
    // (no more than one report period); negative before the first report.
    double At(Clock::time_point t) const
    {
        std::lock_guard<std::mutex> held(lock_);
        double value = -1;
        for (const auto& [seen, seconds] : reports_) {
            if (seen > t) break;
            value = seconds + std::min(0.5, std::chrono::duration<double>(t - seen).count());
        }
        return value;
    }

private:
    void Run()
    {
        const std::string key = "out_time_us=";
        const Clock::time_point deadline = Clock::now() + std::chrono::minutes(2);
        int64_t last = -1;
        while (!quit_.load() && Clock::now() < deadline) {
            const std::string out = source_.Stdout();
            const std::size_t at = out.rfind(key);
            if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
                const int64_t us = std::atoll(out.c_str() + at + key.size());
                if (us != last && us > 0) {
                    last = us;
                    std::lock_guard<std::mutex> held(lock_);
                    reports_.emplace_back(Clock::now(), static_cast<double>(us) / 1e6);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    const ChildProgram&                               source_;
    std::atomic<bool>                                 quit_{false};
    mutable std::mutex                                lock_;
    std::vector<std::pair<Clock::time_point, double>> reports_;
    std::thread                                       thread_;
};

// ---------------------------------------------------------------------------------------------
// Fixture: a server in its temporary working folder and the ffmpeg processes feeding it.

class HttpLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"ffmpeg", "ffprobe", "curl"})
            if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }

    void WriteChannels(const std::string& lines) { server.Dir().WriteFile("channel_definition.xml", kXmlHead + lines); }

    void StartServer(const std::string& extra = "")
    {
        ASSERT_TRUE(server.Start(extra)) << server.Process().Stdout().substr(0, 2000)
                                         << server.Process().Stderr().substr(0, 2000);
    }

    // ffmpeg sending generated H.264/AAC in real time for `seconds`, at a constant mux rate, to
    // `output` (format options and address). A keyframe every second, and the PAT with it (the
    // muxer puts one before each keyframe; the periodic ones are held back), so that a viewer
    // joining at a PAT starts on a picture it can decode. Its progress goes to standard output
    // so that the test can wait for the moment it has sent enough.
    void StartH264Source(ChildProgram& source, const std::string& output, int seconds, int mux_kbps)
    {
        const std::string command =
            "exec ffmpeg -nostdin -v error -nostats -progress pipe:1 -re -f lavfi -i testsrc2=size=320x240:rate=25 "
            "-re -f lavfi -i sine=frequency=440:sample_rate=48000 -t " +
            std::to_string(seconds) +
            " -c:v libx264 -preset ultrafast -g 25 -b:v 700k -maxrate 700k -bufsize 700k "
            "-c:a aac -b:a 64k -pat_period 30 -sdt_period 30 -muxrate " +
            std::to_string(mux_kbps) + "k " + output;
        ASSERT_TRUE(source.Start({"/bin/sh", "-c", command}, server.Dir().Path()));
    }

    // Waits until the source reports `seconds` of output sent.
    static bool WaitForSourceTime(ChildProgram& source, int seconds, int timeout_ms)
    {
        char text[40];
        std::snprintf(text, sizeof text, "out_time=00:00:%02d.", seconds);
        return source.WaitForStdout(text, timeout_ms);
    }

    // The streams ffprobe finds at a URL as "type:codec" ("video:h264"), in stream order; the
    // exit code in code.
    std::vector<std::string> ProbeStreams(const std::string& url, int& code)
    {
        const ShellResult probe = RunShellWithCode("timeout 40 ffprobe -v error -show_entries stream=codec_type,codec_name "
                                       "-of flat '" + url + "' 2>'" + server.Dir().PathOf("ffprobe.err") + "'");
        code = probe.code;
        // Lines "streams.stream.N.codec_name=\"h264\"" (the program sections repeat them).
        std::map<int, std::pair<std::string, std::string>> streams;
        std::size_t at = 0;
        while (at < probe.output.size()) {
            std::size_t end = probe.output.find('\n', at);
            if (end == std::string::npos) end = probe.output.size();
            const std::string line = probe.output.substr(at, end - at);
            at = end + 1;
            const std::string prefix = "streams.stream.";
            if (line.rfind(prefix, 0) != 0) continue;
            const int index = std::atoi(line.c_str() + prefix.size());
            const std::size_t dot = line.find('.', prefix.size());
            const std::size_t equals = line.find("=\"");
            if (dot == std::string::npos || equals == std::string::npos || line.size() < equals + 3) continue;
            const std::string key = line.substr(dot + 1, equals - dot - 1);
            const std::string value = line.substr(equals + 2, line.size() - equals - 3);
            if (key == "codec_type") streams[index].first = value;
            if (key == "codec_name") streams[index].second = value;
        }
        std::vector<std::string> found;
        for (const auto& [index, stream] : streams) found.push_back(stream.first + ":" + stream.second);
        return found;
    }

    std::string Log() { return server.Dir().ReadFile("system.log"); }

    TestServer server;
};

// ---------------------------------------------------------------------------------------------
// UDP and RTP channels

using HttpLiveDatagramChannels = HttpLive;

TEST_F(HttpLiveDatagramChannels, UdpChannelDeliversWholePacketsThatPlayersDecodeAtTheSourceRateAfterABurst)
{
    constexpr int kMuxKbps = 1000;
    const uint16_t udp = FreeUdpPort();
    WriteChannels("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ChildProgram source;
    ASSERT_NO_FATAL_FAILURE(
        StartH264Source(source, "-f mpegts 'udp://127.0.0.1:" + std::to_string(udp) + "?pkt_size=1316'", 40, kMuxKbps));
    ASSERT_TRUE(server.WaitForLog("CH [1]: Get UDP Packet from Port No [" + std::to_string(udp) + "]", 15000));
    // Five seconds in the ring before the first viewer: it must get a burst of the past first.
    ASSERT_TRUE(WaitForSourceTime(source, 5, 20000)) << FirstLines(source.Stderr());

    LiveViewer viewer(server.Port(), LiveRequest("/1.ch"));
    ASSERT_TRUE(viewer.Start());

    // Real players side by side with the timed viewer.
    std::vector<std::string> probed;
    int probe_code = -1;
    ShellResult decoded;
    std::thread prober([&] { probed = ProbeStreams(server.Url("/1.ch"), probe_code); });
    std::thread player([&] {
        decoded = RunShellWithCode("timeout 40 ffmpeg -nostdin -v error -nostats -i '" + server.Url("/1.ch") +
                             "' -t 5 -progress '" + server.Dir().PathOf("decode.progress") + "' -f null - 2>'" +
                             server.Dir().PathOf("decode.err") + "'");
    });

    // Eleven seconds of the stream after the first byte.
    const bool got_data = viewer.WaitForBody(1, 10000);
    const bool read_long_enough =
        got_data && WaitUntil([&] { return viewer.BodySpanSeconds() >= 11.2 || viewer.Closed(); }, 20000);
    prober.join();
    player.join();
    ASSERT_TRUE(got_data) << viewer.Head();
    ASSERT_TRUE(read_long_enough);
    ASSERT_FALSE(viewer.Closed());

    EXPECT_EQ(viewer.Head(), "HTTP/1.0 200 OK\r\n\r\n");
    const std::string body = viewer.Body();
    ASSERT_GE(body.size(), 20 * kPacket);
    EXPECT_EQ(PidOf(Bytes(body)), 0) << "the stream does not start with a PAT";
    EXPECT_EQ(FirstSyncLoss(body), std::string::npos) << "sync lost at byte " << FirstSyncLoss(body);

    EXPECT_EQ(probe_code, 0) << FirstLines(server.Dir().ReadFile("ffprobe.err"));
    EXPECT_EQ(probed, (std::vector<std::string>{"video:h264", "audio:aac"}));

    // A player joining mid-stream may complain about the very first pictures, no more.
    const std::string decode_log = server.Dir().ReadFile("decode.err");
    EXPECT_EQ(decoded.code, 0) << FirstLines(decode_log);
    EXPECT_LE(LineCount(decode_log), 6u) << LineCount(decode_log) << " lines, first: " << FirstLines(decode_log);
    const std::string progress = server.Dir().ReadFile("decode.progress");
    const std::size_t frame_at = progress.rfind("frame=");
    ASSERT_NE(frame_at, std::string::npos) << progress.substr(0, 300);
    EXPECT_GE(std::atoi(progress.c_str() + frame_at + 6), 100) << "frames decoded of 5 s at 25 fps";

    // Rates: the source's own (by its PCR) against what arrived, after the burst.
    const double stream_bps = RateByPcr(body);
    ASSERT_GT(stream_bps, 0);
    EXPECT_NEAR(stream_bps, kMuxKbps * 1000.0, kMuxKbps * 50.0) << "the source's rate by its clock";
    const int64_t burst = viewer.BytesAfterFirst(0.5);
    const double delivered_bps =
        static_cast<double>(viewer.BytesAfterFirst(11.0) - viewer.BytesAfterFirst(1.0)) * 8.0 / 10.0;
    std::printf("udp channel: stream %.0f bit/s, delivered %.0f bit/s over 10 s, %lld bytes (%.2f s) in the first "
                "0.5 s, %zu decoder log lines\n",
                stream_bps, delivered_bps, static_cast<long long>(burst), static_cast<double>(burst) * 8.0 / stream_bps,
                LineCount(decode_log));
    EXPECT_NEAR(delivered_bps, stream_bps, stream_bps * 0.10);
    EXPECT_GE(static_cast<double>(burst) * 8.0 / stream_bps, 0.9) << "no start-up burst from the ring";
}

TEST_F(HttpLiveDatagramChannels, RtpChannelDeliversPlainTransportStreamWithoutRtpHeaders)
{
    const uint16_t rtp = FreeUdpPort();
    WriteChannels("<ch src=\"rtp://:" + std::to_string(rtp) + "\">Two</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ChildProgram source;
    ASSERT_NO_FATAL_FAILURE(
        StartH264Source(source, "-f rtp_mpegts 'rtp://127.0.0.1:" + std::to_string(rtp) + "'", 30, 800));
    ASSERT_TRUE(server.WaitForLog("CH [1]: Get RTP Packet from Port No [" + std::to_string(rtp) + "]", 15000));
    ASSERT_TRUE(WaitForSourceTime(source, 2, 20000)) << FirstLines(source.Stderr());

    // A slow player beside it: a small receive buffer and a 3-second pause in its reading.
    const int slow = ConnectLoopback(server.Port());
    ASSERT_GE(slow, 0);
    const int small = 65536;
    setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(SendAllText(slow, LiveRequest("/1.ch")));

    LiveViewer viewer(server.Port(), LiveRequest("/1.ch"));
    ASSERT_TRUE(viewer.Start());
    std::string slow_stream;
    auto read_slow = [&](int ms) {
        char chunk[16384];
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            pollfd watch{slow, POLLIN, 0};
            if (poll(&watch, 1, 50) <= 0) continue;
            const ssize_t got = recv(slow, chunk, sizeof chunk, 0);
            if (got <= 0) return false;
            slow_stream.append(chunk, static_cast<std::size_t>(got));
        }
        return true;
    };
    EXPECT_TRUE(read_slow(1000));
    const std::size_t before_pause = slow_stream.size();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(read_slow(2000)) << "the slow player was dropped";
    close(slow);
    const std::size_t head_end = slow_stream.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos);
    const std::string slow_body = slow_stream.substr(head_end + 4);
    EXPECT_GT(slow_stream.size(), before_pause + 100000) << "nothing more after the pause";
    std::printf("slow player: %zu bytes before the pause, %zu after\n", before_pause, slow_stream.size() - before_pause);
    EXPECT_EQ(FirstSyncLoss(slow_body), std::string::npos) << "slow player: sync lost at byte " << FirstSyncLoss(slow_body);

    ASSERT_TRUE(viewer.WaitForBody(300000, 15000)) << viewer.BodyBytes() << " bytes, head " << viewer.Head();
    const std::string body = viewer.Body();
    EXPECT_EQ(viewer.Head(), "HTTP/1.0 200 OK\r\n\r\n");
    ASSERT_EQ(static_cast<uint8_t>(body[0]), 0x47) << "starts with " << std::hex << (static_cast<int>(body[0]) & 0xFF);
    EXPECT_EQ(PidOf(Bytes(body)), 0) << "the stream does not start with a PAT";
    EXPECT_EQ(FirstSyncLoss(body), std::string::npos) << "sync lost at byte " << FirstSyncLoss(body) << " of "
                                                      << body.size();
    // The datagrams follow one another in order: the clock never steps back.
    const std::vector<PcrMark> marks = PcrMarks(body);
    ASSERT_GE(marks.size(), 10u);
    for (std::size_t k = 1; k < marks.size(); ++k)
        ASSERT_GE(marks[k].seconds, marks[k - 1].seconds) << "PCR steps back at byte " << marks[k].offset;
}

// Thread names of a process, from /proc.
std::vector<std::string> ThreadNames(int pid)
{
    std::vector<std::string> names;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name)) names.push_back(name);
    }
    return names;
}

TEST_F(HttpLiveDatagramChannels, ViewersComingAndGoingLeaveNoThreadBehind)
{
    const uint16_t udp = FreeUdpPort();
    WriteChannels("<ch src=\"udp://" + std::to_string(udp) + "\">Churn</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    // A plain source: a datagram of a PAT, a PCR (10 ms a datagram) and payload every 10 ms.
    std::atomic<bool> sending{true};
    std::thread source([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(udp);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int64_t k = 0; sending.load() && k < 6000; ++k) {
            TsBuilder datagram;
            datagram.Pat().Pcr(0x101, k * 270000);
            for (int j = 0; j < 5; ++j) datagram.Payload(0x102, static_cast<uint8_t>(k));
            sendto(fd, datagram.Bytes().data(), datagram.Size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(fd);
    });
    struct StopSource {
        std::atomic<bool>& sending;
        std::thread& source;
        ~StopSource()
        {
            sending.store(false);
            source.join();
        }
    } stop_source{sending, source};
    ASSERT_TRUE(server.WaitForLog("CH [1]: Get UDP Packet from Port No [" + std::to_string(udp) + "]", 15000));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int pid = server.Process().Pid();
    const int idle_threads = ThreadCount(pid);

    // 150 players, four at a time: each takes a little of the stream and leaves, half of them
    // with a reset.
    int served = 0;
    for (int round = 0; round < 150 / 4; ++round) {
        int fds[4];
        for (int& fd : fds) {
            fd = ConnectLoopback(server.Port());
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(SendAllText(fd, LiveRequest("/1.ch")));
        }
        for (int i = 0; i < 4; ++i) {
            std::string got;
            char chunk[4096];
            const auto until = Clock::now() + std::chrono::seconds(3);
            while (got.size() < 3000 && Clock::now() < until) {
                pollfd watch{fds[i], POLLIN, 0};
                if (poll(&watch, 1, 50) <= 0) continue;
                const ssize_t n = recv(fds[i], chunk, sizeof chunk, 0);
                if (n <= 0) break;
                got.append(chunk, static_cast<std::size_t>(n));
            }
            served += got.size() >= 3000;
            if (i % 2 == 0) {
                const linger reset{1, 0};
                setsockopt(fds[i], SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            close(fds[i]);
        }
    }
    EXPECT_EQ(served, 150 / 4 * 4);

    // Every viewer's thread and the channel's sender end; the monitor joins them within its
    // 3-second beat.
    const bool settled = WaitUntil(
        [&] {
            const std::vector<std::string> names = ThreadNames(pid);
            return static_cast<int>(names.size()) <= idle_threads &&
                   std::count(names.begin(), names.end(), "LiveSender") == 0;
        },
        15000);
    const std::vector<std::string> names = ThreadNames(pid);
    EXPECT_TRUE(settled) << names.size() << " threads (" << idle_threads << " before), "
                         << std::count(names.begin(), names.end(), "LiveSender") << " live senders";

    // And the channel still plays.
    LiveViewer viewer(server.Port(), LiveRequest("/1.ch"));
    ASSERT_TRUE(viewer.Start());
    EXPECT_TRUE(viewer.WaitForBody(20000, 10000)) << viewer.BodyBytes();
}

// ---------------------------------------------------------------------------------------------
// A DVB multiplex cut down to one program

using HttpLiveDvbChannel = HttpLive;

TEST_F(HttpLiveDvbChannel, SecondProgramComesAloneWithItsOwnPatAndOnlyItsPidsLiveAndInOrder)
{
    constexpr uint16_t kVideoOf101 = 0x100;
    constexpr uint16_t kVideoOf102 = 0x200;
    constexpr double kMuxDelay = 0.7;            // ffmpeg's first PCR, at output time 0
    const uint16_t dvb = FreeUdpPort();
    server.Dir().WriteFile("iptvepg.txt", "[ch1]\r\ndvb://" + std::to_string(dvb) + ",2\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ChildProgram source;
    const std::string command =
        "exec ffmpeg -nostdin -v error -nostats -progress pipe:1 -re -f lavfi -i testsrc2=size=320x240:rate=25 "
        "-re -f lavfi -i testsrc=size=320x240:rate=25 -t 40 -map 0 -map 1 -c:v mpeg2video -b:v 1500k -g 12 "
        "-pcr_period 20 -streamid 0:" + std::to_string(kVideoOf101) + " -streamid 1:" + std::to_string(kVideoOf102) +
        " -program program_num=101:st=0 -program program_num=102:st=1 -f mpegts 'udp://127.0.0.1:" +
        std::to_string(dvb) + "?pkt_size=1316'";
    ASSERT_TRUE(source.Start({"/bin/sh", "-c", command}, server.Dir().Path()));
    const SourceClock source_clock(source);
    ASSERT_TRUE(server.WaitForLog("Finished filled the PMT Table\n", 20000)) << FirstLines(source.Stderr());

    LiveViewer viewer(server.Port(), LiveRequest("/2.ch"), 8u << 20);
    ASSERT_TRUE(viewer.Start());
    ASSERT_TRUE(viewer.WaitForBody(1, 20000)) << viewer.Head();
    int probe_code = -1;
    const std::vector<std::string> probed = ProbeStreams(server.Url("/2.ch"), probe_code);
    WaitUntil([&] { return viewer.BodySpanSeconds() >= 4.0 || viewer.Closed(); }, 15000);
    const std::string body = viewer.Body();
    ASSERT_GE(body.size(), 20 * kPacket);
    EXPECT_EQ(viewer.Head(), "HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(FirstSyncLoss(body), std::string::npos);
    EXPECT_EQ(PidOf(Bytes(body)), 0) << "the stream does not start with a PAT";
    // The PAT and PMT are followed by a key picture of the program: the player shows a
    // picture at once instead of decoding errors up to the next one.
    EXPECT_EQ(FindKeyFrameStart(Bytes(body), body.size()), 0) << "the stream does not start at a key picture";

    // Every PAT lists program 102 alone, with a correct CRC; the PMT it points to describes
    // that program.
    uint16_t pmt_pid = 0;
    std::size_t pats = 0;
    std::set<uint16_t> pids;
    PmtInfo pmt;
    for (std::size_t at = 0; at + kPacket <= body.size(); at += kPacket) {
        const uint8_t* packet = Bytes(body, at);
        const uint16_t pid = PidOf(packet);
        pids.insert(pid);
        if (pid == 0) {
            const Section section = SectionIn(packet);
            ASSERT_TRUE(section.found) << "PAT at " << at;
            ASSERT_EQ(section.bytes[0], 0x00);
            const std::vector<PatEntry> programs = PatPrograms(section);
            ASSERT_EQ(programs.size(), 1u) << "PAT at " << at;
            EXPECT_EQ(programs[0].program, 102);
            EXPECT_EQ(SectionCrc(section.bytes.data(), section.bytes.size()), 0u) << "PAT CRC at " << at;
            if (pmt_pid == 0) pmt_pid = programs[0].pmt_pid;
            EXPECT_EQ(programs[0].pmt_pid, pmt_pid);
            ++pats;
        } else if (pid == pmt_pid && pmt.program == 0) {
            const Section section = SectionIn(packet);
            if (!section.found) continue;
            EXPECT_EQ(SectionCrc(section.bytes.data(), section.bytes.size()), 0u) << "PMT CRC at " << at;
            pmt = ParsePmt(section);
        }
    }
    EXPECT_GE(pats, 2u);
    ASSERT_EQ(pmt.program, 102) << "no PMT of program 102 on PID " << pmt_pid;
    EXPECT_EQ(pmt.pcr_pid, kVideoOf102);
    ASSERT_EQ(pmt.streams.size(), 1u);
    EXPECT_EQ(pmt.streams[0].first, 0x02);
    EXPECT_EQ(pmt.streams[0].second, kVideoOf102);
    EXPECT_EQ(pids, (std::set<uint16_t>{0, pmt_pid, kVideoOf102})) << "PIDs other than the program's own";

    EXPECT_EQ(probe_code, 0) << FirstLines(server.Dir().ReadFile("ffprobe.err"));
    EXPECT_EQ(probed, std::vector<std::string>{"video:mpeg2video"});

    // It is the multiplex as it goes out now, in order and at its own pace: the program clock
    // never steps back, no packet is older than a moment behind the source's clock when it
    // arrives, and the media time delivered matches the time spent reading.
    const std::vector<PcrMark> marks = PcrMarks(body, kVideoOf102);
    ASSERT_GE(marks.size(), 10u);
    std::size_t back_steps = 0;
    std::string first_back;
    double media_s = 0;
    double worst_lag_s = -1e9;
    for (std::size_t k = 0; k < marks.size(); ++k) {
        const double live = source_clock.At(viewer.ArrivalOf(marks[k].offset)) + kMuxDelay;
        worst_lag_s = std::max(worst_lag_s, live - marks[k].seconds);
        if (k == 0) continue;
        const double step = marks[k].seconds - marks[k - 1].seconds;
        if (step >= 0) {
            media_s += step;
        } else if (back_steps++ == 0) {
            first_back = "at byte " + std::to_string(marks[k].offset) + " from " +
                         std::to_string(marks[k - 1].seconds) + " s to " + std::to_string(marks[k].seconds) + " s";
        }
    }
    const double read_s = std::chrono::duration<double>(viewer.ArrivalOf(marks.back().offset) -
                                                        viewer.ArrivalOf(marks.front().offset)).count();
    std::printf("dvb program 102: first byte %.2f s after the request, %lld bytes, %zu PCRs, %.2f s of media in "
                "%.2f s, worst lag %.2f s\n",
                viewer.FirstByteSeconds(), static_cast<long long>(viewer.BodyBytes()), marks.size(), media_s, read_s,
                worst_lag_s);
    EXPECT_EQ(back_steps, 0u) << "the program clock steps back " << back_steps << " times, first " << first_back;
    EXPECT_LT(worst_lag_s, 2.0) << "packets from the past of the multiplex";
    EXPECT_LT(media_s, read_s + 1.5) << "more media than time passed";
}

// ---------------------------------------------------------------------------------------------
// A folder of TS files played as a loop

class HttpLiveDirectoryChannel : public HttpLive {
protected:
    // Two 4-second clips with different pictures and clocks far apart (the second starts at
    // 20 s), as media/loop/a.ts and media/loop/b.ts.
    void MakeLoop()
    {
        server.Dir().MakeDir("media/loop");
        const char* patterns[] = {"testsrc2", "smptebars"};
        const char* names[] = {"a.ts", "b.ts"};
        for (int k = 0; k < 2; ++k) {
            const ShellResult made = RunShellWithCode(
                std::string("timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i ") + patterns[k] +
                "=size=160x120:rate=25 -t 4 -c:v libx264 -preset ultrafast -g 25 -b:v 300k -maxrate 300k "
                "-bufsize 300k -muxrate 500k -output_ts_offset " + (k == 0 ? "0" : "20") + " -f mpegts '" +
                server.Dir().PathOf(std::string("media/loop/") + names[k]) + "' 2>&1");
            ASSERT_EQ(made.code, 0) << FirstLines(made.output);
            files[k] = server.Dir().ReadFile(std::string("media/loop/") + names[k]);
            ASSERT_GT(files[k].size(), 100000u);
        }
        ASSERT_NE(files[0], files[1]);
    }

    // Where a body starts: the file and the offset in it; file -1 when it is in neither.
    std::pair<int, std::size_t> Locate(const std::string& body) const
    {
        const std::string head = body.substr(0, std::min<std::size_t>(body.size(), 4096));
        for (int k = 0; k < 2; ++k) {
            const std::size_t at = files[k].find(head);
            if (at != std::string::npos) return {k, at};
        }
        return {-1, 0};
    }

    std::string files[2];
};

TEST_F(HttpLiveDirectoryChannel, ViewersStartingTogetherGetTheSameBytesAndTheLoopWrapsToTheFirstFile)
{
    ASSERT_NO_FATAL_FAILURE(MakeLoop());
    WriteChannels("<ch src=\"dir://media/loop\">Loop</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());

    // Two viewers asking at the same moment start at the same place. A playlist second may
    // tick between the two answers; a pair that straddles one is asked again.
    std::string body;
    std::pair<int, std::size_t> place;
    for (int attempt = 0; attempt < 3; ++attempt) {
        LiveViewer first(server.Port(), LiveRequest("/1.ch"));
        LiveViewer second(server.Port(), LiveRequest("/1.ch"));
        ASSERT_TRUE(LiveViewer::StartTogether({&first, &second}));
        ASSERT_TRUE(first.WaitForBody(65536, 15000)) << first.Head();
        ASSERT_TRUE(second.WaitForBody(65536, 15000)) << second.Head();
        const std::string one = first.Body().substr(0, 65536);
        const std::string two = second.Body().substr(0, 65536);
        EXPECT_EQ(first.Head(), "HTTP/1.0 200 OK\r\n\r\n");
        const std::pair<int, std::size_t> one_at = Locate(one);
        const std::pair<int, std::size_t> two_at = Locate(two);
        ASSERT_NE(one_at.first, -1) << "the first viewer's bytes are in neither file";
        ASSERT_NE(two_at.first, -1) << "the second viewer's bytes are in neither file";
        std::printf("attempt %d: file %d at %zu and file %d at %zu\n", attempt, one_at.first, one_at.second,
                    two_at.first, two_at.second);
        if (one != two) continue;
        place = one_at;
        // The first one reads on until it has seen more than the whole loop.
        const std::size_t loop = files[0].size() + files[1].size();
        ASSERT_TRUE(first.WaitForBody(static_cast<int64_t>(loop + files[place.first].size()), 30000))
            << first.BodyBytes() << " bytes";
        body = first.Body();
        break;
    }
    ASSERT_FALSE(body.empty()) << "no pair of viewers started at the same place";

    // Every viewer starts on a PAT, then the files follow whole, one after the other.
    EXPECT_EQ(PidOf(Bytes(body)), 0);
    std::string expected = files[place.first].substr(place.second);
    for (int k = 1 - place.first; expected.size() < body.size(); k = 1 - k) expected += files[k];
    const auto differ = std::mismatch(body.begin(), body.end(), expected.begin());
    EXPECT_TRUE(differ.first == body.end()) << "the body leaves the playlist at byte " << (differ.first - body.begin())
                                            << " of " << body.size();

    // The wrap from the second file back to the first shows as the clock falling from the
    // second file's 20 s range to the first one's.
    std::size_t wraps = 0;
    std::size_t ascents = 0;
    const std::vector<PcrMark> marks = PcrMarks(body);
    for (std::size_t k = 1; k < marks.size(); ++k) {
        if (marks[k - 1].seconds >= 20.0 && marks[k].seconds < 10.0) ++wraps;
        if (marks[k - 1].seconds < 10.0 && marks[k].seconds >= 20.0) ++ascents;
    }
    EXPECT_GE(wraps, 1u) << "never went from b.ts back to a.ts";
    EXPECT_GE(ascents, 1u) << "never went from a.ts to b.ts";
}

// MP4 files are remuxed into one transport stream that a decoder follows across the files;
// a file that cannot be remuxed (fragmented) is logged and passed over.
TEST_F(HttpLiveDirectoryChannel, AFolderOfMp4FilesPlaysAsOneTransportStreamAcrossItsFiles)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    server.Dir().MakeDir("media/films");
    ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf("media/films/a.mp4"), "testsrc2", 4), "");
    ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf("media/films/ab.mp4"), "rgbtestsrc", 2, "-movflags frag_keyframe+empty_moov"), "");
    ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf("media/films/b.mp4"), "smptebars", 4), "");
    WriteChannels("<ch src=\"dir://media/films\">Films</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    LiveViewer viewer(server.Port(), LiveRequest("/1.ch"));
    ASSERT_TRUE(viewer.Start());
    ASSERT_TRUE(viewer.WaitForBody(2 * 188, 15000));
    const std::string body = viewer.Body();
    EXPECT_TRUE(body[0] == 0x47 && body[188] == 0x47) << "not a transport stream";

    // Eight seconds of a loop of eight cross a change of file wherever they start.
    const ShellResult decoded = RunShellWithCode("timeout 40 ffmpeg -nostdin -v error -i '" + server.Url("/1.ch") +
                                                 "' -t 8 -f null - 2>&1");
    EXPECT_EQ(decoded.code, 0);
    EXPECT_EQ(decoded.output, "");
    EXPECT_TRUE(server.WaitForLog("IPTV_TS_HTTP_DataThread Close (CH no.[1], filename=[", 5000));
    EXPECT_TRUE(server.WaitForLog("ab.mp4] cannot be played: ", 5000));

    int probe_code = -1;
    const std::vector<std::string> probed = ProbeStreams(server.Url("/1.ch"), probe_code);
    EXPECT_EQ(probe_code, 0);
    EXPECT_EQ(probed, (std::vector<std::string>{"video:h264", "audio:aac"}));
}

// A viewer joins an MP4 file where the channel's clock stands, at the key frame before it: two
// viewers three seconds apart start about three seconds apart in the film.
TEST_F(HttpLiveDirectoryChannel, AViewerOfAnMp4FolderJoinsAtTheKeyFrameWhereTheClockStands)
{
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    server.Dir().MakeDir("media/films");
    ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf("media/films/a.mp4"), "testsrc2", 30), "");
    WriteChannels("<ch src=\"dir://media/films\">Films</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    // The first video packet of a viewer who joins now: "<pts_time>,<flags>".
    const auto first_picture = [&](const std::string& file) {
        RunShell("curl -s --max-time 1 -o '" + server.Dir().PathOf(file) + "' '" + server.Url("/1.ch") + "'");
        const std::string line = RunShell("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,flags -of csv=p=0 "
                                          "-read_intervals '%+#1' '" + server.Dir().PathOf(file) + "' 2>&1 | head -1");
        return line.substr(0, line.find('\n'));
    };
    const Clock::time_point first_joined = Clock::now();
    const std::string first = first_picture("first.ts");
    std::this_thread::sleep_for(std::chrono::seconds(3) - (Clock::now() - first_joined));   // the clock moves on
    const std::string second = first_picture("second.ts");
    EXPECT_NE(first.find(",K"), std::string::npos) << first;
    EXPECT_NE(second.find(",K"), std::string::npos) << second;
    // The file's clock runs a few hundredths fast, and each viewer goes back up to a second.
    const double apart = std::atof(second.c_str()) - std::atof(first.c_str());
    EXPECT_GT(apart, 1.5) << first << " then " << second;
    EXPECT_LT(apart, 4.5) << first << " then " << second;
}

// ---------------------------------------------------------------------------------------------
// Requests: unknown channels and per-user limits

class HttpLiveRequests : public HttpLiveDirectoryChannel {};

TEST_F(HttpLiveRequests, ChannelZeroNumbersPastTheLastAndAnEmptyChannelEndRightAfterTheHeader)
{
    server.Dir().MakeDir("media/empty");
    WriteChannels("<ch src=\"dir://media/empty\">Empty</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    for (const std::string path : {"/0.ch", "/2.ch", "/99.ch", "/1.ch"}) {
        const Clock::time_point asked = Clock::now();
        EXPECT_EQ(server.Fetch(LiveRequest(path), 8000), "HTTP/1.0 200 OK\r\n\r\n") << path;
        EXPECT_LT(SecondsSince(asked), 3.0) << path << " was held open";
    }
    EXPECT_TRUE(server.WaitForLog("no IPTV programs in the channel [1]\n", 3000));
}

constexpr char kProfiles[] =
    "bob,pw,12/31/2999,pre,100\r\n"
    "root,pw,12/31/2999,pre,0\r\n";

TEST_F(HttpLiveRequests, ASecondStreamOfAUserEndsTheFirstButRootKeepsBothAndAWrongPasswordIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(MakeLoop());
    server.Dir().WriteFile("user_profile.csv", kProfiles);
    WriteChannels("<ch src=\"dir://media/loop\">Loop</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer("user_authorization=1\r\n"));

    const std::string refused = "HTTP/1.0 1001 Username and Password error\r\n\r\n";
    EXPECT_EQ(server.Fetch(LiveRequest("/1.ch?u=bob&p=nope"), 8000), refused);
    EXPECT_EQ(server.Fetch(LiveRequest("/1.ch?u=nobody&p=pw"), 8000), refused);

    const std::string head = "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nConnection: "
                             "Keep-Alive\r\nContent-Type: video/mp2t\r\n\r\n";
    {
        LiveViewer first(server.Port(), LiveRequest("/1.ch?u=bob&p=pw"));
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForBody(100000, 15000)) << first.Head();
        EXPECT_EQ(first.Head(), head);
        LiveViewer second(server.Port(), LiveRequest("/1.ch?u=bob&p=pw"));
        ASSERT_TRUE(second.Start());
        EXPECT_TRUE(first.WaitForClose(5000)) << "bob's first stream is still open";
        EXPECT_TRUE(server.WaitForLog("System Warning: Discard the previous connection of user [bob]\n", 3000));
        ASSERT_TRUE(second.WaitForBody(100000, 15000));
        const int64_t mark = second.BodyBytes();
        EXPECT_TRUE(second.WaitForBody(mark + 30000, 5000)) << "bob's second stream stalled";
        EXPECT_FALSE(second.Closed());
    }

    LiveViewer first(server.Port(), LiveRequest("/1.ch?u=root&p=pw"));
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(first.WaitForBody(100000, 15000)) << first.Head();
    LiveViewer second(server.Port(), LiveRequest("/1.ch?u=root&p=pw"));
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(second.WaitForBody(100000, 15000)) << second.Head();
    // Both go on: each gains a good second of the 500 kbit/s loop while the other runs.
    const int64_t first_mark = first.BodyBytes();
    const int64_t second_mark = second.BodyBytes();
    EXPECT_TRUE(first.WaitForBody(first_mark + 60000, 5000)) << "root's first stream stalled";
    EXPECT_TRUE(second.WaitForBody(second_mark + 60000, 5000)) << "root's second stream stalled";
    EXPECT_FALSE(first.Closed());
    EXPECT_FALSE(second.Closed());
    EXPECT_EQ(CountOf(Log(), "Discard the previous connection of user [root]"), 0u);
}

// ---------------------------------------------------------------------------------------------
// Shutdown

using HttpLiveShutdown = HttpLiveDirectoryChannel;

TEST_F(HttpLiveShutdown, SigtermWhileViewersStreamEndsEveryStreamAndExitsCleanly)
{
    ASSERT_NO_FATAL_FAILURE(MakeLoop());
    const uint16_t udp = FreeUdpPort();
    WriteChannels("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n"
                  "<ch src=\"dir://media/loop\">Loop</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ChildProgram source;
    ASSERT_NO_FATAL_FAILURE(
        StartH264Source(source, "-f mpegts 'udp://127.0.0.1:" + std::to_string(udp) + "?pkt_size=1316'", 30, 800));
    ASSERT_TRUE(server.WaitForLog("CH [1]: Get UDP Packet from Port No [" + std::to_string(udp) + "]", 15000));

    std::vector<std::unique_ptr<LiveViewer>> viewers;
    for (const std::string path : {"/1.ch", "/1.ch", "/2.ch", "/2.ch"}) {
        viewers.push_back(std::make_unique<LiveViewer>(server.Port(), LiveRequest(path), 1u << 20));
        ASSERT_TRUE(viewers.back()->Start());
    }
    for (const auto& viewer : viewers) ASSERT_TRUE(viewer->WaitForBody(50000, 15000)) << viewer->Head();
    for (const auto& viewer : viewers) {
        const int64_t mark = viewer->BodyBytes();
        ASSERT_TRUE(viewer->WaitForBody(mark + 10000, 5000)) << "a stream stalled before the signal";
    }

    const Clock::time_point signalled = Clock::now();
    EXPECT_EQ(server.Stop(), 0);
    const double exit_s = SecondsSince(signalled);
    std::printf("server exited %.2f s after SIGTERM\n", exit_s);
    EXPECT_LT(exit_s, 3.0);
    for (const auto& viewer : viewers) EXPECT_TRUE(viewer->WaitForClose(2000)) << "a viewer is still connected";
    // Each stream was ended by its own thread before the exit.
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, "Stop Streaming)\n"), viewers.size());
    EXPECT_EQ(CountOf(log, "(OUT)\n"), viewers.size());
}

TEST_F(HttpLiveShutdown, SigtermEndsPromptlyWhileAChannelWaitsForItsFirstDatagram)
{
    const uint16_t silent = FreeUdpPort();
    WriteChannels("<ch src=\"udp://" + std::to_string(silent) + "\">Silent</ch>\r\n");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    ASSERT_TRUE(server.WaitForLog("CH [1]: UDP Media Source Port No [" + std::to_string(silent) + "]\n", 10000));

    const Clock::time_point signalled = Clock::now();
    EXPECT_EQ(server.Stop(), 0);
    const double exit_s = SecondsSince(signalled);
    std::printf("server with a silent channel exited %.2f s after SIGTERM\n", exit_s);
    EXPECT_LT(exit_s, 3.0);
}

}  // namespace
