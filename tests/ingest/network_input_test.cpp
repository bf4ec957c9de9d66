// Channels fed by real traffic: ffmpeg (or a plain socket) sends to 127.0.0.1, the channel
// reader process of this test process fills the rings. Multicast runs in a private network
// namespace: the test binary runs those cases again inside one.

#include "channels/channel_table.h"
#include "core/config.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/channel_reader.h"
#include "ingest/real_buffer.h"
#include "server/startup.h"

#include "support/process.h"
#include "support/reader_fixture.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

bool HaveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }
bool InPrivateNetwork() { return std::getenv("QUORVANE_NETNS") != nullptr; }


using DatagramInputs = ReaderFixture;

TEST_F(DatagramInputs, AUdpUnicastChannelStoresEachDatagramInOneSlot)
{
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t port = FreeUdpPort();
    LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://" +
                                               std::to_string(port) + "\">News</ch>\r\n");
    ASSERT_EQ(Channel(0).FirstSource()->kind, kSourceUdpPort);
    StartReader();
    Send("-f mpegts", "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316");
    ASSERT_TRUE(WaitForSlots(0, 50));
    const auto buffer = Channel(0).Buffer();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(Channel(0).has_input.load(), 1);
    int full = 0;
    for (int i = 0; i < 50; ++i) {
        const int length = buffer->slots[i].length.load();
        EXPECT_TRUE(length > 0 && length <= 1316 && length % 188 == 0) << i << ": " << length;
        EXPECT_EQ(buffer->slots[i].data[0], 0x47) << i;
        full += length == 1316;
    }
    EXPECT_GT(full, 25);                                   // the sender flushes short ones now and then
    // A reader joins the running channel at a PAT.
    RingReader ring(Channel(0), false, 1);
    std::vector<uint8_t> first;
    ASSERT_EQ(ring.JoinAtPat([] { return false; }, first), RingReader::Join::kJoined);
    EXPECT_EQ(first[0], 0x47);
}

TEST_F(DatagramInputs, AnRtpUnicastChannelKeepsTheRtpHeaders)
{
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t port = FreeUdpPort();
    LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"rtp://:" +
                                               std::to_string(port) + "\">Rtp</ch>\r\n");
    ASSERT_EQ(Channel(0).FirstSource()->kind, kSourceRtpPort);
    StartReader();
    Send("-f rtp_mpegts", "rtp://127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(WaitForSlots(0, 30));
    const auto buffer = Channel(0).Buffer();
    int full = 0;
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(buffer->slots[i].data[0] & 0xC0, 0x80) << i;          // RTP version 2
        EXPECT_EQ(buffer->slots[i].data[12], 0x47) << i;
        full += buffer->slots[i].length.load() == 1328;
    }
    EXPECT_GT(full, 20);
}

TEST_F(DatagramInputs, AClosedChannelReaderReleasesItsPortAndRingUnlessSomeoneReadsIt)
{
    const uint16_t port = FreeUdpPort();
    LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://" +
                                               std::to_string(port) + "\">Quiet</ch>\r\n");
    StartReader();
    const uint64_t deadline = GetTickMs() + 5000;
    while (Channel(0).Buffer() == nullptr && GetTickMs() < deadline) SleepMs(5);
    std::shared_ptr<RealBuffer> held = Channel(0).Buffer();
    ASSERT_NE(held, nullptr);
    StopReader();
    EXPECT_EQ(Channel(0).Buffer(), nullptr);
    EXPECT_EQ(held.use_count(), 1);                         // still ours to read
    const int again = socket(AF_INET, SOCK_DGRAM, 0);      // the port is free again
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port   = htons(port);
    EXPECT_EQ(bind(again, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(again);
}

void SendDatagram(uint16_t port, const std::vector<uint8_t>& bytes)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family      = AF_INET;
    to.sin_port        = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

using DvbInputs = ReaderFixture;

TEST_F(DvbInputs, OnlyDatagramsOfWholePacketsStartingWithASyncByteAreKept)
{
    const uint16_t port = FreeUdpPort();
    LoadChannels("iptvepg.txt", "[ch1]\r\ndvb://" + std::to_string(port) + ",1\r\n");
    ASSERT_EQ(Channel(0).FirstSource()->kind, kSourceDvbPort);
    StartReader();
    const uint64_t deadline = GetTickMs() + 5000;
    while (Channel(0).FirstSource()->socket.load() <= 0 && GetTickMs() < deadline) SleepMs(5);
    std::vector<uint8_t> short_one(187, 0x47);
    SendDatagram(port, short_one);
    while (Channel(0).has_input.load() == 0 && GetTickMs() < deadline) SleepMs(5);
    EXPECT_EQ(Channel(0).has_input.load(), 1);             // a short datagram still counts as input
    auto unsynced = TsBuilder().Null(7).Bytes();
    unsynced[0] = 0x00;
    SendDatagram(port, unsynced);
    SendDatagram(port, TsBuilder().Pat().Bytes());
    while (Channel(0).input_index.load() == 0 && GetTickMs() < deadline) SleepMs(5);
    SleepMs(50);
    EXPECT_EQ(Channel(0).input_index.load(), 1);
    EXPECT_EQ(Channel(0).input_bytes.load(), 188);
}

TEST_F(DvbInputs, AMultiplexOfTwoProgramsFillsTheParentAndItsSubChannelAndRecordsEachProgramAlone)
{
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const uint16_t port = FreeUdpPort();
    g_config.iptv_time_shift_record_duration = 600;
    g_config.tv_on_demand_record_duration    = 60;
    LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" ?>\r\n<ch src=\"dvb://:" + std::to_string(port) + ",2\" rec_folder=\"first\">A</ch>\r\n"
                                           "<ch rec_folder=\"second\">B</ch>\r\n");
    ASSERT_EQ(CurrentChannels()->Count(), 2);
    EXPECT_STREQ(Channel(1).rec_folder, "second");
    StartReader();
    ASSERT_TRUE(sender.Start({"/bin/sh", "-c",
                              "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=160x120:rate=25 "
                              "-f lavfi -i testsrc=size=160x120:rate=25 -t 6 -map 0 -map 1 -c:v mpeg2video -b:v 400k "
                              "-program program_num=101:st=0 -program program_num=102:st=1 -f mpegts "
                              "'udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316'"},
                             dir.Path()));
    const uint64_t deadline = GetTickMs() + 20000;
    while (GetTickMs() < deadline && (Channel(0).FirstSource()->stream_count.load() == 0 ||
                                      Channel(1).FirstSource()->stream_count.load() == 0))
        SleepMs(20);
    const SourceRecord& parent = *Channel(0).FirstSource();
    const SourceRecord& sub = *Channel(1).FirstSource();
    EXPECT_EQ(parent.program_number.load(), 101);
    EXPECT_EQ(sub.program_number.load(), 102);
    EXPECT_NE(parent.pmt_pid.load(), sub.pmt_pid.load());
    EXPECT_EQ(parent.stream_count.load(), 1);
    EXPECT_EQ(parent.streams[0].type, 0x02);
    EXPECT_EQ(parent.video_pid.load(), parent.streams[0].pid);
    EXPECT_EQ(sub.video_pid.load(), sub.streams[0].pid);
    EXPECT_EQ(sub.source_type.load(), 10);
    EXPECT_EQ(Channel(1).Buffer(), nullptr);               // the sub-channel has no input of its own

    // Each program's time-shift file and archive hold that program alone, from a PAT on, and
    // decode without an error.
    ASSERT_EQ(sender.WaitExit(20000), 0);
    SleepMs(300);
    StopReader();
    const std::vector<std::pair<std::string, std::string>> recordings = {
        {"timeshift/time_shift_ch[1]", "101"}, {"timeshift/time_shift_ch[2]", "102"},
        {"tv_program_archive/first", "101"}, {"tv_program_archive/second", "102"}};
    for (const auto& [where, program] : recordings) {
        std::string path = dir.PathOf(where);
        if (where.rfind("tv_program_archive", 0) == 0) path = RunShell("ls -d '" + path + "'/*.ts | head -1 | tr -d '\\n'");
        const std::string head = RunShell("head -c 1 '" + path + "' | od -An -tx1 | tr -d ' \\n'");
        EXPECT_EQ(head, "47") << where;
        const std::string programs = RunShell("ffprobe -v error -show_programs -of flat '" + path + "' | grep -E 'program_num|codec_name='");
        EXPECT_EQ(programs, "programs.program.0.program_num=" + program + "\nprograms.program.0.streams.stream.0.codec_name=\"mpeg2video\"\n")
            << where;
        const std::string decoded = RunShell("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1");
        EXPECT_EQ(decoded, "") << where;
    }
}

// Multicast kinds inside a private network namespace.
class MulticastInNamespace : public ReaderFixture {
protected:
    void SetUp() override
    {
        if (!InPrivateNetwork()) GTEST_SKIP() << "runs inside the private network of MulticastInputs";
        if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        ReaderFixture::SetUp();
    }
};

TEST_F(MulticastInNamespace, UdpRtpAndDvbGroupsFillTheirRings)
{
    const std::string udp = std::to_string(FreeUdpPort());
    const std::string rtp = std::to_string(FreeUdpPort() + 2);
    const std::string dvb = std::to_string(FreeUdpPort() + 4);
    LoadChannels("iptvepg.txt", "[ch1]\r\nudp://239.10.0.1:" + udp + "\r\n[ch2]\r\nrtp://239.10.0.2:" + rtp +
                                    "\r\n[ch3]\r\ndvb://239.10.0.3:" + dvb + ",1\r\n");
    ASSERT_EQ(Channel(0).FirstSource()->kind, kSourceUdpGroup);
    ASSERT_EQ(Channel(1).FirstSource()->kind, kSourceRtpGroup);
    ASSERT_EQ(Channel(2).FirstSource()->kind, kSourceDvbGroup);
    StartReader();
    ChildProgram udp_sender;
    ChildProgram rtp_sender;
    const std::string source = "exec ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=160x120:rate=25 -t 6 "
                               "-c:v libx264 -preset ultrafast -b:v 400k ";
    ASSERT_TRUE(udp_sender.Start({"/bin/sh", "-c", source + "-f mpegts 'udp://239.10.0.1:" + udp + "?pkt_size=1316&ttl=1'"}, dir.Path()));
    ASSERT_TRUE(rtp_sender.Start({"/bin/sh", "-c", source + "-f rtp_mpegts 'rtp://239.10.0.2:" + rtp + "?ttl=1'"}, dir.Path()));
    Send("-f mpegts", "udp://239.10.0.3:" + dvb + "?pkt_size=1316&ttl=1");
    EXPECT_TRUE(WaitForSlots(0, 20));
    EXPECT_TRUE(WaitForSlots(1, 20));
    EXPECT_TRUE(WaitForSlots(2, 20));
    EXPECT_EQ(Channel(0).Buffer()->slots[0].data[0], 0x47);
    EXPECT_EQ(Channel(1).Buffer()->slots[0].data[12], 0x47);
    EXPECT_EQ(Channel(2).Buffer()->slots[0].data[0], 0x47);
}

TEST(MulticastInputs, RunInAPrivateNetwork)
{
    if (InPrivateNetwork()) GTEST_SKIP() << "already inside";
    if (!CanUseOwnNetwork()) GTEST_SKIP() << "network namespaces are not available";
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    ChildProgram inside;
    ASSERT_TRUE(inside.Start({self, "--gtest_filter=MulticastInNamespace.*"}, ".", true, {"QUORVANE_NETNS=1"}));
    const int code = inside.WaitExit(120000);
    EXPECT_EQ(code, 0) << inside.Stdout();
    EXPECT_NE(inside.Stdout().find("[  PASSED  ] 1 test"), std::string::npos) << inside.Stdout();
}

class ChannelRefresh : public ReaderFixture {
protected:
    // One UDP channel with a running source and the reader started on it.
    void StartNewsChannel()
    {
        const uint16_t port = FreeUdpPort();
        LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://" +
                                                   std::to_string(port) + "\">News</ch>\r\n");
        g_channel_reader_stop.store(0);
        ASSERT_EQ(RestartChannelReader(), 1);
        Send("-f mpegts", "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316", 12);
        ASSERT_TRUE(WaitForSlots(0, 30));
    }
};

TEST_F(ChannelRefresh, CloseReloadAndRestartWhileAReaderFollows)
{
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_NO_FATAL_FAILURE(StartNewsChannel());

    // A follower that holds the table and ring it joined, as a streamer does; it reads until
    // the ring it holds is retired.
    std::atomic<bool> stop{false};
    std::atomic<int> slots_read{0};
    std::atomic<bool> retired{false};
    std::thread follower([&] {
        const std::shared_ptr<ChannelTable> table = CurrentChannels();
        RingReader ring(*table->channels[0], false, 1);
        std::vector<uint8_t> first;
        if (ring.JoinAtPat([&] { return stop.load(); }, first) != RingReader::Join::kJoined) return;
        uint8_t slot[kRingSlotSize];
        int length = 0;
        while (!stop.load() && !retired.load()) {
            const RingReader::Next next = ring.NextSlot(slot, length);
            if (next == RingReader::Next::kSlot) slots_read.fetch_add(1);
            else if (next == RingReader::Next::kRetired) retired.store(true);
            else SleepMs(1);
        }
    });
    const uint64_t deadline = GetTickMs() + 10000;
    while (slots_read.load() == 0 && GetTickMs() < deadline) SleepMs(5);
    for (int cycle = 0; cycle < 3; ++cycle) {
        ScopedLock held(g_channel_reader_control_lock);
        EXPECT_EQ(CloseChannelReader(), 1);
        EXPECT_EQ(LoadChannelTable(true), 1);
        EXPECT_EQ(RestartChannelReader(), 1);
    }
    ASSERT_TRUE(WaitForSlots(0, 20));
    stop = true;
    follower.join();
    EXPECT_GT(slots_read.load(), 0);
    EXPECT_TRUE(retired.load());
    ScopedLock held(g_channel_reader_control_lock);
    EXPECT_EQ(CloseChannelReader(), 1);
}

TEST_F(ChannelRefresh, AReaderOfTheClosedRingEndsInsteadOfStallingAndANewReaderFollowsTheNewOne)
{
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_NO_FATAL_FAILURE(StartNewsChannel());

    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    RingReader ring(*table->channels[0], false, 1);
    std::vector<uint8_t> first;
    ASSERT_EQ(ring.JoinAtPat([] { return false; }, first), RingReader::Join::kJoined);
    uint8_t slot[kRingSlotSize];
    int length = 0;
    {
        ScopedLock held(g_channel_reader_control_lock);
        EXPECT_EQ(CloseChannelReader(), 1);
        EXPECT_EQ(RestartChannelReader(), 1);               // the same table: the same record
    }
    // However far behind it was, the old ring's reader hears that its writer is gone.
    RingReader::Next next = RingReader::Next::kSlot;
    for (int k = 0; k < 2000 && next == RingReader::Next::kSlot; ++k) next = ring.NextSlot(slot, length);
    EXPECT_EQ(next, RingReader::Next::kRetired);
    const uint64_t deadline = GetTickMs() + 20000;
    while (GetTickMs() < deadline) {
        const std::shared_ptr<RealBuffer> now = table->channels[0]->Buffer();
        if (now != nullptr && now != ring.buffer() && table->channels[0]->input_index.load() >= 20) break;
        SleepMs(20);
    }
    RingReader fresh(*table->channels[0], false, 2);
    EXPECT_EQ(fresh.JoinAtPat([] { return false; }, first), RingReader::Join::kJoined);
    ScopedLock held(g_channel_reader_control_lock);
    EXPECT_EQ(CloseChannelReader(), 1);
}

// The shutdown raised while refreshes of the channel table follow each other: it must find
// the reader it closes, and no refresh may start one behind it. Runs in a process of its own
// (the shutdown cannot be taken back).
bool InShutdownChild() { return std::getenv("QUORVANE_SHUTDOWN_CHILD") != nullptr; }

std::vector<std::string> OwnThreadNames()
{
    std::vector<std::string> names;
    std::vector<DirEntry> tasks;
    ListDirectory("/proc/self/task", tasks);
    for (const DirEntry& task : tasks) {
        std::ifstream comm("/proc/self/task/" + task.name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    return names;
}

using ShutdownDuringRefreshes = ReaderFixture;

TEST_F(ShutdownDuringRefreshes, ChildProcess)
{
    if (!InShutdownChild()) GTEST_SKIP() << "runs in its own process";
    LoadChannels("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://" +
                                               std::to_string(FreeUdpPort()) + "\">News</ch>\r\n");
    g_channel_reader_stop.store(0);
    ASSERT_EQ(RestartChannelReader(), 1);
    std::atomic<int> refreshes{0};
    std::thread refresher([&] {
        for (int k = 0; k < 100000; ++k) {
            ScopedLock held(g_channel_reader_control_lock);
            if (CloseChannelReader() == 0) return;
            if (LoadChannelTable(true) != 1) return;
            if (RestartChannelReader() == 0) return;
            refreshes.fetch_add(1);
        }
    });
    while (refreshes.load() < 5) SleepMs(1);
    ShutdownSequence();
    refresher.join();
    for (const std::string& name : OwnThreadNames()) {
        EXPECT_NE(name, "ChannelReader");
        EXPECT_NE(name, "ChannelData");
    }
}

TEST(ShutdownDuringARefresh, EndsTheReaderAndStartsNoOther)
{
    if (InShutdownChild()) GTEST_SKIP() << "the parent's part";
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    ChildProgram child;
    ASSERT_TRUE(child.Start({self, "--gtest_filter=ShutdownDuringRefreshes.ChildProcess"}, ".", false,
                            {"QUORVANE_SHUTDOWN_CHILD=1"}));
    const int code = child.WaitExit(30000);
    EXPECT_EQ(code, 0) << "the shutdown hung or left a reader running";
    EXPECT_NE(child.Stdout().find("[  PASSED  ] 1 test"), std::string::npos) << child.Stdout().substr(0, 3000);
}

}  // namespace
