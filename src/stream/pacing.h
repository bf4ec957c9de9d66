#pragma once
// Pacing of the outputs that send stored files and live rings: the batch that turns many
// small sleeps into one, the bitrate pacer of files without a usable clock, the PCR pacer of
// stored transport streams, and the burst sent at full speed when a stream starts.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "media/ts_timing.h"

// Blocks and the sleeps that follow them, collected until the sleeps add up to a pacing step
// of 100 ms: then the blocks go out in one send and the thread sleeps their sum. The pace of a
// sleep after every block or PCR with a small fraction of the wake-ups and system calls.
class PacedBatch {
public:
    // send: sends all of its bytes; false after a failed send.
    explicit PacedBatch(std::function<bool(const uint8_t*, int)> send);
    // Queues bytes; a full batch (32 blocks of 1316 bytes) goes out at once. False on a failed send.
    bool Add(const uint8_t* data, int length);
    // Adds the sleep that follows what is queued (each sleep at most 10 s). False on a failed send.
    bool AddSleep(int64_t ms);
    // Sends what is queued; the sleep owed stays owed. False on a failed send.
    bool Flush();

private:
    std::function<bool(const uint8_t*, int)> send_;
    std::vector<uint8_t>                      bytes_;
    int64_t                                   pending_ms_ = 0;
};

// Sleep per 1316-byte block in microseconds for a file probed at kbps; 0 when unpaced.
int64_t BlockSleepMicroseconds(float bitrate_constant, double kbps);

// Paces 1316-byte blocks by a bitrate: whole milliseconds per block, the microseconds left
// over carried from block to block so that the average is exact.
class BitratePacer {
public:
    explicit BitratePacer(int64_t sleep_us = 0);
    // The sleep after the next block, in milliseconds.
    int64_t NextMs();

private:
    int64_t sleep_ms_;
    int64_t remainder_us_;
    int64_t carried_us_;
};

// The first kBurstBlocks blocks (or pacing points) of a stream go out without a sleep.
class StartBurst {
public:
    // True while the burst lasts (and counts one off).
    bool Take()
    {
        if (left_ <= 0) return false;
        --left_;
        return true;
    }

private:
    int left_ = kBurstBlocks;
};

// The clock a paced file stream keeps in its session's record, read by the session's replies:
// the last PCR (seconds and 27 MHz ticks) and the seconds since the file's first PCR.
struct FileClock {
    std::atomic<double>& last_pcr_time;
    std::atomic<double>& current_position;
    uint64_t&            last_pcr_value;
};

constexpr int64_t kMaxPaceSleepMs = 1000;     // one sleep, however far a PCR jumps

// The PCR pacing of a file: after each chunk the PCR difference to the last PCR is slept; a
// chunk after a seek (or a wait for more data) only sets the reference, as does a PCR that
// went backwards. It keeps the session's clock.
class FilePacer {
public:
    FilePacer(const FileClock& clock, double first_pcr_time);
    // Without a session clock: the caller keeps its own from last_ticks().
    FilePacer() = default;
    void SetFirstPcrTime(double seconds) { first_pcr_time_ = seconds; }
    double first_pcr_time() const { return first_pcr_time_; }
    // The next chunk's PCR only sets the reference.
    void Restart() { restart_ = true; }
    // After a seek: the session's position and the reference time it implies.
    void Seeked(double position_seconds);
    // The chunk just sent (whole packets): the milliseconds to sleep now.
    int64_t Next(const uint8_t* chunk, int size);
    // The last PCR in ticks, -1 before the first.
    int64_t last_ticks() const { return last_ticks_; }
    // True when the chunk last given to Next held a PCR.
    bool took_pcr() const { return took_pcr_; }

private:
    std::optional<FileClock> clock_;
    double          first_pcr_time_ = 0;
    bool            took_pcr_ = false;
    bool            restart_ = true;
    int64_t         last_ticks_ = -1;
    PcrSleepCarry   sleep_;
};
