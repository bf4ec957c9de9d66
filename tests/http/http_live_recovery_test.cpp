// What an operator runs into in the first week, against the real server binary: a source
// without a PAT, a source that goes quiet while players come and go, a malformed channel line,
// a request that names two accounts, a request head trickled a byte at a time, an absurd byte
// range, and the cost of a burst of page requests.

#include "support/process.h"
#include "support/test_server.h"
#include "support/live_feed.h"
#include "support/ts_builder.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

// CPU seconds the process has used, from /proc.
double CpuSeconds(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int k = 3; k <= 15 && fields >> field; ++k)
        if (k == 14 || k == 15) ticks += std::stol(field);   // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string LiveRequest(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; }

class LiveRecovery : public ::testing::Test {
protected:
    void Start(const std::string& channels, const std::string& extra = "")
    {
        server.Dir().WriteFile("channel_definition.xml", kXmlHead + channels);
        ASSERT_TRUE(server.Start(extra)) << server.Process().Stdout().substr(0, 2000);
    }
    std::string Log() { return server.Dir().ReadFile("system.log"); }
    // A player's connection with its live request sent, or -1.
    int OpenLive(const std::string& path)
    {
        const int fd = ConnectLoopback(server.Port());
        if (fd >= 0 && !SendAllText(fd, LiveRequest(path))) {
            close(fd);
            return -1;
        }
        return fd;
    }
    TestServer server;
};

TEST_F(LiveRecovery, ARingWithoutAPatCostsNoCpuAndItsViewerGivesUpAfterTenSeconds)
{
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">NoPat</ch>\r\n"));
    UdpSource source(udp, 30, [](int64_t k) {
        TsBuilder datagram;
        for (int j = 0; j < 7; ++j) datagram.Payload(0x100, static_cast<uint8_t>(k));
        return datagram;
    }, 1);
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No", 15000));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // more than a full ring

    const int staying = OpenLive("/1.ch");
    ASSERT_GE(staying, 0);
    const Clock::time_point asked = Clock::now();
    for (int k = 0; k < 2; ++k) {                                 // two players that leave
        const int leaving = OpenLive("/1.ch");
        ASSERT_GE(leaving, 0);
        ReadFor(leaving, 1u << 20, 300);
        close(leaving);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int pid = server.Process().Pid();
    const double before = CpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_LT(CpuSeconds(pid) - before, 0.5) << "three joins without a PAT keep the server busy";

    bool closed = false;
    ReadFor(staying, 1u << 30, 15000, &closed);
    const double waited = std::chrono::duration<double>(Clock::now() - asked).count();
    close(staying);
    EXPECT_TRUE(closed);
    EXPECT_GT(waited, 9.0);
    EXPECT_LT(waited, 14.0);
    EXPECT_NE(Log().find("No Video PAT in 10 seconds"), std::string::npos);
}

TEST_F(LiveRecovery, ViewersOfAQuietSourceEndWithTheirPlayersAndASilentChannelRefusesNewOnes)
{
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">Quiet</ch>\r\n"));
    {
        UdpSource source(udp, 2.0, PlainDatagram);
        ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No", 15000));
    }                                                             // the source has stopped
    const int pid = server.Process().Pid();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int idle_threads = ThreadCount(pid);

    // Twenty players tune in (they get the join slot and the catch-up) and leave after a second.
    std::vector<int> players;
    for (int k = 0; k < 20; ++k) {
        const int fd = OpenLive("/1.ch");
        ASSERT_GE(fd, 0);
        players.push_back(fd);
    }
    for (const int fd : players) EXPECT_GT(ReadFor(fd, 2000, 3000).size(), 1000u);
    for (const int fd : players) close(fd);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(pid) <= idle_threads; }, 6000))
        << ThreadCount(pid) << " threads, " << idle_threads << " before the players came";

    // Silent for longer than the first-datagram wait, the channel no longer looks live: a new
    // player gets the header and the end of the connection.
    const bool refused = WaitUntil(
        [&] {
            const int fd = OpenLive("/1.ch");
            if (fd < 0) return false;
            bool closed = false;
            ReadFor(fd, 1u << 20, 1500, &closed);
            close(fd);
            return closed;
        },
        20000);
    EXPECT_TRUE(refused);
    EXPECT_NE(Log().find("Channel [1], No Video Input"), std::string::npos);
}

TEST_F(LiveRecovery, OneMalformedChannelLineLeavesTheOtherChannelsRunning)
{
    const uint16_t udp = FreeUdpPort();
    ASSERT_NO_FATAL_FAILURE(
        Start("<ch src=\"udp:/5000\">Broken</ch>\r\n<ch src=\"udp://" + std::to_string(udp) + "\">Good</ch>\r\n"));
    EXPECT_EQ(server.Process().Stdout().find("Channel service is not available"), std::string::npos);
    EXPECT_TRUE(server.WaitForLog("IPTV_Channel_ReaderProcess: CH [0] syntax error in iptvepg.txt", 5000));
    UdpSource source(udp, 20, PlainDatagram);
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No", 15000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int fd = OpenLive("/2.ch");
    ASSERT_GE(fd, 0);
    EXPECT_GT(ReadFor(fd, 20000, 5000).size(), 10000u);
    close(fd);
}

TEST_F(LiveRecovery, TheAccountThatPassedTheCheckIsTheOneThatStreams)
{
    const uint16_t udp = FreeUdpPort();
    server.Dir().WriteFile("user_profile.csv", "alice,apw,12/31/2099,pre,10\r\nmallory,mpw,12/31/2099,pre,10\r\n");
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"udp://" + std::to_string(udp) + "\">Ch</ch>\r\n", "user_authorization=1\r\n"));
    UdpSource source(udp, 30, PlainDatagram);
    ASSERT_TRUE(server.WaitForLog("Get UDP Packet from Port No", 15000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const int alice = OpenLive("/1.ch?u=alice&p=apw");
    ASSERT_GE(alice, 0);
    ASSERT_GT(ReadFor(alice, 5000, 5000).size(), 4000u);
    // mallory's own password with alice's name beside it: mallory's stream, not alice's end.
    const int mallory = OpenLive("/1.ch?u=alice&m=mallory&p=mpw");
    ASSERT_GE(mallory, 0);
    EXPECT_GT(ReadFor(mallory, 5000, 5000).size(), 4000u);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    bool closed = false;
    ReadFor(alice, 1u << 30, 1500, &closed);
    EXPECT_FALSE(closed) << "alice's stream was ended by a request that passed as mallory";
    EXPECT_EQ(Log().find("Discard the previous connection of user [alice]"), std::string::npos);
    EXPECT_NE(Log().find("User [mallory] watchs CH[1]"), std::string::npos);
    close(alice);
    close(mallory);
}

TEST_F(LiveRecovery, ADvbViewerWhoCameBeforeThePmtGetsTheProgramOnceItIsKnown)
{
    const uint16_t dvb = FreeUdpPort();
    server.Dir().WriteFile("iptvepg.txt", "[ch1]\r\ndvb://" + std::to_string(dvb) + ",2\r\n");
    ASSERT_NO_FATAL_FAILURE(Start(""));
    // Three seconds of a multiplex whose PAT comes without its PMTs, then the PMTs too.
    UdpSource source(dvb, 20, [](int64_t k) {
        TsBuilder datagram;
        datagram.Pat({{101, 0x1000}, {102, 0x1100}});
        if (k >= 600) datagram.Pmt(0x1000, 101, 0x101, {{0x02, 0x101}}).Pmt(0x1100, 102, 0x201, {{0x02, 0x201}});
        datagram.Pcr(0x101, k * 135000);
        while (datagram.Size() < 7 * 188) datagram.Payload(0x101, static_cast<uint8_t>(k));
        return datagram;
    });
    ASSERT_TRUE(server.WaitForLog("Total Program no =[2]", 10000));
    ASSERT_EQ(server.Dir().ReadFile("system.log").find("Finished filled the PMT Table"), std::string::npos)
        << "the PMTs were there before the viewer";
    const int viewer = OpenLive("/1.ch");
    ASSERT_GE(viewer, 0);
    ASSERT_TRUE(server.WaitForLog("Finished filled the PMT Table", 10000));
    // The ring's first seconds (PATs alone, as nothing else passes yet) come first.
    const std::string body = ReadFor(viewer, 4u << 20, 5000);
    close(viewer);
    std::size_t video = 0;
    for (std::size_t at = body.find("\x47"); at != std::string::npos && at + 188 <= body.size(); at += 188) {
        const uint16_t pid = static_cast<uint16_t>(((static_cast<uint8_t>(body[at + 1]) & 0x1F) << 8) | static_cast<uint8_t>(body[at + 2]));
        video += pid == 0x101;
    }
    EXPECT_GT(video, 50u) << "the viewer kept the empty stream list it joined with (" << body.size() << " bytes)";
}

TEST_F(LiveRecovery, AFolderChannelWhoseFilesWereEmptiedDoesNotSpin)
{
    server.Dir().MakeDir("films");
    for (const char* name : {"films/a.ts", "films/b.ts"}) {
        const int made = std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 4 "
                                      "-c:v mpeg2video -b:v 800k -f mpegts '" + server.Dir().PathOf(name) + "'").c_str());
        ASSERT_EQ(made, 0);
    }
    ASSERT_NO_FATAL_FAILURE(Start("<ch src=\"dir://films\">Films</ch>\r\n"));
    const int viewer = OpenLive("/1.ch");
    ASSERT_GE(viewer, 0);
    ASSERT_GT(ReadFor(viewer, 20000, 5000).size(), 10000u);
    for (const char* name : {"films/a.ts", "films/b.ts"}) ASSERT_EQ(truncate(server.Dir().PathOf(name).c_str(), 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int pid = server.Process().Pid();
    const double before = CpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(CpuSeconds(pid) - before, 0.3) << "the viewer opens and reads the empty files in a tight loop";
    close(viewer);
}

using RequestPath = LiveRecovery;

TEST_F(RequestPath, AHeadTrickledAByteAtATimeIsCutOffTenSecondsAfterTheConnection)
{
    ASSERT_NO_FATAL_FAILURE(Start(""));
    const int fd = ConnectLoopback(server.Port());
    ASSERT_GE(fd, 0);
    const Clock::time_point connected = Clock::now();
    const std::string head = "GET /index.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    bool closed = false;
    for (std::size_t k = 0; k < head.size() && !closed; ++k) {
        if (send(fd, head.data() + k, 1, MSG_NOSIGNAL) != 1) break;
        ReadFor(fd, 1, 2000, &closed);                            // a byte every 2 s
    }
    const double held = std::chrono::duration<double>(Clock::now() - connected).count();
    close(fd);
    EXPECT_TRUE(closed);
    EXPECT_GT(held, 9.0);
    EXPECT_LT(held, 13.0);

    // And the server may hold as many descriptors as the system lets it.
    std::ifstream limits("/proc/" + std::to_string(server.Process().Pid()) + "/limits");
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) != 0) continue;
        std::istringstream fields(line.substr(14));
        std::string soft, hard;
        fields >> soft >> hard;
        EXPECT_EQ(soft, hard);
    }
}

TEST_F(RequestPath, AnAbsurdByteRangeEndsAtTheFileAndAnsweredPagesAreFreedAtOnce)
{
    server.Dir().WriteFile("page.htm", std::string(4096, 'x'));
    server.Dir().WriteFile("film.ts", std::string(1000, 'y'));
    ASSERT_NO_FATAL_FAILURE(Start(""));
    const std::string answer =
        server.Fetch("GET /film.ts HTTP/1.1\r\nHost: x\r\nRange: bytes=0-99999999999999999999\r\n\r\n", 5000);
    EXPECT_NE(answer.find("206 OK"), std::string::npos) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Content-Range: bytes 0-999/1000"), std::string::npos) << answer.substr(0, 300);

    const int pid = server.Process().Pid();
    const int idle_threads = ThreadCount(pid);
    for (int k = 0; k < 100; ++k) ASSERT_NE(server.Fetch("GET /page.htm HTTP/1.0\r\n\r\n", 5000).find("200 OK"), std::string::npos);
    // Freed right after each answer, not at the monitor's beat (nor after its first 30 s).
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(pid) <= idle_threads; }, 1500))
        << ThreadCount(pid) << " threads, " << idle_threads << " before";
}

}  // namespace
