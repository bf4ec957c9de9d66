// cgi_quorvane run directly, as the gateway runs it, against a small REST server of the test
// that records each request line and gives a fixed answer.

#include "core/platform/platform.h"
#include "support/fake_peer.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Answers every connection with answer(request); a null answer keeps the connection open
// without a word until the client leaves.
class FakeRest {
public:
    using Answer = std::function<const char*(const std::string&)>;
    explicit FakeRest(Answer answer) : answer_(std::move(answer)), peer_([this](int fd, int) { Serve(fd); }) {}
    uint16_t Port() const { return peer_.Port(); }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> held(lock_);
        return requests_;
    }

private:
    void Serve(int fd)
    {
        const std::string request = ReadHead(fd, 2000);
        {
            std::lock_guard<std::mutex> held(lock_);
            requests_.push_back(request);
        }
        const char* text = answer_(request);
        if (text != nullptr) {
            SendText(fd, text);
            return;
        }
        while (!peer_.Stopping() && !WaitForClientClose(fd, 50)) {
        }
    }
    Answer                   answer_;
    std::mutex               lock_;
    std::vector<std::string> requests_;
    FakeTcpPeer              peer_;      // last: its thread ends before the members it uses
};

constexpr char kOk[] = "HTTP/1.1 200 OK\r\n\r\nresult=1\r\n";
constexpr char kNotFound[] = "HTTP/1.0 404 Not Found\r\n\r\n\r\n";

class AdminProgram : public ::testing::Test {
protected:
    void Config(uint16_t port, const std::string& more = "")
    {
        dir.WriteFile("quorvane_config.txt", "startmenu=admin/index.htm\r\niptv_base_port=8554\r\nvod_base_port=2000\r\n"
                                             "httpport=" + std::to_string(port) + "\r\nigmpip=0.0.0.0\r\n" + more);
    }
    std::string Run(const std::string& query, int* code = nullptr)
    {
        ChildResult result;
        EXPECT_TRUE(RunChildProcess(CGI_QUORVANE_BINARY, {}, {"QUERY_STRING=" + query, "QUORVANE_STRING=127.0.0.1"},
                                    8 << 20, 60000, result));
        if (code != nullptr) *code = result.exit_code;
        return result.output;
    }
    TempWorkDir dir;
};

TEST_F(AdminProgram, WithoutAQueryItAnswersNull)
{
    ChildResult result;
    ASSERT_TRUE(RunChildProcess(CGI_QUORVANE_BINARY, {}, {}, 4096, 5000, result));
    EXPECT_EQ(result.output, "NULL\n");
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(AdminProgram, TheTableChoosesByWholeNamesAndSendsTheExactRequest)
{
    FakeRest rest([](const std::string& request) {
        if (request.find("channel_list_query") != std::string::npos)
            return "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nCH1 name=news\r\nCH2 name=film\r\n";
        return kOk;
    });
    Config(rest.Port());
    int code = 0;
    EXPECT_EQ(Run("token=77&channel_inquery=1", &code), "CH1 name=news\r\nCH2 name=film\r\n");
    EXPECT_EQ(code, 1);
    // A channel named like a command is only a name.
    EXPECT_EQ(Run("ch_name=quorvane_shutdown&add_channel=3&ch_source=udp%3A%2F%2F239.1.1.1%3A1234&ch_rec_folder=r%26d"
                  "&token=77"),
              "1\r\n");
    EXPECT_EQ(Run("unknown=1&other", &code), "");
    EXPECT_EQ(code, 1);
    const std::vector<std::string> requests = rest.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET HTTP/1.1 /quorvane/channel_list_query?token=77\r\n\r\n");
    EXPECT_EQ(requests[1], "GET HTTP/1.1 /quorvane/channel_list_add?token=77&ch_no=3&ch_name=quorvane_shutdown"
                           "&src=udp%3A%2F%2F239.1.1.1%3A1234&rec_folder=r%26d\r\n\r\n");
    EXPECT_EQ(Run("rtsp_server_ip_port_inquery=1"), "rtsp://127.0.0.1:8554\n");
    EXPECT_EQ(Run("value_creation"), "admin/index.htm\n8554\n2000\n\n" + std::to_string(rest.Port()) + "\n\n0.0.0.0\n\n\n");
}

TEST_F(AdminProgram, SuccessIsPrintedOnlyOnAnOkAnswer)
{
    FakeRest rest([](const std::string& request) {
        if (request.find("createtoken") != std::string::npos) return "HTTP/1.1 200 OK\r\n\r\ntoken=123456\r\n";
        if (request.find("query_all_user") != std::string::npos)
            return "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nusername=a";
        return kNotFound;
    });
    Config(rest.Port());
    EXPECT_EQ(Run("token=1&reboot_player=001122334455"), "Reboot MACID=[001122334455] failed\n");
    EXPECT_EQ(Run("token=1&reboot_all_player"), "Reboot All Players failed\n");
    EXPECT_EQ(Run("token=1&quorvane_shutdown"), "\r\n");
    EXPECT_EQ(Run("token=1&quorvane_reboot"), "Reboot Quorvane failed");
    EXPECT_EQ(Run("token=1&del_user&username=bob"), "\r\n");
    EXPECT_EQ(Run("user_id=root&password=a%26b"), "123456");
    EXPECT_EQ(Run("token=1&query_all_user"), "username=a\r\n");
    const std::vector<std::string> requests = rest.Requests();
    EXPECT_EQ(requests[5], "GET HTTP/1.1 /token/createtoken?userid=root&password=a%26b\r\n\r\n");
    // "reboot_player" without its own value is no reboot.
    EXPECT_EQ(Run("reboot_player&token=001122334455"), "");
}

// 30 000 users (about 2.6 MB) pass whole, and the answer ends at the announced length
// even when the server sends more.
TEST_F(AdminProgram, AListOfAnyLengthPassesWholeUpToItsAnnouncedLength)
{
    std::string list;
    for (int i = 0; i < 30000; ++i)
        list += "username=user" + std::to_string(i) + "\r\npassword=pw\r\nexpired_time=12/31/2099\r\npaymodel=pre\r\n"
                "user_point=" + std::to_string(i) + "\r\n";
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(list.size()) + "\r\n\r\n" + list + "more";
    FakeRest rest([&answer](const std::string&) { return answer.c_str(); });
    Config(rest.Port());
    const std::string out = Run("token=1&query_all_user");
    EXPECT_EQ(out.size(), list.size() + 2);
    EXPECT_TRUE(out == list + "\r\n");
}

TEST_F(AdminProgram, ConnectionFailuresAndSilentServersGiveTheFailureTexts)
{
    Config(FreeTcpPort());
    EXPECT_EQ(Run("token=1&quorvane_shutdown"), "Shutdown Quorvane failed");
    EXPECT_EQ(Run("token=1&reboot_player=00"), "XANCP_open failed");
    EXPECT_EQ(Run("user_id=a&password=b"), "-1");
    FakeRest silent([](const std::string&) -> const char* { return nullptr; });
    Config(silent.Port());
    // The reply is waited for at most 30 seconds.
    EXPECT_EQ(Run("token=1&del_user&username=bob"), "0");
}

TEST_F(AdminProgram, SettingsAndFoldersNeedRootAndTheUpdateKeepsTheRest)
{
    std::atomic<bool> root{false};
    FakeRest rest([&](const std::string&) { return root ? "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" : kNotFound; });
    Config(rest.Port(), "plugin_command_path=/opt/plugin\r\nuser_authorization=1\r\n");
    const std::string before = dir.ReadFile("quorvane_config.txt");
    EXPECT_EQ(Run("token=5&vod_base_port=2100"), "Root token required\n");
    EXPECT_EQ(Run("vod_base_port=2100"), "Root token required\n");
    dir.MakeDir("media");
    dir.MakeDir("media/sub");
    dir.WriteFile("media/film.ts", "x");
    EXPECT_EQ(Run("token=5&get_dir_list=media"), "Root token required\n");
    root = true;
    EXPECT_EQ(Run("token=5&get_dir_list=media"), "sub\n\n");
    EXPECT_EQ(Run("token=5&get_file_list=media"), "film.ts\n\r\n\r\n");
    EXPECT_EQ(Run("token=5&get_file_list=.."), "");
    EXPECT_EQ(Run("token=5&get_file_list=%2Fetc"), "");

    EXPECT_EQ(Run("token=5&vod_base_port=2100&httpport=99999"), "Invalid setting httpport\n");
    EXPECT_EQ(Run("token=5&vod_base_port=2100&igmpip=1.2.3"), "Invalid setting igmpip\n");
    EXPECT_EQ(dir.ReadFile("quorvane_config.txt"), before);
    // "user_id" without a password prints "0" and the update still runs.
    EXPECT_EQ(Run("token=5&user_id=x&vod_base_port=2100&rtsp_base_port=9554&igmpip=239.1.1.1"),
              "0Update Setting Successfully");
    const std::string after = dir.ReadFile("quorvane_config.txt");
    EXPECT_EQ(after, "startmenu=admin/index.htm\r\niptv_base_port=9554\r\nvod_base_port=2100\r\nhttpport=" +
                         std::to_string(rest.Port()) +
                         "\r\nigmpip=239.1.1.1\r\nplugin_command_path=/opt/plugin\r\nuser_authorization=1\r\n");
    EXPECT_TRUE(dir.Exists("quorvane_config_backup.txt"));
}

TEST_F(AdminProgram, TwoSettingsSavesAtOnceKeepBothChanges)
{
    FakeRest rest([](const std::string&) { return "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"; });
    Config(rest.Port(), "rtmpport=1935\r\nigmpport=1234\r\n");
    const std::string head = "startmenu=admin/index.htm\r\niptv_base_port=8554\r\nvod_base_port=2000\r\nhttpport=" +
                             std::to_string(rest.Port()) + "\r\nigmpip=0.0.0.0\r\n";
    for (int round = 0; round < 50; ++round) {
        const std::string rtmp = std::to_string(2000 + round);
        const std::string igmp = std::to_string(3000 + round);
        std::string other_answer;
        std::thread other([&] { other_answer = Run("token=5&vod_base_port=2000&igmpport=" + igmp); });
        const std::string answer = Run("token=5&vod_base_port=2000&rtmpport=" + rtmp);
        other.join();
        EXPECT_EQ(answer, "Update Setting Successfully");
        EXPECT_EQ(other_answer, "Update Setting Successfully");
        ASSERT_EQ(dir.ReadFile("quorvane_config.txt"), head + "rtmpport=" + rtmp + "\r\nigmpport=" + igmp + "\r\n")
            << "round " << round;
    }
}

}  // namespace
