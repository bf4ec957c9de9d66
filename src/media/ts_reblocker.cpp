#include "media/ts_reblocker.h"

#include <algorithm>
#include <cstring>

std::size_t TsReblocker::TakeSynced(const uint8_t* data, std::size_t length, const BlockFn& block)
{
    std::size_t used = 0;
    while (used < length) {
        if (block_length_ % kTsPacketSize == 0 && data[used] != kTsSyncByte) {
            synced_ = false;
            return used;
        }
        const std::size_t room = kTsPacketSize - block_length_ % kTsPacketSize;
        const std::size_t take = std::min(room, length - used);
        std::memcpy(block_ + block_length_, data + used, take);
        block_length_ += take;
        used += take;
        if (block_length_ == sizeof block_) {
            block(block_);
            block_length_ = 0;
        }
    }
    return used;
}

void TsReblocker::Hunt(const BlockFn& block)
{
    for (;;) {
        std::size_t start = hunt_length_;
        for (std::size_t i = 0; i + kTsPacketSize < hunt_length_; ++i) {
            if (hunt_[i] == kTsSyncByte && hunt_[i + kTsPacketSize] == kTsSyncByte) {
                start = i;
                break;
            }
        }
        if (start == hunt_length_) {
            // The last packet's worth may still begin a packet whose successor is to come.
            if (hunt_length_ > static_cast<std::size_t>(kTsPacketSize)) {
                std::memmove(hunt_, hunt_ + hunt_length_ - kTsPacketSize, kTsPacketSize);
                hunt_length_ = kTsPacketSize;
            }
            return;
        }
        synced_ = true;
        const std::size_t used = TakeSynced(hunt_ + start, hunt_length_ - start, block);
        const std::size_t rest = hunt_length_ - start - used;
        std::memmove(hunt_, hunt_ + start + used, rest);
        hunt_length_ = rest;
        if (synced_) return;                       // everything held was taken
    }
}

void TsReblocker::Feed(const uint8_t* data, std::size_t length, const BlockFn& block)
{
    std::size_t at = 0;
    while (at < length) {
        if (synced_) {
            at += TakeSynced(data + at, length - at, block);
            continue;
        }
        const std::size_t take = std::min(length - at, sizeof hunt_ - hunt_length_);
        std::memcpy(hunt_ + hunt_length_, data + at, take);
        hunt_length_ += take;
        at += take;
        Hunt(block);
    }
}

void TsReblocker::Reset()
{
    synced_ = false;
    block_length_ = 0;
    hunt_length_ = 0;
}
