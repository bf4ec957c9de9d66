#pragma once
// The datagram inputs of a channel's data thread: UDP and RTP (unicast or multicast) and DVB
// multiplexes over UDP. Each datagram becomes one slot of the channel's ring.

#include "channels/channel_table.h"

#include <cstdint>

// A UDP socket with address reuse, bound to the port on every local address; -1 on failure
// (printed on the console).
[[nodiscard]] int open_udp_receiver(uint16_t port);

// Kinds 1, 2, 8, 9; runs until the channel reader stop flag is raised.
void RunDatagramInput(ChannelRecord& channel, int32_t channel_index);
// Kinds 10, 11.
void RunDvbInput(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<ChannelTable>& table);
