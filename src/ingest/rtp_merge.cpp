#include "ingest/rtp_merge.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "ingest/input_health.h"
#include "ingest/network_input.h"
#include "ingest/recorders.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <utility>

static_assert((kRtpMergeSlots & (kRtpMergeSlots - 1)) == 0 && 65536 % kRtpMergeSlots == 0,
              "a sequence number keeps its slot across the wrap");

namespace {

constexpr uint16_t kSlotMask = kRtpMergeSlots - 1;
// Behind the next number by at most this much: a late copy, not another stream.
constexpr uint16_t kLateFrom = static_cast<uint16_t>(65536 - kRtpMergeSlots);

uint16_t SequenceOf(const uint8_t* data) { return static_cast<uint16_t>((data[2] << 8) | data[3]); }

uint32_t SsrcOf(const uint8_t* data)
{
    return (static_cast<uint32_t>(data[8]) << 24) | (static_cast<uint32_t>(data[9]) << 16) |
           (static_cast<uint32_t>(data[10]) << 8) | data[11];
}

bool BitOf(const uint8_t* bits, uint16_t sequence)
{
    const int at = sequence & kSlotMask;
    return (bits[at >> 3] & (1u << (at & 7))) != 0;
}

void SetBit(uint8_t* bits, uint16_t sequence, bool on)
{
    const int at = sequence & kSlotMask;
    if (on) bits[at >> 3] = static_cast<uint8_t>(bits[at >> 3] | (1u << (at & 7)));
    else bits[at >> 3] = static_cast<uint8_t>(bits[at >> 3] & ~(1u << (at & 7)));
}

}  // namespace

RtpMerger::RtpMerger(Output output) : output_(std::move(output)), slots_(kRtpMergeSlots) {}

void RtpMerger::Offer(int path, const uint8_t* data, std::size_t length, uint64_t now_ms)
{
    if (path < 0 || path >= kRtpMergePaths) return;
    ++counts_.received[path];
    if (data == nullptr || length < static_cast<std::size_t>(kRtpHeaderSize) || (data[0] >> 6) != 2) return;
    length = std::min(length, static_cast<std::size_t>(kRtpSlotSize));
    const uint16_t sequence = SequenceOf(data);
    const uint32_t ssrc = SsrcOf(data);
    CountPathLoss(path, sequence, ssrc);
    paths_[path].last_ms = now_ms;
    if (!started_) {
        started_ = true;
        ssrc_ = ssrc;
        next_ = sequence;
    }
    if (Place(path, data, length, sequence, ssrc, now_ms)) {
        paths_[path].on_candidate = false;
        last_in_stream_ms_ = now_ms;
    } else {
        Follow(path, data, length, sequence, ssrc, now_ms);
    }
    Expire(now_ms);
}

// A packet behind the path's last one fills the gap it was counted in, if it still is.
void RtpMerger::CountPathLoss(int path, uint16_t sequence, uint32_t ssrc)
{
    PathState& state = paths_[path];
    if (!state.seen || ssrc != state.ssrc) {
        state = PathState{};
        state.seen = true;
        state.ssrc = ssrc;
        state.last_sequence = sequence;
        return;
    }
    const uint16_t ahead = static_cast<uint16_t>(sequence - state.last_sequence);
    if (ahead == 0) return;
    if (ahead < kRtpMergeSlots) {
        for (uint16_t skipped = static_cast<uint16_t>(state.last_sequence + 1); skipped != sequence; ++skipped) {
            SetBit(state.missing, skipped, true);
            ++counts_.lost[path];
        }
        SetBit(state.missing, sequence, false);
        state.last_sequence = sequence;
    } else if (ahead >= kLateFrom) {
        if (BitOf(state.missing, sequence)) {
            SetBit(state.missing, sequence, false);
            --counts_.lost[path];
        }
    } else {                                       // a jump: the path's stream starts again
        std::memset(state.missing, 0, sizeof state.missing);
        state.last_sequence = sequence;
    }
}

bool RtpMerger::Place(int path, const uint8_t* data, std::size_t length, uint16_t sequence, uint32_t ssrc, uint64_t now_ms)
{
    if (ssrc != ssrc_) return false;
    const uint16_t ahead = static_cast<uint16_t>(sequence - next_);
    if (ahead >= kLateFrom) return true;           // a copy of one gone out or given up
    if (ahead >= 2 * kRtpMergeSlots) return false;
    if (ahead >= kRtpMergeSlots) {
        // Beyond the buffer: the oldest numbers make room, whether they came or not.
        const uint16_t from = static_cast<uint16_t>(sequence - kRtpMergeSlots + 1);
        for (; next_ != from; ++next_) {
            Packet& slot = slots_[next_ & kSlotMask];
            if (slot.filled) Emit(slot);
            else ++counts_.given_up;
        }
        Drain();
    }
    Packet& slot = slots_[sequence & kSlotMask];
    if (slot.filled) return true;                  // the other path's copy came first
    std::memcpy(slot.data, data, length);
    slot.length = static_cast<uint16_t>(length);
    slot.sequence = sequence;
    slot.path = static_cast<uint8_t>(path);
    slot.arrival_ms = now_ms;
    slot.filled = true;
    if (waiting_++ == 0) oldest_ms_ = now_ms;     // packets are offered in the order they came
    Drain();
    return true;
}

void RtpMerger::Emit(Packet& slot)
{
    output_(slot.data, slot.length, slot.path);
    ++counts_.used[slot.path];
    slot.filled = false;
    --waiting_;
}

void RtpMerger::Drain()
{
    for (Packet* slot = &slots_[next_ & kSlotMask]; slot->filled; slot = &slots_[next_ & kSlotMask]) {
        Emit(*slot);
        ++next_;
    }
    FindOldest();
}

// Every waiting packet lies within one buffer length from next_.
void RtpMerger::FindOldest()
{
    if (waiting_ == 0) return;
    uint64_t oldest = UINT64_MAX;
    int found = 0;
    uint16_t sequence = next_;
    for (int i = 0; i < kRtpMergeSlots && found < waiting_; ++i, ++sequence) {
        const Packet& slot = slots_[sequence & kSlotMask];
        if (!slot.filled) continue;
        oldest = std::min(oldest, slot.arrival_ms);
        ++found;
    }
    oldest_ms_ = oldest;
}

void RtpMerger::Expire(uint64_t now_ms)
{
    while (waiting_ > 0 && now_ms >= oldest_ms_ + kRtpMergeWindowMs) {
        // The next number has not come (it would have gone out): give it up, and any after it
        // that have not come either, up to the first one waiting.
        while (!slots_[next_ & kSlotMask].filled) {
            ++counts_.given_up;
            ++next_;
        }
        Drain();
    }
}

// A packet of another stream than the merge's: the candidate to follow when the merge's
// stream has gone from every path.
void RtpMerger::Follow(int path, const uint8_t* data, std::size_t length, uint16_t sequence, uint32_t ssrc, uint64_t now_ms)
{
    Candidate& candidate = candidate_;
    const uint16_t ahead = static_cast<uint16_t>(sequence - candidate.last);
    if (!candidate.active || ssrc != candidate.ssrc || (ahead >= kRtpMergeSlots && ahead < kLateFrom)) {
        candidate.active = true;
        candidate.ssrc = ssrc;
        candidate.first = sequence;
        candidate.last = sequence;
        candidate.count = 0;
        candidate.stashed = 0;
        for (PathState& state : paths_) state.on_candidate = false;
    } else if (ahead < kRtpMergeSlots) {
        candidate.last = sequence;
        // A candidate followed for long keeps its latest packets: older ones would start the
        // merge a whole buffer behind.
        if (static_cast<uint16_t>(sequence - candidate.first) >= kRtpMergeSlots) {
            candidate.first = sequence;
            candidate.stashed = 0;
        }
    }
    ++candidate.count;
    paths_[path].on_candidate = true;
    bool kept = false;
    if (candidate.stashed < kRtpMergeResyncPackets) {
        Packet& packet = candidate.stash[candidate.stashed++];
        std::memcpy(packet.data, data, length);
        packet.length = static_cast<uint16_t>(length);
        packet.sequence = sequence;
        packet.path = static_cast<uint8_t>(path);
        packet.arrival_ms = now_ms;
        kept = true;
    }
    if (!ShouldResync(now_ms)) return;
    Resync(now_ms);
    if (!kept) Place(path, data, length, sequence, ssrc, now_ms);
}

bool RtpMerger::ShouldResync(uint64_t now_ms) const
{
    if (now_ms >= last_in_stream_ms_ + kRtpMergeWindowMs) return true;   // no path carries the old stream
    int agreeing = 0;
    for (const PathState& state : paths_) {
        if (state.on_candidate) ++agreeing;
        else if (state.seen && now_ms < state.last_ms + kRtpMergeWindowMs) return false;
    }
    return agreeing >= 2 || candidate_.count >= kRtpMergeResyncPackets;
}

void RtpMerger::Resync(uint64_t now_ms)
{
    // What waits of the old stream goes out first, in order; its missing numbers are no loss
    // of the new one.
    for (int i = 0; i < kRtpMergeSlots && waiting_ > 0; ++i, ++next_) {
        Packet& slot = slots_[next_ & kSlotMask];
        if (slot.filled) Emit(slot);
    }
    ++counts_.resyncs;
    ssrc_ = candidate_.ssrc;
    // The new stream starts at its earliest number kept (one may have overtaken another).
    next_ = candidate_.first;
    for (int i = 0; i < candidate_.stashed; ++i) {
        const uint16_t behind = static_cast<uint16_t>(candidate_.first - candidate_.stash[i].sequence);
        if (behind < kRtpMergeSlots && behind > static_cast<uint16_t>(candidate_.first - next_)) next_ = candidate_.stash[i].sequence;
    }
    last_in_stream_ms_ = now_ms;
    candidate_.active = false;
    for (PathState& state : paths_) state.on_candidate = false;
    for (int i = 0; i < candidate_.stashed; ++i) {
        const Packet& packet = candidate_.stash[i];
        Place(packet.path, packet.data, packet.length, packet.sequence, ssrc_, packet.arrival_ms);
    }
    candidate_.stashed = 0;
}

namespace {

bool Stopping() { return g_channel_reader_stop.load() != 0; }

bool IsRtpKind(int32_t kind) { return kind == kSourceRtpGroup || kind == kSourceRtpPort; }

// Channels (and merge texts) whose merge attribute was logged as ignored.
std::mutex                                 g_merge_ignored_lock;
std::set<std::pair<int32_t, std::string>> g_merge_ignored;

// The merger's counts since the last call added to the channel's record.
void PublishCounts(const RtpMergeCounts& counts, RtpMergeCounts& published, InputHealth& own)
{
    for (int path = 0; path < kRtpMergePaths; ++path) {
        own.merge_received[path].fetch_add(counts.received[path] - published.received[path], std::memory_order_relaxed);
        own.merge_used[path].fetch_add(counts.used[path] - published.used[path], std::memory_order_relaxed);
        own.merge_lost[path].fetch_add(counts.lost[path] - published.lost[path], std::memory_order_relaxed);
    }
    own.merge_given_up.fetch_add(counts.given_up - published.given_up, std::memory_order_relaxed);
    published = counts;
}

// Receives both paths into the merger, and what it sends out into the ring, until the reader
// stops. The poll's short time-out lets the window expire while no datagram comes.
void MergePaths(ChannelRecord& channel, RealBuffer& buffer, const int (&fds)[kRtpMergePaths], InputHealth& health,
                InputHealth& own, int number)
{
    channel.has_input.store(0);
    uint64_t now_ms = GetTickMs();
    uint64_t last_output_ms = now_ms;
    RtpMerger merger([&](const uint8_t* data, std::size_t length, int) {
        StoreDatagram(channel, buffer, health, data, static_cast<int32_t>(length), true, now_ms);
        last_output_ms = now_ms;
    });
    RtpMergeCounts published;
    DatagramBatch batch(kRtpSlotSize);
    bool heard[kRtpMergePaths] = {};
    pollfd watch[kRtpMergePaths] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    while (!Stopping()) {
        const int ready = poll(watch, kRtpMergePaths, kDatagramNapMs);
        now_ms = GetTickMs();
        int received = 0;
        for (int path = 0; path < kRtpMergePaths && ready > 0; ++path) {
            if (watch[path].revents == 0) continue;
            const int got = batch.Receive(watch[path].fd, MSG_DONTWAIT);
            for (int i = 0; i < got; ++i) merger.Offer(path, batch.Data(i), static_cast<std::size_t>(batch.Length(i)), now_ms);
            if (got > 0 && !heard[path]) {
                heard[path] = true;
                LogSystemMessage("CH [%d]: Get RTP Packet on merge path %d\n", number, path + 1);
            }
            received += std::max(got, 0);
        }
        merger.Expire(now_ms);
        PublishCounts(merger.Counts(), published, own);
        // Silent for longer than the first-datagram wait, the channel no longer looks live.
        if (now_ms - last_output_ms >= static_cast<uint64_t>(kFirstDatagramWaitMs)) channel.has_input.store(0);
        if (received > 0 && received < kDatagramBatch / 2) SleepMs(kDatagramNapMs);
    }
}

}  // namespace

bool MergePathOf(const ChannelRecord& channel, int32_t channel_index, ChannelRecord& path)
{
    const SourceRecord* first = channel.FirstSource();
    if (channel.merge.empty() || first == nullptr) return false;
    // Only an rtp:// text is parsed: another scheme could scan a folder or look up a name.
    if (IsRtpKind(first->kind) && channel.merge.rfind("rtp://", 0) == 0 && ParseChannelSource(channel.merge, path) > 0 &&
        path.FirstSource() != nullptr && IsRtpKind(path.FirstSource()->kind))
        return true;
    std::lock_guard<std::mutex> held(g_merge_ignored_lock);
    if (g_merge_ignored.size() >= static_cast<std::size_t>(kMaxChannels) ||
        !g_merge_ignored.emplace(channel_index, channel.merge).second)
        return false;
    const std::string shown = MaskSourceCredentials(channel.merge);
    if (IsRtpKind(first->kind)) LogSystemMessage("CH [%d]: merge path %s is not an RTP source, ignored\n", channel_index + 1, shown.c_str());
    else LogSystemMessage("CH [%d]: merge path %s ignored: the channel's source is not RTP\n", channel_index + 1, shown.c_str());
    return false;
}

bool RunRtpMerge(ChannelRecord& channel, int32_t channel_index)
{
    ChannelRecord second;
    if (!MergePathOf(channel, channel_index, second)) return false;
    const int number = channel_index + 1;
    SourceRecord* sources[kRtpMergePaths] = {channel.FirstSource(), second.FirstSource()};
    std::shared_ptr<RealBuffer> buffer = NewRing(channel, channel_index);
    if (buffer == nullptr) return true;

    // The first path joins its group on the server's address, as a single source does; the
    // second on the interface the routing table gives its group, so that a second network on
    // another card (a route for its groups) is joined there.
    char primary[32];
    GetLocalIpAddress(primary, sizeof primary);
    const char* interfaces[kRtpMergePaths] = {primary, nullptr};
    int fds[kRtpMergePaths] = {-1, -1};
    for (int path = 0; path < kRtpMergePaths; ++path) {
        fds[path] = OpenDatagramSource(*sources[path], interfaces[path], number);
        if (fds[path] < 0) {
            if (path == 1) {
                close_datagram_source(fds[0], *sources[0], primary);
                sources[0]->socket.store(0);
            }
            return true;
        }
        sources[path]->socket.store(fds[path]);
        LogDatagramSource(*sources[path], sources[path]->kind, number);
        LogSystemMessage("CH [%d]: UDP receive buffer %d KB\n", number, udp_receive_buffer_kb(fds[path]));
    }
    LogSystemMessage("CH [%d]: merging two RTP paths, window %d ms\n", number, static_cast<int>(kRtpMergeWindowMs));
    InputHealth& own = HealthOf(channel_index);
    own.merging.store(1);

    std::vector<ThreadRecord*> recorders;
    StartRecorders(channel, channel_index, buffer, true, recorders);
    MergePaths(channel, *buffer, fds, ChannelHealth(channel, channel_index), own, number);

    for (int path = 0; path < kRtpMergePaths; ++path) {
        close_datagram_source(fds[path], *sources[path], interfaces[path]);
        sources[path]->socket.store(0);
    }
    StopRecorders(recorders);
    return true;
}
