// The management server on port 6001 in this process, built with a short inactivity and
// monitor period, against simulated boxes. The process moves into a network namespace of its
// own before any thread starts, so that the fixed port is never taken on the host.

#include "core/platform/platform.h"
#include "core/server_control.h"
#include "players/player_protocol.h"
#include "players/player_server.h"
#include "support/set_top_box.h"
#include "support/test_server.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Before main, on the only thread there is.
const bool g_own_network = EnterOwnNetwork();

// One server per process, stopped at its end (or by the shutdown test).
std::once_flag g_started_once;
ThreadRecord*  g_server = nullptr;

bool ServerRunning()
{
    std::call_once(g_started_once, [] {
        RaiseOpenFileLimit();
        const int before = ThreadCount(getpid());
        g_server = StartThread(Player_Mangment_Thread, nullptr, "PlayerServer");
        if (g_server == nullptr) return;
        g_startup_sema.Wait();
        // The listener, its reaper and the time and checking monitors.
        WaitUntil([before] { return ThreadCount(getpid()) >= before + 4; }, 5000);
    });
    return g_server != nullptr;
}

void StopServer()
{
    if (g_server == nullptr) return;
    g_player_stop_state.store(1);
    RaiseProcessStop();                         // the listener's wait ends at once
    StopThread(g_server);
    g_server = nullptr;
}

class StopAtEnd : public ::testing::Environment {
public:
    void TearDown() override { StopServer(); }
};
const auto* const g_stop_at_end = ::testing::AddGlobalTestEnvironment(new StopAtEnd);

class PlayerServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_own_network || !CanUseOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
        ASSERT_TRUE(ServerRunning());
    }
};

int Listed(const std::string& mac_id) { return CountOf(ListPlayers(), "player_mac_id=" + mac_id + "\r\n"); }

// Seconds between the local time a STAT carries and now.
long StatSkewSeconds(const std::string& received)
{
    const std::size_t at = received.find("STAT ");
    std::tm when{};
    int ms = -1;
    if (at == std::string::npos || std::sscanf(received.c_str() + at, "STAT %d,%d,%d,%d,%d,%d,%d", &when.tm_year,
                                               &when.tm_mon, &when.tm_mday, &when.tm_hour, &when.tm_min,
                                               &when.tm_sec, &ms) != 7 || ms < 0 || ms > 999)
        return 1000000;
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    when.tm_isdst = -1;
    return std::labs(static_cast<long>(std::mktime(&when) - std::time(nullptr)));
}

TEST_F(PlayerServer, ABoxRegistersGetsTheTimeEveryPeriodAndIsRefreshedByItsStatus)
{
    SetTopBox box("0011223344AA");
    ASSERT_TRUE(box.Connect());
    // The registration over three receives on a slow link.
    const std::string registration = box.Registration();
    ASSERT_TRUE(box.Send(registration.substr(0, 5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(box.Send(registration.substr(5, 30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(box.Send(registration.substr(35)));
    ASSERT_TRUE(box.WaitFor("STAT ", 5000));
    EXPECT_LE(StatSkewSeconds(box.Received()), 2);
    EXPECT_EQ(CheckPlayerIS_ACTIVE("0011223344aa"), 1);
    EXPECT_EQ(Listed("0011223344AA"), 1);
    EXPECT_NE(ListPlayers().find("player_ip=127.0.0.1\r\ngroup=g\r\n"), std::string::npos);

    // The time monitor sends it again; a status and an acknowledgement in one receive keep
    // the box active past the inactivity limit and change its group.
    ASSERT_TRUE(box.WaitFor("STAT ", 5000, 4));
    ASSERT_TRUE(box.Send(" PlayerName=b Password=p Group=h MACID=0011223344AA IPAddr=x\r\nRETR_OK"));
    ASSERT_TRUE(WaitUntil([] { return ListPlayers().find("group=h\r\n") != std::string::npos; }, 3000));
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(box.Send(box.Registration()));
    }
    EXPECT_EQ(CheckPlayerIS_ACTIVE("0011223344AA"), 1);
}

TEST_F(PlayerServer, ARegistrationWithoutItsKeysIsClosedAndLeavesNoEntry)
{
    SetTopBox nameless("0011223344BB");
    ASSERT_TRUE(nameless.Connect());
    ASSERT_TRUE(nameless.Send(" Password=p Group=g MACID=0011223344BB IPAddr=x\r\n"));
    EXPECT_TRUE(nameless.WaitClosed(5000));
    SetTopBox mute("0011223344BC");                 // never sends: closed after the receive limit
    ASSERT_TRUE(mute.Connect());
    EXPECT_FALSE(mute.WaitClosed(8000));
    EXPECT_TRUE(mute.WaitClosed(5000));
    EXPECT_EQ(Listed("0011223344BB") + Listed("0011223344BC"), 0);
    EXPECT_EQ(CheckPlayerIS_ACTIVE("0011223344BB"), 0);
}

TEST_F(PlayerServer, ASilentBoxTurnsInactiveAndIsLetGoWithoutAReboot)
{
    SetTopBox box("0011223344CC");
    ASSERT_TRUE(box.Connect());
    ASSERT_TRUE(box.Register());
    ASSERT_TRUE(box.WaitFor("STAT ", 5000));
    EXPECT_EQ(CheckPlayerIS_ACTIVE("0011223344CC"), 1);
    ASSERT_TRUE(WaitUntil([] { return CheckPlayerIS_ACTIVE("0011223344CC") == 0; }, 10000));
    EXPECT_EQ(Listed("0011223344CC"), 0);
    EXPECT_TRUE(box.WaitClosed(5000));
    EXPECT_EQ(box.Received().find("REST"), std::string::npos);
}

TEST_F(PlayerServer, AReconnectionWithTheSameMacIdRebootsAndReplacesTheOldEntry)
{
    SetTopBox old_box("0011223344DD");
    ASSERT_TRUE(old_box.Connect());
    ASSERT_TRUE(old_box.Register());
    ASSERT_TRUE(old_box.WaitFor("STAT ", 5000));
    SetTopBox new_box("0011223344dd");
    ASSERT_TRUE(new_box.Connect());
    ASSERT_TRUE(new_box.Register());
    ASSERT_TRUE(new_box.WaitFor("STAT ", 5000));
    EXPECT_TRUE(old_box.WaitFor("REST", 5000));
    EXPECT_TRUE(old_box.WaitClosed(5000));
    ASSERT_TRUE(WaitUntil([] { return Listed("0011223344DD") + Listed("0011223344dd") == 1; }, 5000));
    EXPECT_EQ(Listed("0011223344dd"), 1);
    EXPECT_EQ(new_box.Received().find("REST"), std::string::npos);
}

TEST_F(PlayerServer, QuestionsAreAnsweredThroughTheCommandThreadAndASilentBoxRunsOutOfTime)
{
    SetTopBox box("0011223344EE");
    ASSERT_TRUE(box.Connect());
    ASSERT_TRUE(box.Register());
    ASSERT_TRUE(box.WaitFor("STAT ", 5000));
    PlayerBox* held = nullptr;
    ASSERT_TRUE(FindPlayer("0011223344ee", held));
    ASSERT_NE(held, nullptr);

    const uint64_t start = GetTickMs();
    std::string answer;
    EXPECT_EQ(AskPlayer(*held, "QUERY", answer, 700), 0);     // not answering yet
    EXPECT_GE(GetTickMs() - start, 650u);
    EXPECT_EQ(answer, "");

    const std::string settings = "[audio]\nvolume=5\nmute=0\n";
    box.AnswerQueries(settings, true);                          // in two receives
    ASSERT_EQ(AskPlayer(*held, "QUERY", answer, 5000), 1);
    EXPECT_EQ(answer, settings);
    const std::string save = MergePlayerSettings(answer, "volume=\"9\"");
    ASSERT_EQ(AskPlayer(*held, save, answer, 5000), 1);
    EXPECT_EQ(answer, "RETR_OK");
    EXPECT_TRUE(box.WaitFor("SAVE_MACID_SETTING [audio]\nvolume=\"9\"\nmute=0\n", 1000));
    // A status joined to the answer refreshes the box and leaves the answer whole.
    box.AnswerQueries(box.Registration() + "\r\n" + settings);
    ASSERT_EQ(AskPlayer(*held, "QUERY", answer, 5000), 1);
    EXPECT_EQ(answer, settings);
    ReleasePlayer(held);
}

TEST_F(PlayerServer, EverySenderTakesTheBoxsSendLockSoNoTextIsInterleaved)
{
    SetTopBox box("0011223344FF");
    ASSERT_TRUE(box.Connect());
    ASSERT_TRUE(box.Register());
    ASSERT_TRUE(box.WaitFor("STAT ", 5000));
    PlayerBox* held = nullptr;
    ASSERT_TRUE(FindPlayer("0011223344FF", held));
    ASSERT_NE(held, nullptr);
    std::vector<std::thread> senders;
    for (char letter = 'a'; letter < 'e'; ++letter)
        senders.emplace_back([held, letter] {
            const std::string text = "<" + std::string(20000, letter) + ">";
            for (int i = 0; i < 5; ++i) SendToPlayer(*held, text);
        });
    for (std::thread& sender : senders) sender.join();
    ReleasePlayer(held);
    ASSERT_TRUE(box.WaitFor(">", 10000, 20));
    // Each text arrives whole: between "<" and ">" one letter only (STATs fall between texts).
    const std::string all = box.Received();
    int whole = 0;
    for (std::size_t at = all.find('<'); at != std::string::npos; at = all.find('<', at + 1)) {
        const std::size_t end = all.find('>', at);
        ASSERT_NE(end, std::string::npos);
        const std::string body = all.substr(at + 1, end - at - 1);
        EXPECT_EQ(body, std::string(20000, body[0]));
        ++whole;
    }
    EXPECT_EQ(whole, 20);
}

TEST_F(PlayerServer, AResetConnectionEndsItsCommandThreadAtOnce)
{
    SetTopBox box("001122334401");
    ASSERT_TRUE(box.Connect());
    ASSERT_TRUE(box.Register());
    ASSERT_TRUE(box.WaitFor("STAT ", 5000));
    box.Close(true);
    EXPECT_TRUE(WaitUntil([] { return Listed("001122334401") == 0; }, 2000));
}

TEST_F(PlayerServer, FiveHundredBoxesRegisterAndAreAllReapedWhenTheyDrop)
{
    ASSERT_TRUE(WaitUntil([] { return g_player_service.live.load() == 0; }, 15000));
    const int idle_threads = ThreadCount(getpid());
    constexpr int kBoxes = 500;
    std::vector<int> sockets;
    for (int i = 0; i < kBoxes; ++i) {
        const int fd = ConnectLoopback(6001);
        ASSERT_GE(fd, 0) << "box " << i;
        sockets.push_back(fd);
    }
    for (int i = 0; i < kBoxes; ++i) {
        const std::string mac = std::to_string(500000000000LL + i);
        ASSERT_TRUE(SendAllText(sockets[i], " PlayerName=b Password=p Group=g MACID=" + mac + " IPAddr=x\r\n"));
    }
    EXPECT_TRUE(WaitUntil([] { return CountOf(ListPlayers(), "player_mac_id=5000000") == kBoxes; }, 60000));
    EXPECT_EQ(CheckPlayerIS_ACTIVE("500000000499"), 1);
    for (const int fd : sockets) close(fd);
    EXPECT_TRUE(WaitUntil([] { return g_player_service.live.load() == 0; }, 30000)) << g_player_service.live.load();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(getpid()) <= idle_threads; }, 10000))
        << ThreadCount(getpid()) << " threads, " << idle_threads << " before";
}

// Last: the server stops here.
TEST_F(PlayerServer, AtShutdownEveryActiveBoxIsRebooted)
{
    SetTopBox first("001122334402");
    SetTopBox second("001122334403");
    ASSERT_TRUE(first.Connect() && second.Connect());
    ASSERT_TRUE(first.Register() && second.Register());
    ASSERT_TRUE(first.WaitFor("STAT ", 5000) && second.WaitFor("STAT ", 5000));
    static std::atomic<int> stopped_calls{0};
    g_player_server_stopped = [] { stopped_calls.fetch_add(1); };    // start-up frees the tokens here
    StopServer();
    EXPECT_EQ(stopped_calls.load(), 1);
    EXPECT_TRUE(first.WaitFor("REST", 5000));
    EXPECT_TRUE(second.WaitFor("REST", 5000));
    EXPECT_TRUE(first.WaitClosed(5000));
    EXPECT_EQ(g_player_service.live.load(), 0);
}

}  // namespace
