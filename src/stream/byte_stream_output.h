#pragma once
// A live channel whose ring holds a byte stream (an HTTP or RTSP pull), as every output sends
// it: the ring followed across overruns and reconnections, paced by the stream's PCR unless
// the reader lags behind the writer. Outputs that send datagrams get blocks of whole packets.

#include "channels/channel_table.h"
#include "stream/ring_follower.h"

#include <cstdint>
#include <functional>

// Turns bytes into 1316-byte datagrams of seven whole packets: packet-aligned slots, RTP-free
// byte streams cut anywhere, datagrams of other sizes. A packet is taken when it and the next
// one start with a sync byte; anything else is dropped a byte at a time until they do again.
class PacketAligner {
public:
    using Emit = std::function<bool(const uint8_t* block, int length)>;
    // False when emit returned false.
    bool Add(const uint8_t* data, int length, const Emit& emit);
    // Forgets what is held (a new join).
    void Reset();

private:
    uint8_t held_[2 * 188];                // a packet and the start of the next
    int     held_length_ = 0;
    uint8_t block_[1316];
    int     block_length_ = 0;
};

struct ByteStreamOutput {
    // How the ring is followed: the caller sets thread_number, log_prefix, warn_channel,
    // closed_line, follow_next_ring, stopped, ready, join_from and refused; the rest is set here.
    RingFollower follower;
    // True: send gets 1316-byte blocks of whole packets; false: the ring's bytes as they are.
    bool aligned = true;
    // Sends bytes; false ends the output.
    std::function<bool(const uint8_t*, int)> send;
    // After each joined (or re-joined) start, before its first bytes go out (optional).
    std::function<void(const RingReader&)> joined;
    // After each slot's bytes, before its pacing sleep (optional).
    std::function<void()> after_slot;
    // Receives the stream's last PCR (optional).
    int64_t* last_pcr = nullptr;
};

// Follows channel's ring and sends it until the output ends (see ByteStreamOutput).
void ServeByteStream(ChannelRecord& channel, ByteStreamOutput& output);
