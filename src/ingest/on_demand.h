#pragma once
// Pull sources marked ondemand="1": the source is connected only while someone reads the
// channel's ring (every live output holds a RingReader while it serves, and each counts in
// the channel's `demand`), and let go "pull_idle_seconds" after the last reader has gone. A
// channel that records stays connected all the time: its recorders want the stream whether
// anyone watches or not. UDP, RTP and DVB inputs ignore the mark.

#include "channels/channel_table.h"

#include <cstdint>
#include <functional>

// True for a channel marked on demand whose first source is an HTTP, RTSP or RTMP pull and that
// has no backup sources.
bool PullsOnDemand(const ChannelRecord& channel);

// For a reader of an on-demand pull that finds no input: the reader's own existence makes the
// pull connect, so it waits for the input to come, until the tick deadline_ms at most, and
// less when stopped() holds or the ring's writer ends. True when input came.
bool AwaitDemandedInput(const ChannelRecord& channel, const RealBuffer& ring, const std::function<bool()>& stopped,
                        uint64_t deadline_ms);

// The pull's side: asked before each connection attempt and while connected.
class DemandGate {
public:
    DemandGate(ChannelRecord& channel, int32_t channel_index);
    // Returns at once while the channel is wanted: a reader exists or left less than the idle
    // time ago (always for a channel that is not pulled on demand or that records). Otherwise
    // logs that the source is idle (once it had connected), waits for the first reader and
    // logs that it connects. False when the pull stops first.
    bool AwaitDemand();
    // False once nobody has read the ring for the idle time: the caller lets the source go.
    bool Wanted();

private:
    ChannelRecord& channel_;
    int            number_;
    bool           gated_;
    bool           on_ = false;            // connecting or connected since the last wait
    uint64_t       last_wanted_ms_ = 0;
};
