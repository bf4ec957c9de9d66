#include "media/ts_timing.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "media/media_file.h"
#include "media/probe.h"

#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

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

int64_t pcr_sleep_ms(double delta_seconds)
{
    double us = delta_seconds * 1000.0 * 1000.0 - static_cast<double>(g_config.bitrate_constant) * 0.012;
    if (!(us > 0.0)) return 0;                  // also NaN
    if (us > 9.0e15) us = 9.0e15;               // a PCR jump: keep the conversion defined
    return static_cast<int64_t>(us) / 1000;
}

int64_t PcrSleepCarry::NextMs(double delta_seconds)
{
    double us = delta_seconds * 1000.0 * 1000.0 - static_cast<double>(g_config.bitrate_constant) * 0.012;
    if (!(us > 0.0)) return 0;
    if (us > 9.0e15) us = 9.0e15;
    const int64_t total = static_cast<int64_t>(us) + carried_us_;
    carried_us_ = total % 1000;
    return total / 1000;
}

bool PcrFollower::Next(int64_t pcr, double& delta_seconds)
{
    if (previous < 0) {
        previous = pcr;
        return false;
    }
    if (pcr < previous) {
        LogSystemMessage("pcr < cur_pcr\n");
        return false;
    }
    delta_seconds = static_cast<double>(pcr - previous) / static_cast<double>(kPcrTicksPerSecond);
    previous      = pcr;
    return true;
}

double first_pcr_seconds(const char* path)
{
    MediaFile file(path);
    if (!file.IsOpen()) {
        LogSystemMessage("[%s] open error\n", path);
        return 1000.0;
    }
    const int64_t size = file.Size();
    if (size <= 0) {
        LogSystemMessage("[%s] size=[%lld]\n", path, static_cast<long long>(size));
        return -1.0;
    }
    uint8_t packet[kTsPacketSize];
    for (int64_t offset = 0;; offset += kTsPacketSize) {
        const int64_t got = file.ReadAt(offset, packet, sizeof packet);
        if (got == 0) {
            std::printf("end of file\n");
            return 0.0;
        }
        if (got != kTsPacketSize) {
            std::printf("error reading\n");
            return 0.0;
        }
        if (packet[0] != kTsSyncByte) {
            LogSystemMessage("[%s] size=[%lld] is not TS format\n", path, static_cast<long long>(size));
            return 0.0;
        }
        int64_t ticks = 0;
        if (extract_pcr(packet, ticks)) {
            const double seconds = static_cast<double>(ticks) / static_cast<double>(kPcrTicksPerSecond);
            LogSystemMessage("File=[%s], PCR First TimeStamp=[%5.3f]\n", path, seconds);
            return seconds;
        }
    }
}

int find_playlist_position(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                           int& index, int64_t& offset, uint64_t now_ms)
{
    const uint64_t elapsed = (now_ms - epoch_ms) / 1000;
    if (total_duration <= 0 || entries == nullptr || count <= 0) return -1;
    int64_t r = static_cast<int64_t>(elapsed % static_cast<uint64_t>(total_duration));
    int found = -1;
    for (int i = 0; i < count; ++i) {
        r -= entries[i].duration;
        if (r < 0) {
            found = i;
            break;
        }
    }
    // Durations that add up to less than the total leave no entry for this moment.
    if (found < 0) return -1;
    index = found;
    const int32_t kbps = probe_bitrate_kbps(entries[found].path);
    if (kbps == -1) return -1;
    int64_t position = entries[found].size + r * (static_cast<int64_t>(kbps) * 128);
    if (position < 0) position = 0;
    position -= position % kTsPacketSize;
    offset = position;
    return open(entries[found].path, O_RDONLY | O_CLOEXEC);
}

int find_playlist_position(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                           int& index, int64_t& offset)
{
    return find_playlist_position(epoch_ms, total_duration, entries, count, index, offset, GetTickMs());
}
