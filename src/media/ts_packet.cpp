#include "media/ts_packet.h"

uint16_t parse_ts_header(const uint8_t* packet, TsPacketHeader& header)
{
    header.sync_byte                    = packet[0];
    header.transport_error_indicator    = (packet[1] >> 7) & 1;
    header.payload_unit_start_indicator = (packet[1] >> 6) & 1;
    header.transport_priority           = (packet[1] >> 5) & 1;
    header.pid                          = static_cast<uint16_t>(((packet[1] << 8) & 0x1F00) | packet[2]);
    header.transport_scrambling_control = (packet[3] >> 6) & 3;
    header.adaptation_field_flag        = (packet[3] >> 5) & 1;
    header.payload_flag                 = (packet[3] >> 4) & 1;
    header.continuity_counter           = packet[3] & 0x0F;
    return header.pid;
}

bool is_pat(const uint8_t* packet)
{
    return (((packet[1] << 8) & 0x1F00) | packet[2]) == 0;
}

int payload_offset(const uint8_t* packet)
{
    return (packet[3] & 0x20) != 0 ? 4 + packet[4] + 1 : 4;
}

bool extract_pcr(const uint8_t* packet, int64_t& ticks)
{
    if (packet[0] != kTsSyncByte || (packet[3] & 0x20) == 0 || packet[4] == 0 || (packet[5] & 0x10) == 0)
        return false;
    const uint8_t* p = packet + 6;
    int64_t base = (static_cast<int64_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    base = (base << 1) | (p[4] >> 7);
    const int64_t extension = ((p[4] & 0x01) << 8) | p[5];
    ticks = base * 300 + extension;
    return true;
}

int64_t extract_video_pts(const uint8_t* packet, bool adaptation_field_flag)
{
    const int start = adaptation_field_flag ? 4 + packet[4] + 1 : 4;
    // start code (4), PES_packet_length (2), two flag bytes, header length, 5 PTS bytes
    if (start + 14 > kTsPacketSize) return 0;
    const uint8_t* pes = packet + start;
    const int pts_dts_flags = pes[7] >> 6;
    if (pts_dts_flags != 2 && pts_dts_flags != 3) return 0;
    const uint8_t* t = pes + 9;
    return (static_cast<int64_t>((t[0] >> 1) & 0x07) << 30) | (static_cast<int64_t>(t[1]) << 22) |
           (static_cast<int64_t>(t[2] >> 1) << 15) | (static_cast<int64_t>(t[3]) << 7) | (t[4] >> 1);
}

uint32_t crc32_mpeg(const uint8_t* data, std::size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}
