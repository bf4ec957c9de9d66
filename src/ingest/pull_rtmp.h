#pragma once
// The RTMP pull client of source kind 19 ("rtmp://"): handshake, connect, createStream and
// play; then the server's chunk stream from the first AVC key frame on, stored as it comes.
// The ring holds RTMP bytes, not a transport stream: the recorders store them, no live output
// serves them.

#include "channels/channel_table.h"
#include "rtmp/flv_media.h"
#include "rtmp/rtmp_chunk.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

constexpr int kRtmpHandshakeSize = 1536;
constexpr int kRtmpBlockSize     = 1452;      // one receive, one slot

// The names a source URL gives: rtmp://host[:port]/app/stream has app "app" (everything
// between the host and the last "/"), tcUrl "rtmp://host[:port]/app" (without credentials)
// and stream "stream".
struct RtmpNames {
    char app[kChannelSrcSize] = "";
    char tc_url[kChannelSrcSize] = "";
    char stream[kChannelSrcSize] = "";
};
RtmpNames RtmpNamesOf(const char* src);

// What an onMetaData tells; only logged.
struct RtmpMetadata {
    double width = 0, height = 0, framerate = 25.0;
    double videocodecid = 0, audiocodecid = 0;      // -1 when given as text
    double videodatarate = 0, audiodatarate = 0;
    char   videocodec[64] = "", audiocodec[64] = "";
};
// True for a data message (type 18) whose first value is "onMetaData"; out then holds its
// values.
bool ParseOnMetaData(const RtmpMessage& message, RtmpMetadata& out);
// The metadata's log lines for 1-based channel number, with the bitrate and sleep time.
void LogMetadata(int number, const RtmpMetadata& metadata);

// C1: a time field of a zero byte and the second to fourth digits of tick, four zero bytes,
// then 1528 random letters and digits.
void BuildHandshakeC1(uint8_t (&c1)[kRtmpHandshakeSize], uint64_t tick);
// The whole connect message (header and chunked body) into out (room for 1024 bytes); its length.
int BuildConnectMessage(uint8_t* out, const RtmpNames& names, double transaction);
// The name and transaction id of a command message (types 20 and 17); false for another.
bool ReadCommand(const RtmpMessage& message, char (&name)[64], double& transaction);

// The client's side of one connection: it answers the server's pings, acknowledges what it
// received as the server's window asks, and keeps what a wait did not use.
class RtmpPeer {
public:
    explicit RtmpPeer(int fd) : fd_(fd) {}
    using Wanted = std::function<bool(const RtmpMessage&)>;
    // Walks the server's messages until wanted says yes (true; what came after that message
    // stays pending), or the connection fails, the stream cannot be read, a stop flag is
    // raised or timeout_ms passes (false).
    bool WaitFor(const Wanted& wanted, int timeout_ms);
    // Feeds received bytes (after what is pending has been taken out and fed); each sees every
    // message. False when the stream cannot be read or an answer could not be sent.
    bool Take(const uint8_t* data, std::size_t length, const RtmpChunkReader::MessageFn& each,
              const RtmpChunkReader::MessageFn& on_start = nullptr);
    bool Send(const uint8_t* data, std::size_t length);
    // A tick (GetTickMs) past which no wait of this peer goes on; 0: none.
    void set_deadline(uint64_t tick_ms) { deadline_ = tick_ms; }
    std::vector<uint8_t>& pending() { return pending_; }
    int fd() const { return fd_; }

private:
    // The answers the protocol asks for; false when one could not be sent.
    bool Answer(const RtmpMessage& message);
    long Feed(const uint8_t* data, std::size_t length, const RtmpChunkReader::MessageFn& each,
              const RtmpChunkReader::MessageFn& on_start = nullptr);
    int                  fd_;
    RtmpChunkReader      reader_{static_cast<uint32_t>(FlvMediaReader::kMaxPayload)};   // key frames whole
    std::vector<uint8_t> pending_;
    uint64_t             received_ = 0;
    uint64_t             acknowledged_ = 0;
    uint32_t             window_ = 0;
    bool                 failed_ = false;
    uint64_t             deadline_ = 0;
};

// connect, Set Buffer Length, createStream and play, then the wait for onMetaData (10 s).
// The number of bytes that came after the onMetaData message (left pending in the peer), or
// -1 when the server refused, fell silent or sent no onMetaData.
int rtmp_pull_start(int channel_number, RtmpPeer& peer, const RtmpNames& names);
// deleteStream of stream 1.
void rtmp_pull_stop(int socket);

// Plays the source for a check, without a ring: the stream remuxed into a transport stream
// goes to sink until it returns false, budget_ms has passed or the readers stop. False when
// no stream started.
bool ProbeRtmpSource(const ChannelRecord& channel, int budget_ms,
                     const std::function<bool(const uint8_t* data, std::size_t length)>& sink);

// The data thread of an RTMP source; runs until the channel reader stop flag is raised.
void RunRtmpPull(ChannelRecord& channel, int32_t channel_index);
