// HLS and the channel list end to end: the real server fed by ffmpeg over UDP or playing a
// folder, read by ffprobe, ffmpeg, curl and raw sockets.

#include "support/live_feed.h"
#include "support/process.h"
#include "support/test_server.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
const char kUserRefusal[] = "HTTP/1.0 1001 Username and Password error\r\n\r\n";

struct MediaPlaylist {
    int                   target = -1;
    int64_t               sequence = -1;
    std::vector<double>   durations;
    std::vector<std::string> addresses;
};

MediaPlaylist ParsePlaylist(const std::string& text)
{
    MediaPlaylist playlist;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("#EXT-X-TARGETDURATION:", 0) == 0) playlist.target = std::atoi(line.c_str() + 22);
        else if (line.rfind("#EXT-X-MEDIA-SEQUENCE:", 0) == 0) playlist.sequence = std::atoll(line.c_str() + 22);
        else if (line.rfind("#EXTINF:", 0) == 0) playlist.durations.push_back(std::atof(line.c_str() + 8));
        else if (!line.empty() && line[0] != '#') playlist.addresses.push_back(line);
    }
    return playlist;
}

std::string BodyOf(const std::string& answer)
{
    const std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

std::string Get(const std::string& target, const std::string& headers = "")
{
    const bool own_host = headers.find("Host:") != std::string::npos;
    return "GET " + target + " HTTP/1.1\r\n" + (own_host ? "" : "Host: 127.0.0.1\r\n") + headers + "\r\n";
}

int PidAt(const std::string& data, std::size_t packet)
{
    const auto* p = reinterpret_cast<const uint8_t*>(data.data()) + packet * 188;
    return ((p[1] & 0x1F) << 8) | p[2];
}

// The PCR of a packet in 27 MHz ticks; -1 without one.
int64_t PcrAt(const std::string& data, std::size_t packet)
{
    const auto* p = reinterpret_cast<const uint8_t*>(data.data()) + packet * 188;
    if ((p[3] & 0x20) == 0 || p[4] < 7 || (p[5] & 0x10) == 0) return -1;
    const int64_t base = (static_cast<int64_t>(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
    return base * 300 + (((p[10] & 1) << 8) | p[11]);
}

// The first PCR of whole packets; -1 without one.
// The name the recorder gives a recording of folder "b" begun at start (by its local time).
std::string ArchiveName(std::time_t start)
{
    std::tm when{};
    localtime_r(&start, &when);
    char name[64];
    std::snprintf(name, sizeof name, "tv_program_archive/b/%04d_%02d_%02d_%02d_%02d.ts", when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min);
    return name;
}

// 2026-12-09 at the hour, local time.
std::time_t OnTheNinth(int hour)
{
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 9;
    local.tm_hour = hour;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

int64_t FirstPcr(const std::string& data)
{
    for (std::size_t packet = 0; packet < data.size() / 188; ++packet)
        if (const int64_t pcr = PcrAt(data, packet); pcr >= 0) return pcr;
    return -1;
}

class Hls : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"ffmpeg", "ffprobe", "curl"})
            if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }

    void Start(const std::string& channels, const std::string& extra = "")
    {
        server.Dir().WriteFile("channel_definition.xml", kXmlHead + channels);
        ASSERT_TRUE(server.Start(extra)) << server.Process().Stderr().substr(0, 2000);
    }

    // Generated H.264/AAC in real time to a UDP port, a key frame (behind a PAT) every `gop`
    // pictures, the PAT also every pat_period seconds.
    void StartSource(uint16_t udp, int seconds, int gop = 25, const char* pat_period = "30")
    {
        const std::string command =
            "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=25 -re -f lavfi "
            "-i sine=frequency=440:sample_rate=48000 -t " + std::to_string(seconds) +
            " -c:v libx264 -preset ultrafast -g " + std::to_string(gop) + " -b:v 500k -maxrate 500k -bufsize 500k -c:a aac -b:a 64k "
            "-pat_period " + pat_period + " -sdt_period 30 -muxrate 800k -f mpegts 'udp://127.0.0.1:" + std::to_string(udp) +
            "?pkt_size=1316'";
        ASSERT_TRUE(source.Start({"/bin/sh", "-c", command}, server.Dir().Path()));
        ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No [" + std::to_string(udp) + "]", 15000));
    }

    std::string Fetch(const std::string& target, const std::string& headers = "")
    {
        return server.Fetch(Get(target, headers), 30000);
    }

    // Recordings of a minute each on one clock in tv_program_archive/b, named as the recorder
    // names them (local time), from 2026-12-09 20:00; that first start.
    std::time_t MakeArchive(int files)
    {
        const std::time_t first = OnTheNinth(20);
        server.Dir().MakeDir("tv_program_archive/b");
        for (int k = 0; k < files; ++k) {
            const std::time_t start = first + 60 * k;
            const std::string name = ArchiveName(start);
            const std::string made = RunShell("timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 60 "
                                              "-c:v libx264 -preset ultrafast -g 25 -b:v 200k -maxrate 200k -bufsize 200k -muxrate 300k "
                                              "-output_ts_offset " + std::to_string(60 * k) + " -f mpegts '" + server.Dir().PathOf(name) +
                                              "' 2>&1; echo exit=$?");
            EXPECT_NE(made.find("exit=0"), std::string::npos) << made;
            // Finished when its minute was over, as the recorder's files are.
            const utimbuf times{start + 60, start + 60};
            EXPECT_EQ(utime(server.Dir().PathOf(name).c_str(), &times), 0);
        }
        return first;
    }

    TestServer   server;
    ChildProgram source;
};

}  // namespace

TEST_F(Hls, ALiveUdpChannelPlaysAndDecodesWhileItsPlaylistSlidesAndStaysValid)
{
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n"));
    ASSERT_NO_FATAL_FAILURE(StartSource(udp, 70));
    const std::string url = server.Url("/1/index.m3u8");

    const std::string probed = RunShell("timeout 60 ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 '" +
                                        url + "' 2>&1");
    EXPECT_NE(probed.find("h264,video"), std::string::npos) << probed;
    EXPECT_NE(probed.find("aac,audio"), std::string::npos) << probed;

    // A player decodes 20 s while the test watches the playlist slide.
    std::string decoded;
    std::thread player([&] {
        decoded = RunShell("timeout 90 ffmpeg -nostdin -v error -i '" + url + "' -t 20 -progress '" +
                           server.Dir().PathOf("decode.progress") + "' -f null - 2>&1; echo exit=$?");
    });
    // Until two segments have left the full window (about 32 s from the first).
    std::vector<MediaPlaylist> seen;
    for (int k = 0; k < 25; ++k) {
        seen.push_back(ParsePlaylist(BodyOf(Fetch("/1/index.m3u8"))));
        if (seen.back().sequence >= seen.front().sequence + 2) break;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    player.join();
    EXPECT_NE(decoded.find("exit=0"), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find("rror"), std::string::npos) << decoded;
    const std::string progress = server.Dir().ReadFile("decode.progress");
    const std::size_t frame_at = progress.rfind("frame=");
    ASSERT_NE(frame_at, std::string::npos);
    EXPECT_GE(std::atoi(progress.c_str() + frame_at + 6), 450) << "frames decoded of 20 s at 25 fps";

    int64_t previous_first = -1;
    for (const MediaPlaylist& playlist : seen) {
        ASSERT_FALSE(playlist.durations.empty());
        ASSERT_EQ(playlist.durations.size(), playlist.addresses.size());
        EXPECT_LE(playlist.durations.size(), 6u);
        for (std::size_t i = 0; i < playlist.durations.size(); ++i) {
            EXPECT_GE(playlist.target, static_cast<int>(std::ceil(playlist.durations[i])));
            EXPECT_GE(playlist.durations[i], 3.9);
            EXPECT_LE(playlist.durations[i], 6.1);
            EXPECT_EQ(playlist.addresses[i], "seg-" + std::to_string(playlist.sequence + static_cast<int64_t>(i)) + ".ts");
        }
        EXPECT_GE(playlist.sequence, previous_first);
        previous_first = playlist.sequence;
    }
    EXPECT_GT(seen.back().sequence, seen.front().sequence) << "the window never slid";

    // A segment: whole packets, the PAT, the PMT, then the picture is a key frame.
    const MediaPlaylist last = seen.back();
    const std::string answer = Fetch("/1/" + last.addresses.back());
    ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Content-Type: video/mp2t\r\n"), std::string::npos);
    EXPECT_NE(answer.find("Cache-Control: max-age=600\r\n"), std::string::npos);
    const std::string segment = BodyOf(answer);
    ASSERT_GT(segment.size(), 10000u);
    EXPECT_EQ(segment.size() % 188, 0u);
    EXPECT_EQ(PidAt(segment, 0), 0);
    EXPECT_EQ(PidAt(segment, 1), 4096) << "the PMT follows the PAT";
    server.Dir().WriteFile("segment.ts", segment);
    const std::string first_frame = RunShell("ffprobe -v error -select_streams v -show_frames -read_intervals %+#1 "
                                             "-show_entries frame=key_frame -of csv=p=0 '" + server.Dir().PathOf("segment.ts") + "'");
    EXPECT_EQ(first_frame.substr(0, 1), "1") << first_frame;

    // Caches revalidate: the same ETag gets 304, the playlist's lifetime is within its target.
    const std::regex etag_line("ETag: (\"[^\"]+\")");
    std::smatch etag;
    ASSERT_TRUE(std::regex_search(answer, etag, etag_line));
    EXPECT_EQ(Fetch("/1/" + last.addresses.back(), "If-None-Match: " + etag[1].str() + "\r\n").rfind("HTTP/1.1 304 Not Modified\r\n", 0),
              0u);
    const std::string playlist_answer = Fetch("/1/index.m3u8");
    std::smatch age;
    ASSERT_TRUE(std::regex_search(playlist_answer, age, std::regex("Cache-Control: max-age=([0-9]+)\r\n")));
    EXPECT_GE(std::atoi(age[1].str().c_str()), 1);
    EXPECT_LE(std::atoi(age[1].str().c_str()), ParsePlaylist(BodyOf(playlist_answer)).target);
    EXPECT_NE(playlist_answer.find("Content-Type: application/vnd.apple.mpegurl\r\n"), std::string::npos);
    std::smatch modified;
    ASSERT_TRUE(std::regex_search(playlist_answer, modified, std::regex("Last-Modified: ([^\r]+)\r\n")));
    const std::string again = Fetch("/1/index.m3u8", "If-Modified-Since: " + modified[1].str() + "\r\n");
    EXPECT_TRUE(again.rfind("HTTP/1.1 304", 0) == 0 || BodyOf(again) != BodyOf(playlist_answer)) << again.substr(0, 300);

    // A segment that has left the window is gone.
    EXPECT_EQ(Fetch("/1/seg-" + std::to_string(seen.front().sequence) + ".ts"), "HTTP/1.0 404 Not Found\r\n\r\n\r\n");
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Hls, AFolderChannelPlaysAcrossItsFiles)
{
    server.Dir().MakeDir("media/loop");
    for (int k = 0; k < 2; ++k) {
        const std::string made = RunShell(
            std::string("timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i ") + (k == 0 ? "testsrc2" : "smptebars") +
            "=size=160x120:rate=25 -t 6 -c:v libx264 -preset ultrafast -g 25 -b:v 300k -output_ts_offset " +
            (k == 0 ? "0" : "20") + " -f mpegts '" + server.Dir().PathOf("media/loop/" + std::to_string(k) + ".ts") +
            "' 2>&1; echo exit=$?");
        ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
    }
    // Channel 2: MP4 files, remuxed into one stream that runs on across them.
    server.Dir().MakeDir("media/films");
    ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf("media/films/a.mp4"), "testsrc2", 5), "");
    ASSERT_EQ(MakeMp4Clip(server.Dir().PathOf("media/films/b.mp4"), "smptebars", 5), "");
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"dir://media/loop\">Loop</ch>\r\n<ch src=\"dir://media/films\">Films</ch>\r\n"));
    for (const std::string channel : {"/1", "/2"}) {
        const std::string decoded = RunShell("timeout 90 ffmpeg -nostdin -v error -i '" + server.Url(channel + "/index.m3u8") +
                                             "' -t 8 -f null - 2>&1; echo exit=$?");
        EXPECT_NE(decoded.find("exit=0"), std::string::npos) << decoded;
        if (channel == "/2") {
            EXPECT_EQ(decoded, "exit=0\n");
        }
        const MediaPlaylist playlist = ParsePlaylist(BodyOf(Fetch(channel + "/index.m3u8")));
        ASSERT_FALSE(playlist.durations.empty());
        for (const double duration : playlist.durations) EXPECT_GE(playlist.target, static_cast<int>(std::ceil(duration)));
    }
}

TEST_F(Hls, UsersAreCheckedAsForChannelStreamsAndOneStreamPerUserCountsHls)
{
    server.Dir().WriteFile("user_profile.csv", "bob,pw,12/31/2099,free,0\r\nann,apw,12/31/2099,free,0\r\n");
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n", "user_authorization=1\r\n"));
    ASSERT_NO_FATAL_FAILURE(StartSource(udp, 60));

    EXPECT_EQ(Fetch("/1/index.m3u8"), kUserRefusal);
    EXPECT_EQ(Fetch("/1/index.m3u8?u=bob&p=wrong"), kUserRefusal);
    EXPECT_EQ(Fetch("/playlist.m3u"), kUserRefusal);
    const std::string list = BodyOf(Fetch("/playlist.m3u?u=bob&p=pw"));
    EXPECT_NE(list.find("\r\nhttp://127.0.0.1/1.ch?u=bob&p=pw\r\n"), std::string::npos) << list;

    const MediaPlaylist playlist = ParsePlaylist(BodyOf(Fetch("/1/index.m3u8?u=bob&p=pw")));
    ASSERT_FALSE(playlist.addresses.empty());
    const std::string address = playlist.addresses.back();
    const std::size_t token_at = address.find("?t=");
    ASSERT_NE(token_at, std::string::npos) << address;
    EXPECT_EQ(address.size() - token_at - 3, 32u);
    const std::string bare = address.substr(0, token_at);
    EXPECT_EQ(Fetch("/1/" + bare), kUserRefusal);
    EXPECT_EQ(Fetch("/1/" + bare + "?t=0123456789abcdef0123456789abcdef"), kUserRefusal);
    EXPECT_EQ(Fetch("/2/" + address), kUserRefusal) << "a token is for its own channel";
    EXPECT_EQ(Fetch("/1/" + address).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    // Another user's viewing is no business of bob's.
    EXPECT_FALSE(ParsePlaylist(BodyOf(Fetch("/1/index.m3u8?u=ann&p=apw"))).addresses.empty());

    // Bob's /1.ch stream ends his HLS viewing: its segments are refused, the watch log closes it.
    const int stream = ConnectLoopback(server.Port());
    ASSERT_GE(stream, 0);
    ASSERT_TRUE(SendAllText(stream, "GET /1.ch?u=bob&p=pw HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(server.WaitForLog("System Warning: Discard the previous connection of user [bob]\n"));
    EXPECT_EQ(Fetch("/1/" + address), kUserRefusal);
    const std::string start_line = "UserName =[bob] Start to Watch Channel no.= [1]\n";
    const std::string end_line = "UserName =[bob] End to Watch Channel no.= [1]\n";
    EXPECT_TRUE(WaitUntil([&] { return server.Dir().ReadFile("users/user_watch_log.csv").find(end_line) != std::string::npos; }, 5000));
    EXPECT_NE(server.Dir().ReadFile("users/user_watch_log.csv").find(start_line), std::string::npos);

    // And the other way round: a new HLS viewing of bob ends his /1.ch stream.
    ASSERT_GT(ReadFor(stream, 20000, 10000).size(), 10000u);
    EXPECT_FALSE(ParsePlaylist(BodyOf(Fetch("/1/index.m3u8?u=bob&p=pw"))).addresses.empty());
    bool closed = false;
    ReadFor(stream, std::size_t(-1), 10000, &closed);
    EXPECT_TRUE(closed) << "the /1.ch stream went on";
    close(stream);
    EXPECT_EQ(server.Stop(), 0);
    // Every viewing ended with the server: as many end lines as start lines for each user.
    const std::string log = server.Dir().ReadFile("users/user_watch_log.csv");
    for (const std::string user : {"bob", "ann"}) {
        const auto count = [&](const std::string& text) {
            std::size_t n = 0;
            for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
            return n;
        };
        EXPECT_EQ(count("[" + user + "] Start"), count("[" + user + "] End")) << log;
    }
}

TEST_F(Hls, TheChannelListNamesTheAskedHostAndOffersCatchUpForArchivedChannels)
{
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://127.0.0.1:1\" img=\"logo/a.png\">A</ch>\r\n"
                                  "<ch src=\"udp://127.0.0.1:2\" rec_folder=\"b\">B</ch>\r\n",
                                  "tv_on_demand_record_duration=60\r\n"));
    const std::string m3u = Fetch("/playlist.m3u", "Host: tv.example:8080\r\n");
    EXPECT_NE(m3u.find("Content-Type: audio/x-mpegurl\r\n"), std::string::npos);
    const std::string body = BodyOf(m3u);
    EXPECT_EQ(body.rfind("#EXTM3U url-tvg=\"http://tv.example:8080/epg.xml\" x-tvg-url=\"http://tv.example:8080/epg.xml\"\r\n", 0), 0u);
    EXPECT_NE(body.find("tvg-logo=\"http://tv.example:8080/logo/a.png\""), std::string::npos) << body;
    EXPECT_NE(body.find("\r\nhttp://tv.example:8080/1.ch\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("catchup-source=\"http://tv.example:8080/2/archive-{utc}-{duration}.ts\",B\r\n"), std::string::npos) << body;
    EXPECT_NE(Fetch("/playlist.m3u8").find("Content-Type: application/vnd.apple.mpegurl\r\n"), std::string::npos);
    // A channel that cannot be cut (no such channel) has no HLS playlist.
    EXPECT_EQ(Fetch("/9/index.m3u8"), "HTTP/1.0 404 Not Found\r\n\r\n\r\n");
}

TEST_F(Hls, ACatchUpIntervalAcrossTwoArchiveFilesPlaysFromItsFirstSecondToItsLast)
{
    std::time_t first = 0;
    ASSERT_NO_FATAL_FAILURE(first = MakeArchive(2));
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://127.0.0.1:1\" rec_folder=\"b\">B</ch>\r\n", "tv_on_demand_record_duration=60\r\n"));

    // From the middle of the first file to the middle of the second.
    const std::string name = "/1/archive-" + std::to_string(first + 30) + "-60";
    const std::string answer = Fetch(name + ".m3u8");
    EXPECT_NE(answer.find("Cache-Control: max-age=60\r\n"), std::string::npos) << answer.substr(0, 300);
    const std::string body = BodyOf(answer);
    EXPECT_NE(body.find("#EXT-X-ENDLIST"), std::string::npos) << body;
    EXPECT_NE(body.find("#EXT-X-DISCONTINUITY"), std::string::npos) << "the second file is another recording";
    const std::string decoded = RunShell("timeout 90 ffmpeg -nostdin -v error -i '" + server.Url(name + ".m3u8") + "' -progress '" +
                                         server.Dir().PathOf("catchup.progress") + "' -f null - 2>&1; echo exit=$?");
    EXPECT_EQ(decoded, "exit=0\n") << "decoder complaints: " << decoded.substr(0, 500);
    const std::string progress = server.Dir().ReadFile("catchup.progress");
    const std::size_t frame_at = progress.rfind("frame=");
    ASSERT_NE(frame_at, std::string::npos);
    EXPECT_NEAR(std::atoi(progress.c_str() + frame_at + 6), 1500, 30) << "60 s at 25 fps";
    const std::string duration = RunShell("timeout 60 ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                          server.Url(name + ".m3u8") + "'");
    EXPECT_NEAR(std::atof(duration.c_str()), 60.0, 1.0) << duration;

    // Twenty seconds across the two files as one stream (mostly the start's burst); a time
    // outside the archive is not found.
    const std::string stream = server.Curl("-o '" + server.Dir().PathOf("stream.ts") + "' -w '%{http_code}' 'URL/1/archive-" +
                                           std::to_string(first + 50) + "-20.ts'");
    EXPECT_EQ(stream, "200");
    EXPECT_NEAR(std::atof(RunShell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                   server.Dir().PathOf("stream.ts") + "'").c_str()), 20.0, 1.5);
    EXPECT_EQ(Fetch("/1/archive-" + std::to_string(first - 7200) + "-600.m3u8"), "HTTP/1.0 404 Not Found\r\n\r\n\r\n");
    EXPECT_EQ(Fetch("/1/archive-" + std::to_string(first + 30) + "-60-part-99.ts"), "HTTP/1.0 404 Not Found\r\n\r\n\r\n");
}

// A source that restarted halfway through an hour: the recording holds two clips, the clock of
// the second starting again where the first one's did. The archive is addressed by the wall
// clock, each stretch of a running clock on its own.
TEST_F(Hls, ACatchUpIntervalInARecordingWhoseClockStartedAgainPlaysFromTheRightSecond)
{
    const std::time_t first = OnTheNinth(21);
    const std::string name = ArchiveName(first);
    server.Dir().MakeDir("tv_program_archive/b");
    std::string recording;
    for (const char* clip : {"testsrc2", "smptebars"}) {
        const std::string file = server.Dir().PathOf(std::string(clip) + ".ts");
        const std::string made = RunShell(std::string("timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i ") + clip +
                                          "=size=160x120:rate=25 -t 60 -c:v libx264 -preset ultrafast -g 25 -b:v 200k -maxrate 200k "
                                          "-bufsize 200k -muxrate 300k -f mpegts '" + file + "' 2>&1; echo exit=$?");
        ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
        recording += server.Dir().ReadFile(std::string(clip) + ".ts");
    }
    server.Dir().WriteFile(name, recording);
    const utimbuf times{first + 120, first + 120};
    ASSERT_EQ(utime(server.Dir().PathOf(name).c_str(), &times), 0);
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://127.0.0.1:1\" rec_folder=\"b\">B</ch>\r\n", "tv_on_demand_record_duration=60\r\n"));

    // Inside the second clip: its parts, starting within a GOP of the second asked for.
    const std::string inside = "/1/archive-" + std::to_string(first + 80) + "-20";
    const MediaPlaylist playlist = ParsePlaylist(BodyOf(Fetch(inside + ".m3u8")));
    ASSERT_FALSE(playlist.addresses.empty()) << Fetch(inside + ".m3u8");
    const std::string part = BodyOf(Fetch("/1/" + playlist.addresses[0]));
    const int64_t part_pcr = FirstPcr(part);
    ASSERT_GE(part_pcr, 0);
    const int64_t clip_start = FirstPcr(server.Dir().ReadFile("smptebars.ts"));
    EXPECT_NEAR(static_cast<double>(part_pcr - clip_start) / 27e6, 20.0, 1.1) << "the part starts at the wrong second of the clip";

    // Across the restart: one discontinuity, and a decoder plays its 60 s.
    const std::string across = "/1/archive-" + std::to_string(first + 30) + "-60";
    const std::string body = BodyOf(Fetch(across + ".m3u8"));
    EXPECT_NE(body.find("#EXT-X-ENDLIST"), std::string::npos) << body;
    EXPECT_NE(body.find("#EXT-X-DISCONTINUITY"), std::string::npos) << body;
    const std::string duration = RunShell("timeout 60 ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                          server.Url(across + ".m3u8") + "'");
    EXPECT_NEAR(std::atof(duration.c_str()), 60.0, 1.5) << duration;
}

namespace {

// An HTTP/1.0 GET of path from 127.0.0.1:port; the whole answer ("" when no connection).
std::string FetchFrom(uint16_t port, const std::string& path, int timeout_ms)
{
    const int fd = ConnectLoopback(port);
    if (fd < 0) return {};
    std::string answer;
    if (SendAllText(fd, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")) answer = ReadFor(fd, std::size_t(-1), timeout_ms);
    close(fd);
    return answer;
}

}  // namespace

TEST_F(Hls, ACachingProxyInFrontAsksTheServerForEachSegmentAboutOnce)
{
    if (!HaveTool("nginx")) GTEST_SKIP() << "nginx is not installed";
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n"));
    ASSERT_NO_FATAL_FAILURE(StartSource(udp, 90));

    // nginx in one process (no workers, no change of user), everything in the test's folder.
    const uint16_t proxy_port = FreeTcpPort();
    server.Dir().MakeDir("nginx/cache");
    server.Dir().WriteFile("nginx/nginx.conf",
        "master_process off;\ndaemon off;\npid nginx.pid;\nerror_log errors.log;\nevents { worker_connections 1024; }\n"
        "http {\n  access_log off;\n  client_body_temp_path body;\n  proxy_temp_path proxy;\n  fastcgi_temp_path fastcgi;\n"
        "  uwsgi_temp_path uwsgi;\n  scgi_temp_path scgi;\n"
        "  proxy_cache_path cache levels=1:2 keys_zone=hls:10m max_size=256m;\n"
        "  server {\n    listen 127.0.0.1:" + std::to_string(proxy_port) + ";\n    location / {\n"
        "      proxy_pass http://127.0.0.1:" + std::to_string(server.Port()) + ";\n      proxy_cache hls;\n"
        "      proxy_cache_lock on;\n      proxy_cache_lock_timeout 30s;\n      proxy_cache_lock_age 30s;\n"
        "      proxy_read_timeout 60s;\n    }\n  }\n}\n");
    ChildProgram nginx;
    const std::string prefix = server.Dir().PathOf("nginx");
    ASSERT_TRUE(nginx.Start({"/bin/sh", "-c", "exec nginx -p '" + prefix + "/' -e errors.log -c nginx.conf"}, prefix));
    ASSERT_TRUE(WaitUntil([&] {
        const int probe = ConnectLoopback(proxy_port, 1000);
        if (probe >= 0) close(probe);
        return probe >= 0;
    }, 10000)) << nginx.Stderr() << server.Dir().ReadFile("nginx/errors.log");

    // 200 players for about 20 s each: the playlist every second, every new segment once.
    constexpr int kClients = 200;
    std::atomic<int> fetched{0}, failed{0};
    std::mutex seen_lock;
    std::set<std::string> distinct;
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            std::set<std::string> mine;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (int round = 0; round < 40 && std::chrono::steady_clock::now() < until; ++round) {
                const MediaPlaylist playlist = ParsePlaylist(BodyOf(FetchFrom(proxy_port, "/1/index.m3u8", 30000)));
                for (std::size_t i = 0; i < playlist.addresses.size(); ++i) {
                    const std::string& address = playlist.addresses[i];
                    if (i + 2 < playlist.addresses.size() || mine.count(address) != 0) continue;   // a player starts near the live end
                    const std::string answer = FetchFrom(proxy_port, "/1/" + address, 30000);
                    if (answer.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || BodyOf(answer).size() < 10000) {
                        ++failed;
                        continue;
                    }
                    mine.insert(address);
                    ++fetched;
                    std::lock_guard<std::mutex> held(seen_lock);
                    distinct.insert(address);
                }
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        });
    }
    // And a real player decoding through the proxy meanwhile.
    const std::string decoded = RunShell("timeout 90 ffmpeg -nostdin -v error -i 'http://127.0.0.1:" + std::to_string(proxy_port) +
                                         "/1/index.m3u8' -t 15 -f null - 2>&1; echo exit=$?");
    for (std::thread& client : clients) client.join();
    nginx.Signal(SIGTERM);
    EXPECT_GE(nginx.WaitExit(10000), 0);

    EXPECT_NE(decoded.find("exit=0"), std::string::npos) << decoded;
    EXPECT_EQ(failed.load(), 0);
    ASSERT_GE(distinct.size(), 3u);
    EXPECT_GE(fetched.load(), kClients * 3);
    const std::size_t origin = Occurrences(server.Dir().ReadFile("system.log"), "Request HLS Segment =[/1/seg-");
    std::printf("%zu origin segment requests for %zu segments, %d fetched through the proxy\n", origin, distinct.size(),
                fetched.load());
    EXPECT_GE(origin, distinct.size());
    EXPECT_LE(origin, distinct.size() * 2) << fetched.load() << " segments fetched through the proxy";
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Hls, VlcOpensTheChannelListAndPlaysItsChannel)
{
    if (!HaveTool("cvlc") || !HaveTool("runuser")) GTEST_SKIP() << "VLC is not installed";
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n"));
    ASSERT_NO_FATAL_FAILURE(StartSource(udp, 40));
    // VLC refuses to run as root; it plays the list's one entry for a few seconds, then quits.
    const ShellResult vlc = RunShellWithCode("timeout 60 runuser -u nobody -- cvlc -vv --intf dummy --vout dummy --aout dummy "
                                             "--run-time 5 --play-and-exit '" + server.Url("/playlist.m3u") + "' vlc://quit");
    EXPECT_EQ(vlc.code, 0);
    const std::string channel = server.Url("/1.ch");
    EXPECT_NE(vlc.output.find("found valid M3U playlist"), std::string::npos);
    EXPECT_NE(vlc.output.find("`" + channel + "' successfully opened"), std::string::npos) << channel;
    EXPECT_NE(vlc.output.find("codec (h264) started"), std::string::npos);
    EXPECT_NE(vlc.output.find("found NAL_SPS"), std::string::npos) << "no picture data reached the decoder";
    EXPECT_NE(server.Dir().ReadFile("system.log").find("Request Channel =[/1.ch]\n"), std::string::npos);
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Hls, ACatchUpStreamIsTheUsersOneStreamWithItsWatchLogEntries)
{
    server.Dir().WriteFile("user_profile.csv", "bob,pw,12/31/2099,free,0\r\ncarol,pw,12/31/2099,free,0\r\n");
    const std::time_t first = MakeArchive(1);
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://127.0.0.1:1\" rec_folder=\"b\">B</ch>\r\n",
                                  "tv_on_demand_record_duration=60\r\nuser_authorization=1\r\n"));
    const std::string request = "GET /1/archive-" + std::to_string(first) + "-60.ts?u=bob&p=pw HTTP/1.0\r\n\r\n";
    const int older = ConnectLoopback(server.Port());
    ASSERT_GE(older, 0);
    ASSERT_TRUE(SendAllText(older, request));
    ASSERT_GT(ReadFor(older, 20000, 10000).size(), 10000u);
    const std::string start_line = "UserName =[bob] Start to Watch Channel no.= [1]\n";
    const std::string end_line = "UserName =[bob] End to Watch Channel no.= [1]\n";
    EXPECT_NE(server.Dir().ReadFile("users/user_watch_log.csv").find(start_line), std::string::npos);

    // Bob's next stream ends this one.
    const int newer = ConnectLoopback(server.Port());
    ASSERT_GE(newer, 0);
    ASSERT_TRUE(SendAllText(newer, request));
    EXPECT_TRUE(server.WaitForLog("System Warning: Discard the previous connection of user [bob]\n"));
    bool closed = false;
    ReadFor(older, std::size_t(-1), 10000, &closed);
    EXPECT_TRUE(closed) << "the older catch-up stream went on";
    EXPECT_TRUE(WaitUntil([&] { return server.Dir().ReadFile("users/user_watch_log.csv").find(end_line) != std::string::npos; }, 5000));
    EXPECT_GT(ReadFor(newer, 20000, 10000).size(), 10000u);
    close(older);
    close(newer);
    EXPECT_EQ(server.Stop(), 0);
    const std::string log = server.Dir().ReadFile("users/user_watch_log.csv");
    EXPECT_EQ(Occurrences(log, start_line), 2u) << log;
    EXPECT_EQ(Occurrences(log, end_line), 2u) << log;
}

TEST_F(Hls, ACatchUpPlaylistViewingIsTheUsersOneStreamAndEndsWhenItsPlayerGoesQuiet)
{
    server.Dir().WriteFile("user_profile.csv", "bob,pw,12/31/2099,free,0\r\ncarol,pw,12/31/2099,free,0\r\n");
    const std::time_t first = MakeArchive(1);
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n"
                                  "<ch src=\"udp://127.0.0.1:1\" rec_folder=\"b\">B</ch>\r\n",
                                  "tv_on_demand_record_duration=60\r\nuser_authorization=1\r\n"));
    ASSERT_NO_FATAL_FAILURE(StartSource(udp, 120));
    const auto open_stream = [&] {
        const int fd = ConnectLoopback(server.Port());
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(SendAllText(fd, "GET /1.ch?u=bob&p=pw HTTP/1.0\r\n\r\n"));
        EXPECT_GT(ReadFor(fd, 20000, 10000).size(), 10000u);
        return fd;
    };
    const auto watch_log_count = [&](const std::string& line) { return Occurrences(server.Dir().ReadFile("users/user_watch_log.csv"), line); };
    const std::string start_line = "UserName =[bob] Start to Watch Channel no.= [2]\n";
    const std::string end_line = "UserName =[bob] End to Watch Channel no.= [2]\n";
    const std::string playlist_path = "/2/archive-" + std::to_string(first) + "-60.m3u8?u=bob&p=pw";

    // Bob's catch-up playlist ends his /1.ch stream; its parts need the viewing's token.
    const int stream = open_stream();
    const MediaPlaylist playlist = ParsePlaylist(BodyOf(Fetch(playlist_path)));
    ASSERT_EQ(playlist.addresses.size(), 6u);
    bool closed = false;
    ReadFor(stream, std::size_t(-1), 10000, &closed);
    EXPECT_TRUE(closed) << "the /1.ch stream went on";
    close(stream);
    const std::string address = playlist.addresses[1];
    const std::size_t token_at = address.find("?t=");
    ASSERT_NE(token_at, std::string::npos) << address;
    EXPECT_EQ(Fetch("/2/" + address.substr(0, token_at)), kUserRefusal);
    EXPECT_EQ(Fetch("/2/" + address.substr(0, token_at) + "?u=bob&p=pw"), kUserRefusal);
    EXPECT_EQ(Fetch("/2/" + address).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    // A player polling the playlist goes on with the same viewing.
    EXPECT_EQ(ParsePlaylist(BodyOf(Fetch(playlist_path))).addresses, playlist.addresses);
    EXPECT_EQ(watch_log_count(start_line), 1u);

    // And the other way round: bob's next /1.ch stream ends the viewing.
    const int next = open_stream();
    EXPECT_EQ(Fetch("/2/" + address), kUserRefusal);
    EXPECT_TRUE(WaitUntil([&] { return watch_log_count(end_line) == 1; }, 8000));

    // A new viewing whose player goes quiet ends by itself; its token starts it again (a
    // player resuming from a pause).
    const MediaPlaylist again = ParsePlaylist(BodyOf(Fetch(playlist_path)));
    ASSERT_EQ(again.addresses.size(), 6u);
    EXPECT_NE(again.addresses[0], playlist.addresses[0]) << "a new viewing has a new token";
    ReadFor(next, std::size_t(-1), 10000, &closed);
    close(next);
    EXPECT_EQ(Fetch("/2/" + again.addresses[0]).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(watch_log_count(start_line), 2u);
    // Carol's viewing goes quiet at the same time; a new viewing of hers replaces it for good.
    const MediaPlaylist carols = ParsePlaylist(BodyOf(Fetch("/2/archive-" + std::to_string(first) + "-60.m3u8?u=carol&p=pw")));
    ASSERT_EQ(carols.addresses.size(), 6u);
    const std::string carol_end = "UserName =[carol] End to Watch Channel no.= [2]\n";
    EXPECT_TRUE(WaitUntil([&] { return watch_log_count(end_line) == 2 && watch_log_count(carol_end) == 1; }, 40000))
        << "the quiet viewings went on";
    EXPECT_EQ(watch_log_count(start_line), 2u);
    EXPECT_EQ(Fetch("/2/" + again.addresses[1]).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(watch_log_count(start_line), 3u);
    EXPECT_EQ(ParsePlaylist(BodyOf(Fetch("/2/archive-" + std::to_string(first + 10) + "-30.m3u8?u=carol&p=pw"))).addresses.size(), 3u);
    EXPECT_EQ(Fetch("/2/" + carols.addresses[1]), kUserRefusal) << "the replaced quiet viewing started again";
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(watch_log_count(end_line), 3u) << server.Dir().ReadFile("users/user_watch_log.csv");
    EXPECT_EQ(watch_log_count(carol_end), 2u);
}

TEST_F(Hls, ACatchUpIntervalStillRecordedIsAGrowingPlaylistOfItsWholeParts)
{
    const std::string made = RunShell("cd '" + server.Dir().Path() + "' && timeout 60 ffmpeg -nostdin -v error -y -f lavfi "
                                      "-i testsrc2=size=160x120:rate=25 -t 60 -c:v libx264 -preset ultrafast -g 25 -b:v 200k "
                                      "-maxrate 200k -bufsize 200k -muxrate 300k -f mpegts clip.ts 2>&1; echo exit=$?");
    ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
    const std::string clip = server.Dir().ReadFile("clip.ts");
    // A minute of recording under the name of one ten minutes ago, written out as it comes.
    const std::time_t start = (std::time(nullptr) - 600) / 60 * 60;
    const std::string file_name = ArchiveName(start);
    const std::string file = server.Dir().PathOf(file_name);
    server.Dir().MakeDir("tv_program_archive/b");
    std::size_t written = 0;
    const auto record_until = [&](double seconds) {
        const std::size_t upto = static_cast<std::size_t>(static_cast<double>(clip.size()) * seconds / 60) / 188 * 188;
        std::FILE* out = std::fopen(file.c_str(), "ab");
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::fwrite(clip.data() + written, 1, upto - written, out), upto - written);
        std::fclose(out);
        written = upto;
    };
    ASSERT_NO_FATAL_FAILURE(record_until(5));
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://127.0.0.1:1\" rec_folder=\"b\">B</ch>\r\n", "tv_on_demand_record_duration=60\r\n"));
    const std::string name = "/1/archive-" + std::to_string(start) + "-40";
    const auto part = [&](const std::string& address) {
        const std::string answer = Fetch("/1/" + address);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << address;
        const std::string body = BodyOf(answer);
        EXPECT_TRUE(body.size() > 188 * 3 && body.size() % 188 == 0 && PidAt(body, 0) == 0) << address;
        return body;
    };

    // 25 s of the interval's 40 are in the file: its two whole parts, as a playlist to poll.
    ASSERT_NO_FATAL_FAILURE(record_until(25));
    std::string answer = Fetch(name + ".m3u8");
    EXPECT_NE(answer.find("Cache-Control: max-age=5\r\n"), std::string::npos) << answer.substr(0, 300);
    std::string body = BodyOf(answer);
    EXPECT_NE(body.find("#EXT-X-PLAYLIST-TYPE:EVENT\r\n#EXT-X-TARGETDURATION:10\r\n"), std::string::npos) << body;
    EXPECT_EQ(body.find("#EXT-X-ENDLIST"), std::string::npos) << body;
    const MediaPlaylist early = ParsePlaylist(body);
    ASSERT_EQ(early.addresses.size(), 2u) << body;
    const std::string second = part(early.addresses[1]);
    EXPECT_EQ(Fetch(name + "-part-2.ts"), "HTTP/1.0 404 Not Found\r\n\r\n\r\n") << "its end is not in the file yet";

    ASSERT_NO_FATAL_FAILURE(record_until(35));
    const MediaPlaylist later = ParsePlaylist(BodyOf(Fetch(name + ".m3u8")));
    ASSERT_EQ(later.addresses.size(), 3u);
    EXPECT_EQ(later.addresses[1], early.addresses[1]);

    // Wholly recorded: the playlist with its end, the long cache, the same bytes in its parts.
    ASSERT_NO_FATAL_FAILURE(record_until(60));
    answer = Fetch(name + ".m3u8");
    EXPECT_NE(answer.find("Cache-Control: max-age=60\r\n"), std::string::npos) << answer.substr(0, 300);
    body = BodyOf(answer);
    EXPECT_NE(body.find("#EXT-X-PLAYLIST-TYPE:VOD\r\n"), std::string::npos) << body;
    EXPECT_EQ(body.substr(body.size() - 16), "#EXT-X-ENDLIST\r\n");
    const MediaPlaylist done = ParsePlaylist(body);
    ASSERT_EQ(done.addresses.size(), 4u);
    EXPECT_EQ(part(done.addresses[1]), second);
    EXPECT_NEAR(done.durations[3], 10.0, 0.01);

    // No longer written to: an interval whose end is still to come grows (the whole file is
    // listed), one past the recording's end does not.
    const utimbuf times{start + 60, start + 60};
    ASSERT_EQ(utime(file.c_str(), &times), 0);
    body = BodyOf(Fetch("/1/archive-" + std::to_string(start) + "-7200.m3u8"));
    EXPECT_NE(body.find("#EXT-X-PLAYLIST-TYPE:EVENT\r\n"), std::string::npos) << body;
    EXPECT_EQ(ParsePlaylist(body).addresses.size(), 6u) << body;
    body = BodyOf(Fetch("/1/archive-" + std::to_string(start) + "-100.m3u8"));
    EXPECT_NE(body.find("#EXT-X-ENDLIST"), std::string::npos) << body;
}

TEST_F(Hls, ACatchUpPartInTheFileBeingRecordedStartsAtTheKeyFrameAtOrBeforeItsFirstSecond)
{
    const std::string made = RunShell("cd '" + server.Dir().Path() + "' && timeout 60 ffmpeg -nostdin -v error -y -f lavfi "
                                      "-i testsrc2=size=160x120:rate=25 -t 120 -c:v libx264 -preset ultrafast -g 25 -b:v 200k "
                                      "-maxrate 200k -bufsize 200k -muxrate 300k -f mpegts clip.ts 2>&1; echo exit=$?");
    ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
    const std::string clip = server.Dir().ReadFile("clip.ts");
    const int64_t first_pcr = FirstPcr(clip);
    ASSERT_GE(first_pcr, 0);
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://127.0.0.1:1\" rec_folder=\"b\">B</ch>\r\n", "tv_on_demand_record_duration=60\r\n"));

    // A recorder that started 35 s into a minute (its file named by that minute) and has
    // written up to now, its last write with its last PCR.
    const std::time_t now = std::time(nullptr);
    const std::time_t began = now - 60 - (now - 35) % 60;
    const std::time_t named = began - 35;
    const std::string file_name = ArchiveName(named);
    std::size_t packets = 0;
    int64_t last_pcr = first_pcr;
    for (std::size_t packet = 0; packet < clip.size() / 188; ++packet) {
        const int64_t pcr = PcrAt(clip, packet);
        if (pcr < 0) continue;
        if (pcr - first_pcr > (now - began) * 27000000) break;
        packets = packet + 1;
        last_pcr = pcr;
    }
    server.Dir().MakeDir("tv_program_archive/b");
    server.Dir().WriteFile(file_name, clip.substr(0, packets * 188));
    const double written = static_cast<double>(began) + static_cast<double>(last_pcr - first_pcr) / 27e6;
    const timespec times[2] = {{static_cast<std::time_t>(written), static_cast<long>(std::fmod(written, 1.0) * 1e9)},
                               {static_cast<std::time_t>(written), static_cast<long>(std::fmod(written, 1.0) * 1e9)}};
    ASSERT_EQ(utimensat(AT_FDCWD, server.Dir().PathOf(file_name).c_str(), times, 0), 0);

    const std::time_t wanted = began + 20;
    const MediaPlaylist playlist = ParsePlaylist(BodyOf(Fetch("/1/archive-" + std::to_string(wanted) + "-12.m3u8")));
    ASSERT_EQ(playlist.addresses.size(), 2u);
    const std::string part = BodyOf(Fetch("/1/" + playlist.addresses[0]));
    ASSERT_TRUE(part.size() > 188 * 3 && part.size() % 188 == 0 && PidAt(part, 0) == 0) << part.size();
    const int64_t part_pcr = FirstPcr(part);
    ASSERT_GE(part_pcr, 0);
    const double part_starts = static_cast<double>(began) + static_cast<double>(part_pcr - first_pcr) / 27e6;
    EXPECT_LE(part_starts, static_cast<double>(wanted)) << "late by " << part_starts - static_cast<double>(wanted) << " s";
    EXPECT_GT(part_starts, static_cast<double>(wanted) - 1.0) << "more than a GOP early";
}

TEST_F(Hls, AnHttpPullChannelPlaysWithSegmentsThatStartAtAKeyFrame)
{
    const std::string made = RunShell("cd '" + server.Dir().Path() + "' && timeout 60 ffmpeg -nostdin -v error -y -f lavfi "
                                      "-i testsrc2=size=320x240:rate=25 -f lavfi -i sine -t 6 -c:v libx264 -preset ultrafast -g 25 "
                                      "-c:a aac -f mpegts clip.ts 2>&1; echo exit=$?");
    ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
    // ffmpeg's own HTTP server (chunked) plays the clip in a loop to the one client it accepts.
    const uint16_t port = FreeTcpPort();
    ASSERT_TRUE(source.Start({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -re -stream_loop -1 -i clip.ts -c copy -f mpegts "
                                               "-listen 1 http://127.0.0.1:" + std::to_string(port) + "/live.ts"},
                             server.Dir().Path()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // its single accept: no probe connection
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"http://127.0.0.1:" + std::to_string(port) + "/live.ts\">Pulled</ch>\r\n"));

    const std::string probed = RunShell("timeout 60 ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 '" +
                                        server.Url("/1/index.m3u8") + "' 2>&1");
    EXPECT_NE(probed.find("h264,video"), std::string::npos) << probed << server.Dir().ReadFile("system.log").substr(0, 3000);
    EXPECT_NE(probed.find("aac,audio"), std::string::npos) << probed;
    // The first segment and one cut in the middle of the stream.
    MediaPlaylist playlist;
    ASSERT_TRUE(WaitUntil([&] {
        playlist = ParsePlaylist(BodyOf(Fetch("/1/index.m3u8")));
        return playlist.addresses.size() >= 2;
    }, 30000));
    for (const std::string& address : {playlist.addresses.front(), playlist.addresses.back()}) {
        const std::string segment = BodyOf(Fetch("/1/" + address));
        ASSERT_GT(segment.size(), 10000u) << address;
        EXPECT_EQ(segment.size() % 188, 0u);
        EXPECT_EQ(PidAt(segment, 0), 0) << address;
        EXPECT_EQ(PidAt(segment, 1), 4096) << "the PMT follows the PAT";
        server.Dir().WriteFile("segment.ts", segment);
        const std::string first_frame = RunShell("ffprobe -v error -select_streams v -show_frames -read_intervals %+#1 "
                                                 "-show_entries frame=key_frame -of csv=p=0 '" + server.Dir().PathOf("segment.ts") + "'");
        EXPECT_EQ(first_frame.substr(0, 1), "1") << address << ": " << first_frame;
    }
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Hls, ADvbProgramIsCutAloneFromItsMultiplex)
{
    const uint16_t dvb = FreeUdpPort();
    server.Dir().WriteFile("iptvepg.txt", "[ch1]\r\ndvb://" + std::to_string(dvb) + ",2\r\n");
    ASSERT_TRUE(server.Start()) << server.Process().Stderr().substr(0, 2000);
    const std::string command =
        "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=25 -re -f lavfi -i testsrc=size=320x240:rate=25 "
        "-t 60 -map 0 -map 1 -c:v mpeg2video -b:v 1000k -g 12 -streamid 0:256 -streamid 1:512 -program program_num=101:st=0 "
        "-program program_num=102:st=1 -f mpegts 'udp://127.0.0.1:" + std::to_string(dvb) + "?pkt_size=1316'";
    ASSERT_TRUE(source.Start({"/bin/sh", "-c", command}, server.Dir().Path()));
    ASSERT_TRUE(server.WaitForLog("Finished filled the PMT Table\n", 20000));

    const std::string probed = RunShell("timeout 60 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" +
                                        server.Url("/2/index.m3u8") + "' 2>&1; echo exit=$?");
    EXPECT_NE(probed.find("mpeg2video"), std::string::npos) << probed;
    EXPECT_NE(probed.find("exit=0"), std::string::npos) << probed;
    const MediaPlaylist playlist = ParsePlaylist(BodyOf(Fetch("/2/index.m3u8")));
    ASSERT_FALSE(playlist.addresses.empty());
    const std::string segment = BodyOf(Fetch("/2/" + playlist.addresses.back()));
    ASSERT_GT(segment.size(), 188u * 3);
    ASSERT_EQ(PidAt(segment, 0), 0);
    // The PAT lists program 102 alone.
    const auto* pat = reinterpret_cast<const uint8_t*>(segment.data()) + 5;
    EXPECT_EQ(((pat[1] & 0x0F) << 8) | pat[2], 13);
    EXPECT_EQ((pat[8] << 8) | pat[9], 102);
    const int pmt_pid = ((pat[10] & 0x1F) << 8) | pat[11];
    std::set<int> pids;
    for (std::size_t k = 0; k < segment.size() / 188; ++k) pids.insert(PidAt(segment, k));
    EXPECT_EQ(pids, (std::set<int>{0, pmt_pid, 0x200})) << "the other program's stream came along";
}

// Zapping: with the PAT sent ten times a second and a key frame every two seconds, a player that
// opens the channel stream or its first HLS segment starts with the tables and a key frame, so
// that it shows a picture at once.
// The first picture of a capture in the test's folder is a key frame (ffprobe's packet flags).
bool StartsWithKeyFrame(TestServer& server, const std::string& file, std::string& packets)
{
    packets = RunShell("ffprobe -v error -select_streams v:0 -show_entries packet=flags,pts_time -of csv=p=0 -read_intervals '%+#5' '" +
                       server.Dir().PathOf(file) + "' 2>&1 | head -5");
    return packets.substr(0, packets.find('\n')).find(",K") != std::string::npos;
}

// Three viewers of /1.ch, 700 ms apart: each starts with the PAT and a key frame.
void ExpectViewersStartAtAKeyFrame(TestServer& server)
{
    for (int viewer = 0; viewer < 3; ++viewer) {
        const std::string file = "zap" + std::to_string(viewer) + ".ts";
        RunShell("curl -s --max-time 2 -o '" + server.Dir().PathOf(file) + "' '" + server.Url("/1.ch") + "'");
        const std::string head = server.Dir().ReadFile(file).substr(0, 2 * 188);
        ASSERT_EQ(head.size(), 2u * 188);
        EXPECT_EQ(PidAt(head, 0), 0) << "viewer " << viewer;
        std::string packets;
        EXPECT_TRUE(StartsWithKeyFrame(server, file, packets)) << "viewer " << viewer << ":\n" << packets;
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
}

TEST_F(Hls, AChannelStreamAndItsFirstSegmentStartAtAKeyFrame)
{
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n"));
    ASSERT_NO_FATAL_FAILURE(StartSource(udp, 40, 50, "0.1"));
    std::this_thread::sleep_for(std::chrono::seconds(5));  // a few key frames in the ring
    ExpectViewersStartAtAKeyFrame(server);
    const MediaPlaylist playlist = ParsePlaylist(BodyOf(Fetch("/1/index.m3u8")));
    ASSERT_FALSE(playlist.addresses.empty());
    server.Dir().WriteFile("segment.ts", BodyOf(Fetch("/1/" + playlist.addresses.front())));
    std::string packets;
    EXPECT_TRUE(StartsWithKeyFrame(server, "segment.ts", packets)) << packets;
}

// A folder channel's viewers join where its playlist stands, at the next key frame.
TEST_F(Hls, AFolderChannelStreamStartsAtAKeyFrame)
{
    server.Dir().MakeDir("media/loop");
    const std::string made = RunShell("timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 30 "
                                      "-c:v libx264 -preset ultrafast -g 50 -b:v 300k -pat_period 0.1 -f mpegts '" +
                                      server.Dir().PathOf("media/loop/0.ts") + "' 2>&1; echo exit=$?");
    ASSERT_NE(made.find("exit=0"), std::string::npos) << made;
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"dir://media/loop\">Loop</ch>\r\n"));
    ExpectViewersStartAtAKeyFrame(server);
}

// A minute after the last playlist request the channel is no longer cut; the next request
// starts cutting again.
TEST_F(Hls, CuttingStopsAMinuteAfterTheLastPlaylistRequestAndStartsAgainWithTheNext)
{
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">One</ch>\r\n"));
    ASSERT_NO_FATAL_FAILURE(StartSource(udp, 110));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_NE(Fetch("/1/index.m3u8").find("#EXTINF:"), std::string::npos);
    ASSERT_TRUE(server.WaitForLog("HLS segmenter: CH no.[1] ends", 75000));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(59));
    const std::string log = server.Dir().ReadFile("system.log");
    EXPECT_EQ(log.find("HLS segmenter: CH no.[1] starts"), log.rfind("HLS segmenter: CH no.[1] starts")) << "started once";
    EXPECT_NE(Fetch("/1/index.m3u8").find("#EXTINF:"), std::string::npos);
    const std::string again = server.Dir().ReadFile("system.log");
    EXPECT_NE(again.find("HLS segmenter: CH no.[1] starts"), again.rfind("HLS segmenter: CH no.[1] starts")) << "started again";
}
