#pragma once
// The datagram inputs of a channel's data thread: UDP and RTP (unicast or multicast) and DVB
// multiplexes over UDP. Each datagram becomes one slot of the channel's ring.

#include "channels/channel_table.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/socket.h>
#include <vector>

struct InputHealth;

// The wait for a source's first datagram; a source silent for longer is taken to be gone.
constexpr int kFirstDatagramWaitMs = 10000;
// Datagrams taken by one receive, and the nap after a batch of less than half that, which
// lets the next ones gather so that many quiet channels do not cost a wake-up per datagram.
constexpr int kDatagramBatch = 32;
constexpr int kDatagramNapMs = 20;

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

// Opens the source's port (and joins its group), trying again each second until it opens;
// -1 when the server stops first.
int OpenDatagramSource(SourceRecord& source, const char* primary, int number);
// Logs the source of a datagram input: "CH [N]: RTP Media Source ...".
void LogDatagramSource(const SourceRecord& source, int32_t kind, int number);

// Up to kDatagramBatch datagrams of at most datagram_size bytes each (longer ones are cut),
// received by one recvmmsg into a scratch area of the receiving thread.
class DatagramBatch {
public:
    explicit DatagramBatch(std::size_t datagram_size);
    // recvmmsg on fd with flags: the number of datagrams received, or -1 (errno set).
    int Receive(int fd, int flags);
    const uint8_t* Data(int i) const { return static_cast<const uint8_t*>(parts_[i].iov_base); }
    int32_t Length(int i) const { return static_cast<int32_t>(messages_[i].msg_len); }

private:
    std::size_t          size_;
    std::vector<uint8_t> scratch_;
    mmsghdr              messages_[kDatagramBatch];
    iovec                parts_[kDatagramBatch];
};

// Counts a datagram of at most kRingSlotSize bytes into health and writes it into the ring's
// next slot (the channel then has input).
void StoreDatagram(ChannelRecord& channel, RealBuffer& buffer, InputHealth& health, const uint8_t* data, int32_t length,
                   bool rtp, uint64_t now_ms);

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
