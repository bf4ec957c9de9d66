#pragma once
// One RTSP connection of a test, read as a player reads it: the replies, and the interleaved
// media frames ("$", channel, length) that arrive between them on the same connection.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class RtspClient {
public:
    using Clock = std::chrono::steady_clock;
    struct Frame {
        uint8_t              channel = 0;
        std::vector<uint8_t> bytes;             // what follows the 4-byte prefix
        Clock::time_point    arrived;
        std::size_t          after_replies = 0;  // replies that came before it on the connection
    };

    explicit RtspClient(uint16_t port);
    ~RtspClient();
    RtspClient(const RtspClient&) = delete;
    RtspClient& operator=(const RtspClient&) = delete;

    bool Send(const std::string& text);
    // A small receive window: the server's socket fills after a few packets.
    void ShrinkReceiveBuffer(int bytes);
    // The next reply: its head and the body its Content-Length announces ("" at a time-out).
    // Frames read on the way are kept for NextFrame.
    std::string Reply(int timeout_ms = 5000);
    // DESCRIBE, SETUP over TCP (interleaved 0-1) and PLAY of url; the session, "" when a reply
    // was not 200 OK.
    std::string PlayOverTcp(const std::string& url);
    // The next interleaved frame; false at the time-out or once the server has closed.
    bool NextFrame(Frame& frame, int timeout_ms = 5000);
    // True when the server has closed the connection within timeout_ms (frames and replies
    // that arrive meanwhile are dropped).
    bool Closed(int timeout_ms);
    // True once a read has found the connection closed.
    bool closed() const { return closed_; }

private:
    bool Read(int wait_ms);                     // false when nothing can be read any more
    void Split();                               // complete frames and replies out of buffered_

    int                      fd_;
    bool                     closed_ = false;
    std::string              buffered_;
    std::deque<std::string>  replies_;
    std::deque<Frame>        frames_;
    std::size_t              replies_seen_ = 0;
};
