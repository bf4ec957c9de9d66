#include "stream/byte_stream_output.h"

#include "core/platform/platform.h"
#include "media/ts_packet.h"
#include "media/ts_timing.h"
#include "stream/live_sender.h"

#include <algorithm>
#include <cstring>

namespace {

// The PCR pacing of one output: the PCR difference after each slot, slept with the carry of
// the milliseconds' fractions, unless the reader lags.
class BytePace {
public:
    explicit BytePace(int64_t* last_pcr) : last_pcr_(last_pcr) {}
    void Reset() { clock_.Reset(); }
    // Takes the PCRs of a block of whole packets.
    void TakeBlock(const uint8_t* block, int length)
    {
        for (int at = 0; at + kTsPacketSize <= length; at += kTsPacketSize) clock_.Take(block + at, last_pcr_);
    }
    // Takes the first PCR of an unaligned slot, from its first whole packet on.
    void TakeSlot(const uint8_t* slot, int length, int first_packet)
    {
        for (int at = first_packet; at + kTsPacketSize <= length; at += kTsPacketSize) {
            int64_t pcr = 0;
            if (slot[at] == kTsSyncByte && extract_pcr(slot + at, pcr)) {
                clock_.Take(slot + at, last_pcr_);
                return;
            }
        }
    }
    void Sleep(bool lagging)
    {
        if (clock_.pending() <= 0) return;
        const int64_t ms = lagging ? 0 : sleep_.NextMs(clock_.pending());
        clock_.ClearPending();
        if (ms > 0) SleepUnlessStopping(static_cast<uint32_t>(std::min<int64_t>(ms, 10000)));
    }

private:
    int64_t*      last_pcr_;
    LivePcrClock  clock_;
    PcrSleepCarry sleep_;
};

}  // namespace

void PacketAligner::Reset()
{
    held_length_ = 0;
    block_length_ = 0;
}

bool PacketAligner::Add(const uint8_t* data, int length, const Emit& emit)
{
    // A packet is taken when its sync byte and the next packet's are both there; the last
    // packet given therefore waits for the next bytes.
    int at = 0;
    for (;;) {
        const int take = std::min(static_cast<int>(sizeof held_) - held_length_, length - at);
        if (take > 0) {
            std::memcpy(held_ + held_length_, data + at, static_cast<std::size_t>(take));
            held_length_ += take;
            at += take;
        }
        if (held_length_ < static_cast<int>(sizeof held_)) return true;
        const bool packet = held_[0] == kTsSyncByte && held_[kTsPacketSize] == kTsSyncByte;
        const int used = packet ? kTsPacketSize : 1;
        if (packet) {
            std::memcpy(block_ + block_length_, held_, kTsPacketSize);
            block_length_ += kTsPacketSize;
        }
        std::memmove(held_, held_ + used, static_cast<std::size_t>(held_length_ - used));
        held_length_ -= used;
        if (block_length_ == kTsBlockSize) {
            block_length_ = 0;
            if (!emit(block_, kTsBlockSize)) return false;
        }
    }
}

void ServeByteStream(ChannelRecord& channel, ByteStreamOutput& output)
{
    PacketAligner aligner;
    BytePace pace(output.last_pcr);
    const PacketAligner::Emit emit = [&](const uint8_t* block, int length) {
        pace.TakeBlock(block, length);
        return output.send(block, length);
    };
    // Bytes of the ring: through the aligner, or as they are.
    const auto put = [&](const uint8_t* data, int length) {
        return output.aligned ? aligner.Add(data, length, emit) : output.send(data, length);
    };
    RingFollower& follower = output.follower;
    follower.byte_stream = true;
    follower.joined = [&](const RingReader& ring, const std::vector<uint8_t>& first) {
        if (output.joined) output.joined(ring);
        aligner.Reset();
        pace.Reset();
        return put(first.data(), static_cast<int>(first.size()));
    };
    follower.slot = [&](const RingReader& ring, const uint8_t* slot, int length) {
        if (!put(slot, length)) return false;
        if (!output.aligned) pace.TakeSlot(slot, length, ring.last_packet_offset());
        if (output.after_slot) output.after_slot();
        pace.Sleep(ring.Lags());
        return true;
    };
    FollowRing(channel, follower);
}
