#pragma once
// One program of a DVB multiplex as its viewers get it: from the first PAT on, rewritten to
// list that program alone, then its PMT, then only the PIDs of its streams and its PCR. The
// streams come from the table parser (SourceRecord); a viewer that starts before the parser
// has read the PMT takes them up as soon as they are published.

#include "channels/channel_table.h"
#include "ingest/real_buffer.h"
#include "media/ts_timing.h"

#include <cstdint>
#include <functional>
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

// The channel whose ring carries a DVB program's multiplex: the parent of a child program,
// else the channel itself.
ChannelRecord& DvbRingChannel(const ChannelTable& table, ChannelRecord& channel);

// The PCR pacing of a DVB program: a PCR difference counts once it is longer than a pacing
// step (0.2 s and 0.2 s per unit of the bitrate constant); near the ring's oldest slot the
// reader catches up without sleeping.
class DvbPcrPace {
public:
    // The sleep after this packet in milliseconds (0: none).
    int64_t Next(const uint8_t* packet, bool near_tail);

private:
    int64_t       reference_ = -1;
    PcrSleepCarry sleep_;
};

// How an output takes one program's packets from its multiplex's ring.
struct DvbProgramReader {
    int thread_number = 0;
    std::function<bool()> stopped;
    // Each packet of the program (a PAT rewritten), its verdict, and whether the reader is
    // near the ring's oldest slot; false ends the reader.
    std::function<bool(uint8_t* packet, DvbProgramFilter::Verdict verdict, bool near_tail)> packet;
    // The ring has nothing new (before the reader waits for its writer); false ends (optional).
    std::function<bool()> idle;
    // FollowDvbProgram: after each join, before the first packet (optional).
    std::function<void(const DvbProgramFilter&)> joined;
    // FollowDvbProgram: once the ring's writer ended, whether to join the channel's next ring
    // (after closed_line is logged) or end.
    bool        follow_next_ring = true;
    std::string closed_line;
};

enum class DvbRead { kEnded, kRetired };
// Reads the program from the joined ring on until the reader ends (kEnded) or the ring's
// writer ends (kRetired).
DvbRead ReadDvbProgram(RingReader& ring, const ChannelRecord& ring_channel, DvbProgramFilter& filter,
                       const DvbProgramReader& reader);
// For outputs that run as long as the channel: waits until the table parser has named the
// program, joins the multiplex's ring backward, reads; tries again a second after a failed
// join and joins the next ring after the writer ended, until the reader ends.
void FollowDvbProgram(const ChannelTable& table, ChannelRecord& channel, const DvbProgramReader& reader);

// An output that sends a DVB program in blocks of seven packets, paced by its PCR, for as long
// as the channel runs (FollowDvbProgram).
struct DvbBlockOutput {
    // The caller sets thread_number, stopped, closed_line, follow_next_ring and (optional)
    // joined; packet is set here.
    DvbProgramReader reader;
    // Sends one block of whole packets (1316 bytes); false ends the output.
    std::function<bool(const uint8_t*, int)> send;
    // Before each pacing sleep (optional): an output may wait here (a pause, a failed send).
    std::function<void()> before_sleep;
};

void ServeDvbProgramBlocks(const ChannelTable& table, ChannelRecord& channel, DvbBlockOutput& output);
