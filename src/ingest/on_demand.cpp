#include "ingest/on_demand.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "ingest/input_health.h"
#include "ingest/pull_common.h"
#include "ingest/recorders.h"

bool PullsOnDemand(const ChannelRecord& channel)
{
    const SourceRecord* source = channel.FirstSource();
    // A channel with backups keeps every source connected: its viewers never wait for one.
    if (!channel.on_demand || source == nullptr || !channel.backups.empty()) return false;
    return source->kind == kSourceHttp || source->kind == kSourceRtsp || source->kind == kSourceRtspTs ||
           source->kind == kSourceRtmp;
}

bool AwaitDemandedInput(const ChannelRecord& channel, const RealBuffer& ring, const std::function<bool()>& stopped,
                        uint64_t deadline_ms)
{
    // The writer signals no one on its first slot: a short poll, cheap for the few seconds a
    // connection takes.
    while (channel.has_input.load() == 0) {
        if (stopped() || ring.retired.load() != 0 || GetTickMs() >= deadline_ms) return false;
        if (!SleepUnlessStopping(20)) return false;
    }
    return true;
}

DemandGate::DemandGate(ChannelRecord& channel, int32_t channel_index)
    : channel_(channel), number_(channel_index + 1), gated_(PullsOnDemand(channel))
{
    if (gated_ && StartsRecorders(channel)) {
        LogSystemMessage("CH [%d]: on-demand source records: it stays connected\n", number_);
        gated_ = false;
    }
}

bool DemandGate::Wanted()
{
    if (!gated_) return true;
    const uint64_t now = GetTickMs();
    if (channel_.demand.load() > 0) last_wanted_ms_ = now;
    return now - last_wanted_ms_ < static_cast<uint64_t>(g_config.pull_idle_seconds) * 1000;
}

bool DemandGate::AwaitDemand()
{
    if (!gated_) return true;
    if (!on_ || !Wanted()) {
        if (on_) LogSystemMessage("CH [%d]: on-demand source idle, disconnected\n", number_);
        // Idle is not silent: no "no signal" alarm while nobody asks for the channel.
        ChannelHealth(channel_, number_ - 1).last_datagram_ms.store(0);
        on_ = false;
        channel_.FirstSource()->socket.store(0);   // not "unavailable": nobody has asked
        // A new reader wakes the wait (RingReader's constructor); a stop is seen within 100 ms.
        while (channel_.demand.load() == 0) {
            if (PullStopping()) return false;
            WaitWhileEqual(channel_.demand, 0, 100);
        }
        LogSystemMessage("CH [%d]: on-demand source connecting\n", number_);
        on_ = true;
        last_wanted_ms_ = GetTickMs();
    }
    // The ring still holds what the last connection left: readers that waited for this one
    // join where its data begins.
    channel_.reconnect_index.store(channel_.input_index.load());
    return true;
}
