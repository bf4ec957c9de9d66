#pragma once
// Input health of the live channels, counted by each channel's data thread as it stores what
// it received (no copy of the data): datagrams and bytes, the bitrate of the last ten seconds,
// continuity-counter errors, PCRs and PCR jumps, RTP sequence gaps and the time of the last
// datagram. Readers (the metrics pages) load the counters without locks.

#include <atomic>
#include <cstddef>
#include <cstdint>

struct ChannelRecord;

constexpr int kHealthWindowSeconds = 10;
// One slot more than the window: the second being counted never overwrites the oldest whole one.
constexpr int kHealthSecondSlots = kHealthWindowSeconds + 1;
// Silence after which a channel counts as without signal.
constexpr uint64_t kNoSignalMs = 5000;
// A PCR more than this ahead of the previous one on its PID (or behind it) is a jump (90 kHz).
constexpr uint64_t kPcrJumpTicks = 90000;
constexpr int kTsPids = 8192;

struct InputHealth {
    int32_t               channel_index = 0;
    std::atomic<uint64_t> datagrams{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> cc_errors{0};
    std::atomic<uint64_t> pcr_packets{0};
    std::atomic<uint64_t> pcr_jumps{0};
    std::atomic<uint64_t> rtp_gaps{0};             // sequence numbers missing between datagrams
    std::atomic<uint64_t> first_datagram_ms{0};    // 0: nothing received since the input started
    std::atomic<uint64_t> last_datagram_ms{0};     // 0: nothing received since the input started
    std::atomic<uint64_t> last_pcr_ms{0};
    std::atomic<int32_t>  running{0};              // the channel's data thread is running
    std::atomic<int32_t>  silent{0};               // "no signal" logged, "signal back" not yet
    std::atomic<uint64_t> recorder_bytes{0};       // written by the channel's recorders
    std::atomic<uint64_t> recorder_errors{0};      // their failed writes
    // Bytes per second of the window, each with the second it counts.
    std::atomic<uint64_t> second_bytes[kHealthSecondSlots]{};
    std::atomic<uint64_t> second_stamp[kHealthSecondSlots]{};
    // The hitless merge of two RTP paths (ingest/rtp_merge.h), kept in the channel's own record
    // whoever runs it: set once it ran since the data thread started; per path the datagrams
    // received, the packets whose copy went out and the sequence numbers missing on the path;
    // and the numbers neither path delivered in time.
    std::atomic<int32_t>  merging{0};
    std::atomic<uint64_t> merge_received[2]{}, merge_used[2]{}, merge_lost[2]{};
    std::atomic<uint64_t> merge_given_up{0};

    // The data thread's own: the last continuity counter per PID (0xFF unseen), the last PCR
    // and the last RTP sequence number (-1 none).
    uint8_t  last_cc[kTsPids];
    uint16_t pcr_pid = 0;
    bool     has_pcr = false;
    uint64_t last_pcr = 0;
    int32_t  last_rtp_sequence = -1;
};

// Off, the data threads count nothing (benchmarks compare the two).
extern std::atomic<bool> g_input_health_on;

// The channel's record, created on first use and kept for the life of the process.
InputHealth& HealthOf(int32_t channel_index);
// The record the channel's input counts into: its own feed record when it runs on behalf of
// another channel, else the channel's.
InputHealth& ChannelHealth(const ChannelRecord& channel, int32_t channel_index);
// The record if it was ever created, else null.
InputHealth* FindHealth(int32_t channel_index);
// The highest channel index with a record, plus one.
int32_t HealthCount();

// The data thread's first step: counters cleared, running set. Last step: running cleared.
void StartHealth(InputHealth& health);
void StopHealth(InputHealth& health);

// Continuity counters and PCRs of whole 188-byte packets (a partial packet at the end and a
// packet without its sync byte are skipped).
void CountTsPackets(InputHealth& health, const uint8_t* data, std::size_t length);
// The sequence number of an RTP header: gaps counted; the offset of its payload, or -1 when
// the datagram is no RTP packet.
int CountRtpHeader(InputHealth& health, const uint8_t* data, std::size_t length);
// One received datagram or slot: counted, with its packets (after its RTP header when rtp)
// unless it holds no transport stream (packets false). Logs "signal back" when the channel
// was without signal.
void CountDatagram(InputHealth& health, const uint8_t* data, std::size_t length, bool rtp, uint64_t now_ms,
                   bool packets = true);

// A recorder's write of bytes, done or failed.
void CountRecorderWrite(InputHealth& health, bool written, std::size_t bytes);

// Bits per second over the whole seconds before now_ms, at most ten, counted from the first
// whole second after the input's first datagram (0 until one such second has passed): a
// window the input was not heard in yet does not dilute the rate.
uint64_t InputBitrate(const InputHealth& health, uint64_t now_ms);
// True while datagrams came within kNoSignalMs.
bool SignalUp(const InputHealth& health, uint64_t now_ms);
// Logs "no signal" once for every running channel silent for kNoSignalMs; the channel
// reader calls it every second, whether data comes or not.
void CheckInputSilence(uint64_t now_ms);
