#pragma once
// The channel reader process: starts the ingest thread of every network channel, holds
// until the reader stop gate opens, then closes them.

#include "channels/channel_table.h"

#include <cstdint>
#include <memory>

int32_t IPTV_Channel_ReaderProcess(void* unused);
// Runs the input of the channel's first source into the channel's ring until the channel
// reader stops (files and unknown kinds return at once).
void RunChannelInput(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<ChannelTable>& table);
