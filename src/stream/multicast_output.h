#pragma once
// The multicast output: every channel re-sent to its own group on the local network, for boxes
// and players that tune in without a connection. Channel i goes to the base group "igmpip"
// with i added to its last octet, port "igmpport". Live channels are forwarded from their
// rings (packet-aligned inputs through the channel's shared live sender, pull byte streams
// re-aligned, DVB programs filtered from their multiplex), folders of transport-stream files
// played in their endless loop like for every other output: what the source table lets
// multicast serve. Each datagram is 1316 bytes, seven whole packets.

#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <sys/types.h>

// The multicast server thread: started at start-up when "igmpip" is not "0.0.0.0"; releases
// the start-up semaphore once; runs one IPTV_IGMPDataThread per channel until the multicast
// stop gate opens.
int32_t IPTV_IGMP_Server(void* unused);
// After a channel refresh: the server stops its channel threads and starts them on the new
// table (and its new rings). Returns at once.
void RestartMulticastChannels();

// The base group as a host-order address; false unless text is a dotted IPv4 multicast group.
bool ParseMulticastBase(const char* text, uint32_t& base);
// The port; false unless text is a decimal number from 1 to 65535.
bool ParseMulticastPort(const char* text, uint16_t& port);
// Channel index's group (host order): the last octet plus the low 8 bits of the index; past
// 255 the octet wraps, skips 0 and the third octet moves up by one (never the second).
uint32_t multicast_group(uint32_t base, int32_t channel_index);

// One channel's datagrams to its group on the shared sending socket. A failed send (ENOBUFS,
// a route that went away) is logged once per episode and sending pauses briefly; it never
// ends the channel.
class MulticastOut {
public:
    using SendFunction = std::function<ssize_t(const uint8_t* data, std::size_t length)>;
    // send: null for sendto on the server's socket to destination.
    MulticastOut(const sockaddr_in& destination, int thread_number, SendFunction send = nullptr);
    // False only once the sending socket is closed (the server is ending).
    bool Send(const uint8_t* data, int length);
    // Sleeps what is left of a pause after a failed send (threads that may sleep).
    void WaitOutPause();
    bool failing() const { return failing_; }

private:
    sockaddr_in  destination_;
    int          thread_number_;
    SendFunction send_;
    bool         failing_ = false;
    uint64_t     paused_until_ms_ = 0;
};

// How long sending pauses after a failed send.
constexpr uint32_t kMulticastSendPauseMs = 20;
