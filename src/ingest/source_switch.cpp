#include "ingest/source_switch.h"

#include "channels/source_table.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/threads.h"
#include "ingest/channel_reader.h"
#include "ingest/input_health.h"
#include "ingest/network_input.h"
#include "ingest/real_buffer.h"
#include "ingest/recorders.h"
#include "media/ts_reblocker.h"
#include "media/ts_splicer.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// How far back in a newly active source's ring its last PAT is looked for (at 4 Mbit/s about
// a second).
constexpr int kSwitchLookBackSlots = 400;
constexpr int kSwitchStepMs        = 20;
// A source that gives no PAT and PMT this long after it took over (an encoder sending only
// stuffing) counts as without signal for kSourceReturnMs.
constexpr uint64_t kNoTablesMs     = kSourceSilenceMs + 1000;
// The kinds a source may be (checked on the text before it is parsed: no folder is scanned and
// no name looked up for anything else).
constexpr std::string_view kSwitchableSchemes[] = {"udp://", "rtp://", "http://", "rtsp://", "rtmp://"};

bool Stopping() { return g_channel_reader_stop.load() != 0; }

bool Switchable(int32_t kind)
{
    switch (kind) {
    case kSourceRtpGroup:
    case kSourceRtpPort:
    case kSourceUdpGroup:
    case kSourceUdpPort:
    case kSourceHttp:
    case kSourceRtsp:
    case kSourceRtspTs:
    case kSourceRtmp: return true;
    default: return false;
    }
}

// One source of the channel with the ring its input fills.
struct Feed {
    ChannelRecord                  record;
    std::unique_ptr<InputHealth>   health = std::make_unique<InputHealth>();
    std::shared_ptr<ChannelTable>  table;
    int32_t                        channel_index = 0;
    ThreadRecord*                  thread = nullptr;
    uint64_t                       signal_since_ms = 0;   // 0 while silent
    uint64_t                       shunned_until_ms = 0;  // gave no tables: not taken before then
};

bool SwitchableText(std::string_view text)
{
    for (const std::string_view scheme : kSwitchableSchemes)
        if (text.substr(0, scheme.size()) == scheme) return true;
    return false;
}

bool Reconnecting(const ChannelRecord& record)
{
    return record.http_reconnect.load() != 0 || record.rtsp_reconnect.load() != 0 || record.rtmp_reconnect.load() != 0;
}

int32_t FeedThread(void* argument)
{
    {
        Feed& feed = *static_cast<Feed*>(argument);
        StartHealth(*feed.health);
        feed.record.reader_active.store(1);
        RunChannelInput(feed.record, feed.channel_index, feed.table);
        if (const std::shared_ptr<RealBuffer> ring = feed.record.Buffer()) retire_ring(feed.record, *ring);
        StopHealth(*feed.health);
        feed.record.has_input.store(0);
        feed.record.SetBuffer(nullptr);
        feed.record.reader_active.store(0);
    }
    EndThread();
}

// The channel's ring as a sink of packets: seven to a slot, behind a made-up RTP header when
// the channel's first source is RTP (its readers and recorders expect one in every slot).
class RingSink {
public:
    RingSink(ChannelRecord& channel, RealBuffer& ring, int32_t channel_index)
        : channel_(channel), ring_(ring), health_(HealthOf(channel_index)),
          rtp_(ChannelTraits(channel).layout == RingLayout::kRtpSlots)
    {
    }
    void Packet(const uint8_t* packet)
    {
        std::memcpy(block_ + filled_, packet, kTsPacketSize);
        filled_ += kTsPacketSize;
        if (filled_ == kTsBlockSize) Flush();
    }
    // A partial block goes out filled with null packets.
    void Pad()
    {
        if (filled_ == 0) return;
        while (filled_ < kTsBlockSize) {
            uint8_t* null = block_ + filled_;
            std::memset(null, 0xFF, kTsPacketSize);
            null[0] = kTsSyncByte;
            null[1] = 0x1F;
            null[2] = 0xFF;
            null[3] = 0x10;
            filled_ += kTsPacketSize;
        }
        Flush();
    }

private:
    void Flush()
    {
        uint8_t* slot = ring_.slots[channel_.input_index.load()].data;
        int length = kTsBlockSize;
        if (rtp_) {
            const uint32_t stamp = static_cast<uint32_t>(GetTickMs() * 90);
            const uint8_t header[kRtpHeaderSize] = {0x80, 33, static_cast<uint8_t>(sequence_ >> 8),
                                                     static_cast<uint8_t>(sequence_ & 0xFF),
                                                     static_cast<uint8_t>(stamp >> 24), static_cast<uint8_t>(stamp >> 16),
                                                     static_cast<uint8_t>(stamp >> 8), static_cast<uint8_t>(stamp),
                                                     0x51, 0x56, 0x4E, 0x01};
            ++sequence_;
            std::memcpy(slot, header, kRtpHeaderSize);
            std::memcpy(slot + kRtpHeaderSize, block_, kTsBlockSize);
            length = kRtpSlotSize;
        } else {
            std::memcpy(slot, block_, kTsBlockSize);
        }
        CountDatagram(health_, slot, static_cast<std::size_t>(length), rtp_, GetTickMs());
        channel_.input_bytes.fetch_add(kTsBlockSize);
        channel_.has_input.store(1);
        write_slot(channel_, ring_, length);
        filled_ = 0;
    }

    ChannelRecord& channel_;
    RealBuffer&    ring_;
    InputHealth&   health_;
    bool           rtp_;
    uint16_t       sequence_ = 0;
    uint8_t        block_[kTsBlockSize] = {};
    int            filled_ = 0;
};

class SourceSwitch {
public:
    SourceSwitch(ChannelRecord& channel, int32_t channel_index, RealBuffer& ring)
        : channel_(channel), number_(channel_index + 1), sink_(channel, ring, channel_index)
    {
    }
    // Starts one input per source; false when none could start.
    bool Start(const std::shared_ptr<ChannelTable>& table, int32_t channel_index);
    void Run();
    void Stop();

private:
    bool HasSignal(const Feed& feed, uint64_t now) const
    {
        const uint64_t last = feed.health->last_datagram_ms.load();
        return feed.thread != nullptr && last != 0 && now - last < kSourceSilenceMs && now >= feed.shunned_until_ms;
    }
    int Choose(uint64_t now);
    void Activate(int index, uint64_t now);
    void Restart();
    void Copy();
    void CheckTables(uint64_t now);

    ChannelRecord&                     channel_;
    int                                number_;
    RingSink                           sink_;
    std::vector<std::unique_ptr<Feed>> feeds_;
    TsSourceSplicer                    splicer_;
    TsReblocker                        reblocker_;
    std::unique_ptr<RingReader>        reader_;
    int                                active_ = -1;
    uint64_t                           started_ms_ = 0;
    uint64_t                           activated_ms_ = 0;
    bool                               restart_pending_ = false;   // the active pull lost its connection
    int32_t                            reconnect_index_ = 0;       // where its last connection began
};

bool SourceSwitch::Start(const std::shared_ptr<ChannelTable>& table, int32_t channel_index)
{
    std::vector<std::string> sources{channel_.src};
    sources.insert(sources.end(), channel_.backups.begin(), channel_.backups.end());
    int running = 0;
    for (std::size_t k = 0; k < sources.size(); ++k) {
        auto feed = std::make_unique<Feed>();
        feed->table = table;
        feed->channel_index = channel_index;
        feed->record.feed_health = feed->health.get();
        if (!SwitchableText(sources[k]) || ParseChannelSource(sources[k], feed->record) <= 0 ||
            !Switchable(feed->record.FirstSource()->kind)) {
            LogSystemMessage("CH [%d]: source %d [%s] cannot be switched to, left out\n", number_, static_cast<int>(k + 1),
                             MaskSourceCredentials(sources[k]).c_str());
        } else {
            feed->record.merge = k == 0 ? channel_.merge : std::string();
            feed->thread = StartThread(FeedThread, feed.get(), "ChannelSource");
            if (feed->thread != nullptr) ++running;
        }
        feeds_.push_back(std::move(feed));
    }
    started_ms_ = GetTickMs();
    return running > 0;
}

// The source that should feed the ring now: the active one while it has signal, the first one
// again once it has had signal for kSourceReturnMs, else the first in order with signal (only
// the first source in the first moments, so that a quicker backup does not take the start).
int SourceSwitch::Choose(uint64_t now)
{
    for (auto& feed : feeds_) {
        if (!HasSignal(*feed, now)) feed->signal_since_ms = 0;
        else if (feed->signal_since_ms == 0) feed->signal_since_ms = now;
    }
    const bool first_up = HasSignal(*feeds_[0], now);
    if (active_ > 0 && first_up && now - feeds_[0]->signal_since_ms >= kSourceReturnMs) return 0;
    if (active_ >= 0 && HasSignal(*feeds_[static_cast<std::size_t>(active_)], now)) return active_;
    if (first_up) return 0;
    if (active_ < 0 && now - started_ms_ < kSourceSilenceMs) return active_;
    for (std::size_t k = 1; k < feeds_.size(); ++k)
        if (HasSignal(*feeds_[k], now)) return static_cast<int>(k);
    return active_;
}

void SourceSwitch::Activate(int index, uint64_t now)
{
    const bool change = active_ >= 0;
    active_ = index;
    activated_ms_ = now;
    Feed& feed = *feeds_[static_cast<std::size_t>(index)];
    reader_ = std::make_unique<RingReader>(feed.record, false, 0);
    reader_->FollowNearWriter(kSwitchLookBackSlots);
    restart_pending_ = false;
    reconnect_index_ = feed.record.reconnect_index.load();
    reblocker_.Reset();
    if (change) {
        sink_.Pad();                                // the new source starts in a slot of its own
        channel_.source_switches.fetch_add(1);
    }
    splicer_.Switch(change);
    channel_.active_source.store(index + 1);
    LogSystemMessage("CH [%d]: source %d active\n", number_, index + 1);
}

// The active pull made a new connection: its stream starts again as another source's would.
void SourceSwitch::Restart()
{
    const ChannelRecord& record = feeds_[static_cast<std::size_t>(active_)]->record;
    reconnect_index_ = record.reconnect_index.load();
    reader_->FollowFrom(reconnect_index_);
    reblocker_.Reset();
    sink_.Pad();
    splicer_.Switch(true);
    restart_pending_ = false;
}

void SourceSwitch::CheckTables(uint64_t now)
{
    if (!splicer_.Waiting() || now - activated_ms_ < kNoTablesMs) return;
    Feed& feed = *feeds_[static_cast<std::size_t>(active_)];
    if (feed.shunned_until_ms > now) return;
    LogSystemMessage("CH [%d]: source %d sends no PAT and PMT\n", number_, active_ + 1);
    feed.shunned_until_ms = now + kSourceReturnMs;
}

void SourceSwitch::Copy()
{
    const ChannelRecord& record = feeds_[static_cast<std::size_t>(active_)]->record;
    if (Reconnecting(record)) {
        restart_pending_ = true;                    // what its lost connection left is dropped
        return;
    }
    if (restart_pending_ || record.reconnect_index.load() != reconnect_index_) Restart();
    if (reader_->buffer() == nullptr) {
        reader_->FollowNearWriter(0);               // the source's input is between two rings
        return;
    }
    uint8_t slot[kRingSlotSize];
    for (int slots = 0; slots < kRingSlots / 2; ++slots) {
        // About to be lapped by the source's writer (a long stall): on from where it writes.
        const int32_t writer = feeds_[static_cast<std::size_t>(active_)]->record.input_index.load();
        if (reader_->output_index() != writer && reader_->Lags()) {
            reader_->FollowNearWriter(0);
            return;
        }
        int length = 0;
        const RingReader::Next next = reader_->NextSlot(slot, length);
        if (next == RingReader::Next::kRetired) {
            reader_->FollowNearWriter(0);           // the source's input started again on a new ring
            return;
        }
        if (next != RingReader::Next::kSlot) return;
        reblocker_.Feed(slot, static_cast<std::size_t>(length), [this](const uint8_t* block) {
            for (int at = 0; at < kTsBlockSize; at += kTsPacketSize)
                splicer_.Packet(block + at, [this](const uint8_t* packet) { sink_.Packet(packet); });
        });
    }
}

void SourceSwitch::Run()
{
    while (!Stopping()) {
        const uint64_t now = GetTickMs();
        if (active_ >= 0) CheckTables(now);
        const int chosen = Choose(now);
        if (chosen >= 0 && chosen != active_) Activate(chosen, now);
        bool any_signal = false;
        for (const auto& feed : feeds_) any_signal = any_signal || HasSignal(*feed, now);
        // Without any source new viewers are refused until one comes back.
        if (!any_signal) channel_.has_input.store(0);
        if (active_ < 0) {
            SleepMs(kSwitchStepMs);
            continue;
        }
        Copy();
        reader_->WaitForWriter(kSwitchStepMs);
    }
}

void SourceSwitch::Stop()
{
    reader_.reset();
    for (auto& feed : feeds_) {
        if (feed->thread == nullptr) continue;
        while (feed->record.reader_active.load() != 0) SleepMs(20);
        StopThread(feed->thread);
        feed->thread = nullptr;
    }
}

}  // namespace

bool SwitchesSources(const ChannelRecord& channel)
{
    const SourceRecord* first = channel.FirstSource();
    return first != nullptr && !channel.backups.empty() && Switchable(first->kind);
}

void RunSourceSwitch(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<ChannelTable>& table)
{
    const std::shared_ptr<RealBuffer> ring = NewRing(channel, channel_index);
    if (ring == nullptr) return;
    channel.has_input.store(0);
    channel.active_source.store(0);
    SourceSwitch sources(channel, channel_index, *ring);
    if (!sources.Start(table, channel_index)) {
        LogSystemMessage("CH [%d]: no source could start\n", channel_index + 1);
        sources.Stop();
        return;
    }
    std::vector<ThreadRecord*> recorders;
    StartRecorders(channel, channel_index, ring, true, recorders);
    sources.Run();
    sources.Stop();
    StopRecorders(recorders);
}
