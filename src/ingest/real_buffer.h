#pragma once
// The rules by which a channel's ring is written and followed. One writer per ring; readers
// never lock it: they poll input_index and time_index and copy a slot (length first) before
// using it. A reader lapped by the writer of a byte-stream ring finds out from a missing sync
// byte; packet-aligned readers send whatever the slots hold.

#include "channels/channel_table.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The writer's step after storing `length` bytes in slot input_index.
void write_slot(ChannelRecord& channel, RealBuffer& buffer, int32_t length);
// ((I - T + 1000) mod 1000) + 1.
int32_t filled_count(int32_t input_index, int32_t time_index);
// (T + F / 4) mod 1000.
int32_t join_point(int32_t input_index, int32_t time_index);
// Offset of the first PAT packet of a packet-aligned slot (a 1328-byte slot is searched after
// its 12-byte RTP header), or -1.
int find_pat_offset(const uint8_t* slot, int length);
// Byte-stream slot: offset of the first PAT packet on a packet boundary found by two sync
// bytes 188 apart, or -1.
int find_stream_pat_offset(const uint8_t* slot, int length);
// The packets of a packet-aligned slot that holds got bytes (an RTP header skipped): data
// points at them; returns their length.
int slot_packets(const RealBufferSlot& slot, int32_t got, const uint8_t*& data);
// Bytes at the start of the next slot that complete the packet cut off at the end of this one,
// for a slot whose packets start at `position`.
int sync_skip_after(int length, int position);
// True when a reader at output_index lags 980 slots or more behind the writer (it then sends
// without pacing sleeps).
bool reader_lags(int32_t output_index, int32_t input_index);
// For a reader that copies slots without ever waiting on the writer: orders the writer's next
// lap over the slots it has read after its reads (the handshake a waiting reader makes through
// ring_waiters, which the writer looks at on every write).
void release_read_slots(ChannelRecord& channel);
// Ends the ring's life as a live input: marks it retired and wakes every reader that sleeps on
// the channel, so that each finds out at once. The data thread's last act on its ring.
void retire_ring(ChannelRecord& channel, RealBuffer& buffer);

// How long a join looks for a PAT before it gives up on the channel.
constexpr int kJoinPatWaitMs = 10000;

// A reader of one channel's ring. Keeps the ring it joined alive for as long as it exists.
class RingReader {
public:
    // kNoPat: no PAT came within kJoinPatWaitMs. kRetired: the ring's writer has ended.
    enum class Join { kJoined, kNoNetwork, kNoInput, kStopped, kNoPat };
    enum class Next { kSlot, kWaiting, kLostSync, kReconnected, kRetired };

    // byte_stream: slots of pull sources, not aligned to packets. log_prefix starts the line
    // that reports the join ("Thread[7]: ... CH no.[5] ").
    // A reader counts in the channel's demand from here to its end; it is never copied, so a
    // reader handed on (by its pointer) still counts once.
    RingReader(ChannelRecord& channel, bool byte_stream, int thread_number, std::string log_prefix = "");
    ~RingReader();
    RingReader(const RingReader&) = delete;
    RingReader& operator=(const RingReader&) = delete;

    // Joins at a PAT, the first one that a key picture follows in the slots written already
    // when there is such (so that a player shows a picture at once), else the first one;
    // `first` receives the join slot from the join packet on (copies of the PAT and PMT in
    // front when the source sent none right before the key picture). `stopped` is
    // polled while waiting for slots. Never reads the slot the writer fills next; at the
    // writer it sleeps until the next write, and gives up (kNoPat) after kJoinPatWaitMs.
    // An on-demand pull without input (ingest/on_demand.h) is waited for within that time, and
    // then joined where its new connection's data begins.
    // from: the slot to search from instead of the join point (after a pull source's
    // reconnection, the first slot of the new connection), or -1.
    Join JoinAtPat(const std::function<bool()>& stopped, std::vector<uint8_t>& first, int32_t from = -1);
    // The catch-up passes after a packet-aligned join: up to F / 4 + 1 slots, each handed to
    // send (false from send ends the catch-up).
    void CatchUp(const std::function<bool(const uint8_t*, int)>& send);
    // The catch-up one pass at a time, for callers that pace the passes themselves: false once
    // the reader has reached the writer; otherwise out holds the slot (RTP header dropped) and
    // the reader moved past it, or length is 0 for a slot not written yet.
    bool CatchUpPass(uint8_t* out, int& length);
    // CatchUpPass without the copy: data points into the ring's slot (RTP header skipped).
    bool CatchUpPeek(const uint8_t*& data, int& length);
    int catch_up_passes() const { return byte_stream_ ? 0 : filled_ / 4 + 1; }
    // The next slot into out (up to kRingSlotSize bytes, RTP header dropped); kWaiting when the
    // writer has not written it yet, kRetired once the writer has ended.
    Next NextSlot(uint8_t* out, int& length);
    // NextSlot of a packet-aligned ring without the copy: data points into the ring's slot
    // (RTP header skipped). The ring stays alive with the reader; the slot holds these bytes
    // until the writer comes round to it again (a lap later). pcr_packets, when given, receives
    // which of its packets carry a PCR (bit k: packet k of data).
    Next PeekSlot(const uint8_t*& data, int& length, uint16_t* pcr_packets = nullptr);
    // Takes the ring the channel's writer fills now and follows it from the newest slot that
    // holds a PAT, searched back at most max_back slots from the writer (at the writer when
    // none does), so that a reader that starts late misses as little as it can.
    void FollowNearWriter(int max_back);
    // Takes the ring the channel's writer fills now and follows it from slot index.
    void FollowFrom(int32_t index);
    // Sleeps until the writer writes past this reader's position, at most timeout_ms.
    void WaitForWriter(int timeout_ms);
    // Joins at the newest slot that starts with a PAT: before the first lap the first one
    // from the oldest slot on; after it, searched back from the newest whole slot (never the
    // slots the writer is about to overwrite), over at most a lap less a margin. lead: the
    // search starts that many slots further back (at most half the ring), so that what
    // follows the join holds more of the past.
    Join JoinBackward(const std::function<bool()>& stopped, int lead = 0);

    int32_t output_index() const { return output_index_; }
    // Where the packets of the slot last returned by NextSlot start (byte streams).
    int last_packet_offset() const { return last_packet_offset_; }
    bool Lags() const;
    // True once the writer of the ring this reader holds has ended.
    bool Retired() const { return buffer_ != nullptr && buffer_->retired.load() != 0; }
    const std::shared_ptr<RealBuffer>& buffer() const { return buffer_; }

private:
    int CopySlot(int32_t index, uint8_t* out) const;
    // From the join PAT (at, in the slot at output_index_, whose bytes from it on are in
    // first) on through the slots written already, looks for the first key picture. When
    // there is one, the join moves to it: output_index_ and at name its slot and the packet
    // to start from (slot_length that slot's length), and first holds the PAT and PMT before
    // it and its slot's bytes from it on.
    bool StartAtKeyFrame(std::vector<uint8_t>& first, int& at, int& slot_length);
    ChannelRecord&              channel_;
    std::shared_ptr<RealBuffer> buffer_;
    bool                        byte_stream_;
    int                         thread_number_;
    int32_t                     output_index_ = 0;
    int32_t                     filled_ = 0;
    int                         sync_skip_ = 0;
    int                         last_packet_offset_ = 0;
    std::string                 log_prefix_;
};
