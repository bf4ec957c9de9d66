#include "core/config.h"
#include "core/sockets.h"

#include "support/fake_dns.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST(TcpSockets, AListenerAcceptsAClientAndBytesFlowBothWays)
{
    int listener = OpenTcpSocket(nullptr, 0, 100);
    ASSERT_GE(listener, 0);
    const uint16_t port = LocalPort(listener);
    const int client = OpenTcpSocket("127.0.0.1", port, 0);
    ASSERT_GE(client, 0);
    sockaddr_in peer{};
    const int served = AcceptClient(listener, &peer);
    ASSERT_GE(served, 0);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(SendBytes(client, "ping", 4), 4);
    char buffer[8] = {};
    EXPECT_EQ(ReceiveBytes(served, buffer, sizeof buffer, 0), 4);
    EXPECT_STREQ(buffer, "ping");
    EXPECT_EQ(CloseSocket(served), 1);
    EXPECT_EQ(ReceiveBytes(client, buffer, sizeof buffer, 0), 0);   // end of stream
    CloseSocket(client);
    CloseSocket(listener);
}

TEST(TcpSockets, AConnectionToAClosedPortFails)
{
    int listener = OpenTcpSocket(nullptr, 0, 1);
    const uint16_t port = LocalPort(listener);
    CloseSocket(listener);
    EXPECT_EQ(OpenTcpSocket("127.0.0.1", port, 0), -1);
}

// A listener whose queue is full drops the next handshake, as a host that never answers
// does: the connect gives up at its deadline, or sooner when its reason to wait is gone.
TEST(TcpSockets, AConnectToAHostThatDoesNotAnswerEndsAtItsDeadlineOrItsStop)
{
    int listener = OpenTcpSocket(nullptr, 0, 0);
    ASSERT_GE(listener, 0);
    const uint16_t port = LocalPort(listener);
    std::vector<int> queued;
    bool stalled = false;
    for (int i = 0; i < 8 && !stalled; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = ConnectTcpWithin("127.0.0.1", port, 300, nullptr);
        stalled = fd < 0;
        if (stalled) EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
        else queued.push_back(fd);
    }
    ASSERT_TRUE(stalled) << "the listener's queue never filled";
    static std::atomic<bool> stop{true};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectTcpWithin("127.0.0.1", port, 5000, [] { return stop.load(); }), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    for (const int fd : queued) CloseSocket(fd);
    CloseSocket(listener);
    // A listener that takes it connects, and the socket blocks again.
    listener = OpenTcpSocket(nullptr, 0, 10);
    const int fd = ConnectTcpWithin("127.0.0.1", LocalPort(listener), 1000, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    CloseSocket(fd);
    CloseSocket(listener);
}

TEST(TcpSockets, AFailedAcceptClosesTheListener)
{
    int listener = OpenTcpSocket(nullptr, 0, 100);
    ASSERT_GE(listener, 0);
    shutdown(listener, SHUT_RDWR);               // accept now fails
    const int original = listener;
    EXPECT_EQ(AcceptClient(listener, nullptr), -1);
    EXPECT_EQ(listener, -1);
    EXPECT_EQ(fcntl(original, F_GETFD), -1);     // the descriptor is closed
}

TEST(TcpSockets, SendingToAClosedPeerIsAnErrorNotASignal)
{
    int listener = OpenTcpSocket(nullptr, 0, 100);
    const int client = OpenTcpSocket("127.0.0.1", LocalPort(listener), 0);
    const int served = AcceptClient(listener, nullptr);
    CloseSocket(client);
    const std::string block(65536, 'x');
    ssize_t last = 0;
    for (int i = 0; i < 100 && last >= 0; ++i) last = SendBytes(served, block.data(), block.size());
    EXPECT_LT(last, 0);                          // still alive: no SIGPIPE
    CloseSocket(served);
    CloseSocket(listener);
}

TEST(UdpSockets, ABoundSocketReceivesADatagramWithItsSender)
{
    const int receiver = OpenUdpSocket(0, 0);
    ASSERT_GE(receiver, 0);
    const int sender = OpenUdpSocket(1, 12345);  // mode 1 ignores the port
    ASSERT_GE(sender, 0);
    EXPECT_EQ(LocalPort(sender), 0);
    sockaddr_in to{};
    to.sin_family      = AF_INET;
    to.sin_port        = htons(LocalPort(receiver));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(sender, "dgram", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 5);
    char buffer[16] = {};
    sockaddr_in from{};
    socklen_t from_length = 0;
    EXPECT_EQ(ReceiveDatagram(receiver, buffer, sizeof buffer, 0, &from, &from_length), 5);
    EXPECT_STREQ(buffer, "dgram");
    EXPECT_EQ(from_length, sizeof(sockaddr_in));
    EXPECT_EQ(ntohs(from.sin_port), LocalPort(sender));
    CloseSocket(sender);
    CloseSocket(receiver);
}

TEST(UdpSockets, AnUnknownModeGivesNoSocket)
{
    EXPECT_EQ(OpenUdpSocket(2, 0), -1);
    EXPECT_EQ(OpenUdpSocket(-1, 0), -1);
}

struct NameLookup : ::testing::Test {
    void SetUp() override
    {
        ResetConfiguration();
        std::strcpy(g_dns_server_ip, "127.0.0.1");
    }
    void TearDown() override { g_dns_server_port = 53; }
};

TEST_F(NameLookup, DottedTextIsConvertedWithoutAQuery)
{
    FakeDnsServer dns([](const std::vector<uint8_t>&) { return std::vector<uint8_t>{}; });
    g_dns_server_port = dns.Port();
    uint8_t address[4] = {};
    EXPECT_EQ(ResolveHostName(address, "10.1.2.3"), 1);
    EXPECT_EQ(address[0], 10);
    EXPECT_EQ(address[1], 1);
    EXPECT_EQ(address[2], 2);
    EXPECT_EQ(address[3], 3);
    EXPECT_EQ(dns.Queries(), 0);
}

TEST_F(NameLookup, AGoodAnswerGivesItsAddress)
{
    const uint8_t expected[4] = {192, 0, 2, 77};
    FakeDnsServer dns([&](const std::vector<uint8_t>& query) { return FakeDnsServer::Answer(query, expected); });
    g_dns_server_port = dns.Port();
    uint8_t address[4] = {};
    ASSERT_EQ(ResolveHostName(address, "tv.example.test"), 1);
    EXPECT_EQ(std::memcmp(address, expected, 4), 0);
    const std::vector<uint8_t> query = dns.LastQuery();
    const std::vector<uint8_t> wanted = {0x07, 0xAB, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0,
                                         2, 't', 'v', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 4, 't', 'e', 's', 't', 0,
                                         0, 1, 0, 1};
    EXPECT_EQ(query, wanted);
}

TEST_F(NameLookup, TheAddressRecordIsFoundAfterACname)
{
    const uint8_t expected[4] = {192, 0, 2, 9};
    FakeDnsServer dns([&](const std::vector<uint8_t>& query) { return FakeDnsServer::Answer(query, expected, true); });
    g_dns_server_port = dns.Port();
    uint8_t address[4] = {};
    ASSERT_EQ(ResolveHostName(address, "alias.test"), 1);
    EXPECT_EQ(std::memcmp(address, expected, 4), 0);
}

TEST_F(NameLookup, AnErrorAnswerFailsAtOnce)
{
    FakeDnsServer dns([](const std::vector<uint8_t>& query) { return FakeDnsServer::Error(query, 3); });
    g_dns_server_port = dns.Port();
    uint8_t address[4] = {9, 9, 9, 9};
    EXPECT_EQ(ResolveHostName(address, "missing.test"), 0);
    EXPECT_EQ(dns.Queries(), 1);
}

TEST_F(NameLookup, AnAnswerWithAnotherIdentifierIsIgnored)
{
    const uint8_t wrong[4] = {6, 6, 6, 6};
    FakeDnsServer dns([&](const std::vector<uint8_t>& query) {
        std::vector<uint8_t> reply = FakeDnsServer::Answer(query, wrong);
        reply[1] ^= 0xFF;
        return reply;
    });
    g_dns_server_port = dns.Port();
    uint8_t address[4] = {};
    EXPECT_EQ(ResolveHostName(address, "spoofed.test"), 0);
    EXPECT_EQ(dns.Queries(), 10);
}

TEST_F(NameLookup, NoAnswerFailsAfterTenTries)
{
    FakeDnsServer dns([](const std::vector<uint8_t>&) { return std::vector<uint8_t>{}; });
    g_dns_server_port = dns.Port();
    uint8_t address[4] = {};
    EXPECT_EQ(ResolveHostName(address, "silent.test"), 0);
    EXPECT_EQ(dns.Queries(), 10);
}

TEST(DnsQuery, NamesUpTo238CharactersFitAndLongerOnesAreRefused)
{
    uint8_t query[256];
    std::string name;
    for (int i = 0; i < 6; ++i) name += std::string(39, 'a') + ".";
    name.resize(238);                            // 39-character labels
    EXPECT_EQ(BuildDnsQuery(name.c_str(), query), 12u + 240u + 4u);
    name += "b";
    EXPECT_EQ(BuildDnsQuery(name.c_str(), query), 0u);
    uint8_t address[4] = {};
    EXPECT_EQ(ResolveHostName(address, name.c_str()), 0);
}

TEST(DnsQuery, EmptyLabelsWriteAZeroLength)
{
    uint8_t query[256];
    ASSERT_EQ(BuildDnsQuery("a..b.", query), 12u + 7u + 4u);
    const uint8_t name[] = {1, 'a', 0, 1, 'b', 0, 0};
    EXPECT_EQ(std::memcmp(query + 12, name, sizeof name), 0);
}

TEST(DnsQuery, ALabelLongerThan63IsRefused)
{
    uint8_t query[256];
    EXPECT_EQ(BuildDnsQuery(std::string(64, 'x').c_str(), query), 0u);
    EXPECT_GT(BuildDnsQuery(std::string(63, 'x').c_str(), query), 0u);
}

TEST(DnsAnswer, TruncatedAndMalformedRepliesGiveNoAddress)
{
    uint8_t query[256];
    const std::size_t length = BuildDnsQuery("host.test", query);
    const uint8_t good[4] = {1, 2, 3, 4};
    const std::vector<uint8_t> reply = FakeDnsServer::Answer(std::vector<uint8_t>(query, query + length), good);
    uint8_t address[4];
    ASSERT_TRUE(ParseDnsAnswer(reply.data(), reply.size(), address));
    for (std::size_t cut = 0; cut < reply.size(); ++cut)
        EXPECT_FALSE(ParseDnsAnswer(reply.data(), cut, address)) << cut;
    std::vector<uint8_t> question = std::vector<uint8_t>(query, query + length);
    EXPECT_FALSE(ParseDnsAnswer(question.data(), question.size(), address));   // a query, not a reply
    std::vector<uint8_t> looping = reply;
    looping[length] = 0xC0;                      // pointer to itself in the answer name
    looping[length + 1] = static_cast<uint8_t>(length);
    EXPECT_TRUE(ParseDnsAnswer(looping.data(), looping.size(), address));       // a pointer ends the name
}

TEST(LocalAddress, IsDottedTextOrEmpty)
{
    char text[32];
    GetLocalIpAddress(text, sizeof text);
    in_addr parsed{};
    EXPECT_TRUE(text[0] == '\0' || inet_pton(AF_INET, text, &parsed) == 1) << text;
    char tiny[4];
    GetLocalIpAddress(tiny, sizeof tiny);        // cut, never overrun
    EXPECT_LT(std::strlen(tiny), sizeof tiny);
}

}  // namespace
