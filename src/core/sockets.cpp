#include "core/sockets.h"

#include "core/config.h"
#include "core/platform/platform.h"
#include "core/text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

static bool TurnOnReuse(int fd)
{
    const int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

int OpenTcpSocket(const char* host, uint16_t port, int backlog)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port   = htons(port);
    if (host == nullptr) {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!TurnOnReuse(fd) || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, backlog) != 0) {
            close(fd);
            return kNoSocket;
        }
        return fd;
    }
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) address.sin_addr.s_addr = htonl(INADDR_NONE);
    if (!TurnOnReuse(fd)) {
        close(fd);
        return kNoSocket;
    }
    int connected;
    do {
        connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        close(fd);
        return kNoSocket;
    }
    return fd;
}

int ConnectTcpWithin(const char* host, uint16_t port, int timeout_ms, bool (*stopping)())
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port   = htons(port);
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) return kNoSocket;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return kNoSocket;
    int connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (connected != 0 && errno == EINPROGRESS) {
        const uint64_t until = GetTickMs() + static_cast<uint64_t>(std::max(0, timeout_ms));
        while (stopping == nullptr || !stopping()) {
            const uint64_t now = GetTickMs();
            if (now >= until) break;
            pollfd watch{fd, POLLOUT, 0};
            const int ready = poll(&watch, 1, static_cast<int>(std::min<uint64_t>(200, until - now)));
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) connected = 0;
            break;
        }
    }
    if (connected != 0 || !SetNonBlocking(fd, false)) {
        close(fd);
        return kNoSocket;
    }
    return fd;
}

int AcceptClient(int& listener, sockaddr_in* peer)
{
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int client;
    do {
        client = accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
    if (client < 0) {
        // Only a fault of the listening socket itself closes it. A shortage (descriptors,
        // buffers, memory) or a client that gave up in the queue passes: closing the port for
        // it would reset every connection still waiting there.
        const int error = errno;
        if (error == EBADF || error == EINVAL || error == ENOTSOCK) {
            if (listener >= 0) close(listener);
            listener = kNoSocket;
        }
        errno = error;
        return kNoSocket;
    }
    if (peer != nullptr) *peer = from;
    return client;
}

int AcceptWaitingClient(int listener, sockaddr_in* peer)
{
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int client;
    do {
        client = accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (client < 0 && errno == EINTR);
    if (client >= 0 && peer != nullptr) *peer = from;
    return client;
}

bool SetNonBlocking(int socket, bool on)
{
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0) return false;
    const int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return wanted == flags || fcntl(socket, F_SETFL, wanted) == 0;
}

bool IsNonBlocking(int socket)
{
    const int flags = fcntl(socket, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

bool SetCork(int socket, bool on)
{
    const int value = on ? 1 : 0;
    return setsockopt(socket, IPPROTO_TCP, TCP_CORK, &value, sizeof value) == 0;
}

int CloseSocket(int socket)
{
    if (socket < 0) return 1;
    shutdown(socket, SHUT_RDWR);
    close(socket);
    return 1;
}

ssize_t ReceiveBytes(int socket, void* buffer, std::size_t size, int flags)
{
    ssize_t got;
    do {
        got = recv(socket, buffer, size, flags);
    } while (got < 0 && errno == EINTR);
    return got;
}

ssize_t SendBytes(int socket, const void* data, std::size_t length)
{
    ssize_t sent;
    do {
        sent = send(socket, data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

ssize_t SendAll(int socket, const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t sent = SendBytes(socket, bytes + done, length - done);
        if (sent <= 0) return -1;
        done += static_cast<std::size_t>(sent);
    }
    return static_cast<ssize_t>(done);
}

static int OpenBoundUdpSocket(uint16_t port, bool reuse)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::printf("[udpip]Server Open socket: Error, description=%d\n", fd);
        std::fflush(stdout);
        return kNoSocket;
    }
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_port        = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if ((reuse && !TurnOnReuse(fd)) || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return kNoSocket;
    }
    return fd;
}

int OpenUdpSocket(int mode, uint16_t port)
{
    if (mode != 0 && mode != 1) return kNoSocket;
    if (mode == 0) return OpenBoundUdpSocket(port, true);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

int OpenExclusiveUdpSocket(uint16_t port) { return OpenBoundUdpSocket(port, false); }

ssize_t ReceiveDatagram(int socket, void* buffer, std::size_t size, int flags, sockaddr_in* from,
                        socklen_t* from_length)
{
    socklen_t length = sizeof(sockaddr_in);
    sockaddr_in sender{};
    ssize_t got;
    do {
        got = recvfrom(socket, buffer, size, flags, reinterpret_cast<sockaddr*>(&sender), &length);
    } while (got < 0 && errno == EINTR);
    if (from != nullptr) *from = sender;
    if (from_length != nullptr) *from_length = length;
    return got;
}

bool PeerHungUp(int socket)
{
    if (socket < 0) return true;
    pollfd watch{socket, POLLRDHUP, 0};
    return poll(&watch, 1, 0) > 0 && HungUpEvents(watch.revents);
}

bool HungUpEvents(short revents)
{
    return (revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void SetSocketTimeouts(int socket, int receive_ms, int send_ms)
{
    timeval receive{receive_ms / 1000, (receive_ms % 1000) * 1000};
    timeval send_time{send_ms / 1000, (send_ms % 1000) * 1000};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send_time, sizeof send_time);
}

static constexpr uint8_t kDnsIdHigh = 0x07;
static constexpr uint8_t kDnsIdLow  = 0xAB;

std::size_t BuildDnsQuery(const char* host, uint8_t (&query)[256])
{
    const std::size_t name_length = std::strlen(host);
    // 12 header + name + 2 (first length byte and the closing zero) + 4 type and class.
    if (12 + name_length + 2 + 4 > sizeof query) return 0;
    std::memset(query, 0, sizeof query);
    query[0] = kDnsIdHigh;
    query[1] = kDnsIdLow;
    query[2] = 0x01;                            // recursion desired
    query[5] = 1;                               // one question
    std::size_t at = 12;
    const char* label = host;
    for (;;) {
        const char* dot = std::strchr(label, '.');
        const std::size_t length = dot != nullptr ? static_cast<std::size_t>(dot - label) : std::strlen(label);
        if (length > 63) return 0;              // a label's length byte holds at most 63
        query[at++] = static_cast<uint8_t>(length);
        std::memcpy(query + at, label, length);
        at += length;
        if (dot == nullptr) break;
        label = dot + 1;
    }
    query[at++] = 0;                            // root label
    query[at++] = 0;
    query[at++] = 1;                            // type A
    query[at++] = 0;
    query[at++] = 1;                            // class IN
    return at;
}

// Skips a possibly compressed name; the offset after it, or 0 when it runs past the reply.
static std::size_t SkipName(const uint8_t* reply, std::size_t length, std::size_t at)
{
    while (at < length) {
        const uint8_t size = reply[at];
        if (size == 0) return at + 1;
        if ((size & 0xC0) == 0xC0) return at + 2 <= length ? at + 2 : 0;
        if ((size & 0xC0) != 0) return 0;
        at += 1 + size;
    }
    return 0;
}

bool ParseDnsAnswer(const uint8_t* reply, std::size_t length, uint8_t address[4])
{
    if (length < 12 || reply[0] != kDnsIdHigh || reply[1] != kDnsIdLow) return false;
    if ((reply[2] & 0x80) == 0 || (reply[3] & 0x0F) != 0) return false;   // not an answer, or an error
    const unsigned questions = (reply[4] << 8) | reply[5];
    const unsigned answers   = (reply[6] << 8) | reply[7];
    std::size_t at = 12;
    for (unsigned i = 0; i < questions; ++i) {
        at = SkipName(reply, length, at);
        if (at == 0 || at + 4 > length) return false;
        at += 4;
    }
    for (unsigned i = 0; i < answers; ++i) {
        at = SkipName(reply, length, at);
        if (at == 0 || at + 10 > length) return false;
        const unsigned type        = (reply[at] << 8) | reply[at + 1];
        const unsigned klass       = (reply[at + 2] << 8) | reply[at + 3];
        const std::size_t data_len = (static_cast<std::size_t>(reply[at + 8]) << 8) | reply[at + 9];
        at += 10;
        if (at + data_len > length) return false;
        if (type == 1 && klass == 1 && data_len == 4) {
            std::memcpy(address, reply + at, 4);
            return true;
        }
        at += data_len;                         // a CNAME or other record before the address
    }
    return false;
}

int ResolveHostName(uint8_t address[4], const char* host)
{
    if (host == nullptr || host[0] == '\0') return 0;
    in_addr dotted{};
    if (inet_pton(AF_INET, host, &dotted) == 1) {
        std::memcpy(address, &dotted.s_addr, 4);
        return 1;
    }
    uint8_t query[256];
    const std::size_t query_length = BuildDnsQuery(host, query);
    if (query_length == 0) return 0;
    const int fd = OpenUdpSocket(1, 0);
    if (fd < 0) return 0;

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port   = htons(g_dns_server_port);
    if (inet_pton(AF_INET, g_dns_server_ip, &server.sin_addr) != 1) {
        CloseSocket(fd);
        std::printf("Name to IP Failed\n");
        return 0;
    }
    std::printf("Starting Name to IP\n");
    std::fflush(stdout);

    int result = 0;
    bool answered = false;
    for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
        sendto(fd, query, query_length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&server), sizeof server);
        // Replies that are not ours (another identifier) do not end the try.
        const uint64_t deadline = GetTickMs() + 1000;
        for (uint64_t now = GetTickMs(); now < deadline; now = GetTickMs()) {
            if (PollOne(fd, POLLIN, static_cast<int>(deadline - now)) <= 0) break;
            uint8_t reply[512];
            const ssize_t got = recv(fd, reply, sizeof reply, 0);
            if (got < 12) continue;
            if (reply[0] != kDnsIdHigh || reply[1] != kDnsIdLow) continue;
            answered = true;
            result   = ParseDnsAnswer(reply, static_cast<std::size_t>(got), address) ? 1 : 0;
            break;
        }
        if (ProcessStopRaised()) break;
    }
    CloseSocket(fd);
    if (result == 0) {
        std::printf("Name to IP Failed\n");
    } else {
        std::printf("Name2IP=[%d.%d.%d.%d]\n", address[0], address[1], address[2], address[3]);
    }
    std::fflush(stdout);
    return result;
}

void GetLocalIpAddress(char* text, std::size_t size)
{
    CopyTextN(text, size, "");
    char host[256];
    if (gethostname(host, sizeof host) != 0) host[0] = '\0';
    host[sizeof host - 1] = '\0';

    in_addr chosen{};
    bool found = false;
    addrinfo hints{};
    hints.ai_family   = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list    = nullptr;
    if (host[0] != '\0' && getaddrinfo(host, nullptr, &hints, &list) == 0 && list != nullptr) {
        chosen = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
        found  = true;
        freeaddrinfo(list);
    }
    // A host name that maps to loopback says nothing to clients: prefer an interface address.
    if (!found || (ntohl(chosen.s_addr) >> 24) == 127) {
        ifaddrs* interfaces = nullptr;
        if (getifaddrs(&interfaces) == 0) {
            for (ifaddrs* item = interfaces; item != nullptr; item = item->ifa_next) {
                if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) continue;
                const in_addr candidate = reinterpret_cast<sockaddr_in*>(item->ifa_addr)->sin_addr;
                if ((ntohl(candidate.s_addr) >> 24) == 127) continue;
                chosen = candidate;
                found  = true;
                break;
            }
            freeifaddrs(interfaces);
        }
    }
    if (!found) return;
    char dotted[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &chosen, dotted, sizeof dotted) != nullptr) CopyTextN(text, size, dotted);
}
