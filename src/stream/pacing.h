#pragma once
// Pacing of the outputs that send stored files and live rings: the batch that turns many
// small sleeps into one, the bitrate pacer of files without a usable clock, and the burst
// sent at full speed when a stream starts.

#include <cstdint>
#include <functional>
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
