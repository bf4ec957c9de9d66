// The set-top VOD service against the real server binary, driven by a simulated box: every
// reply of the request, the film's bytes from the right offsets after pause, seeks and
// skips, the reconnection after BEFORE_SEEK, a second request of the same box, billing, the
// guards on the path and the data port, and a real player (ffprobe) reading the data port.

#include "support/set_top_box.h"
#include "support/test_server.h"
#include "support/ts_builder.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int     kBlock       = 1316;
constexpr int64_t kFirstPcr    = 27000000;     // 1 s
constexpr int64_t kBlockTicks  = 108000;       // 4 ms of film per block
constexpr int     kFilmBlocks  = 7500;         // 30 s of PCR time, about 9.9 MB
constexpr int     kSkipBytes   = 1000 * 3840;  // 30 s at the 1000 kbit/s the probe reports

// Blocks of [PCR, PAT, PMT, 4 payload packets]: a seek lands on a block's PCR and goes on at
// its PAT, 188 bytes later. The payload bytes tell the blocks apart.
std::string Film(int blocks)
{
    TsBuilder film;
    for (int k = 0; k < blocks; ++k) {
        film.Pcr(0x101, kFirstPcr + k * kBlockTicks).Pat().Pmt();
        for (int j = 0; j < 4; ++j) film.Payload(0x102, static_cast<uint8_t>(k * 7 + j));
    }
    return std::string(film.Bytes().begin(), film.Bytes().end());
}

// A TCP connection to 127.0.0.1, from `source` when given (another loopback address).
int Connect(uint16_t port, const char* source = nullptr)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (source != nullptr && (inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
                              bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)) {
        close(fd);
        return -1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What arrives on fd: waits up to first_ms for a byte, then reads until quiet_ms pass without
// one, the peer closes, or `limit` bytes are in. closed tells whether the peer closed.
std::string Drain(int fd, int first_ms, int quiet_ms, std::size_t limit = 1 << 30, bool* closed = nullptr)
{
    std::string got;
    if (closed != nullptr) *closed = false;
    char chunk[65536];
    for (int wait = first_ms; got.size() < limit; wait = quiet_ms) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, wait) <= 0) break;
        const ssize_t n = recv(fd, chunk, std::min(sizeof chunk, limit - got.size()), 0);
        if (n <= 0) {
            if (closed != nullptr) *closed = true;
            break;
        }
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

// Exactly `count` bytes (fewer when the peer closes or 20 s pass).
std::string ReadBytes(int fd, std::size_t count)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        const std::string more = Drain(fd, 1000, 1000, count - got.size());
        if (more.empty()) break;
        got += more;
    }
    return got;
}

bool ClosedWithin(int fd, int ms)
{
    bool closed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!closed && std::chrono::steady_clock::now() < deadline) Drain(fd, 100, 100, 1 << 30, &closed);
    return closed;
}

// A set-top box: the control connection with its request and commands, the data connection
// with its confirmation and the stream.
class Box {
public:
    explicit Box(uint16_t vod_port, const char* source = nullptr) : source_(source), control(Connect(vod_port, source)) {}
    ~Box()
    {
        if (control >= 0) close(control);
        if (data >= 0) close(data);
    }
    // Sends the request; the reply (the server sends no line end).
    std::string Ask(const std::string& request)
    {
        send(control, request.data(), request.size(), MSG_NOSIGNAL);
        reply = Drain(control, 15000, 300);
        std::smatch found;
        if (std::regex_search(reply, found, std::regex("^tcp_port=(\\d+) "))) data_port = static_cast<uint16_t>(std::stoi(found[1]));
        return reply;
    }
    std::string Command(const std::string& text)
    {
        send(control, text.data(), text.size(), MSG_NOSIGNAL);
        return Drain(control, 10000, 100);
    }
    // Connects the data port and sends the answer ("user_confirmation" or "user_cancellation").
    bool Answer(const std::string& text = "user_confirmation", const char* source = nullptr)
    {
        if (data >= 0) close(data);
        data = Connect(data_port, source != nullptr ? source : source_);
        return data >= 0 && send(data, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // Pauses and reads what is still on its way: the bytes sent so far.
    std::string PauseAndDrain()
    {
        EXPECT_EQ(Command("PAUSE"), "OK");
        return Drain(data, 1000, 500);
    }

    const char* source_;
    int         control;
    int         data = -1;
    uint16_t    data_port = 0;
    std::string reply;
};

class VodService : public ::testing::Test {
protected:
    void Start(bool authorize, const std::string& users = "", const std::string& fees = "", const std::string& extra = "")
    {
        do vod_port = FreeTcpPort();
        while (vod_port > 60000);
        server.Dir().MakeDir("media");
        server.Dir().MakeDir("media/videos");
        server.Dir().MakeDir("media/tml");
        film = Film(kFilmBlocks);
        server.Dir().WriteFile("media/videos/film.ts", film);
        server.Dir().WriteFile("user_profile.csv", users);
        server.Dir().WriteFile("media/tml/movie_fee.csv", fees);
        ASSERT_TRUE(server.Start("vod_base_port=" + std::to_string(vod_port) + "\r\nuser_authorization=" +
                                 (authorize ? "1" : "0") + "\r\n" + extra))
            << server.Process().Stdout().substr(0, 2000);
    }
    // Every session ended cleanly (and a sanitizer in the server found nothing).
    void TearDown() override
    {
        if (server.Process().Running()) {
            EXPECT_EQ(server.Stop(), 0);
        }
    }
    std::string Log() { return server.Dir().ReadFile("system.log"); }
    // Starts the film on box (no authorization) and reads its first bytes.
    void Play(Box& box, std::size_t first)
    {
        box.Ask("VIDEONAME=media/videos/film.ts");
        ASSERT_TRUE(box.Answer());
        ASSERT_EQ(ReadBytes(box.data, first).size(), first);
    }
    // The film's bytes from offset (as many as `of` holds).
    std::string FilmFrom(std::size_t offset, const std::string& of) { return film.substr(offset, of.size()); }

    TestServer  server;
    uint16_t    vod_port = 0;
    std::string film;
};

constexpr char kFilm[] = "VIDEONAME=media/videos/film.ts";

TEST_F(VodService, WithoutAuthorizationTheShortReplyOffersAPortThatCarriesTheFilmFromItsStart)
{
    ASSERT_NO_FATAL_FAILURE(Start(false));
    Box box(vod_port);
    const std::string reply = box.Ask(kFilm);
    EXPECT_TRUE(std::regex_match(reply, std::regex("tcp_port=\\d+ sec=78 bitrate=1000"))) << reply;
    ASSERT_GT(box.data_port, vod_port);
    ASSERT_TRUE(box.Answer());
    const std::string head = ReadBytes(box.data, 200000);
    ASSERT_EQ(head.size(), 200000u);
    EXPECT_TRUE(head == FilmFrom(0, head));
    EXPECT_EQ(box.Command("TEARDOWN"), "OK");
    EXPECT_TRUE(ClosedWithin(box.control, 5000));
    EXPECT_TRUE(ClosedWithin(box.data, 5000));
    EXPECT_TRUE(server.WaitForLog("The Total Connection is [0]\n"));
    EXPECT_NE(Log().find("Player send a TEARDOWN command\n"), std::string::npos);
    // The watch log names the client IP where an account would stand.
    EXPECT_TRUE(WaitUntil([&] { return server.Dir().ReadFile("users/user_watch_log.csv").find(
                                           "--> ID : [127.0.0.1] UserName =[] End Movie Name: [media/videos/film.ts]\n") !=
                                       std::string::npos; },
                          5000));

    // Errors without authorization: no path, a missing film.
    Box none(vod_port);
    EXPECT_EQ(none.Ask("MACID=x"), "xancp_error=-7");
    EXPECT_TRUE(ClosedWithin(none.control, 5000));
    Box missing(vod_port);
    EXPECT_EQ(missing.Ask("VIDEONAME=media/videos/none.ts"), "xancp_error=-6");
}

TEST_F(VodService, PathsOutsideTheWorkingFolderAndProtectedFilesAreNotFound)
{
    ASSERT_NO_FATAL_FAILURE(Start(false));
    // Each would measure as a film of some length if it were opened.
    TempWorkDir outside(false);
    outside.WriteFile("film.ts", film);
    const std::string outside_name = outside.Path().substr(outside.Path().rfind('/') + 1);
    ASSERT_EQ(symlink(outside.PathOf("film.ts").c_str(), server.Dir().PathOf("media/videos/link.ts").c_str()), 0);
    server.Dir().WriteFile("user_profile.csv", std::string(300000, '#'));
    for (const std::string& path : {"../" + outside_name + "/film.ts", "media/../../" + outside_name + "/film.ts",
                                    std::string("media/videos/link.ts"), std::string("user_profile.csv"),
                                    std::string("/user_profile.csv")}) {
        Box box(vod_port);
        EXPECT_EQ(box.Ask("VIDEONAME=" + path), "xancp_error=-6") << path;
    }
    EXPECT_NE(Log().find("Player MAC ID[]: VIDEONAME File =[media/videos/link.ts] not found\n"), std::string::npos);
}

TEST_F(VodService, PauseSeekAndSkipsGoOnFromTheRightBytes)
{
    ASSERT_NO_FATAL_FAILURE(Start(false));
    Box box(vod_port);
    ASSERT_NO_FATAL_FAILURE(Play(box, 50000));
    std::size_t sent = 50000 + box.PauseAndDrain().size();
    EXPECT_TRUE(Drain(box.data, 700, 100).empty());           // paused: nothing comes
    EXPECT_EQ(sent % kBlock, 0u);

    // FORWARD: 30 s of bytes on, to a block's PCR; the stream goes on at its PAT.
    EXPECT_EQ(box.Command("FORWARD"), "OK");
    const std::size_t forward = (sent + kSkipBytes) / kBlock * kBlock;
    EXPECT_EQ(box.Command("RESUME"), "OK");
    std::string got = ReadBytes(box.data, 30000);
    ASSERT_EQ(got.size(), 30000u);
    EXPECT_TRUE(got == FilmFrom(forward + 188, got));
    sent = forward + 188 + got.size() + box.PauseAndDrain().size();

    // BACKWARD twice: the second starts from the first's target, so together they reach the
    // start, the first block's PAT (taken while paused: both are pending).
    EXPECT_EQ(box.Command("BACKWARD"), "OK");
    EXPECT_EQ(box.Command("BACKWARD"), "OK");
    EXPECT_GT(sent - 2 * kBlock, static_cast<std::size_t>(kSkipBytes));   // one alone would not reach 0
    EXPECT_EQ(box.Command("RESUME"), "OK");
    got = ReadBytes(box.data, 20000);
    EXPECT_TRUE(got == FilmFrom(188, got));
    box.PauseAndDrain();

    // SEEKTO: the block whose PCR is 10 s after the first.
    EXPECT_EQ(box.Command("SEEKTO=10"), "OK");
    EXPECT_EQ(box.Command("RESUME"), "OK");
    got = ReadBytes(box.data, 10000);
    EXPECT_TRUE(got == FilmFrom(2500u * kBlock + 188, got));
    EXPECT_TRUE(server.WaitForLog("SEEKTO =[10.000] Sec.\n"));
    EXPECT_TRUE(server.WaitForLog("Find PAT\n"));

    // FORWARD near the end: clamped to the file size, nothing is left to play.
    box.PauseAndDrain();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(box.Command("FORWARD"), "OK");
    EXPECT_TRUE(server.WaitForLog("After forward pos " + std::to_string(film.size()) + "\n"));
    EXPECT_EQ(box.Command("RESUME"), "OK");
    EXPECT_TRUE(ClosedWithin(box.data, 10000));
    EXPECT_TRUE(server.WaitForLog("SeekTO: Do not Find PAT\n"));
    EXPECT_TRUE(ClosedWithin(box.control, 10000));
}

TEST_F(VodService, BeforeSeekDropsTheDataConnectionAndTheSameConfirmedPortStreamsTheSeek)
{
    ASSERT_NO_FATAL_FAILURE(Start(false));
    Box box(vod_port);
    ASSERT_NO_FATAL_FAILURE(Play(box, 30000));
    const std::string position = box.Command("BEFORE_SEEK");
    EXPECT_TRUE(std::regex_match(position, std::regex("sec=\\d+\\.\\d{3}"))) << position;
    EXPECT_TRUE(ClosedWithin(box.data, 5000));
    EXPECT_TRUE(server.WaitForLog("Start SEEKTO\n"));
    EXPECT_EQ(box.Command("SEEKTO=20"), "OK");
    ASSERT_TRUE(box.Answer());
    const std::string got = ReadBytes(box.data, 10000);
    ASSERT_EQ(got.size(), 10000u);
    EXPECT_TRUE(got == FilmFrom(5000u * kBlock + 188, got));
    EXPECT_EQ(box.Command("TEARDOWN"), "OK");
}

constexpr char kUsers[] =
    "00aabbccdd01,pw,12/31/2099,pre,100\r\n00aabbccdd02,pw,01/01/2000,pre,100\r\n00aabbccdd03,pw,12/31/2099,post,5\r\n"
    "00aabbccdd04,pw,12/31/2099,pre,10\r\n00aabbccdd05,pw,12/31/2099,free,0\r\nroot,rootpw,12/31/2099,free,0\r\n";
constexpr char kFees[] = "media/videos/film.ts,30\r\n";

std::string Request(const std::string& mac, const std::string& user, const std::string& password,
                    const std::string& video = "media/videos/film.ts")
{
    return "MACID=" + mac + " USERNAME=" + user + " PASSWORD=" + password + " VIDEONAME=" + video;
}

TEST_F(VodService, EveryRequestReplyOfAnAuthorizingServer)
{
    ASSERT_NO_FATAL_FAILURE(Start(true, kUsers, kFees));
    server.Dir().WriteFile("media/videos/other.ts", film.substr(0, 300000));
    const struct {
        std::string request;
        std::string reply;
        std::string log;
    } cases[] = {
        {"USERNAME=box PASSWORD=pw VIDEONAME=media/videos/film.ts", "xancp_error=-1", "Player MAC ID[]: MAC ID not found\n"},
        {"MACID=00aabbccdd01 PASSWORD=pw VIDEONAME=x", "xancp_error=-2", "Player MAC ID[00aabbccdd01]: USERNAME not found\n"},
        {"MACID=00aabbccdd01 USERNAME=box VIDEONAME=x", "xancp_error=-3", "Player MAC ID[00aabbccdd01]: PASSWORD not found\n"},
        {Request("00aabbccdd01", "box", "wrong"), "xancp_error=-4", "Player MAC ID[00aabbccdd01]: PASSWORD Error [wrong]\n"},
        {Request("00aabbccdd02", "box", "pw"), "xancp_error=-5", "Player MAC ID[00aabbccdd02]: Time Expired\n"},
        {Request("00aabbccdd01", "box", "pw", "media/videos/none.ts"), "xancp_error=-6",
         "Player MAC ID[00aabbccdd01]: VIDEONAME File =[media/videos/none.ts] not found\n"},
        {"MACID=00aabbccdd01 USERNAME=box PASSWORD=pw", "xancp_error=-7", "Player MAC ID[00aabbccdd01]: VIDEONAME not found\n"},
        {Request("00aabbccdd03", "box", "pw"), "xancp_error=-8", "Player MAC ID[00aabbccdd03]: No Billing Information[00aabbccdd03]\n"},
        {Request("00aabbccdd01", "box", "pw", "media/videos/other.ts"), "xancp_error=-9",
         "Player MAC ID[00aabbccdd01]: Video file [media/videos/other.ts] :No Video Billing Information\n"},
        {Request("00aabbccdd04", "box", "pw"), "xancp_error=-10",
         "Player MAC ID[00aabbccdd04]: Remainder Point is not enough[00aabbccdd04]\n"},
    };
    for (const auto& each : cases) {
        Box box(vod_port);
        EXPECT_EQ(box.Ask(each.request), each.reply) << each.request;
        EXPECT_TRUE(ClosedWithin(box.control, 5000)) << each.request;
        EXPECT_TRUE(server.WaitForLog(each.log, 5000)) << each.log;
    }
    Box paying(vod_port);
    EXPECT_TRUE(std::regex_match(paying.Ask(Request("00aabbccdd01", "box", "pw")),
                                 std::regex("tcp_port=\\d+ sec=78 bitrate=1000 user_point=100 movie_point=30")))
        << paying.reply;
    Box free_box(vod_port);
    EXPECT_TRUE(std::regex_match(free_box.Ask(Request("00aabbccdd05", "box", "pw")), std::regex("tcp_port=\\d+ sec=78 bitrate=1000")))
        << free_box.reply;
    Box root(vod_port);
    EXPECT_TRUE(std::regex_match(root.Ask(Request("001122334455", "root", "rootpw")), std::regex("tcp_port=\\d+ sec=78 bitrate=1000")))
        << root.reply;
    EXPECT_NE(Log().find("MAC ID =[001122334455], User =[root] Password =[rootpw] Video File =[media/videos/film.ts] Bitrate =[1000]\n"),
              std::string::npos);
    EXPECT_NE(paying.data_port, free_box.data_port);
}

TEST_F(VodService, AChannelsTimeShiftFileIsRefusedToABoxWithoutAPackageOfTheChannel)
{
    server.Dir().WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://" +
                                                         std::to_string(FreeUdpPort()) + "\">One</ch>\r\n<ch src=\"udp://" +
                                                         std::to_string(FreeUdpPort()) + "\">Two</ch>\r\n");
    server.Dir().WriteFile("channel_packages.csv", "basic,1\r\n");
    server.Dir().WriteFile("user_packages.csv", "00aabbccdd05,basic\r\n");
    ASSERT_NO_FATAL_FAILURE(Start(true, kUsers, kFees));
    server.Dir().MakeDir("timeshift");
    server.Dir().WriteFile("timeshift/time_shift_ch[1]", film);
    server.Dir().WriteFile("timeshift/time_shift_ch[2]", film);
    Box refused(vod_port);
    EXPECT_EQ(refused.Ask(Request("00aabbccdd05", "box", "pw", "timeshift/time_shift_ch[2]")), "xancp_error=-4");
    Box own(vod_port);
    EXPECT_TRUE(std::regex_match(own.Ask(Request("00aabbccdd05", "box", "pw", "timeshift/time_shift_ch[1]")),
                                 std::regex("tcp_port=\\d+ sec=\\d+ bitrate=\\d+")))
        << own.reply;
}

TEST_F(VodService, APrepaidBoxIsChargedOnceAfterItsConfirmationAndNeverForACancelOrAFilmThatWillNotOpen)
{
    ASSERT_NO_FATAL_FAILURE(Start(true, kUsers, kFees));
    const std::string request = Request("00aabbccdd01", "box", "pw");
    {
        Box box(vod_port);
        ASSERT_NE(box.Ask(request).find("user_point=100 movie_point=30"), std::string::npos) << box.reply;
        EXPECT_EQ(server.Dir().ReadFile("user_profile.csv").find("pre,70"), std::string::npos);   // not before
        ASSERT_TRUE(box.Answer());
        EXPECT_EQ(ReadBytes(box.data, 10000).size(), 10000u);
        EXPECT_NE(server.Dir().ReadFile("user_profile.csv").find("00aabbccdd01,pw,12/31/2099,pre,70\r\n"), std::string::npos);
        EXPECT_EQ(box.Command("TEARDOWN"), "OK");
    }
    {
        Box box(vod_port);
        ASSERT_NE(box.Ask(request).find("user_point=70 movie_point=30"), std::string::npos) << box.reply;
        ASSERT_TRUE(box.Answer("user_cancellation"));
        EXPECT_TRUE(ClosedWithin(box.data, 5000));
        EXPECT_TRUE(ClosedWithin(box.control, 5000));
    }
    EXPECT_TRUE(server.WaitForLog("Player MAC ID[00aabbccdd01]: Cancel Video Selection[media/videos/film.ts]\n"));
    {
        Box box(vod_port);
        ASSERT_NE(box.Ask(request).find("user_point=70"), std::string::npos) << box.reply;
        std::remove(server.Dir().PathOf("media/videos/film.ts").c_str());
        ASSERT_TRUE(box.Answer());
        EXPECT_TRUE(ClosedWithin(box.data, 5000));
        EXPECT_TRUE(server.WaitForLog("open failed for filename="));
    }
    EXPECT_NE(server.Dir().ReadFile("user_profile.csv").find("00aabbccdd01,pw,12/31/2099,pre,70\r\n"), std::string::npos);
    const std::string points = server.Dir().ReadFile("users/user_point_log.csv");
    EXPECT_NE(points.find("-->ID : [00aabbccdd01] UserName = [00aabbccdd01] Movie Name: [media/videos/film.ts] "
                          "Movie Point : [30] Before Tran. Point: [100] After Tran. Point: [70]\n"),
              std::string::npos)
        << points;
    EXPECT_EQ(points.find("Movie Point", points.find("Movie Point") + 1), std::string::npos);    // one charge
}

// Both requests are checked against the same 100 points before either is charged; the charge
// at the second confirmation finds 40 left.
TEST_F(VodService, TwoRequestsThePointsCoverOnlyOnceStreamOneFilmAndChargeOnce)
{
    ASSERT_NO_FATAL_FAILURE(Start(true, kUsers, "media/videos/film.ts,60\r\nmedia/videos/other.ts,60\r\n"));
    server.Dir().WriteFile("media/videos/other.ts", film.substr(0, 300000));
    Box first(vod_port);
    Box second(vod_port);
    ASSERT_NE(first.Ask(Request("00aabbccdd01", "box", "pw")).find("user_point=100 movie_point=60"), std::string::npos)
        << first.reply;
    ASSERT_NE(second.Ask(Request("00aabbccdd01", "box", "pw", "media/videos/other.ts")).find("user_point=100 movie_point=60"),
              std::string::npos)
        << second.reply;
    ASSERT_TRUE(first.Answer());
    EXPECT_EQ(ReadBytes(first.data, 10000).size(), 10000u);
    ASSERT_TRUE(second.Answer());
    EXPECT_EQ(Drain(second.control, 5000, 300), "xancp_error=-10");
    bool closed = false;
    EXPECT_EQ(Drain(second.data, 5000, 300, 1 << 30, &closed).size(), 0u) << "the second film streamed";
    EXPECT_TRUE(closed);
    EXPECT_TRUE(server.WaitForLog("Player MAC ID[00aabbccdd01]: Remainder Point is not enough[00aabbccdd01]\n"));
    EXPECT_EQ(first.Command("TEARDOWN"), "OK");
    EXPECT_TRUE(server.WaitForLog("The Total Connection is [0]\n"));
    EXPECT_NE(server.Dir().ReadFile("user_profile.csv").find("00aabbccdd01,pw,12/31/2099,pre,40\r\n"), std::string::npos);
    EXPECT_EQ(CountOf(server.Dir().ReadFile("users/user_point_log.csv"), "Movie Point"), 1);
    EXPECT_EQ(CountOf(server.Dir().ReadFile("users/user_watch_log.csv"), "Start Movie Name"), 1);
}

TEST_F(VodService, ASessionPausedWithoutACommandForTheLimitEndsAndOnlyThatOne)
{
    ASSERT_NO_FATAL_FAILURE(Start(false, "", "", "vod_pause_timeout=2\r\n"));
    Box paused(vod_port);
    ASSERT_NO_FATAL_FAILURE(Play(paused, 20000));
    paused.PauseAndDrain();
    Box playing(vod_port);
    ASSERT_NO_FATAL_FAILURE(Play(playing, 20000));
    EXPECT_TRUE(ClosedWithin(paused.control, 6000));
    EXPECT_TRUE(ClosedWithin(paused.data, 2000));
    EXPECT_TRUE(server.WaitForLog("]: paused without a command for 2 s, closed\n", 1000));
    EXPECT_TRUE(WaitUntil([&] { return CountOf(server.Dir().ReadFile("users/user_watch_log.csv"), "End Movie Name") == 1; },
                          5000));
    EXPECT_EQ(ReadBytes(playing.data, 20000).size(), 20000u);       // one that plays needs no command
    EXPECT_EQ(playing.Command("TEARDOWN"), "OK");
}

TEST_F(VodService, ASecondRequestOfTheSameBoxTakesOverWhereTheFirstWas)
{
    ASSERT_NO_FATAL_FAILURE(Start(true, kUsers, kFees));
    Box first(vod_port);
    first.Ask(Request("00aabbccdd05", "root", "rootpw"));
    ASSERT_TRUE(first.Answer());
    const std::size_t sent = ReadBytes(first.data, 40000).size() + first.PauseAndDrain().size();
    ASSERT_EQ(sent % kBlock, 0u);

    Box second(vod_port);
    EXPECT_TRUE(std::regex_match(second.Ask(Request("00AABBCCDD05", "root", "rootpw")), std::regex("tcp_port=\\d+ sec=78 bitrate=1000")));
    EXPECT_TRUE(ClosedWithin(first.data, 5000));
    EXPECT_TRUE(ClosedWithin(first.control, 5000));
    EXPECT_TRUE(server.WaitForLog("Found a thread using the same box\n"));
    ASSERT_TRUE(second.Answer());
    const std::string got = ReadBytes(second.data, 20000);
    ASSERT_EQ(got.size(), 20000u);
    EXPECT_TRUE(got == FilmFrom(sent + 188, got));
}

TEST_F(VodService, TheDataPortTakesOnlyTheBoxThatAsked)
{
    ASSERT_NO_FATAL_FAILURE(Start(false));
    Box box(vod_port);
    box.Ask(kFilm);
    ASSERT_TRUE(box.Answer("user_confirmation", "127.0.0.2"));
    EXPECT_TRUE(ClosedWithin(box.data, 5000));
    EXPECT_TRUE(server.WaitForLog("Player MAC ID[]: data connection from [127.0.0.2] refused\n"));
    ASSERT_TRUE(box.Answer());
    EXPECT_EQ(ReadBytes(box.data, 5000).size(), 5000u);
}

TEST_F(VodService, ABoxThatNeverConnectsOrNeverAsksIsLetGo)
{
    ASSERT_NO_FATAL_FAILURE(Start(false));
    Box silent(vod_port);                              // sends no request
    Box absent(vod_port);                              // asks, never connects its data port
    absent.Ask(kFilm);
    ASSERT_GT(absent.data_port, 0);
    EXPECT_TRUE(ClosedWithin(silent.control, 15000));
    EXPECT_TRUE(server.WaitForLog("Player IP[127.0.0.1]: no VOD request within 10 s\n", 1000));
    EXPECT_TRUE(ClosedWithin(absent.control, 15000));
    EXPECT_TRUE(server.WaitForLog("Player MAC ID[]: no data connection within 20 s\n", 1000));
    EXPECT_EQ(Connect(absent.data_port), -1);           // the port is free again
    EXPECT_TRUE(server.WaitForLog("The Total Connection is [0]\n"));
}

TEST_F(VodService, FfprobeReadsTheStreamOfTheDataPort)
{
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg or ffprobe missing";
    ASSERT_NO_FATAL_FAILURE(Start(false));
    const std::string clip = server.Dir().PathOf("media/videos/clip.ts");
    ASSERT_EQ(std::system(("timeout 120 ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                           "-i sine=frequency=440:sample_rate=48000 -t 3 -c:v libx264 -preset ultrafast -b:v 300k -g 25 "
                           "-c:a aac -b:a 32k -f mpegts -muxrate 600k '" + clip + "'").c_str()),
              0);
    Box box(vod_port);
    EXPECT_TRUE(std::regex_match(box.Ask("VIDEONAME=media/videos/clip.ts"), std::regex("tcp_port=\\d+ sec=\\d+ bitrate=\\d+")))
        << box.reply;
    ASSERT_TRUE(box.Answer());
    bool closed = false;
    const std::string stream = Drain(box.data, 5000, 5000, 1 << 30, &closed);
    EXPECT_TRUE(closed);                               // the end of the film ends the stream
    server.Dir().WriteFile("received.ts", stream);
    const std::string streams = RunShell("timeout 60 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 - < '" +
                                         server.Dir().PathOf("received.ts") + "'");
    EXPECT_NE(streams.find("h264"), std::string::npos) << streams;
    EXPECT_NE(streams.find("aac"), std::string::npos) << streams;
}

}  // namespace
