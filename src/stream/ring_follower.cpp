#include "stream/ring_follower.h"

#include "core/log.h"
#include "core/platform/platform.h"

namespace {

enum class Pass { kEnd, kRejoin, kRetired };

bool Ready(const RingFollower& follower)
{
    return follower.ready ? follower.ready() : !follower.stopped();
}

// Waits out a pull source's reconnection: kRejoin at the first slot of the new connection
// (in from), kRetired when the ring ended meanwhile, kEnd when the follower stopped.
Pass AfterReconnection(ChannelRecord& channel, const RingFollower& follower, const RingReader& ring, int32_t& from)
{
    if (follower.warn_channel > 0)
        LogSystemMessage(channel.FirstSource()->kind == kSourceHttp ? "System Warning : CH[%d] HTTP RECONNECTION\n"
                                                                     : "System Warning : CH[%d] RTSP RECONNECTION\n",
                         follower.warn_channel);
    while (channel.http_reconnect.load() != 0 || channel.rtsp_reconnect.load() != 0) {
        if (follower.stopped()) return Pass::kEnd;
        if (ring.Retired()) return Pass::kRetired;
        SleepUnlessStopping(100);
    }
    if (follower.stopped()) return Pass::kEnd;
    from = channel.reconnect_index.load();
    return Pass::kRejoin;
}

// One joined pass over the ring, slot after slot.
Pass FollowJoined(ChannelRecord& channel, const RingFollower& follower, RingReader& ring, int32_t& from)
{
    uint8_t slot[kRingSlotSize];
    while (!follower.stopped()) {
        int length = 0;
        switch (ring.NextSlot(slot, length)) {
        case RingReader::Next::kWaiting: ring.WaitForWriter(100); break;
        case RingReader::Next::kSlot:
            if (!follower.slot(ring, slot, length)) return Pass::kEnd;
            break;
        case RingReader::Next::kLostSync: return Pass::kRejoin;
        case RingReader::Next::kReconnected: return AfterReconnection(channel, follower, ring, from);
        case RingReader::Next::kRetired: return Pass::kRetired;
        }
    }
    return Pass::kEnd;
}

}  // namespace

void FollowRing(ChannelRecord& channel, const RingFollower& follower)
{
    int32_t from = -1;
    while (Ready(follower)) {
        RingReader ring(channel, follower.byte_stream, follower.thread_number, follower.log_prefix);
        if (from < 0 && follower.join_from) from = follower.join_from();
        std::vector<uint8_t> first;
        const RingReader::Join join = ring.JoinAtPat(follower.stopped, first, from);
        from = -1;
        if (join == RingReader::Join::kStopped) return;
        if (join != RingReader::Join::kJoined) {
            if (!follower.refused(join)) return;
            continue;
        }
        if (!follower.joined(ring, first)) return;
        const Pass end = FollowJoined(channel, follower, ring, from);
        if (end == Pass::kEnd) return;
        if (end == Pass::kRetired) {
            LogSystemMessage("%s", follower.closed_line.c_str());
            if (!follower.follow_next_ring) return;
            if (!follower.stopped()) SleepUnlessStopping(1000);
            continue;
        }
        if (follower.rejoining) follower.rejoining();
    }
}
