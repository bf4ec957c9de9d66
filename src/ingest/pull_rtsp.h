#pragma once
// The RTSP pull client of source kinds 3 ("rtsp://", "mms://") and 18 ("rtspts://"): DESCRIBE,
// SETUP of the SDP's track with RTP interleaved in the connection, PLAY; then the transport
// stream that the RTP packets carry becomes the channel's slots.

#include "channels/channel_table.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t kRtspReplySize   = 4096;   // a longer reply (head and SDP) is refused
constexpr std::size_t kRtspUrlSize     = 512;
constexpr std::size_t kRtspSessionSize = 128;

// One reply (or request) of an RTSP peer.
struct RtspReply {
    int     length = 0;           // head and body; 0 while either is incomplete
    int     head_length = 0;      // up to and including the blank line; 0 while incomplete
    int     status = 0;           // of an "RTSP/1.0 NNN" first line; 0 for any other
    int64_t content_length = 0;
    char    session[kRtspSessionSize] = "";     // "Session:" up to ";" (blanks trimmed)
    int     timeout_s = 0;                      // its ";timeout=", 0 without
    char    content_base[kRtspUrlSize] = "";    // "Content-Base:", or else "Content-Location:"
};
RtspReply ParseRtspReply(const char* data, std::size_t length);

// The control URL of the SDP's first media (media) or of the whole session (!media), resolved
// against base: an absolute URL as it stands, "*" as base, anything else appended to base
// with one "/". False when the SDP has no such line.
bool SdpControlUrl(std::string_view sdp, bool media, const char* base, char (&url)[kRtspUrlSize]);

// Where the payload of an RTP packet lies (after CSRCs and header extension, before padding);
// false for anything that is no RTP version 2 packet.
bool RtpPayload(const uint8_t* packet, std::size_t length, std::size_t& offset, std::size_t& payload_length);

// Takes apart what an RTSP server sends over TCP after PLAY: "$", channel, 16-bit length and
// a packet per frame; RTSP messages in between (replies to keep-alives) are skipped, as is
// anything else until the next "$". The RTP payload of each frame on channel 0 goes to payload.
class InterleavedDeframer {
public:
    using PayloadFn = std::function<void(const uint8_t* data, std::size_t length)>;
    InterleavedDeframer() : frame_(65535) {}
    void Feed(const uint8_t* data, std::size_t length, const PayloadFn& payload);
    void Reset();

private:
    enum class State { kIdle, kHeader, kFrame, kText, kTextBody };
    State                state_ = State::kIdle;
    uint8_t              header_[4] = {};
    int                  header_length_ = 0;
    std::vector<uint8_t> frame_;
    std::size_t          frame_length_ = 0;
    std::size_t          frame_got_ = 0;
    std::string          text_;
    int64_t              body_left_ = 0;
};

// One connection to an RTSP server. The socket is closed by rtsp_pull_teardown or by the
// owner when the connection is lost.
struct RtspPullSession {
    int     socket = -1;
    int     cseq = 0;                           // the last one sent; DESCRIBE is 1
    char    session[kRtspSessionSize] = " ";    // a single blank when the server gave none
    char    url[kRtspUrlSize] = "";             // rtsp://host[:port]/path as the source names it
    char    play_url[kRtspUrlSize] = "";        // the aggregate control URL
    int     timeout_s = 60;
    uint8_t response[kRtspReplySize] = {};      // received, not yet taken; after PLAY the stream's first bytes
    std::size_t response_length = 0;
    char    request[2048] = "";
    uint64_t deadline_ms = 0;                   // a tick past which no reply is waited for; 0: none
};

// Connects to host:port and asks for the stream rtsp://authority/path; none on any failure
// (logged "Can not connect rtsp server").
// With deadline_ms (a GetTickMs tick), the connection and the replies are given up past it.
std::unique_ptr<RtspPullSession> rtsp_pull_open(const char* host, int port, const char* path, const std::string& authority,
                                                uint64_t deadline_ms = 0);
// Sends TEARDOWN, takes one answer, closes the socket and releases the session.
void rtsp_pull_teardown(std::unique_ptr<RtspPullSession> session);

// Plays the source for a check, without a ring: the transport stream's bytes go to sink until
// it returns false, budget_ms has passed or the readers stop. False when no session opened.
using PullProbeSink = std::function<bool(const uint8_t* data, std::size_t length)>;
bool ProbeRtspSource(const ChannelRecord& channel, int budget_ms, const PullProbeSink& sink);

// The data thread of an RTSP source; runs until the channel reader stop flag is raised.
void RunRtspPull(ChannelRecord& channel, int32_t channel_index);
