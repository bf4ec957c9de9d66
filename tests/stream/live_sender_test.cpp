#include "stream/live_sender.h"

#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/real_buffer.h"
#include "net/connection.h"
#include "support/stderr_capture.h"
#include "support/test_channel.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t kPcrPid = 0x101;
constexpr uint16_t kDataPid = 0x102;
constexpr int64_t  kSlotTicks = 270000;     // 10 ms of PCR time per slot

// Slot k: a PAT, a PCR of k * 10 ms, five packets filled with Fill(k, j).
uint8_t Fill(int k, int j) { return static_cast<uint8_t>((k * 5 + j) % 251); }
std::vector<uint8_t> Slot(int k)
{
    TsBuilder builder;
    builder.Pat().Pcr(kPcrPid, k * kSlotTicks);
    for (int j = 0; j < 5; ++j) builder.Payload(kDataPid, Fill(k, j));
    return builder.Bytes();
}

// The test's channel, written a numbered slot at a time.
struct NumberedChannel : TestChannel {
    int written = 0;
    void WriteNext() { Write(Slot(written++)); }
};

// An HTTP viewer's link to its connection.
LiveViewerLink LinkOf(PlayerConnection& conn)
{
    LiveViewerLink link;
    link.socket = &conn.socket;
    link.stop = &conn.stop;
    link.service_stop = &g_http_stop_state;
    link.last_pcr = &conn.last_pcr;
    link.thread_number = 42;
    return link;
}

// One viewer on a socket pair: the test reads the far end. A shared one (as RTSP's) has a
// second writer, the test, that takes the send lock, and a pause switch.
struct TestViewer {
    PlayerConnection     conn;
    std::mutex           send_lock;
    std::atomic<uint8_t> paused{0};
    int                  far_end = -1;
    std::atomic<bool>    ended{false};
    bool                 failed = false;
    std::thread          thread;

    TestViewer(NumberedChannel& test, int send_buffer = 0, bool shared = false)
    {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        if (send_buffer > 0) setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
        conn.socket.store(pair[0]);
        far_end = pair[1];
        thread = std::thread([this, &test, shared] {
            RingReader ring(test.channel, false, 42);
            std::vector<uint8_t> first;
            LiveViewerLink link = LinkOf(conn);
            if (shared) {
                link.send_lock = &send_lock;
                link.paused = &paused;
            }
            if (ring.JoinAtPat([this] { return conn.stop.load() != 0; }, first) == RingReader::Join::kJoined &&
                send(conn.socket.load(), first.data(), first.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(first.size()))
                failed = ServePacedViewer(test.channel, ring, link);
            ended.store(true);
        });
    }
    ~TestViewer()
    {
        conn.stop.store(1);
        if (thread.joinable()) thread.join();
        close(conn.socket.load());
        close(far_end);
    }
    // Waits up to 5 s for the viewer's join slot, so that the slots written after it cannot
    // move where it joins.
    void AwaitJoin(std::vector<uint8_t>& into)
    {
        for (int wait = 0; wait < 50 && into.empty(); ++wait) Read(into, 100);
        ASSERT_FALSE(into.empty()) << "the viewer never joined";
    }
    // Reads what has arrived within wait_ms (0: what is there now).
    void Read(std::vector<uint8_t>& into, int wait_ms)
    {
        const uint64_t until = GetTickMs() + static_cast<uint64_t>(wait_ms);
        uint8_t chunk[65536];
        for (;;) {
            const uint64_t now = GetTickMs();
            pollfd watch{far_end, POLLIN, 0};
            if (poll(&watch, 1, now >= until ? 0 : static_cast<int>(until - now)) <= 0) return;
            const ssize_t got = recv(far_end, chunk, sizeof chunk, 0);
            if (got <= 0) return;
            into.insert(into.end(), chunk, chunk + got);
        }
    }
};

// The slot number a PCR packet of the test's channel carries.
int SlotOfPcr(const uint8_t* packet)
{
    const int64_t base = (static_cast<int64_t>(packet[6]) << 25) | (packet[7] << 17) | (packet[8] << 9) |
                         (packet[9] << 1) | (packet[10] >> 7);
    return static_cast<int>(base * 300 / kSlotTicks);
}

// Checks that packets hold whole slots, each slot right after the one before; returns the
// first and last slot numbers seen (-1 when none).
std::pair<int, int> CheckConsecutiveSlots(const std::vector<uint8_t>& bytes)
{
    EXPECT_EQ(bytes.size() % 188, 0u);
    int first = -1;
    int expected = -1;
    int packet_in_slot = 0;
    for (std::size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        const uint8_t* packet = bytes.data() + at;
        EXPECT_EQ(packet[0], 0x47) << "at byte " << at;
        const int pid = ((packet[1] & 0x1F) << 8) | packet[2];
        if (pid == 0) {
            EXPECT_EQ(packet_in_slot, expected < 0 ? 0 : 7) << "a slot was cut before byte " << at;
            packet_in_slot = 1;
            continue;
        }
        if (pid == kPcrPid) {
            const int k = SlotOfPcr(packet);
            if (first < 0) first = k;
            else EXPECT_EQ(k, expected + 1) << "slots lost or repeated before byte " << at;
            expected = k;
            ++packet_in_slot;
            continue;
        }
        EXPECT_EQ(pid, kDataPid);
        EXPECT_EQ(packet[4], Fill(expected, packet_in_slot - 2)) << "at byte " << at;
        ++packet_in_slot;
    }
    return {first, expected};
}

// The slot number of the last whole PCR packet in bytes (-1 when none).
int LastSlot(const std::vector<uint8_t>& bytes)
{
    for (std::size_t at = bytes.size() / 188 * 188; at >= 188; at -= 188) {
        const uint8_t* packet = bytes.data() + at - 188;
        if ((((packet[1] & 0x1F) << 8) | packet[2]) != kPcrPid) continue;
        return SlotOfPcr(packet);
    }
    return -1;
}

// Each test joins the senders its viewers left, as the HTTP monitor does in the server.
class PacedLiveViewers : public ::testing::Test {
protected:
    void TearDown() override
    {
        JoinIdleLiveSenders(2000);
        EXPECT_EQ(LiveSenderCount(), 0);
    }
};

TEST_F(PacedLiveViewers, EverySlotArrivesOnceAndInOrderThroughCatchUpPacingAndAFullSocket)
{
    NumberedChannel test;
    for (int i = 0; i < 100; ++i) test.WriteNext();
    TestViewer viewer(test, 4096);
    std::vector<uint8_t> received;
    ASSERT_NO_FATAL_FAILURE(viewer.AwaitJoin(received));
    // The writer keeps real time (a slot per 10 ms of PCR time) for 1.5 s; the player takes
    // nothing for 400 ms in the middle, so the sender meets a full socket and must hold back.
    for (int step = 0; step < 150; ++step) {
        test.WriteNext();
        if (step < 50 || step >= 90) viewer.Read(received, 0);
        SleepMs(10);
    }
    // The sender catches up on what the stall held back; a loaded machine gets up to 3 s.
    const uint64_t until = GetTickMs() + 3000;
    do viewer.Read(received, 100);
    while (LastSlot(received) < test.written - 30 && GetTickMs() < until);
    viewer.conn.stop.store(1);
    viewer.thread.join();
    EXPECT_FALSE(viewer.failed);
    const auto [first, last] = CheckConsecutiveSlots(received);
    EXPECT_EQ(first, 25) << "joins a quarter of the filled slots after the oldest";
    EXPECT_GE(last, test.written - 30) << "paced close to the writer";
}

TEST_F(PacedLiveViewers, AViewerAtTheWriterTakesWhatCameInAStepNotADatagramAtATime)
{
    NumberedChannel test;
    for (int i = 0; i < 20; ++i) test.WriteNext();
    TestViewer viewer(test);
    std::vector<uint8_t> received;
    ASSERT_NO_FATAL_FAILURE(viewer.AwaitJoin(received));
    // The writer keeps real time for 1.5 s; the viewer, caught up after its burst, is at the
    // writer. Each 10 ms the test looks whether bytes came since the last look.
    int arrivals = 0;
    for (int step = 0; step < 150; ++step) {
        test.WriteNext();
        const std::size_t before = received.size();
        viewer.Read(received, 0);
        if (step >= 50 && received.size() > before) ++arrivals;
        SleepMs(10);
    }
    viewer.Read(received, 400);
    const auto [first, last] = CheckConsecutiveSlots(received);
    EXPECT_EQ(first, 5);
    EXPECT_GE(last, test.written - 30);
    // A send per 200 ms step is about 5 in that second; one per commit would be about 100.
    EXPECT_LE(arrivals, 25) << "the viewer at the writer was sent each slot as it came";
}

TEST_F(PacedLiveViewers, OneSenderServesAChannelsViewersAndEndsWithTheLast)
{
    NumberedChannel test;
    for (int i = 0; i < 20; ++i) test.WriteNext();
    {
        TestViewer a(test);
        TestViewer b(test);
        std::vector<uint8_t> got_a, got_b;
        for (int step = 0; step < 30; ++step) {
            test.WriteNext();
            a.Read(got_a, 0);
            b.Read(got_b, 0);
            SleepMs(10);
        }
        EXPECT_EQ(LiveSenderCount(), 1);
        a.Read(got_a, 200);
        b.Read(got_b, 200);
        EXPECT_GT(CheckConsecutiveSlots(got_a).second, 20);
        EXPECT_GT(CheckConsecutiveSlots(got_b).second, 20);
    }
    for (int wait = 0; wait < 100 && LiveSenderCount() != 0; ++wait) SleepMs(20);
    EXPECT_EQ(LiveSenderCount(), 0);
}

// Threads of this process with the given name.
int ThreadsNamed(const std::string& name)
{
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    return count;
}

TEST_F(PacedLiveViewers, ChannelsShareAThreadPerCoreAndEachSenderEndsWithItsOwnLastViewer)
{
    const int cores = UsableCores();
    const int count = cores + 2;
    std::vector<std::unique_ptr<NumberedChannel>> channels;
    std::vector<std::unique_ptr<TestViewer>> viewers;
    std::vector<std::vector<uint8_t>> received(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        channels.push_back(std::make_unique<NumberedChannel>());
        for (int i = 0; i < 20; ++i) channels[k]->WriteNext();
        viewers.push_back(std::make_unique<TestViewer>(*channels[k]));
    }
    auto run = [&](int steps) {
        for (int step = 0; step < steps; ++step) {
            for (int k = 0; k < count; ++k) {
                channels[k]->WriteNext();
                if (viewers[k] != nullptr) viewers[k]->Read(received[k], 0);
            }
            SleepMs(10);
        }
        // What the last steps sent, a pacing step later; a loaded machine gets up to 3 s.
        const uint64_t until = GetTickMs() + 3000;
        for (int k = 0; k < count; ++k)
            if (viewers[k] != nullptr)
                do viewers[k]->Read(received[k], 100);
                while (LastSlot(received[k]) < channels[k]->written - 30 && GetTickMs() < until);
    };
    run(30);
    EXPECT_EQ(LiveSenderCount(), count);
    EXPECT_LE(ThreadsNamed("LiveSender"), cores);
    for (int k = 0; k < count; ++k)
        EXPECT_GE(CheckConsecutiveSlots(received[k]).second, channels[k]->written - 30) << "channel " << k;

    // The first channel's only viewer leaves: its sender goes, the others' go on.
    viewers[0].reset();
    for (int wait = 0; wait < 100 && LiveSenderCount() != count - 1; ++wait) SleepMs(20);
    EXPECT_EQ(LiveSenderCount(), count - 1);
    std::vector<int> before;
    for (int k = 1; k < count; ++k) before.push_back(CheckConsecutiveSlots(received[k]).second);
    run(30);
    for (int k = 1; k < count; ++k) {
        const int last = CheckConsecutiveSlots(received[k]).second;
        EXPECT_GT(last, before[k - 1]) << "channel " << k;
        EXPECT_GE(last, channels[k]->written - 30) << "channel " << k;
    }
    viewers.clear();
}

TEST_F(PacedLiveViewers, APlayerThatLeavesEndsItsStreamWithAnErrorAndTheOtherGoesOn)
{
    NumberedChannel test;
    for (int i = 0; i < 20; ++i) test.WriteNext();
    TestViewer staying(test);
    TestViewer leaving(test);
    std::vector<uint8_t> got;
    for (int step = 0; step < 10; ++step) {
        test.WriteNext();
        staying.Read(got, 0);
        SleepMs(10);
    }
    shutdown(leaving.far_end, SHUT_RDWR);
    for (int step = 0; step < 100 && !leaving.ended.load(); ++step) {
        test.WriteNext();
        staying.Read(got, 0);
        SleepMs(10);
    }
    EXPECT_TRUE(leaving.ended.load());
    leaving.thread.join();
    EXPECT_TRUE(leaving.failed);
    EXPECT_EQ(leaving.conn.stop.load(), 1);
    EXPECT_FALSE(staying.ended.load());
    const std::size_t before = got.size();
    for (int step = 0; step < 20; ++step) {
        test.WriteNext();
        SleepMs(10);
    }
    staying.Read(got, 300);
    EXPECT_GT(got.size(), before);
    CheckConsecutiveSlots(got);
}

// The HTTP viewer hands its reader to the sender: the reader must count in the channel's
// demand once while it is served and not at all once its player has gone.
TEST_F(PacedLiveViewers, AReaderHandedToTheSenderCountsOnceInTheDemandUntilItsPlayerLeaves)
{
    NumberedChannel test;
    for (int i = 0; i < 20; ++i) test.WriteNext();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    PlayerConnection conn;
    conn.socket.store(pair[0]);
    auto ring = std::make_unique<RingReader>(test.channel, false, 42);
    std::vector<uint8_t> first;
    ASSERT_EQ(ring->JoinAtPat([] { return false; }, first), RingReader::Join::kJoined);
    std::atomic<bool> ended{false};
    ASSERT_TRUE(HandToLiveSender(test.channel, std::move(ring), LinkOf(conn), [&](bool) { ended.store(true); }));
    EXPECT_EQ(test.channel.demand.load(), 1);
    close(pair[1]);
    for (int step = 0; step < 300 && !ended.load(); ++step) {
        test.WriteNext();
        SleepMs(10);
    }
    EXPECT_TRUE(ended.load());
    EXPECT_EQ(test.channel.demand.load(), 0);
    close(pair[0]);
}

TEST_F(PacedLiveViewers, APlayerThatTakesNothingForFiveSecondsIsDroppedLikeABlockedSend)
{
    NumberedChannel test;
    for (int i = 0; i < 20; ++i) test.WriteNext();
    TestViewer stuck(test, 4096);
    const uint64_t start = GetTickMs();
    while (!stuck.ended.load() && GetTickMs() - start < 9000) {
        test.WriteNext();
        SleepMs(10);
    }
    ASSERT_TRUE(stuck.ended.load());
    stuck.thread.join();
    EXPECT_TRUE(stuck.failed);
    EXPECT_GE(GetTickMs() - start, 5000u);
}

// A PAUSE whose reply holds the connection when the sender's batch is due: the batch waits,
// and the viewer is paused with it. The sender must rest (not poll the writable socket in a
// loop, nor wake at the batch's send time-out) and send that batch first once it resumes.
TEST_F(PacedLiveViewers, APausedViewerWithABatchLeftWaitingRestsAndSendsItFirstWhenResumed)
{
    NumberedChannel test;
    for (int i = 0; i < 20; ++i) test.WriteNext();
    TestViewer viewer(test, 0, true);
    std::vector<uint8_t> received;
    for (int step = 0; step < 30; ++step) {
        test.WriteNext();
        viewer.Read(received, 0);
        SleepMs(10);
    }
    viewer.send_lock.lock();                                 // the reply goes out
    for (int step = 0; step < 30; ++step) {                  // three pacing steps fall due meanwhile
        test.WriteNext();
        SleepMs(10);
    }
    viewer.paused.store(1);
    viewer.send_lock.unlock();
    viewer.Read(received, 300);
    const std::size_t paused_at = received.size();
    const long ticks_before = ThreadCpuTicks(getpid(), "LiveSender");
    for (int step = 0; step < 300; ++step) {                 // 3 s paused, the writer going on
        test.WriteNext();
        SleepMs(10);
    }
    const long used = ThreadCpuTicks(getpid(), "LiveSender") - ticks_before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) * 3 / 20) << "the sender used more than 5 % of a core";
    viewer.Read(received, 0);
    EXPECT_EQ(received.size(), paused_at) << "a paused viewer got data";

    // Resumed: it goes on from where it rested, paced, the waiting batch first.
    const int rested_at = LastSlot(received);
    viewer.paused.store(0);
    for (int step = 0; step < 100; ++step) {
        test.WriteNext();
        viewer.Read(received, 0);
        SleepMs(10);
    }
    viewer.Read(received, 100);
    EXPECT_FALSE(viewer.ended.load());
    const int last = CheckConsecutiveSlots(received).second;      // nothing lost, nothing twice
    EXPECT_GT(last, rested_at + 50);
}

}  // namespace

namespace {

TEST(LivePcrClock, APcrThatGoesBackOrFarAheadStartsTheClockAgainAndBackIsReportedOnce)
{
    PlayerConnection conn;
    LivePcrClock clock;
    const auto take = [&](double seconds) {
        TsBuilder packet;
        packet.Pcr(0x100, static_cast<int64_t>(seconds * 27000000.0));
        clock.Take(packet.Bytes().data(), &conn.last_pcr);
    };
    StderrCapture log;
    take(26.0 * 3600);                                     // near the 33-bit wrap
    take(26.0 * 3600 + 0.1);
    EXPECT_NEAR(clock.pending(), 0.1 * 0.995, 1e-6);
    clock.ClearPending();
    take(1.0);                                             // the clock wrapped (or the encoder restarted)
    take(1.04);
    take(1.08);
    EXPECT_NEAR(clock.pending(), 0.08 * 0.995, 1e-6);
    take(3600.0);                                          // far ahead: another source's clock
    take(3600.04);
    EXPECT_NEAR(clock.pending(), 0.12 * 0.995, 1e-6);
    const std::string text = log.Text();
    std::size_t reported = 0;
    for (std::size_t at = text.find("pcr < cur_pcr"); at != std::string::npos; at = text.find("pcr < cur_pcr", at + 1)) ++reported;
    EXPECT_EQ(reported, 1u);
}

}  // namespace
