#pragma once
// Transport-stream timing shared by every live reader, file streamer and recorder: PCR pacing,
// the first PCR of a file and the looping playlist position. The packet fields themselves are
// read by media/ts_packet.h.

#include "media/ts_packet.h"

#include <cstddef>
#include <cstdint>

// Milliseconds to sleep for a PCR difference of delta seconds (0 for no sleep).
int64_t pcr_sleep_ms(double delta_seconds);
// The same sleeps with the fraction of a millisecond each one drops carried over to the next:
// PCRs every 5 ms are paced at their own rate rather than a fifth faster.
class PcrSleepCarry {
public:
    int64_t NextMs(double delta_seconds);

private:
    int64_t carried_us_ = 0;
};

// A live reader's previous PCR: the first PCR only starts it, a PCR lower than the previous
// one is reported and skipped, any other gives the difference to pace by.
struct PcrFollower {
    int64_t previous = -1;
    // True with delta_seconds set when this PCR gives a difference.
    bool Next(int64_t pcr, double& delta_seconds);
};

// First PCR of a transport-stream file in seconds; 1000.0 cannot be opened, -1.0 empty,
// 0.0 not a transport stream or no PCR.
double first_pcr_seconds(const char* path);

constexpr std::size_t kPlaylistPathSize = 260;
// One file of a directory channel, in name order.
struct PlaylistEntry {
    char    path[kPlaylistPathSize];
    int32_t bitrate_kbps;
    int64_t size;
    int64_t duration;                   // whole seconds
};

// Which entry a looping playlist plays at now_ms (the same monotonic tick as epoch_ms), and
// the whole seconds left of it; -1 when there is none (no duration, no entry).
int playlist_index_at(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                      uint64_t now_ms, int64_t& seconds_left);
// Where a looping playlist stands at now_ms (the same monotonic tick as epoch_ms): opens
// that file and gives its index and a packet-aligned byte offset. Returns the descriptor,
// or -1 when there is no position (no duration, no entry, unreadable file).
int find_playlist_position(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                           int& index, int64_t& offset, uint64_t now_ms);
// The same at the current tick.
int find_playlist_position(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                           int& index, int64_t& offset);
