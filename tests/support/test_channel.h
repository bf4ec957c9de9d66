#pragma once
// A channel with a live UDP source and a fresh ring that the test writes slot by slot.

#include "channels/channel_table.h"
#include "ingest/real_buffer.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

struct TestChannel {
    ChannelRecord               channel;
    std::shared_ptr<RealBuffer> buffer = std::make_shared<RealBuffer>();
    TestChannel()
    {
        auto source = std::make_unique<SourceRecord>();
        source->kind = kSourceUdpPort;
        source->socket.store(5);
        channel.sources.push_back(std::move(source));
        channel.SetBuffer(buffer);
    }
    void Write(const std::vector<uint8_t>& bytes)
    {
        RealBufferSlot& slot = buffer->slots[channel.input_index.load()];
        std::memcpy(slot.data, bytes.data(), bytes.size());
        channel.has_input.store(1);
        write_slot(channel, *buffer, static_cast<int32_t>(bytes.size()));
    }
};

// A DVB multiplex: a parent channel and `subs` sub-channels after it.
inline std::shared_ptr<ChannelTable> MakeMultiplexTable(int subs)
{
    auto table = std::make_shared<ChannelTable>();
    for (int i = 0; i <= subs; ++i) {
        auto channel = std::make_unique<ChannelRecord>();
        auto source  = std::make_unique<SourceRecord>();
        source->kind       = kSourceDvbPort;
        source->dvb_sub    = i > 0;
        source->dvb_parent = 0;
        channel->sources.push_back(std::move(source));
        table->channels.push_back(std::move(channel));
    }
    return table;
}
