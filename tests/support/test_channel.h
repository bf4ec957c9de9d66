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
