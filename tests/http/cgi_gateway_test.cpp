// The CGI gateway in the real server: small shell programs in "cgi-bin" stand in for the
// admin program.

#include "support/test_server.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string Body(const std::string& answer)
{
    const std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "" : answer.substr(at + 4);
}

long AnnouncedLength(const std::string& answer)
{
    const std::size_t at = answer.find("Content-Length: ");
    return at == std::string::npos ? -1 : std::atol(answer.c_str() + at + 16);
}

// Sends start, then one more byte every 200 ms, until the server answers and closes (or
// limit_ms have passed): what it answered and after how many milliseconds.
struct Dripped {
    std::string answer;
    long        after_ms = 0;
};
Dripped Drip(uint16_t port, const std::string& start, int limit_ms)
{
    Dripped result;
    const auto begun = std::chrono::steady_clock::now();
    const int fd = ConnectLoopback(port);
    if (fd < 0) return result;
    SendAllText(fd, start);
    char chunk[4096];
    while (std::chrono::steady_clock::now() - begun < std::chrono::milliseconds(limit_ms)) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 200) > 0) {
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            result.answer.append(chunk, static_cast<std::size_t>(got));
        } else if (!SendAllText(fd, "x")) {
            break;
        }
    }
    result.after_ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun).count());
    close(fd);
    return result;
}

class CgiGateway : public ::testing::Test {
protected:
    void Start(const std::string& extra = "")
    {
        server.Dir().WriteFile("user_profile.csv", "root,rootpw,12/31/2099,free,0\r\nbob,pw,12/31/2099,free,0\r\n");
        server.Dir().MakeDir("cgi-bin");
        server.Dir().MakeDir("media");
        server.Dir().MakeDir("media/videos");
        Program("echo", "#!/bin/sh\nprintf '<html>%s|%s</html>after the page' \"$QUERY_STRING\" \"$QUORVANE_STRING\"\n");
        Program("plain", "#!/bin/sh\nprintf 'line one\\nline two\\n'\n");
        Program("stdin", "#!/bin/sh\ncat\nprintf '|%s|%s' \"$CONTENT_LENGTH\" \"$REQUEST_METHOD\"\n");
        Program("forever", "#!/bin/sh\necho $$ > forever.pid\nprintf 'started'\nwhile :; do sleep 1; done\n");
        Program("megabyte", "#!/bin/sh\nhead -c 1048576 /dev/zero | tr '\\000' a\n");
        server.Dir().WriteFile("outside.sh", "#!/bin/sh\ntouch escaped\n");
        chmod(server.Dir().PathOf("outside.sh").c_str(), 0755);
        ASSERT_TRUE(server.Start(extra)) << server.Process().Stdout().substr(0, 2000);
    }
    void Program(const std::string& name, const std::string& text)
    {
        server.Dir().WriteFile("cgi-bin/" + name, text);
        chmod(server.Dir().PathOf("cgi-bin/" + name).c_str(), 0755);
    }
    std::string Get(const std::string& path) { return server.Fetch("GET /" + path + " HTTP/1.1\r\nHost: x\r\n\r\n"); }
    std::string RootToken()
    {
        const std::string body = Body(Get("token/createtoken?userid=root&password=rootpw"));
        return body.size() > 8 ? body.substr(6, body.size() - 8) : "";
    }
    TestServer server;
};

TEST_F(CgiGateway, ParallelRequestsEachSeeTheirOwnQueryAndThePageIsCut)
{
    Start();
    const std::string answer = Get("cgi-bin/echo?a=1&b=2");
    const std::string body = "<html>a=1&b=2|127.0.0.1</html>\r\n";
    EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\nContent-Range: bytes 0-" + std::to_string(body.size() - 1) +
                          "/" + std::to_string(body.size()) +
                          "\r\nConnection: close\r\nContent-Type: text/html;charset=big5\r\n\r\n" + body);
    const std::string plain = Get("cgi-bin/plain");
    EXPECT_EQ(Body(plain), "line one\nline two\n");
    EXPECT_EQ(AnnouncedLength(plain), 18);

    std::vector<std::string> answers(8);
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([&, i] { answers[i] = Get("cgi-bin/echo?n=" + std::to_string(i)); });
    for (std::thread& client : clients) client.join();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Body(answers[i]), "<html>n=" + std::to_string(i) + "|127.0.0.1</html>\r\n");
}

TEST_F(CgiGateway, OnlyProgramsOfTheFolderRunAndNeverThroughAShell)
{
    Start();
    for (const char* path : {"cgi-bin/../outside.sh", "cgi-bin/../../bin/sh", "cgi-bin/%2e%2e/outside.sh",
                             "cgi-bin/echo;touch%20escaped", "cgi-bin/sub/echo"})
        EXPECT_EQ(Get(path), "HTTP/1.0 404 Not Found\r\n\r\n\r\n") << path;
    EXPECT_EQ(Get("cgi-bin/missing?x=1"), "");
    // A query with shell syntax reaches the program as text.
    EXPECT_EQ(Body(Get("cgi-bin/echo?$(touch%20escaped)`touch%20escaped`")),
              "<html>$(touch%20escaped)`touch%20escaped`|127.0.0.1</html>\r\n");
    EXPECT_FALSE(server.Dir().Exists("escaped"));
}

TEST_F(CgiGateway, EndlessProgramsAreKilledAndLongOutputIsCut)
{
    Start("cgi_time_limit=2\r\ncgi_output_limit_kb=100\r\n");
    const std::string big = Get("cgi-bin/megabyte");
    EXPECT_EQ(AnnouncedLength(big), 102400);
    EXPECT_EQ(Body(big), std::string(102400, 'a'));

    const std::string answer = Get("cgi-bin/forever");
    EXPECT_EQ(Body(answer), "started");
    const int pid = std::atoi(server.Dir().ReadFile("forever.pid").c_str());
    ASSERT_GT(pid, 0);
    // Killed and reaped: not even a zombie is left.
    EXPECT_TRUE(WaitUntil([&] { return kill(pid, 0) != 0 && errno == ESRCH; }, 5000));
    // The server still answers.
    EXPECT_EQ(Body(Get("cgi-bin/plain")), "line one\nline two\n");
}

TEST_F(CgiGateway, AStoppingServerEndsARunningProgramWithinSeconds)
{
    Start("cgi_time_limit=300\r\n");
    std::thread client([&] { Get("cgi-bin/forever"); });
    ASSERT_TRUE(WaitUntil([&] { return std::atoi(server.Dir().ReadFile("forever.pid").c_str()) > 0; }, 10000));
    const int pid = std::atoi(server.Dir().ReadFile("forever.pid").c_str());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(server.Stop(), 0);
    client.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(kill(pid, 0) != 0 && errno == ESRCH);
}

TEST_F(CgiGateway, StandardInputIsEmptyForGetAndTheBodyForPost)
{
    Start();
    EXPECT_EQ(Body(Get("cgi-bin/stdin")), "||GET");
    const std::string body = "name=value&more";
    const std::string answer = server.Fetch("POST /cgi-bin/stdin?x=1 HTTP/1.1\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(Body(answer), body + "|15|POST");
}

TEST_F(CgiGateway, AnonymousBodiesAreSmallAndEveryRequestHasADeadline)
{
    Start("http_request_time_limit=2\r\n");
    // Refused from the head alone, while the body has not even been sent.
    EXPECT_EQ(server.Fetch("POST /cgi-bin/plain HTTP/1.1\r\nContent-Length: 4294967296\r\n\r\n", 5000),
              "HTTP/1.0 413 Request Entity Too Large\r\n\r\n");
    EXPECT_EQ(server.Fetch("POST /cgi-bin/plain HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", 5000),
              "HTTP/1.0 413 Request Entity Too Large\r\n\r\n");
    const std::string small(65536, 'v');
    EXPECT_EQ(Body(server.Fetch("POST /cgi-bin/stdin HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + small)),
              small + "|65536|POST");

    // A head or a body trickling in a byte at a time is cut at the deadline.
    const Dripped head = Drip(server.Port(), "GET /index.htm HTTP/1.1\r\nX-Slow: ", 8000);
    EXPECT_EQ(head.answer, "HTTP/1.0 408 Request Timeout\r\n\r\n");
    EXPECT_LT(head.after_ms, 4000);
    const Dripped body = Drip(server.Port(), "POST /cgi-bin/stdin HTTP/1.1\r\nContent-Length: 1000\r\n\r\n", 8000);
    EXPECT_EQ(body.answer, "HTTP/1.0 408 Request Timeout\r\n\r\n");
    EXPECT_LT(body.after_ms, 4000);
}

TEST_F(CgiGateway, BodiesThatWouldTakeTheFreeSpaceBelowItsFloorAreRefused)
{
    Start("cgi_min_free_mb=1099511627775\r\n");                 // far more than any disk holds
    EXPECT_EQ(server.Fetch("POST /cgi-bin/stdin HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde"),
              "HTTP/1.0 507 Insufficient Storage\r\n\r\n");
    const std::string root = RootToken();
    ASSERT_FALSE(root.empty());
    const std::string form = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.ts\"\r\n\r\nfilm\r\n--b--\r\n";
    EXPECT_EQ(server.Fetch("POST /cgi-bin/plain?token=" + root +
                           " HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
                           std::to_string(form.size()) + "\r\n\r\n" + form),
              "HTTP/1.0 507 Insufficient Storage\r\n\r\n");
    EXPECT_FALSE(server.Dir().Exists("media/videos/a.ts"));
    // Without a body nothing is stored, and the program runs.
    EXPECT_EQ(Body(Get("cgi-bin/plain")), "line one\nline two\n");
}

TEST_F(CgiGateway, UploadsNeedRootAndAreStoredWholeBeforeTheAnswer)
{
    Start("cgi_upload_limit_mb=3\r\n");
    const std::string root = RootToken();
    ASSERT_FALSE(root.empty());
    std::string film(2 * 1024 * 1024 + 17, '\0');
    std::mt19937 random(7);
    for (char& byte : film) byte = static_cast<char>(random() & 0xff);
    for (std::size_t at = 0; at < film.size(); at += 188) film[at] = 0x47;
    film[100] = '\0';

    // A form field before the film and one after it, as the admin page sends them.
    const auto post = [&](const std::string& token, const std::string& name, const std::string& data) {
        const std::string boundary = "----qvboundary42";
        const std::string field = "Content-Disposition: form-data; name=\"";
        const std::string film_part = name.empty() ? "" : "--" + boundary + "\r\n" + field + "film\"; filename=\"" + name +
                                                             "\"\r\nContent-Type: video/mp2t\r\n\r\n" + data + "\r\n";
        const std::string body = "--" + boundary + "\r\n" + field + "title\"\r\n\r\nMy film\r\n" + film_part + "--" +
                                 boundary + "\r\n" + field + "note\"\r\n\r\nafter the film\r\n--" + boundary + "--\r\n";
        return server.Fetch("POST /cgi-bin/plain?token=" + token +
                                " HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                                "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                            30000);
    };
    EXPECT_EQ(post("123", "a.ts", "x"), "HTTP/1.0 403 Forbidden\r\n\r\n");
    EXPECT_EQ(post("", "a.ts", "x"), "HTTP/1.0 403 Forbidden\r\n\r\n");
    EXPECT_FALSE(server.Dir().Exists("media/videos/a.ts"));
    for (const char* bad : {"../escaped.ts", "sub/x.ts", "a\\b.ts", "..", ""})
        EXPECT_EQ(post(root, bad, "x"), "HTTP/1.0 400 Bad Request\r\n\r\n") << bad;
    EXPECT_FALSE(server.Dir().Exists("media/escaped.ts"));
    EXPECT_EQ(post(root, "big.ts", std::string(3 * 1024 * 1024 + 1, 'x')),
              "HTTP/1.0 413 Request Entity Too Large\r\n\r\n");

    const std::string answer = post(root, "clip.ts", film);
    EXPECT_EQ(Body(answer), "line one\nline two\n");
    // Stored when the answer came, without the closing boundary, zero bytes and all.
    const std::string stored = server.Dir().ReadFile("media/videos/clip.ts");
    EXPECT_EQ(stored.size(), film.size());
    EXPECT_TRUE(stored == film);
    EXPECT_FALSE(server.Dir().Exists("media/videos/.clip.ts.uploading"));
}

}  // namespace
