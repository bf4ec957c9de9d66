#pragma once
// Transport-stream packets: their sizes, the header, the PAT test, the PCR and the video PTS.
// Everything works in place on caller buffers; nothing here keeps state.

#include <cstddef>
#include <cstdint>

constexpr int     kTsPacketSize  = 188;
constexpr uint8_t kTsSyncByte    = 0x47;
constexpr int64_t kPcrTicksPerSecond = 27000000;
// Seven packets: one UDP datagram of a live source, one slot of a UDP channel's ring and one
// block of every transport-stream output.
constexpr int     kTsBlockSize   = 7 * kTsPacketSize;
constexpr int     kRtpHeaderSize = 12;
// An RTP datagram of a live source: the header and one block.
constexpr int     kRtpSlotSize   = kRtpHeaderSize + kTsBlockSize;
// The blocks (or PCR pauses) a paced stream sends at full speed after its start.
constexpr int     kBurstBlocks   = 500;

struct TsPacketHeader {
    uint8_t  sync_byte;
    uint8_t  transport_error_indicator;
    uint8_t  payload_unit_start_indicator;
    uint8_t  transport_priority;
    uint16_t pid;
    uint8_t  transport_scrambling_control;
    uint8_t  adaptation_field_flag;
    uint8_t  payload_flag;
    uint8_t  continuity_counter;
};

// Decodes the first 4 bytes (no validation) and returns the PID.
uint16_t parse_ts_header(const uint8_t* packet, TsPacketHeader& header);
// True when the packet's PID is 0 (the join point of a stream).
bool is_pat(const uint8_t* packet);
// Offset of the payload in a 188-byte packet (after any adaptation field); 188 or more when
// the adaptation field fills or overruns the packet.
int payload_offset(const uint8_t* packet);
// The packet's PCR in 27 MHz ticks; false (ticks untouched) when it carries none.
bool extract_pcr(const uint8_t* packet, int64_t& ticks);
// PTS (90 kHz) of the video PES header at the payload start, 0 when it has none or the
// header does not fit in the packet. The caller has checked 00 00 01 E0 at the payload.
int64_t extract_video_pts(const uint8_t* packet, bool adaptation_field_flag);
// MPEG-2 CRC-32 of a table section: polynomial 0x04C11DB7, initial value all ones, no reflection.
uint32_t crc32_mpeg(const uint8_t* data, std::size_t length);
