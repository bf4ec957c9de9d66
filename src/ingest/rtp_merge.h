#pragma once
// Hitless merge of two RTP paths: one channel received as the same RTP stream over two
// networks (merge="rtp://..." beside its rtp:// src). Each packet is taken from whichever path
// delivers it first, by sequence number, and the channel's ring gets every packet once and in
// sequence order. A number neither path delivers is given up once the packets after it have
// waited kRtpMergeWindowMs.

#include "channels/channel_table.h"
#include "media/ts_packet.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

constexpr int      kRtpMergePaths    = 2;
constexpr uint64_t kRtpMergeWindowMs = 200;
// Packets the reorder buffer holds (a power of two dividing 65536, so a sequence number has
// one slot across the wrap): a 200 ms window up to about 50 Mbit/s. A packet further ahead
// pushes the oldest waiting ones out.
constexpr int      kRtpMergeSlots    = 1024;
// Packets of a new stream (a sender restart: another SSRC, or a sequence number far from the
// merge's) that take the merge over when no other path still carries the old one; kept until then.
constexpr int      kRtpMergeResyncPackets = 4;

struct RtpMergeCounts {
    uint64_t received[kRtpMergePaths] = {};    // datagrams, RTP or not
    uint64_t used[kRtpMergePaths] = {};        // packets whose copy from this path went out
    uint64_t lost[kRtpMergePaths] = {};        // sequence numbers still missing on this path
    uint64_t given_up = 0;                     // sequence numbers no path delivered in time
    uint64_t resyncs = 0;
};

// The merge itself, without sockets or clocks: the caller offers each datagram with the
// time it arrived and calls Expire as time passes. Memory is fixed at construction.
class RtpMerger {
public:
    // Called for each packet that goes out, in sequence order.
    using Output = std::function<void(const uint8_t* data, std::size_t length, int path)>;
    explicit RtpMerger(Output output);

    // One datagram of path 0 or 1 (others are ignored); longer than kRtpSlotSize it is cut.
    void Offer(int path, const uint8_t* data, std::size_t length, uint64_t now_ms);
    // Gives up the missing numbers that packets after them have waited the window for, and
    // sends what then follows in order.
    void Expire(uint64_t now_ms);
    const RtpMergeCounts& Counts() const { return counts_; }

private:
    struct Packet {
        uint64_t arrival_ms = 0;
        uint16_t sequence = 0;
        uint16_t length = 0;
        uint8_t  path = 0;
        bool     filled = false;
        uint8_t  data[kRtpSlotSize];
    };
    struct PathState {
        bool     seen = false;
        bool     on_candidate = false;         // its last packet belonged to the candidate stream
        uint32_t ssrc = 0;
        uint16_t last_sequence = 0;
        uint64_t last_ms = 0;
        uint8_t  missing[kRtpMergeSlots / 8] = {};   // bit set: counted lost, not come yet
    };
    struct Candidate {
        bool     active = false;
        uint32_t ssrc = 0;
        uint16_t first = 0;
        uint16_t last = 0;
        int      count = 0;
        int      stashed = 0;
        Packet   stash[kRtpMergeResyncPackets];
    };

    void CountPathLoss(int path, uint16_t sequence, uint32_t ssrc);
    // False when the packet belongs to no stream the merge follows now.
    bool Place(int path, const uint8_t* data, std::size_t length, uint16_t sequence, uint32_t ssrc, uint64_t now_ms);
    void Drain();
    void Emit(Packet& slot);
    void FindOldest();
    void Follow(int path, const uint8_t* data, std::size_t length, uint16_t sequence, uint32_t ssrc, uint64_t now_ms);
    bool ShouldResync(uint64_t now_ms) const;
    void Resync(uint64_t now_ms);

    Output              output_;
    std::vector<Packet> slots_;
    PathState           paths_[kRtpMergePaths];
    Candidate           candidate_;
    RtpMergeCounts      counts_;
    bool                started_ = false;
    uint32_t            ssrc_ = 0;
    uint16_t            next_ = 0;             // the number that goes out next
    int                 waiting_ = 0;          // packets in slots_
    uint64_t            oldest_ms_ = 0;        // arrival of the longest-waiting one
    uint64_t            last_in_stream_ms_ = 0;
};

// The merge path of an RTP channel: true, with path's source filled, when the channel's first
// source is RTP and its merge attribute is an RTP source too. Any other merge text is logged
// once per channel and ignored.
bool MergePathOf(const ChannelRecord& channel, int32_t channel_index, ChannelRecord& path);
// Runs the channel's two paths merged into its ring until the channel reader stops; false at
// once when the channel has no merge path (MergePathOf).
bool RunRtpMerge(ChannelRecord& channel, int32_t channel_index);
