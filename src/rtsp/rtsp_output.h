#pragma once
// Where a session's media packets go: framed for its transport kind (RTP header, interleave
// prefix on the client's channel, or bare for the raw kinds of a stored file), on the RTSP
// connection or as one UDP datagram each to the client's RTP port.

#include "rtsp/rtp_framing.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

class RtspConnection;

class RtspOutput {
public:
    // raw_kinds_bare: the raw kinds carry no RTP header (stored files; live channels frame
    // them as RTP).
    RtspOutput(RtspConnection& conn, bool raw_kinds_bare);
    ~RtspOutput();                                  // closes the UDP socket, if any
    RtspOutput(const RtspOutput&) = delete;
    RtspOutput& operator=(const RtspOutput&) = delete;

    // For the UDP kinds, opens the sending socket towards the client's RTP port and logs
    // log_text (thread number, port, socket). True when the session can be sent to.
    bool Open(int thread_number, const char* log_text);
    bool datagrams() const;
    // Sends one packet of payload (at most 1316 + 12 bytes framed). False on a failed send,
    // with errno as the send left it.
    bool Send(const uint8_t* payload, std::size_t size);
    // The two halves of Send, for senders that batch what goes on the connection: the framed
    // packet into out (room for size + kInterleavePrefixSize + kRtpHeaderBytes), and one framed
    // datagram out to the client.
    std::size_t Frame(const uint8_t* payload, std::size_t size, uint8_t* out);
    bool SendDatagram(const uint8_t* packet, std::size_t length);

    RtpCounters counters;

private:
    RtspConnection& conn_;
    bool            raw_kinds_bare_;
    int             udp_ = -1;
    sockaddr_in     to_{};
    uint8_t         packet_[kInterleavePrefixSize + kRtpHeaderBytes + 2048];
};
