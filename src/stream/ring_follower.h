#pragma once
// A reader that follows a live channel's ring for as long as it runs: joins at a PAT, hands
// on slot after slot, and joins again after it was overrun (at the next PAT) or after the
// pull source reconnected (at the first slot of the new connection). The HTTP viewers of pull
// channels, the multicast outputs and the HLS segmenters follow their rings with it.

#include "channels/channel_table.h"
#include "ingest/real_buffer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RingFollower {
    bool        byte_stream = true;     // slots of a pull source (else packet-aligned)
    int         thread_number = 0;
    std::string log_prefix;             // starts the ring's join lines
    // Above 0: a reconnection is logged as "System Warning : CH[n] HTTP RECONNECTION" (RTSP
    // for an RTSP source).
    int         warn_channel = 0;
    std::string closed_line;            // logged when the ring's writer ends
    // Once the writer has ended: false ends the follower; true joins the channel's next ring
    // after a pause of a second.
    bool        follow_next_ring = false;

    std::function<bool()> stopped;
    // Before each join: false ends the follower (default: not stopped).
    std::function<bool()> ready;
    // Where a join that does not follow a reconnection searches from (-1 or unset: the join
    // point).
    std::function<int32_t()> join_from;
    // A join that failed (not kStopped): true to try again, false to end.
    std::function<bool(RingReader::Join)> refused;
    // The joined ring and its bytes from the join PAT on; false ends.
    std::function<bool(const RingReader&, const std::vector<uint8_t>&)> joined;
    // Each slot; false ends.
    std::function<bool(const RingReader&, const uint8_t*, int)> slot;
    // Before a join after an overrun or a reconnection.
    std::function<void()> rejoining;
};

// Follows channel's ring until the follower ends (see RingFollower).
void FollowRing(ChannelRecord& channel, const RingFollower& follower);
