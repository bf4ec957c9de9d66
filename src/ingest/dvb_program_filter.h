#pragma once
// One program of a DVB multiplex as its viewers and recorders get it: from the first PAT on,
// rewritten to list that program alone, then its PMT, then only the PIDs of its streams and
// its PCR. The streams come from the table parser (SourceRecord); a reader that starts before
// the parser has read the PMT takes them up as soon as they are published.

#include "channels/channel_table.h"

#include <cstdint>
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
