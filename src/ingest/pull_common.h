#pragma once
// What the HTTP, RTSP and RTMP pull clients share: connecting to a source, receiving with a
// deadline, pausing between attempts, the marks of a lost and a re-established connection,
// and cutting a received transport stream into packet-aligned slots.

#include "channels/channel_table.h"
#include "media/ts_reblocker.h"
#include "media/ts_timing.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

// The pause after a failed attempt and the silence after which a connection counts as lost.
constexpr int kPullRetryMs   = 10000;
constexpr int kPullSilenceMs = 10000;

// True once the channel reader stop flag is raised.
bool PullStopping();
// Sleeps ms in short steps; false (early) when the channel reader stops.
bool PauseUnlessStopping(uint32_t ms);
// A TCP connection to host (dotted, or a name asked of the DNS server) and port, made within
// timeout_ms and given up when the channel reader stops; -1 on failure.
constexpr int kPullConnectMs = 10000;
[[nodiscard]] int ConnectTcp(const char* host, int port, int timeout_ms = kPullConnectMs);
// One receive after waiting at most timeout_ms: the bytes received, 0 when the peer closed,
// -1 on an error, -2 at the time-out or when the channel reader stops.
ssize_t ReceiveWithin(int fd, void* buffer, std::size_t size, int timeout_ms);
// "host[:port]" of a source URL as written, without scheme, credentials and path.
std::string SourceAuthority(const char* src);

// Reading the head of an HTTP or RTSP reply.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);
bool ContainsTextIgnoringCase(std::string_view text, std::string_view word);
// The bytes up to and including the head's blank line ("\r\n\r\n", or failing that "\n\n");
// 0 while it has not arrived.
std::size_t HeadLength(std::string_view text);
// The status code of a first line "<protocol>/x.y NNN ..." (protocol "HTTP" or "RTSP"); 0 for
// any other line.
int StatusCode(std::string_view text, std::string_view protocol);
// Calls field(name, value) for each "Name: value" line after the first line of head, blanks
// around both trimmed.
void ForEachHeaderField(std::string_view head, const std::function<void(std::string_view, std::string_view)>& field);
// A number of decimal digits only (at most 18); -1 for anything else.
int64_t DecimalValue(std::string_view text);

// Copies length bytes (at most one slot) into the writer's slot and publishes it.
void StoreSlot(ChannelRecord& channel, RealBuffer& buffer, const uint8_t* data, int length);

// A reblocker that stores each block as one slot of the channel's ring, and keeps the
// channel's reconnect flag of the source's kind (http_reconnect or rtsp_reconnect).
class TsSlotWriter {
public:
    TsSlotWriter(ChannelRecord& channel, RealBuffer& buffer, std::atomic<int32_t>& reconnect)
        : channel_(channel), buffer_(buffer), reconnect_(reconnect) {}
    // A new connection: what the last one left half done is dropped, its data begins at the
    // writer's slot (reconnect_index), and the flag is cleared once its first slot is stored,
    // so that a viewer waiting on the flag finds input when it joins again.
    void Connected();
    // The connection was lost: new viewers are refused until input comes again, and viewers
    // that see the raised flag wait for the next connection.
    void Lost();
    void Write(const uint8_t* data, std::size_t length);
    int64_t slots() const { return slots_; }

private:
    ChannelRecord&        channel_;
    RealBuffer&           buffer_;
    std::atomic<int32_t>& reconnect_;
    TsReblocker           reblocker_;
    int64_t               slots_ = 0;
    bool                  clear_on_slot_ = false;
};
