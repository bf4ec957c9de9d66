#pragma once
// A live UDP source the tests feed a channel from, and reading what a player gets.

#include "support/ts_builder.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// Datagrams of seven packets to a local UDP port every interval_ms, made by `datagram(k)`, for
// at most `seconds` or until stopped.
class UdpSource {
public:
    UdpSource(uint16_t port, double seconds, std::function<TsBuilder(int64_t)> datagram, int interval_ms = 5)
        : thread_([this, port, seconds, datagram, interval_ms] {
              const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
              sockaddr_in to{};
              to.sin_family = AF_INET;
              to.sin_port = htons(port);
              to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
              using Clock = std::chrono::steady_clock;
              const Clock::time_point until = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
              for (int64_t k = 0; !stop_.load() && Clock::now() < until && k < 20000; ++k) {
                  const TsBuilder bytes = datagram(k);
                  sendto(fd, bytes.Bytes().data(), bytes.Size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                  std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
              }
              close(fd);
          })
    {
    }
    ~UdpSource()
    {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread       thread_;
};

// A plain channel's datagram: PAT, PMT, a PCR 5 ms apart and payload.
inline TsBuilder PlainDatagram(int64_t k)
{
    TsBuilder datagram;
    datagram.Pat().Pmt().Pcr(0x101, k * 135000);
    for (int j = 0; j < 4; ++j) datagram.Payload(0x102, static_cast<uint8_t>(k));
    return datagram;
}

// Reads from fd until `bytes` arrived, the peer closed or timeout_ms passed; what arrived.
// closed tells whether the server ended the connection.
inline std::string ReadFor(int fd, std::size_t bytes, int timeout_ms, bool* closed = nullptr)
{
    std::string got;
    char chunk[8192];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (closed != nullptr) *closed = false;
    while (got.size() < bytes && std::chrono::steady_clock::now() < until) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 50) <= 0) continue;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            if (closed != nullptr) *closed = true;
            break;
        }
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

