#include "ingest/input_health.h"

#include "channels/channel_table.h"
#include "core/log.h"
#include "media/ts_timing.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

std::atomic<bool> g_input_health_on{true};

namespace {

// Found without a lock by the data threads; created under g_health_create_lock and never
// freed, so a record found stays valid.
std::atomic<InputHealth*> g_health[kMaxChannels];
std::atomic<int32_t>      g_health_count{0};
std::mutex                g_health_create_lock;

constexpr uint64_t kPcrModulus = 1ull << 33;

void CountPcr(InputHealth& health, uint16_t pid, uint64_t base)
{
    health.pcr_packets.fetch_add(1, std::memory_order_relaxed);
    if (!health.has_pcr) {
        health.has_pcr = true;
        health.pcr_pid = pid;
    } else if (pid == health.pcr_pid) {
        const uint64_t ahead = (base + kPcrModulus - health.last_pcr) % kPcrModulus;
        // Behind the previous PCR wraps round to a distance near the modulus.
        if (ahead > kPcrJumpTicks) health.pcr_jumps.fetch_add(1, std::memory_order_relaxed);
    } else {
        return;                                    // only the first PCR PID is followed
    }
    health.last_pcr = base;
}

void CountPacket(InputHealth& health, const uint8_t* packet)
{
    const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    if (pid == 0x1FFF) return;                     // null packets carry no meaningful counter
    const int control = (packet[3] >> 4) & 0x3;
    const bool adaptation = (control & 0x2) != 0;
    const bool payload = (control & 0x1) != 0;
    bool discontinuity = false;
    if (adaptation && packet[4] > 0) {
        const uint8_t flags = packet[5];
        discontinuity = (flags & 0x80) != 0;
        if (discontinuity && pid == health.pcr_pid) health.has_pcr = false;   // a new time base
        if ((flags & 0x10) != 0 && packet[4] >= 7) {
            const uint64_t base = (static_cast<uint64_t>(packet[6]) << 25) | (static_cast<uint64_t>(packet[7]) << 17) |
                                  (static_cast<uint64_t>(packet[8]) << 9) | (static_cast<uint64_t>(packet[9]) << 1) |
                                  (packet[10] >> 7);
            CountPcr(health, pid, base);
        }
    }
    const uint8_t cc = packet[3] & 0x0F;
    if (!payload) {
        // The counter only moves with a payload; an adaptation-only packet that announces a
        // discontinuity carries the counter the next packet follows on from.
        if (discontinuity) health.last_cc[pid] = cc;
        return;
    }
    const uint8_t last = health.last_cc[pid];
    health.last_cc[pid] = cc;
    if (last == 0xFF || discontinuity) return;
    // One repeat of a packet is allowed; anything but the next counter is an error.
    if (cc != last && cc != ((last + 1) & 0x0F)) health.cc_errors.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

InputHealth& ChannelHealth(const ChannelRecord& channel, int32_t channel_index)
{
    return channel.feed_health != nullptr ? *channel.feed_health : HealthOf(channel_index);
}

InputHealth* FindHealth(int32_t channel_index)
{
    if (channel_index < 0 || channel_index >= kMaxChannels) return nullptr;
    return g_health[channel_index].load(std::memory_order_acquire);
}

InputHealth& HealthOf(int32_t channel_index)
{
    static InputHealth spare;                      // for an index out of range
    if (channel_index < 0 || channel_index >= kMaxChannels) return spare;
    if (InputHealth* found = FindHealth(channel_index)) return *found;
    std::lock_guard<std::mutex> held(g_health_create_lock);
    InputHealth* health = g_health[channel_index].load(std::memory_order_acquire);
    if (health == nullptr) {
        health = new (std::nothrow) InputHealth;
        if (health == nullptr) return spare;
        health->channel_index = channel_index;
        std::memset(health->last_cc, 0xFF, sizeof health->last_cc);
        g_health[channel_index].store(health, std::memory_order_release);
        if (g_health_count.load() <= channel_index) g_health_count.store(channel_index + 1);
    }
    return *health;
}

int32_t HealthCount() { return g_health_count.load(); }

void StartHealth(InputHealth& health)
{
    for (std::atomic<uint64_t>* counter : {&health.datagrams, &health.bytes, &health.cc_errors, &health.pcr_packets,
                                           &health.pcr_jumps, &health.rtp_gaps, &health.first_datagram_ms, &health.last_datagram_ms, &health.last_pcr_ms,
                                           &health.recorder_bytes, &health.recorder_errors, &health.merge_received[0],
                                           &health.merge_received[1], &health.merge_used[0], &health.merge_used[1],
                                           &health.merge_lost[0], &health.merge_lost[1], &health.merge_given_up})
        counter->store(0, std::memory_order_relaxed);
    for (int i = 0; i < kHealthSecondSlots; ++i) {
        health.second_bytes[i].store(0, std::memory_order_relaxed);
        health.second_stamp[i].store(0, std::memory_order_relaxed);
    }
    std::memset(health.last_cc, 0xFF, sizeof health.last_cc);
    health.has_pcr = false;
    health.last_pcr = 0;
    health.last_rtp_sequence = -1;
    health.silent.store(0);
    health.merging.store(0);
    health.running.store(1);
}

void StopHealth(InputHealth& health)
{
    health.running.store(0);
    health.silent.store(0);
}

void CountTsPackets(InputHealth& health, const uint8_t* data, std::size_t length)
{
    for (std::size_t at = 0; at + kTsPacketSize <= length; at += kTsPacketSize)
        if (data[at] == kTsSyncByte) CountPacket(health, data + at);
}

int CountRtpHeader(InputHealth& health, const uint8_t* data, std::size_t length)
{
    if (length < 12 || (data[0] >> 6) != 2) return -1;
    std::size_t offset = 12 + 4u * (data[0] & 0x0F);
    if ((data[0] & 0x10) != 0) {                   // header extension: 4 bytes and its words
        if (length < offset + 4) return -1;
        offset += 4 + 4u * ((static_cast<std::size_t>(data[offset + 2]) << 8) | data[offset + 3]);
    }
    if (offset > length) return -1;
    const int32_t sequence = (data[2] << 8) | data[3];
    if (health.last_rtp_sequence >= 0) {
        const int32_t missing = (sequence - health.last_rtp_sequence - 1 + 65536) % 65536;
        // A distance in the upper half is a repeat or a late datagram, not a loss.
        if (missing > 0 && missing < 32768) health.rtp_gaps.fetch_add(static_cast<uint64_t>(missing), std::memory_order_relaxed);
        if (missing >= 32768) return static_cast<int>(offset);
    }
    health.last_rtp_sequence = sequence;
    return static_cast<int>(offset);
}

void CountDatagram(InputHealth& health, const uint8_t* data, std::size_t length, bool rtp, uint64_t now_ms, bool packets)
{
    if (!g_input_health_on.load(std::memory_order_relaxed)) return;
    health.datagrams.fetch_add(1, std::memory_order_relaxed);
    health.bytes.fetch_add(length, std::memory_order_relaxed);
    const uint64_t second = now_ms / 1000;
    const int slot = static_cast<int>(second % kHealthSecondSlots);
    if (health.second_stamp[slot].load(std::memory_order_relaxed) != second) {
        health.second_bytes[slot].store(0, std::memory_order_relaxed);
        health.second_stamp[slot].store(second, std::memory_order_relaxed);
    }
    health.second_bytes[slot].fetch_add(length, std::memory_order_relaxed);
    if (health.first_datagram_ms.load(std::memory_order_relaxed) == 0) health.first_datagram_ms.store(now_ms, std::memory_order_relaxed);
    health.last_datagram_ms.store(now_ms, std::memory_order_relaxed);

    std::size_t offset = packets ? 0 : length;
    if (rtp && packets) {
        const int payload = CountRtpHeader(health, data, length);
        offset = payload < 0 ? length : static_cast<std::size_t>(payload);
    }
    const uint64_t pcrs_before = health.pcr_packets.load(std::memory_order_relaxed);
    CountTsPackets(health, data + offset, length - offset);
    if (health.pcr_packets.load(std::memory_order_relaxed) != pcrs_before) health.last_pcr_ms.store(now_ms, std::memory_order_relaxed);

    if (health.silent.load(std::memory_order_relaxed) != 0 && health.silent.exchange(0) != 0) {
        LogSystemMessage("CH [%d]: signal back\n", health.channel_index + 1);
    }
}

void CountRecorderWrite(InputHealth& health, bool written, std::size_t bytes)
{
    if (written) health.recorder_bytes.fetch_add(bytes, std::memory_order_relaxed);
    else health.recorder_errors.fetch_add(1, std::memory_order_relaxed);
}

uint64_t InputBitrate(const InputHealth& health, uint64_t now_ms)
{
    const uint64_t first_ms = health.first_datagram_ms.load(std::memory_order_relaxed);
    if (first_ms == 0) return 0;
    const uint64_t second = now_ms / 1000;
    // The second of the first datagram counts only when it began with it: heard for part of
    // it, its bytes would stand for a whole second.
    const uint64_t first_whole = (first_ms + 999) / 1000;
    const uint64_t from = std::max(first_whole, second > kHealthWindowSeconds ? second - kHealthWindowSeconds : 0);
    if (from >= second) return 0;
    uint64_t bytes = 0;
    for (int i = 0; i < kHealthSecondSlots; ++i) {
        const uint64_t stamp = health.second_stamp[i].load(std::memory_order_relaxed);
        if (stamp >= from && stamp < second) bytes += health.second_bytes[i].load(std::memory_order_relaxed);
    }
    return bytes * 8 / (second - from);
}

bool SignalUp(const InputHealth& health, uint64_t now_ms)
{
    const uint64_t last = health.last_datagram_ms.load(std::memory_order_relaxed);
    return health.running.load() != 0 && last != 0 && now_ms - last < kNoSignalMs;
}

void CheckInputSilence(uint64_t now_ms)
{
    const int32_t count = HealthCount();
    for (int32_t i = 0; i < count; ++i) {
        InputHealth* health = FindHealth(i);
        if (health == nullptr || health->running.load() == 0 || health->silent.load() != 0) continue;
        const uint64_t last = health->last_datagram_ms.load(std::memory_order_relaxed);
        if (last == 0 || now_ms - last < kNoSignalMs) continue;
        int32_t heard = 0;
        if (!health->silent.compare_exchange_strong(heard, 1)) continue;
        LogSystemMessage("CH [%d]: no signal\n", i + 1);
    }
}
