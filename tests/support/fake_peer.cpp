#include "support/fake_peer.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FakeTcpPeer::FakeTcpPeer(Serve serve) : serve_(std::move(serve))
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 8);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
        while (!stop_.load()) {
            pollfd watch{listener_, POLLIN, 0};
            if (poll(&watch, 1, 20) <= 0) continue;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const int n = connections_.fetch_add(1);
            serve_(fd, n);
            close(fd);
        }
    });
}

FakeTcpPeer::~FakeTcpPeer()
{
    stop_.store(true);
    thread_.join();
    close(listener_);
}

std::string ReadHead(int fd, int timeout_ms)
{
    std::string head;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (head.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < until) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 20) <= 0) continue;
        char c;
        if (recv(fd, &c, 1, 0) != 1) return head;
        head.push_back(c);
    }
    return head;
}

bool SendText(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool WaitForClientClose(int fd, int timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 20) <= 0) continue;
        char sink[4096];
        if (recv(fd, sink, sizeof sink, 0) <= 0) return true;
    }
    return false;
}
