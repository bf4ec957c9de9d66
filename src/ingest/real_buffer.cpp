#include "ingest/real_buffer.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "ingest/on_demand.h"
#include "media/ts_cutter.h"
#include "media/ts_timing.h"

#include <algorithm>
#include <cstring>

// Which packets of a slot carry a PCR (bit k for the packet at k * 188 after an RTP header).
static uint16_t PcrPackets(const uint8_t* slot, int32_t length)
{
    const int start = length == kRtpSlotSize ? kRtpHeaderSize : 0;
    uint16_t mask = 0;
    int64_t ticks = 0;
    for (int at = start, k = 0; at + kTsPacketSize <= length && k < 16; at += kTsPacketSize, ++k)
        if (extract_pcr(slot + at, ticks)) mask = static_cast<uint16_t>(mask | (1u << k));
    return mask;
}

void write_slot(ChannelRecord& channel, RealBuffer& buffer, int32_t length)
{
    const int32_t index = channel.input_index.load();
    buffer.slots[index].pcr_packets = PcrPackets(buffer.slots[index].data, length);
    // Publish the length after the bytes: a reader that sees it sees the data.
    buffer.slots[index].length.store(length, std::memory_order_release);
    const int32_t next = (index + 1) % kRingSlots;
    if (next == channel.time_index.load()) channel.time_index.store((next + 1) % kRingSlots);
    channel.slots_written.fetch_add(1, std::memory_order_relaxed);
    channel.input_index.store(next);               // ordered before the waiter check below
    // Only readers that went to sleep cost a wake-up; a reader checks the index again before
    // it sleeps, so none misses this write.
    if (channel.ring_waiters.load() > 0) WakeWaiters(channel.input_index);
    // Same rule for the live sender: it sets the flag, then looks at the index, then sleeps.
    if (channel.commit_wanted.load() && channel.commit_wanted.exchange(false)) SignalWakeEvent(channel.commit_event.load());
}

void release_read_slots(ChannelRecord& channel)
{
    channel.ring_waiters.fetch_add(0, std::memory_order_release);
}

void retire_ring(ChannelRecord& channel, RealBuffer& buffer)
{
    buffer.retired.store(1);
    WakeWaiters(channel.input_index);
    const int event = channel.commit_event.load();
    if (event >= 0) SignalWakeEvent(event);
}

int slot_packets(const RealBufferSlot& slot, int32_t got, const uint8_t*& data)
{
    data = slot.data;
    const int length = got > kRingSlotSize ? kRingSlotSize : got;
    if (length != kRtpSlotSize) return length;
    data += kRtpHeaderSize;
    return kTsBlockSize;
}

int32_t filled_count(int32_t input_index, int32_t time_index)
{
    return ((input_index - time_index + kRingSlots) % kRingSlots) + 1;
}

int32_t join_point(int32_t input_index, int32_t time_index)
{
    return (time_index + filled_count(input_index, time_index) / 4) % kRingSlots;
}

int find_pat_offset(const uint8_t* slot, int length)
{
    const int start = length == kRtpSlotSize ? kRtpHeaderSize : 0;
    for (int at = start; at + kTsPacketSize <= length; at += kTsPacketSize)
        if (is_pat(slot + at)) return at;
    return -1;
}

int find_stream_pat_offset(const uint8_t* slot, int length)
{
    int position = -1;
    for (int at = 0; at + kTsPacketSize < length; ++at) {
        if (slot[at] == kTsSyncByte && slot[at + kTsPacketSize] == kTsSyncByte) {
            position = at;
            break;
        }
    }
    if (position < 0) return -1;
    for (int at = position; at + kTsPacketSize <= length; at += kTsPacketSize)
        if (is_pat(slot + at)) return at;
    return -1;
}

int sync_skip_after(int length, int position)
{
    const int remainder = (length - position) % kTsPacketSize;
    return remainder == 0 ? 0 : kTsPacketSize - remainder;
}

bool reader_lags(int32_t output_index, int32_t input_index)
{
    return (output_index - input_index + kRingSlots) % kRingSlots <= 20;
}

RingReader::RingReader(ChannelRecord& channel, bool byte_stream, int thread_number, std::string log_prefix)
    : channel_(channel), buffer_(channel.Buffer()), byte_stream_(byte_stream), thread_number_(thread_number),
      log_prefix_(log_prefix.empty() ? "Thread[" + std::to_string(thread_number) + "]: " : std::move(log_prefix))
{
    if (channel_.demand.fetch_add(1) == 0) WakeWaiters(channel_.demand);
}

RingReader::~RingReader() { channel_.demand.fetch_sub(1); }

int RingReader::CopySlot(int32_t index, uint8_t* out) const
{
    const int32_t length = buffer_->slots[index].length.load(std::memory_order_acquire);
    if (length < 1) return 0;
    const int32_t kept = length > kRingSlotSize ? kRingSlotSize : length;
    std::memcpy(out, buffer_->slots[index].data, static_cast<std::size_t>(kept));
    return kept;
}

void RingReader::FollowNearWriter(int max_back)
{
    buffer_ = channel_.Buffer();
    const int32_t input = channel_.input_index.load();
    output_index_ = input;
    sync_skip_ = 0;
    if (buffer_ == nullptr) return;
    const int back = std::min(max_back, filled_count(input, channel_.time_index.load()) - 1);
    uint8_t slot[kRingSlotSize];
    for (int k = 1; k <= back; ++k) {
        const int32_t index = (input - k + kRingSlots) % kRingSlots;
        const int length = CopySlot(index, slot);
        if (length > 0 && find_pat_offset(slot, length) >= 0) {
            output_index_ = index;
            return;
        }
    }
}

void RingReader::FollowFrom(int32_t index)
{
    buffer_ = channel_.Buffer();
    output_index_ = ((index % kRingSlots) + kRingSlots) % kRingSlots;
    sync_skip_ = 0;
}

void RingReader::WaitForWriter(int timeout_ms)
{
    channel_.ring_waiters.fetch_add(1);
    WaitWhileEqual(channel_.input_index, output_index_, timeout_ms);
    channel_.ring_waiters.fetch_sub(1);
}

bool RingReader::Lags() const
{
    return reader_lags(output_index_, channel_.input_index.load());
}

RingReader::Join RingReader::JoinAtPat(const std::function<bool()>& stopped, std::vector<uint8_t>& first, int32_t from)
{
    if (buffer_ == nullptr || buffer_->retired.load() != 0) buffer_ = channel_.Buffer();
    const uint64_t give_up_ms = GetTickMs() + kJoinPatWaitMs;
    if (buffer_ != nullptr && channel_.has_input.load() == 0 && PullsOnDemand(channel_)) {
        if (AwaitDemandedInput(channel_, *buffer_, stopped, give_up_ms)) from = channel_.reconnect_index.load();
        else if (stopped()) return Join::kStopped;
    }
    const SourceRecord* source = channel_.FirstSource();
    if (source == nullptr || source->socket.load() == -1) return Join::kNoNetwork;
    if (buffer_ == nullptr || channel_.has_input.load() == 0) return Join::kNoInput;
    const int32_t input = channel_.input_index.load();
    const int32_t oldest = channel_.time_index.load();
    LogSystemMessage("Head [%d] Tail [%d] ", input, oldest);
    filled_ = filled_count(input, oldest);
    output_index_ = join_point(input, oldest);
    if (from >= 0 && from < kRingSlots) output_index_ = from;
    LogSystemMessage("nHas_Data_Buffer_Size=[%d] nReal_Buffer_output_index=[%d]\n", filled_, output_index_);

    // The search never reads the slot the writer fills next (it still holds the last lap, or
    // is being written): there it sleeps until the next write, so that a ring without a PAT
    // costs one look per new slot instead of lap after lap, and gives up after a while.
    uint8_t slot[kRingSlotSize];
    for (;;) {
        if (stopped()) return Join::kStopped;
        if (buffer_->retired.load() != 0) return Join::kNoInput;
        const bool at_writer = output_index_ == channel_.input_index.load();
        const int length = at_writer ? 0 : CopySlot(output_index_, slot);
        if (length == 0) {
            if (GetTickMs() >= give_up_ms) {
                LogSystemMessage("%sNo Video PAT in %d seconds\n", log_prefix_.c_str(), kJoinPatWaitMs / 1000);
                return Join::kNoPat;
            }
            if (at_writer) WaitForWriter(100);
            else SleepMs(3);
            continue;
        }
        if (!byte_stream_) {
            int at = find_pat_offset(slot, length);
            if (at >= 0) {
                first.assign(slot + at, slot + length);
                int slot_length = length;
                StartAtKeyFrame(first, at, slot_length);
                LogSystemMessage("%sFound Video PAT in Index [%d], Current_Buffer_input_index=[%d]\n", log_prefix_.c_str(),
                                 output_index_, channel_.input_index.load());
                output_index_ = (output_index_ + 1) % kRingSlots;
                return Join::kJoined;
            }
        } else {
            int at = find_stream_pat_offset(slot, length);
            if (at >= 0) {
                first.assign(slot + at, slot + length);
                int slot_length = length;
                StartAtKeyFrame(first, at, slot_length);
                const int remainder = slot_length - at;
                LogSystemMessage("%sFound Video PAT in Index [%d] POS[%d] nRemider_Length=[%d]\n", log_prefix_.c_str(),
                                 output_index_, at, remainder);
                sync_skip_ = sync_skip_after(slot_length, at);
                if (sync_skip_ != 0) LogSystemMessage("nTS_Sync_Skip_Bytes=%d nRemider_Length=%d\n", sync_skip_, remainder);
                else LogSystemMessage("nTS_Sync_Skip_Bytes=[0] nRemider_Length=%d\n", remainder);
                output_index_ = (output_index_ + 1) % kRingSlots;
                return Join::kJoined;
            }
        }
        output_index_ = (output_index_ + 1) % kRingSlots;
    }
}

bool RingReader::StartAtKeyFrame(std::vector<uint8_t>& first, int& at, int& slot_length)
{
    // Where each slot's share of the bytes looked at (from the join PAT on) begins.
    struct Piece {
        int32_t index;
        int64_t fed;          // offset of the slot's first byte looked at
        int     skipped;      // bytes of the slot before it (RTP header, or before the join PAT)
        int     length;       // bytes of the slot looked at
    };
    int64_t looked = static_cast<int64_t>(first.size());
    std::vector<Piece> pieces{{output_index_, 0, at, static_cast<int>(first.size())}};
    TsSegmentCutter finder([](TsSegmentCutter::Segment&&) {});
    finder.Feed(first.data(), first.size());
    uint8_t slot[kRingSlotSize];
    int32_t index = output_index_;
    for (int looked_slots = 1; finder.first_key().offset < 0 && looked_slots < kRingSlots; ++looked_slots) {
        if (finder.without_video()) return false;
        index = (index + 1) % kRingSlots;
        if (index == channel_.input_index.load() || buffer_->retired.load() != 0) return false;
        const int length = CopySlot(index, slot);
        if (length == 0) return false;
        const int skip = !byte_stream_ && length == kRtpSlotSize ? kRtpHeaderSize : 0;
        pieces.push_back({index, looked, skip, length - skip});
        looked += length - skip;
        finder.Feed(slot + skip, static_cast<std::size_t>(length - skip));
    }
    const TsSegmentCutter::Start& start = finder.first_key();
    if (start.offset < 0) return false;
    std::size_t piece = pieces.size() - 1;
    while (piece > 0 && pieces[piece].fed > start.offset) --piece;
    const Piece& found = pieces[piece];
    // The slot again (it lies far ahead of what the writer overwrites next).
    const int length = CopySlot(found.index, slot);
    if (length != found.skipped + found.length) return false;
    at = found.skipped + static_cast<int>(start.offset - found.fed);
    first.assign(start.tables.begin(), start.tables.end());
    first.insert(first.end(), slot + at, slot + length);
    output_index_ = found.index;
    slot_length = length;
    return true;
}

void RingReader::CatchUp(const std::function<bool(const uint8_t*, int)>& send)
{
    if (byte_stream_) return;
    uint8_t slot[kRingSlotSize];
    for (int pass = 0; pass < catch_up_passes(); ++pass) {
        int length = 0;
        if (!CatchUpPass(slot, length)) break;
        if (length > 0 && !send(slot, length)) return;
        SleepMs(1);
    }
}

bool RingReader::CatchUpPass(uint8_t* out, int& length)
{
    const uint8_t* data = nullptr;
    if (!CatchUpPeek(data, length)) return false;
    if (length > 0) std::memcpy(out, data, static_cast<std::size_t>(length));
    return true;
}

bool RingReader::CatchUpPeek(const uint8_t*& data, int& length)
{
    length = 0;
    if (output_index_ == channel_.input_index.load()) return false;   // caught up with the writer
    if (buffer_->retired.load() != 0) return false;                   // the writer has ended
    const RealBufferSlot& slot = buffer_->slots[output_index_];
    const int32_t got = slot.length.load(std::memory_order_acquire);
    if (got < 1) return true;                   // not written yet: the pass sends nothing
    length = slot_packets(slot, got, data);
    output_index_ = (output_index_ + 1) % kRingSlots;
    return true;
}

RingReader::Next RingReader::NextSlot(uint8_t* out, int& length)
{
    length = 0;
    if (byte_stream_ && (channel_.http_reconnect.load() != 0 || channel_.rtsp_reconnect.load() != 0))
        return Next::kReconnected;
    const bool at_writer = output_index_ == channel_.input_index.load();
    // Looked at after the index: a reader that saw the next ring's index sees the flag too.
    if (buffer_->retired.load() != 0) return Next::kRetired;
    if (at_writer) return Next::kWaiting;
    const int got = CopySlot(output_index_, out);
    if (got == 0) return Next::kWaiting;
    if (!byte_stream_) {
        if (got == kRtpSlotSize) {
            std::memmove(out, out + kRtpHeaderSize, kTsBlockSize);
            length = kTsBlockSize;
        } else {
            length = got;
        }
        output_index_ = (output_index_ + 1) % kRingSlots;
        return Next::kSlot;
    }
    // Byte stream: every packet boundary must still hold a sync byte, or the writer has
    // overrun this reader.
    const int count = sync_skip_ >= got ? 0 : (got - sync_skip_) / kTsPacketSize;
    for (int k = 0; k < count; ++k) {
        if (out[sync_skip_ + k * kTsPacketSize] != kTsSyncByte) {
            LogSystemMessage("Current Input index [%d] , time index [%d] nReal_Buffer_output_index=[%d] read_length=[%d]\n",
                             channel_.input_index.load(), channel_.time_index.load(), output_index_, got);
            LogSystemMessage("System Warning : Player is slower than HTTP Input (NO Sync Byte on [%d]th bytes)\n",
                             k * kTsPacketSize);
            return Next::kLostSync;
        }
    }
    last_packet_offset_ = sync_skip_;
    if (sync_skip_ >= got) {
        sync_skip_ -= got;
    } else {
        sync_skip_ = sync_skip_after(got, sync_skip_);
    }
    length = got;
    output_index_ = (output_index_ + 1) % kRingSlots;
    return Next::kSlot;
}

RingReader::Next RingReader::PeekSlot(const uint8_t*& data, int& length, uint16_t* pcr_packets)
{
    length = 0;
    const bool at_writer = output_index_ == channel_.input_index.load();
    // Looked at after the index: a reader that saw the next ring's index sees the flag too.
    if (buffer_->retired.load() != 0) return Next::kRetired;
    if (at_writer) return Next::kWaiting;
    const RealBufferSlot& slot = buffer_->slots[output_index_];
    const int32_t got = slot.length.load(std::memory_order_acquire);
    if (got < 1) return Next::kWaiting;
    length = slot_packets(slot, got, data);
    if (pcr_packets != nullptr) *pcr_packets = slot.pcr_packets;
    output_index_ = (output_index_ + 1) % kRingSlots;
    return Next::kSlot;
}

RingReader::Join RingReader::JoinBackward(const std::function<bool()>& stopped, int lead)
{
    // The backward search stops this many slots short of the writer's side of the ring.
    constexpr int kJoinBackwardMargin = 50;
    if (buffer_ == nullptr) buffer_ = channel_.Buffer();
    if (buffer_ == nullptr) return Join::kNoInput;
    output_index_ = channel_.time_index.load();
    uint8_t slot[kRingSlotSize];
    // Before the first lap there is nothing behind the oldest slot: search forward from it
    // for the first slot that starts with a PAT instead of waiting a whole lap.
    if (output_index_ == 0 && buffer_->slots[kRingSlots - 1].length.load() == 0) {
        for (;;) {
            if (stopped()) return Join::kStopped;
            if (buffer_->retired.load() != 0) return Join::kNoInput;
            if (output_index_ == channel_.input_index.load()) {
                WaitForWriter(100);
                continue;
            }
            const int length = CopySlot(output_index_, slot);
            if (length > 0 && slot[0] != kTsSyncByte) return Join::kNoInput;
            if (length > 0 && is_pat(slot)) {
                LogSystemMessage("Thread[%d]: Start TS Index [%d]\n", thread_number_, output_index_);
                return Join::kJoined;
            }
            output_index_ = (output_index_ + 1) % kRingSlots;
        }
    }
    // A lapped ring: back from the newest whole slot. The oldest slot and the one before it are
    // the writer's next two: read now, they would be torn or overwritten under the reader.
    lead = std::clamp(lead, 0, kRingSlots / 2);
    output_index_ = (channel_.input_index.load() + kRingSlots - 1 - lead) % kRingSlots;
    for (int tries = lead; tries < kRingSlots - kJoinBackwardMargin; ) {
        if (stopped()) return Join::kStopped;
        if (buffer_->retired.load() != 0) return Join::kNoInput;
        const int length = CopySlot(output_index_, slot);
        if (length == 0) {
            SleepMs(3);
            continue;
        }
        if (slot[0] != kTsSyncByte) return Join::kNoInput;
        if (is_pat(slot)) {
            LogSystemMessage("Thread[%d]: Start TS Index [%d]\n", thread_number_, output_index_);
            return Join::kJoined;
        }
        output_index_ = (output_index_ + kRingSlots - 1) % kRingSlots;
        ++tries;
    }
    return Join::kNoInput;
}
