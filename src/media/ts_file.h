#pragma once
// Transport-stream files read by the streamers: where the packets of a file lie, the PCR and
// PAT searches over file bytes, a file read as a ring, the seek that finds the moment a player
// asks for, and the bitrate of a stretch of file.

#include "media/ts_timing.h"

#include <cstdint>
#include <functional>
#include <vector>

// Where the transport-stream packets of a file lie: every 188 bytes, or, in the time-shift file
// of an RTP channel, after the 12-byte header of each 1328-byte slot. Offsets given to the
// functions below are counted from a record start.
struct TsLayout {
    int32_t record = kTsPacketSize;     // bytes per record: a packet, or an RTP slot
    int32_t skip   = 0;                 // header bytes before the packets of a record

    // The bytes one send carries from a record start: seven packets, or one slot.
    int32_t ChunkBytes() const { return record == kTsPacketSize ? kTsBlockSize : record; }
    // The first packet start at or after offset.
    int64_t PacketAtOrAfter(int64_t offset) const;
    // The end of the chunk that starts with the packet at offset (seven packets on, or the end
    // of its slot).
    int64_t ChunkEnd(int64_t packet) const;
    // Offset rounded down to a record start.
    int64_t RecordStart(int64_t offset) const { return offset - offset % record; }
};
constexpr TsLayout kPlainTsLayout{kTsPacketSize, 0};
constexpr TsLayout kRtpSlotLayout{kRtpSlotSize, kRtpHeaderSize};

// Searches over bytes that start at a record start. A packet counts only with its sync byte.
// The first packet at or after `from` with a PCR of at least min_ticks: its offset, with the
// PCR in ticks; -1 when there is none (ticks untouched).
int FindPcrPacket(const uint8_t* data, int size, TsLayout layout, int from, int64_t min_ticks, int64_t& ticks);
// The first PAT packet at or after `from`; -1 when there is none.
int FindPatPacket(const uint8_t* data, int size, TsLayout layout, int from);
constexpr int kNoSyncByte = -2;
// The last PAT packet starting before `before`, looked for backwards: its offset; -1 when
// there is none; kNoSyncByte when a packet without its sync byte comes first.
int FindLastPatPacket(const uint8_t* data, int size, TsLayout layout, int before);

// A file read as a ring of `length` bytes: logical byte L is file byte (start + L) mod length,
// so that logical 0 is the oldest byte of a time-shift file (a stored file starts at 0). Start
// and length are record starts of the layout.
class TsRing {
public:
    // base: where the ring's bytes begin in the file (a stretch of a longer file).
    TsRing(int fd, TsLayout layout, int64_t start, int64_t length, int64_t base = 0);
    int64_t  length() const { return length_; }
    TsLayout layout() const { return layout_; }
    int64_t  Physical(int64_t logical) const;
    // Up to size bytes from a logical position, never past the logical end: the count, or -1.
    int Read(int64_t logical, uint8_t* out, int size) const;

private:
    int      fd_;
    TsLayout layout_;
    int64_t  start_;
    int64_t  length_;
    int64_t  base_;
};

using StopTest = std::function<bool()>;

// The first packet with a PCR of at least min_ticks at or after the logical position `from`,
// looked for over at most `window` bytes: true with its position and PCR.
bool RingPcrFrom(const TsRing& ring, int64_t from, int64_t window, int64_t min_ticks, int64_t& at, int64_t& ticks,
                 const StopTest& stopped);

// Where a seek lands: the first PCR of at least the wanted time, then the first PAT from there.
struct SeekPoint {
    bool    pcr_found = false;
    int64_t pcr_at    = 0;
    int64_t pcr_ticks = 0;
    bool    pat_found = false;
    int64_t pat_at    = 0;             // the ring's length when no PAT follows
};
// From `from` on: the first PCR of at least wanted_ticks, then the first PAT from there.
SeekPoint SeekPointFrom(const TsRing& ring, int64_t from, int64_t wanted_ticks, const StopTest& stopped);
// Probes at hint first, then halves the range where the PCR reaches wanted_ticks, and reads
// on from the last position known to lie before it. Assumes PCRs grow through the ring.
SeekPoint FindSeekPoint(const TsRing& ring, int64_t wanted_ticks, int64_t hint, const StopTest& stopped);

// A stretch of a recording over which the PCR runs on: from begin (the file's start, or the
// first PCR after a restart of the clock) to where the next one begins; its first and last
// PCRs as found.
struct PcrStretch {
    int64_t begin = 0;
    int64_t first_at = 0;
    int64_t first_ticks = 0;
    int64_t last_at = 0;
    int64_t last_ticks = 0;
};
struct PcrStretches {
    std::vector<PcrStretch> stretches;   // empty: no PCR at all
    double bytes_per_second = 0;         // the recording's typical rate (0: unknown)
};
// Splits a ring (a whole recording) where its PCR starts again (a source restarted): the PCR
// goes back, or moves on far faster or slower than the bytes between allow. Looks at a few
// dozen points and narrows down between those that disagree; a jump forward of less than a
// second between two PCRs is not told from a late one.
PcrStretches FindPcrStretches(const TsRing& ring, const StopTest& stopped);

// The bitrate of a ring in kbit/s between its first PCR and one near its end; 0 when it
// cannot be told. first_ticks receives the first PCR (-1 without one).
int32_t MeasureRingKbps(const TsRing& ring, int64_t& first_ticks, const StopTest& stopped);
