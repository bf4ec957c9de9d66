#pragma once
// Starting and stopping a channel's recorders from its data thread.

#include "channels/channel_table.h"
#include "core/threads.h"

#include <memory>
#include <vector>

// Starts the recorders the configuration asks for on the channel's ring (time-shift when
// "iptv_time_shift_record_duration" is above 10; TV-on-demand when the channel has a
// recording folder, "tv_on_demand_record_duration" is above 0 and allowed is true). The
// started threads are added to `started`.
void StartRecorders(ChannelRecord& channel, const std::shared_ptr<RealBuffer>& buffer, bool tv_on_demand_allowed,
                    std::vector<ThreadRecord*>& started);
// Joins them when the data thread ends.
void StopRecorders(std::vector<ThreadRecord*>& started);
