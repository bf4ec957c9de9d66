#pragma once
// One program of a DVB multiplex as its viewers and recorders get it: from the first PAT on,
// rewritten to list that program alone, then its PMT, then only the PIDs of its streams and
// its PCR. The streams come from the table parser (SourceRecord); a reader that starts before
// the parser has read the PMT takes them up as soon as they are published. Viewers and
// recordings start at the program's first key picture (DvbKeyGate).

#include "channels/channel_table.h"
#include "media/ts_cutter.h"

#include <cstdint>
#include <string>
#include <vector>

class DvbProgramFilter {
public:
    explicit DvbProgramFilter(const SourceRecord& source);
    enum class Verdict { kDrop, kPat, kFirstPmt, kPass };
    // Looks at one packet (a PAT is rewritten in place): whether it goes out, and which of the
    // program's tables it was.
    Verdict Pass(uint8_t* packet);
    // Takes up the streams once the parser has published them (call once per slot).
    void Refresh();

    uint16_t program() const { return program_; }
    uint16_t pmt_pid() const { return pmt_pid_; }
    int32_t stream_count() const { return stream_count_; }
    const std::vector<uint16_t>& pids() const { return pids_; }

private:
    void TakeStreams();
    const SourceRecord&   source_;
    uint16_t              program_;
    uint16_t              pmt_pid_;
    uint16_t              pcr_pid_ = 0;
    int32_t               stream_count_ = 0;
    std::vector<uint16_t> pids_;
    bool                  pat_passed_ = false;
    bool                  pmt_passed_ = false;
};

// Holds a program's packets back until its first key picture, then lets out the PAT and PMT
// before it and the packets from it on. A program without video opens at once; one whose key
// picture does not come within kGiveUpMs opens at its next PAT.
class DvbKeyGate {
public:
    static constexpr uint64_t kGiveUpMs = 5000;
    explicit DvbKeyGate(uint16_t pmt_pid);
    bool open() const { return open_; }
    // Takes one packet of the program while the gate is shut; true once it opens, with
    // released() holding the packets to send first.
    bool Hold(const uint8_t* packet, DvbProgramFilter::Verdict verdict);
    const std::string& released() const { return released_; }
    // The verdict of a released packet, as the filter gave it when it first passed.
    DvbProgramFilter::Verdict VerdictOf(const uint8_t* packet);

private:
    // Bytes kept for the key picture to start in; older bytes are dropped by halves.
    static constexpr std::size_t kMaxHeld = 4u << 20;
    TsSegmentCutter cutter_;
    uint16_t        pmt_pid_;
    std::string     held_;
    int64_t         base_ = 0;            // the offset of held_'s first byte in the bytes fed
    uint64_t        started_ms_;
    bool            open_ = false;
    bool            giving_up_ = false;
    bool            pmt_released_ = false;
    std::string     released_;
};
