#include "support/rtsp_client.h"

#include "support/test_server.h"

#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

RtspClient::RtspClient(uint16_t port) : fd_(ConnectLoopback(port)) {}

RtspClient::~RtspClient()
{
    if (fd_ >= 0) close(fd_);
}

bool RtspClient::Send(const std::string& text) { return SendAllText(fd_, text); }

void RtspClient::ShrinkReceiveBuffer(int bytes)
{
    if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool RtspClient::Read(int wait_ms)
{
    if (fd_ < 0 || closed_) return false;
    pollfd watch{fd_, POLLIN, 0};
    if (poll(&watch, 1, wait_ms) <= 0) return true;
    char chunk[65536];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) {
        closed_ = true;
        return false;
    }
    buffered_.append(chunk, static_cast<std::size_t>(got));
    Split();
    return true;
}

void RtspClient::Split()
{
    for (;;) {
        if (buffered_.empty()) return;
        if (buffered_[0] == '$') {
            if (buffered_.size() < 4) return;
            const std::size_t length = static_cast<uint8_t>(buffered_[2]) * 256u + static_cast<uint8_t>(buffered_[3]);
            if (buffered_.size() < 4 + length) return;
            Frame frame;
            frame.channel = static_cast<uint8_t>(buffered_[1]);
            frame.bytes.assign(buffered_.begin() + 4, buffered_.begin() + static_cast<std::ptrdiff_t>(4 + length));
            frame.arrived = Clock::now();
            frame.after_replies = replies_seen_;
            frames_.push_back(std::move(frame));
            buffered_.erase(0, 4 + length);
            continue;
        }
        const std::size_t head = buffered_.find("\r\n\r\n");
        if (head == std::string::npos) return;
        std::size_t total = head + 4;
        const std::size_t length = buffered_.find("Content-Length: ");
        if (length != std::string::npos && length < head) total += std::strtoul(buffered_.c_str() + length + 16, nullptr, 10);
        if (buffered_.size() < total) return;
        replies_.push_back(buffered_.substr(0, total));
        ++replies_seen_;
        buffered_.erase(0, total);
    }
}

std::string RtspClient::PlayOverTcp(const std::string& url)
{
    const auto request = [&](const std::string& method, int cseq, const std::string& more) {
        return Send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + more + "\r\n") &&
               Reply().starts_with("RTSP/1.0 200 OK");
    };
    if (!request("DESCRIBE", 1, "")) return "";
    if (!Send("SETUP " + url + " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n")) return "";
    const std::string setup = Reply();
    const std::size_t at = setup.find("Session: ");
    if (!setup.starts_with("RTSP/1.0 200 OK") || at == std::string::npos) return "";
    const std::string session = setup.substr(at + 9, setup.find_first_of(";\r", at) - at - 9);
    return request("PLAY", 3, "Session: " + session + "\r\n") ? session : "";
}

std::string RtspClient::Reply(int timeout_ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (replies_.empty()) {
        if (Clock::now() >= until || !Read(50)) return "";
    }
    std::string reply = std::move(replies_.front());
    replies_.pop_front();
    return reply;
}

bool RtspClient::NextFrame(Frame& frame, int timeout_ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (frames_.empty()) {
        if (Clock::now() >= until || !Read(20)) return false;
    }
    frame = std::move(frames_.front());
    frames_.pop_front();
    return true;
}

bool RtspClient::Closed(int timeout_ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < until) {
        if (!Read(50)) return closed_;
        frames_.clear();
        replies_.clear();
    }
    return false;
}
