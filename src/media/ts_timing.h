#pragma once
// Transport-stream arithmetic shared by every live reader, file streamer and recorder:
// the packet header, the PAT test, PCR and PTS, PCR pacing and the looping playlist position.
// Everything works in place on caller buffers; nothing here keeps state.

#include <cstddef>
#include <cstdint>

constexpr int     kTsPacketSize  = 188;
constexpr uint8_t kTsSyncByte    = 0x47;
constexpr int64_t kPcrTicksPerSecond = 27000000;
// Seven packets: one UDP datagram of a live source, one slot of a UDP channel's ring and one
// block of every transport-stream output.
constexpr int     kTsBlockSize   = 7 * kTsPacketSize;
constexpr int     kRtpHeaderSize = 12;
// An RTP datagram of a live source: the header and one block.
constexpr int     kRtpSlotSize   = kRtpHeaderSize + kTsBlockSize;
// The blocks (or PCR pauses) a paced stream sends at full speed after its start.
constexpr int     kBurstBlocks   = 500;

struct TsPacketHeader {
    uint8_t  sync_byte;
    uint8_t  transport_error_indicator;
    uint8_t  payload_unit_start_indicator;
    uint8_t  transport_priority;
    uint16_t pid;
    uint8_t  transport_scrambling_control;
    uint8_t  adaptation_field_flag;
    uint8_t  payload_flag;
    uint8_t  continuity_counter;
};

// Decodes the first 4 bytes (no validation) and returns the PID.
uint16_t parse_ts_header(const uint8_t* packet, TsPacketHeader& header);
// True when the packet's PID is 0 (the join point of a stream).
bool is_pat(const uint8_t* packet);
// Offset of the payload in a 188-byte packet (after any adaptation field); 188 or more when
// the adaptation field fills or overruns the packet.
int payload_offset(const uint8_t* packet);
// The packet's PCR in 27 MHz ticks; false (ticks untouched) when it carries none.
bool extract_pcr(const uint8_t* packet, int64_t& ticks);
// PTS (90 kHz) of the video PES header at the payload start, 0 when it has none or the
// header does not fit in the packet. The caller has checked 00 00 01 E0 at the payload.
int64_t extract_video_pts(const uint8_t* packet, bool adaptation_field_flag);
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

// Where a looping playlist stands at now_ms (the same monotonic tick as epoch_ms): opens
// that file and gives its index and a packet-aligned byte offset. Returns the descriptor,
// or -1 when there is no position (no duration, no entry, unreadable file).
int find_playlist_position(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                           int& index, int64_t& offset, uint64_t now_ms);
// The same at the current tick.
int find_playlist_position(uint64_t epoch_ms, int64_t total_duration, const PlaylistEntry* entries, int count,
                           int& index, int64_t& offset);
