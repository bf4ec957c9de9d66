#pragma once
// A channel with backup sources. Every source runs its usual input into a ring of its own; the
// channel's data thread copies the active one's packets into the channel's ring, so that
// viewers stay on one ring whatever feeds it. When the active source has been silent for
// kSourceSilenceMs, the next source (in the order written) that has signal takes over; the
// first source takes over again once it has had signal for kSourceReturnMs. Each change is
// spliced (media/ts_splicer.h) and logged "CH [N]: source K active" (K from 1, the first
// source).

#include "channels/channel_table.h"

#include <cstdint>
#include <memory>

constexpr uint64_t kSourceSilenceMs = 2000;
constexpr uint64_t kSourceReturnMs  = 10000;

// True when the channel's sources can be switched: a first source that is a UDP, RTP or pull
// input, and at least one backup.
bool SwitchesSources(const ChannelRecord& channel);
// Runs the channel's sources and feeds its ring from the active one until the channel reader
// stops.
void RunSourceSwitch(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<ChannelTable>& table);
