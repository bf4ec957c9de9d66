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

int playlist_index_at(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                      uint64_t now_ms, int64_t& seconds_left)
{
    if (total_duration <= 0 || entries == nullptr || count <= 0) return -1;
    const uint64_t elapsed = (now_ms - epoch_ms) / 1000;
    int64_t r = static_cast<int64_t>(elapsed % static_cast<uint64_t>(total_duration));
    for (int i = 0; i < count; ++i) {
        r -= entries[i].duration;
        if (r < 0) {
            seconds_left = -r;
            return i;
        }
    }
    // Durations that add up to less than the total leave no entry for this moment.
    return -1;
}

int find_playlist_position(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                           int& index, int64_t& offset, uint64_t now_ms)
{
    int64_t seconds_left = 0;
    const int found = playlist_index_at(epoch_ms, total_duration, entries, count, now_ms, seconds_left);
    if (found < 0) return -1;
    index = found;
    const int32_t kbps = probe_bitrate_kbps(entries[found].path);
    if (kbps == -1) return -1;
    int64_t position = entries[found].size - seconds_left * (static_cast<int64_t>(kbps) * 128);
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
