#pragma once
// A TCP server on 127.0.0.1 that plays a scripted peer for client tests: it accepts one
// connection after another and hands each to `serve`, which talks to the client and returns
// when done (the connection is closed then).

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class FakeTcpPeer {
public:
    // serve(fd, n) for the n-th connection (from 0).
    using Serve = std::function<void(int fd, int connection)>;
    explicit FakeTcpPeer(Serve serve);
    ~FakeTcpPeer();
    FakeTcpPeer(const FakeTcpPeer&) = delete;
    FakeTcpPeer& operator=(const FakeTcpPeer&) = delete;
    uint16_t Port() const { return port_; }
    int Connections() const { return connections_.load(); }
    // Raised when the peer is being destroyed; serve functions that wait watch it.
    bool Stopping() const { return stop_.load(); }

private:
    Serve             serve_;
    int               listener_ = -1;
    uint16_t          port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int>  connections_{0};
    std::thread       thread_;
};

// Reads a request head up to and including its blank line (at most timeout_ms); what came,
// "" when the client closed first.
std::string ReadHead(int fd, int timeout_ms = 5000);
// Sends all of text; false when the client is gone.
bool SendText(int fd, const std::string& text);
// Waits until the client closes its end, at most timeout_ms (bytes it sends are dropped).
bool WaitForClientClose(int fd, int timeout_ms);
