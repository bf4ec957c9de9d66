#pragma once
// How the outputs read one program of a DVB multiplex from the multiplex's ring (the program
// filter itself is ingest's: the recorders use it too).

#include "channels/channel_table.h"
#include "ingest/dvb_program_filter.h"
#include "ingest/real_buffer.h"
#include "media/ts_timing.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
    // Whether the viewer starts at the program's first key picture after the join (the PAT and
    // PMT in front of it), joining a little further back so that one has likely come already.
    bool from_key_picture = false;
    // FollowDvbProgram: after each join, before the first packet (optional).
    std::function<void(const DvbProgramFilter&)> joined;
    // FollowDvbProgram: once the ring's writer ended, whether to join the channel's next ring
    // (after closed_line is logged) or end.
    bool        follow_next_ring = true;
    std::string closed_line;
};

// How much further back a reader that starts at a key picture joins the multiplex's ring (a
// quarter of it): JoinBackward's lead.
constexpr int kDvbKeyPictureLead = kRingSlots / 4;

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
