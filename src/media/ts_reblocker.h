#pragma once
// Realigning a byte stream (an HTTP or RTSP pull, bytes read from anywhere in a file) to whole
// transport-stream packets.

#include "media/ts_packet.h"

#include <cstddef>
#include <cstdint>
#include <functional>

// Cuts a byte stream into blocks of seven whole transport-stream packets (1316 bytes, the
// size of a UDP source's datagram), so that every reader and output can take the ring's slots
// as packet-aligned. Bytes before the first sync, and after one is lost, are dropped until
// two sync bytes 188 apart are found again.
class TsReblocker {
public:
    using BlockFn = std::function<void(const uint8_t* block)>;
    void Feed(const uint8_t* data, std::size_t length, const BlockFn& block);
    // Drops everything held (a new connection starts from nothing).
    void Reset();

private:
    // Takes bytes while every packet starts with a sync byte: the bytes taken (synced_ cleared
    // when a packet did not).
    std::size_t TakeSynced(const uint8_t* data, std::size_t length, const BlockFn& block);
    void Hunt(const BlockFn& block);

    bool        synced_ = false;
    uint8_t     block_[kTsBlockSize] = {};
    std::size_t block_length_ = 0;
    uint8_t     hunt_[4 * kTsPacketSize] = {};
    std::size_t hunt_length_ = 0;
};
