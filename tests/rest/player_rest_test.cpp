// The player REST API against the real server binary, with curl and simulated boxes. The test
// process moves into a network namespace of its own before any thread starts; the server it
// starts, curl and the boxes share it, so the fixed port 6001 is never taken on the host.

#include "support/set_top_box.h"
#include "support/test_server.h"

#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const bool g_own_network = EnterOwnNetwork();

constexpr char k404[] = "HTTP/1.0 404 Not Found\r\n\r\n\r\n";
constexpr char kOk[] = "HTTP/1.1 200 OK\r\n\r\n";

std::string LongHeader(std::size_t length)
{
    return "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nContent-Length: " +
           std::to_string(length) + "\r\nKeep-Alive: timeout=15, max=500\r\nConnection: Keep-Alive\r\n\r\n";
}

class PlayerRest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_own_network || !CanUseOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
        server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\nbob,pw,12/31/2099,free,0\r\n");
        ASSERT_TRUE(server.Start()) << server.Process().Stdout().substr(0, 2000);
        ASSERT_TRUE(server.WaitForLog("Player Management Server Starting\n"));
        root = Token("root", "rootpw");
        bob = Token("bob", "pw");
        ASSERT_FALSE(root.empty());
        ASSERT_FALSE(bob.empty());
    }
    std::string Token(const std::string& user, const std::string& password)
    {
        const std::string answer = server.Curl("'URL/token/createtoken?userid=" + user + "&password=" + password + "'");
        return answer.size() > 8 ? answer.substr(6, answer.size() - 8) : "";
    }
    // The whole answer, head included.
    std::string Player(const std::string& command) { return server.Curl("-i 'URL/player/" + command + "'"); }
    void Registered(SetTopBox& box)
    {
        ASSERT_TRUE(box.Connect());
        ASSERT_TRUE(box.Register());
        ASSERT_TRUE(box.WaitFor("STAT ", 5000));
    }
    TestServer  server;
    std::string root;
    std::string bob;
};

TEST_F(PlayerRest, QueryAllListsTheActiveBoxesWithTheirLengthForRootOnly)
{
    SetTopBox box("0011223344A1", "lobby");
    Registered(box);
    const std::string answer = Player("query_all?token=" + root);
    const std::size_t body = answer.find("\r\n\r\n") + 4;
    const std::string entries = answer.substr(body);
    EXPECT_EQ(answer.substr(0, body), LongHeader(entries.size()));
    EXPECT_EQ(entries.find("player_mac_id=0011223344A1\r\nplayer_time="), 0u) << entries;
    EXPECT_NE(entries.find("\r\nplayer_ip=127.0.0.1\r\ngroup=lobby\r\n"), std::string::npos);
    EXPECT_EQ(CountOf(entries, "player_mac_id="), 1);

    // An HTTP stream of alice is listed beside the box.
    server.Dir().WriteFile("film.ts", std::string(8 << 20, '\0'));
    const int viewer = ConnectLoopback(server.Port());
    ASSERT_GE(viewer, 0);
    ASSERT_TRUE(SendAllText(viewer, "GET /film.ts?u=alice&p=pw HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string both;
    EXPECT_TRUE(WaitUntil([&] {
        both = Player("query_all?token=" + root);
        return both.find("player_mac_id=alice\r\n") != std::string::npos;
    }, 5000)) << both;
    close(viewer);
    const std::size_t alice = both.find("player_mac_id=alice\r\n");
    EXPECT_LT(both.find("player_mac_id=0011223344A1\r\n"), alice);
    EXPECT_NE(both.find("\r\ngroup=HTTP\r\n", alice), std::string::npos);

    EXPECT_EQ(Player("query_all?token=" + bob), k404);
    EXPECT_EQ(Player("query_all?token=12345"), k404);
    EXPECT_EQ(Player("query_all"), k404);
}

TEST_F(PlayerRest, RebootsAreRootsAndAnUnknownBoxGetsNoAnswer)
{
    SetTopBox first("0011223344B1");
    SetTopBox second("0011223344B2");
    SetTopBox third("0011223344B3");
    Registered(first);
    Registered(second);
    Registered(third);
    EXPECT_EQ(Player("reboot?token=" + bob + "&mac_id=0011223344B1"), k404);
    EXPECT_EQ(Player("reboot_all?token=" + bob), k404);
    EXPECT_EQ(Player("reboot?token=" + root + "&mac_id=FFFFFFFFFFFF"), "");
    EXPECT_EQ(first.Received().find("REST"), std::string::npos);

    EXPECT_EQ(Player("reboot?token=" + root + "&mac_id=0011223344b1"), kOk);
    EXPECT_TRUE(first.WaitFor("REST", 5000));
    EXPECT_TRUE(first.WaitClosed(5000));
    EXPECT_EQ(CountOf(first.Received(), "REST"), 1);     // not a second time as its thread ends
    EXPECT_EQ(second.Received().find("REST"), std::string::npos);

    EXPECT_EQ(Player("reboot_all?token=" + root), kOk);
    EXPECT_TRUE(second.WaitFor("REST", 5000));
    EXPECT_TRUE(third.WaitFor("REST", 5000));
    EXPECT_TRUE(third.WaitClosed(5000));
    const std::string list = Player("query_all?token=" + root);
    EXPECT_EQ(list, LongHeader(0)) << list;
}

TEST_F(PlayerRest, QueryForwardsTheBoxsAnswerWithItsRealLengthAndASilentBoxStillGetsAnAnswer)
{
    SetTopBox box("0011223344C1");
    Registered(box);
    EXPECT_EQ(Player("query?token=" + bob + "&mac_id=0011223344C1"), k404);
    EXPECT_EQ(box.Received().find("QUERY"), std::string::npos);
    // Silent: the answer comes after the wait, with nothing in it.
    EXPECT_EQ(Player("query?token=" + root + "&mac_id=0011223344C1"), LongHeader(0));

    const std::string settings = "[network]\nip=10.0.0.9\n[audio]\nvolume=5\nmute=0\n";
    box.AnswerQueries(settings, true);
    EXPECT_EQ(Player("query?token=" + root + "&mac_id=0011223344C1"), LongHeader(settings.size()) + settings);
    EXPECT_TRUE(server.WaitForLog("Send Query [" + std::to_string(settings.size()) + "] Bytess Data OK\n"));
}

TEST_F(PlayerRest, SaveSettingMergesTheNewValuesIntoTheBoxsSettings)
{
    SetTopBox box("0011223344D1");
    Registered(box);
    box.AnswerQueries("[audio]\nvolume=5\nmute=0\n");
    EXPECT_EQ(Player("save_setting?token=" + bob + "&mac_id=0011223344D1&setting=volume=%229%22"), k404);
    EXPECT_EQ(Player("save_setting?token=" + root + "&mac_id=0011223344D1&setting=volume=%229%22"), kOk);
    EXPECT_TRUE(box.WaitFor("SAVE_MACID_SETTING [audio]\nvolume=\"9\"\nmute=0\n", 1000));
    EXPECT_TRUE(WaitUntil([&] {                      // the time after the save
        const std::string all = box.Received();
        return all.rfind("STAT ") > all.find("SAVE_MACID_SETTING");
    }, 5000));
}

TEST_F(PlayerRest, AtShutdownTheActiveBoxesAreRebooted)
{
    SetTopBox box("0011223344E1");
    Registered(box);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_TRUE(box.WaitFor("REST", 5000));
    const std::string log = server.Dir().ReadFile("system.log");
    EXPECT_NE(log.find("Player_Mangment_Thread OUT1: NTP Management Server Closed\n"), std::string::npos);
    EXPECT_NE(log.find("Player MAC ID[0011223344E1]: Accept-["), std::string::npos);
    EXPECT_NE(log.find("Player_Mangment_Thread OUT\n"), std::string::npos);
}

TEST(PlayerManagementPort, WhenItIsTakenTheRestOfTheServerRunsAnyway)
{
    if (!g_own_network || !CanUseOwnNetwork()) GTEST_SKIP() << "needs a network namespace of its own";
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);   // past the connections of earlier tests
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(6001);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    TestServer server;
    server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\n");
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(server.WaitForLog("Player Management Server failed\n"));
    EXPECT_EQ(server.Curl("'URL/token/createtoken?userid=root&password=rootpw'").substr(0, 6), "token=");
    EXPECT_EQ(server.Stop(), 0);
    close(holder);
}

}  // namespace
