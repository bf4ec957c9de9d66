#pragma once
// The bytes of every media packet sent to an RTSP player: the RTP header, the interleave
// prefix, and the framing per transport kind. And the four UDP receive threads a SETUP
// starts, which read and drop what players send to the server's ports.

#include <cstddef>
#include <cstdint>

constexpr std::size_t kRtpHeaderBytes       = 12;
constexpr std::size_t kInterleavePrefixSize = 4;
constexpr uint32_t    kRtpTimestampStep     = 316;

// The header counters of one data thread: sequence from 0, timestamp from 316.
struct RtpCounters {
    uint16_t sequence  = 0;
    uint32_t timestamp = kRtpTimestampStep;
};

// Writes the 12-byte header for the next packet and advances the counters.
void WriteRtpHeader(uint8_t* out, int32_t payload_type, RtpCounters& counters);
// Writes "$", the channel and the 16-bit length of what follows.
void WriteInterleavePrefix(uint8_t* out, uint8_t channel, uint16_t length);

// One packet of payload framed for the transport kind (and streaming mode): the bytes go to
// out (room for prefix, header and payload), the length is returned. with_rtp is false for
// the raw kinds of a stored file.
std::size_t FramePacket(uint8_t* out, int32_t transport_kind, bool raw_kinds_bare, int32_t payload_type,
                        uint8_t channel, RtpCounters& counters, const uint8_t* payload, std::size_t payload_size);

int32_t RTP_DataThread_0(void* connection);
int32_t RTCP_DataThread_1(void* connection);
int32_t RTP_DataThread_2(void* connection);
int32_t RTCP_DataThread_3(void* connection);
