#pragma once
// Joining the transport stream of another source onto what viewers already receive. After a
// change of source nothing passes until the new source's PAT and the PMT it names: the first
// packets after the change are that PAT and PMT. Each PID then starts at a unit start (a PES
// or a section, never mid-way) or at a packet without payload (a PCR of its own), behind an
// adaptation-only packet that carries the
// discontinuity indicator and the counter before the PID's first one, so that a receiver's
// continuity check passes and its clock follows the new source. The version of the PAT and PMT
// moves on by one at each change (their CRC made again), so that a receiver that reads tables
// only when their version changes reads the new source's.

#include "media/ts_packet.h"

#include <bitset>
#include <cstdint>
#include <functional>

// True for the marker the splicer puts in front of the new source's PAT: an adaptation-only
// packet of PID 0 with the discontinuity indicator.
bool is_source_switch_mark(const uint8_t* packet);
// True when packet-aligned data holds such a marker.
bool holds_source_switch_mark(const uint8_t* data, std::size_t length);

class TsSourceSplicer {
public:
    using PacketFn = std::function<void(const uint8_t* packet)>;
    // What comes next is another source (marked: receivers have had packets of an earlier one).
    void Switch(bool marked);
    // One packet of the current source; what passes goes to out.
    void Packet(const uint8_t* packet, const PacketFn& out);
    // True while the new source's PAT and PMT are awaited.
    bool Waiting() const { return state_ != State::kPassing; }

private:
    enum class State { kAwaitPat, kAwaitPmt, kPassing };
    void Start(const uint8_t* packet, uint16_t pid, const PacketFn& out);
    // The packet, or a copy whose table section has the version moved on, when it is a PAT or
    // PMT that starts and ends in it (a section over several packets passes as it is).
    const uint8_t* Versioned(const uint8_t* packet, uint16_t pid);

    State                   state_ = State::kAwaitPat;
    bool                    marked_ = false;
    uint16_t                pmt_pid_ = 0;
    uint8_t                 pat_[kTsPacketSize] = {};
    uint8_t                 versioned_[kTsPacketSize] = {};
    int                     version_step_ = 0;         // changes so far, modulo 32
    std::bitset<8192>       started_;
};
