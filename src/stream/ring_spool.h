#pragma once
// A channel's ring copied once, slot after slot, into an anonymous memory file at offsets that
// only grow, so that a sender hands the same pages to every viewer's socket (sendfile) instead
// of copying the packets into each socket's buffer. An offset is never written twice: the
// pages a socket still holds keep their bytes after the file lets them go. What lies behind
// the ring's lap (and behind every range a sender still owes a socket) is given back, so the
// file holds about one lap. Used by one thread (the channel's sender).

#include "channels/channel_table.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class RingSpool {
public:
    // Slots behind the newest copied one that stay usable (a lap less a margin: the writer
    // overwrites the oldest slots of the lap first).
    static constexpr int kWindowSlots = kRingSlots - 50;
    // What is let go at once at the least.
    static constexpr int64_t kReleaseStep = 2 << 20;

    explicit RingSpool(ChannelRecord& channel) : channel_(channel) {}
    ~RingSpool();
    RingSpool(const RingSpool&) = delete;
    RingSpool& operator=(const RingSpool&) = delete;

    // Where slot index of ring, as RingReader::PeekSlot gives it (length bytes, of which the
    // whole packets are copied), starts in the file; -1 when the file does not hold it. Slots
    // are copied here, when the first reader asks for one the writer has committed since the
    // last copy; a reader of another ring than the last one's (the channel's new ring) starts
    // the copies again from that ring's window.
    int64_t OffsetOf(const std::shared_ptr<RealBuffer>& ring, int32_t index, int length);
    // Lets the pages before keep_from go, and always those behind the window.
    void Release(int64_t keep_from);
    // Reads [at, at + length) back into out (appended); false when it could not.
    bool ReadBack(int64_t at, std::size_t length, std::vector<uint8_t>& out) const;
    int fd() const { return fd_; }
    // The offset the next slot goes to: everything before it was written.
    int64_t end() const { return end_; }
    // Everything before this offset is given back.
    int64_t released() const { return released_; }
    // Bytes the file holds now (from the first kept page to the end).
    int64_t held() const { return end_ - released_; }
    // False once copies stopped (a failed write or release): OffsetOf then finds nothing.
    bool running() const { return !stopped_; }

private:
    void Restart(const std::shared_ptr<RealBuffer>& ring);
    void CopyUpTo(int32_t input);
    // No more copies (a failed write or release); what the file holds stays readable.
    void Stop();

    ChannelRecord&              channel_;
    std::shared_ptr<RealBuffer> ring_;
    int                         fd_ = -1;
    bool                        stopped_ = false;
    int32_t                     next_ = 0;        // the next slot to copy
    uint64_t                    copied_written_ = 0; // the writer's count of slots at the last copy
    int64_t                     end_ = 0;
    int64_t                     released_ = 0;    // pages before this are given back
    int64_t                     window_floor_ = 0; // where the present ring's copies begin
    int64_t                     offsets_[kRingSlots];
    int32_t                     lengths_[kRingSlots];
};
