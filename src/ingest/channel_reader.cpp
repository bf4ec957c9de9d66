#include "ingest/channel_reader.h"

#include "channels/channel_table.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/input_health.h"
#include "ingest/network_input.h"
#include "ingest/pull_http.h"
#include "ingest/pull_rtmp.h"
#include "ingest/pull_rtsp.h"
#include "ingest/real_buffer.h"
#include "ingest/rtp_merge.h"
#include "ingest/source_switch.h"

#include <memory>
#include <new>
#include <vector>

namespace {

// One per channel; the argument of the channel's data thread. The table it holds keeps every
// record alive while the thread runs, whatever a refresh publishes meanwhile.
struct ChannelInfo {
    std::shared_ptr<ChannelTable> table;
    int32_t                       channel_index = 0;
    int32_t                       source_index  = 0;
    ThreadRecord*                 thread = nullptr;
};

bool Ingests(const ChannelRecord& channel)
{
    const SourceRecord* source = channel.FirstSource();
    return source != nullptr && source->kind > 0;
}

}  // namespace

void RunChannelInput(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<ChannelTable>& table)
{
    switch (channel.FirstSource()->kind) {
    case kSourceRtpGroup:
    case kSourceRtpPort:
    case kSourceUdpGroup:
    case kSourceUdpPort:
        if (!RunRtpMerge(channel, channel_index)) RunDatagramInput(channel, channel_index);
        break;
    case kSourceDvbGroup:
    case kSourceDvbPort: RunDvbInput(channel, channel_index, table); break;
    case kSourceHttp: RunHttpPull(channel, channel_index); break;
    case kSourceRtsp:
    case kSourceRtspTs: RunRtspPull(channel, channel_index); break;
    case kSourceRtmp: RunRtmpPull(channel, channel_index); break;
    default: break;                                 // files: played by the streamers themselves
    }
}

int32_t IPTV_Channel_DataThread(void* argument)
{
    {
        auto* info = static_cast<ChannelInfo*>(argument);
        ChannelRecord& channel = *info->table->channels[static_cast<std::size_t>(info->channel_index)];
        LogSystemMessage("IPTV_Channel_DataThread IN: CH %d has [%d] programs\n", info->channel_index + 1,
                         static_cast<int>(channel.sources.size()));
        InputHealth& health = HealthOf(info->channel_index);
        StartHealth(health);
        if (!channel.sources.empty()) {
            channel.reader_active.store(1);
            if (SwitchesSources(channel)) RunSourceSwitch(channel, info->channel_index, info->table);
            else RunChannelInput(channel, info->channel_index, info->table);
        }
        // Readers that still hold the ring keep it until they let go; retired, it tells them
        // that nothing more comes, so they end instead of waiting on a writer that is gone.
        if (const std::shared_ptr<RealBuffer> ring = channel.Buffer()) retire_ring(channel, *ring);
        StopHealth(health);
        channel.has_input.store(0);                 // a restarted input waits for its first datagram again
        channel.reader_active.store(0);
        channel.SetBuffer(nullptr);
        LogSystemMessage("IPTV_Channel_DataThread OUT: CH [%d] Closed\n", info->channel_index + 1);
    }
    EndThread();
}

int32_t IPTV_Channel_ReaderProcess(void* /*unused*/)
{
    {
        const std::shared_ptr<ChannelTable> table = CurrentChannels();
        std::vector<ChannelInfo> entries;
        entries.resize(static_cast<std::size_t>(table->Count()));
        for (int32_t i = 0; i < table->Count(); ++i) {
            ChannelRecord& channel = *table->channels[static_cast<std::size_t>(i)];
            ChannelInfo& entry = entries[static_cast<std::size_t>(i)];
            entry.table = table;
            // A channel whose line could not be read stays unstarted; the others still run.
            if (channel.sources.empty()) {
                LogSystemMessage("IPTV_Channel_ReaderProcess: CH [%d] syntax error in iptvepg.txt\n", i);
                continue;
            }
            if (!Ingests(channel)) continue;
            entry.channel_index = i;
            entry.thread = StartThread(IPTV_Channel_DataThread, &entry, "ChannelData");
            if (entry.thread == nullptr) LogSystemMessage("IPTV_Channel_ReaderProcess: CH [%d] reader create failed\n", i);
        }
        g_startup_sema.Signal();
        // The silence of every input is checked here, once a second, since a silent input's
        // own thread may be waiting on its socket.
        while (!g_reader_stop_gate.WaitFor(1000)) CheckInputSilence(GetTickMs());

        LogSystemMessage("IPTV_Channel_ReaderProcess IN: Closing\n");
        for (ChannelInfo& entry : entries) {
            if (entry.thread == nullptr) continue;
            ChannelRecord& channel = *table->channels[static_cast<std::size_t>(entry.channel_index)];
            while (channel.reader_active.load() != 0) SleepMs(20);
            StopThread(entry.thread);
            entry.thread = nullptr;
        }
        entries.clear();
        g_channel_reader_stop.store(0);
        LogSystemMessage("IPTV_Channel_ReaderProcess OUT\n");
    }
    EndThread();
}
