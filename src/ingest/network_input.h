#pragma once
// The datagram inputs of a channel's data thread: UDP and RTP (unicast or multicast) and DVB
// multiplexes over UDP. Each datagram becomes one slot of the channel's ring.

#include "channels/channel_table.h"

#include <cstdint>
#include <memory>

// A UDP socket with address reuse, bound to the port on every local address; -1 on failure
// (printed on the console).
[[nodiscard]] int open_udp_receiver(uint16_t port);
// The port of a UDP or RTP source opened by open_udp_receiver, its multicast group joined on
// the interface of address primary (any interface when null or not an address); -1 on failure.
[[nodiscard]] int open_datagram_source(const SourceRecord& source, const char* primary);
// Leaves the group (of a group source) and closes the socket.
void close_datagram_source(int fd, const SourceRecord& source, const char* primary);
// The receive buffer the kernel granted a socket, in KB (0 when it cannot tell).
int udp_receive_buffer_kb(int fd);

// Resets the channel's indices and gives it a fresh ring (null, logged, when none could be
// allocated).
std::shared_ptr<RealBuffer> NewRing(ChannelRecord& channel, int32_t channel_index);
// Waits up to timeout_ms until fd is readable, in short slices so that a raised channel reader
// stop flag is noticed at once. False at the time-out or the stop.
bool WaitReadable(int fd, int timeout_ms);

// Kinds 1, 2, 8, 9; runs until the channel reader stop flag is raised.
void RunDatagramInput(ChannelRecord& channel, int32_t channel_index);
// Kinds 10, 11.
void RunDvbInput(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<ChannelTable>& table);
