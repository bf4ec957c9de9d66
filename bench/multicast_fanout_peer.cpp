// Both ends of the multicast benchmark. "send": CHANNELS UDP streams of 1316-byte datagrams at
// KBPS each to 127.0.0.1:BASE_PORT+i, each datagram a PAT, a PCR packet and five payload
// packets carrying the channel and a sequence number. "receive": joins CHANNELS groups from
// GROUP (the server's group rule) on PORT and counts what arrives for SECONDS; prints
// "datagrams=N lost=M channels=K malformed=X".
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void Packet(uint8_t* p, uint16_t pid)
{
    std::memset(p, 0xFF, 188);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((pid >> 8) & 0x1F);
    p[2] = static_cast<uint8_t>(pid);
    p[3] = 0x10;
}

void Datagram(uint8_t* d, int channel, uint32_t sequence, int64_t pcr)
{
    Packet(d, 0);                                    // a PAT (its content does not matter here)
    d[1] |= 0x40;
    Packet(d + 188, 0x100);                          // the PCR
    d[188 + 3] = 0x20;
    d[188 + 4] = 183;
    d[188 + 5] = 0x10;
    const int64_t base = pcr / 300;
    const int64_t extension = pcr % 300;
    d[188 + 6] = static_cast<uint8_t>(base >> 25);
    d[188 + 7] = static_cast<uint8_t>(base >> 17);
    d[188 + 8] = static_cast<uint8_t>(base >> 9);
    d[188 + 9] = static_cast<uint8_t>(base >> 1);
    d[188 + 10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8));
    d[188 + 11] = static_cast<uint8_t>(extension);
    for (int k = 2; k < 7; ++k) Packet(d + k * 188, 0x101);
    std::memcpy(d + 2 * 188 + 4, &channel, sizeof channel);
    std::memcpy(d + 2 * 188 + 8, &sequence, sizeof sequence);
}

int Send(int base_port, int channels, double seconds, double kbps)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const double interval = 1316.0 * 8 / (kbps * 1000);
    std::vector<uint32_t> sequence(static_cast<std::size_t>(channels), 0);
    uint8_t datagram[1316];
    const Clock::time_point start = Clock::now();
    for (uint64_t tick = 0;; ++tick) {
        const double at = static_cast<double>(tick) * interval;
        if (at >= seconds) break;
        std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(at * 1e6)));
        for (int c = 0; c < channels; ++c) {
            Datagram(datagram, c, sequence[static_cast<std::size_t>(c)]++, static_cast<int64_t>(at * 27e6) + 27000000);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(base_port + c));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
    }
    close(fd);
    return 0;
}

uint32_t Group(uint32_t base, int index)
{
    uint32_t third = (base >> 8) & 0xFF;
    uint32_t last = (base & 0xFF) + (static_cast<uint32_t>(index) & 0xFF);
    if (last > 255) {
        last = (last & 0xFF) + 1;
        third = (third + 1) & 0xFF;
    }
    return (base & 0xFFFF0000u) | (third << 8) | last;
}

int Receive(const char* group_text, int channels, int port, double seconds, const char* local)
{
    // A socket per group, bound to it: a socket joins at most igmp_max_memberships (20) groups.
    in_addr base{};
    inet_pton(AF_INET, group_text, &base);
    std::vector<pollfd> watch;
    for (int c = 0; c < channels; ++c) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const int buffer = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(Group(ntohl(base.s_addr), c));
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
        ip_mreq join{};
        join.imr_multiaddr = address.sin_addr;
        inet_pton(AF_INET, local, &join.imr_interface);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) return 1;
        watch.push_back({fd, POLLIN, 0});
    }
    std::vector<int64_t> first(static_cast<std::size_t>(channels), -1), last(first), count(first.size(), 0);
    uint64_t datagrams = 0, malformed = 0;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    uint8_t data[2048];
    while (Clock::now() < until) {
        if (poll(watch.data(), watch.size(), 100) <= 0) continue;
        for (const pollfd& one : watch) {
            if ((one.revents & POLLIN) == 0) continue;
            for (;;) {
                const ssize_t got = recv(one.fd, data, sizeof data, MSG_DONTWAIT);
                if (got <= 0) break;
                ++datagrams;
                int channel = 0;
                uint32_t sequence = 0;
                std::memcpy(&channel, data + 2 * 188 + 4, sizeof channel);
                std::memcpy(&sequence, data + 2 * 188 + 8, sizeof sequence);
                if (got != 1316 || data[0] != 0x47 || channel < 0 || channel >= channels) {
                    ++malformed;
                    continue;
                }
                const auto c = static_cast<std::size_t>(channel);
                if (first[c] < 0) first[c] = sequence;
                last[c] = sequence;
                ++count[c];
            }
        }
    }
    int64_t lost = 0;
    int seen = 0;
    for (std::size_t c = 0; c < first.size(); ++c) {
        if (first[c] < 0) continue;
        ++seen;
        lost += (last[c] - first[c] + 1) - count[c];
    }
    std::printf("datagrams=%llu lost=%lld channels=%d malformed=%llu\n", static_cast<unsigned long long>(datagrams),
                static_cast<long long>(lost), seen, static_cast<unsigned long long>(malformed));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "send") == 0)
        return Send(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
    if (argc == 7 && std::strcmp(argv[1], "receive") == 0)
        return Receive(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]), argv[6]);
    std::fprintf(stderr, "usage: %s send BASE_PORT CHANNELS SECONDS KBPS | receive GROUP CHANNELS PORT SECONDS LOCAL\n", argv[0]);
    return 2;
}
