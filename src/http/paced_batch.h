#pragma once
// Blocks and the sleeps that follow them, collected until the sleeps add up to a pacing step
// of 100 ms: then the blocks go out in one send and the thread sleeps their sum. The pace of a
// sleep after every block or PCR with a small fraction of the wake-ups and system calls.

#include <cstdint>
#include <functional>
#include <vector>

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
