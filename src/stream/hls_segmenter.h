#pragma once
// HLS for live channels: each watched channel's transport stream cut into segments of whole
// packets, each starting with the PAT, the PMT and a key frame, kept in memory as a sliding
// window. One segmenter per channel, whatever the number of viewers: started by the first
// playlist request, ended a minute after the last one, at a shutdown or when the channel's
// ring goes away.

#include "media/ts_cutter.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The window of segments a playlist lists.
constexpr int    kHlsWindowSegments    = 6;
constexpr int    kHlsTargetFloor       = 6;      // seconds; the target never goes below it
constexpr uint64_t kHlsIdleStopMs      = 60000;  // no playlist request for this long: stop cutting

// One segment in a channel's window.
struct HlsSegment {
    int64_t                            sequence = 0;
    double                             duration = 0;
    bool                               discontinuity = false;
    std::time_t                        made = 0;
    std::shared_ptr<const std::string> data;
};

// A copy of a channel's window for one playlist.
struct HlsWindow {
    std::vector<HlsSegment> segments;     // oldest first
    int64_t                 media_sequence = 0;
    int64_t                 discontinuity_sequence = 0;
    int                     target_duration = kHlsTargetFloor;
};

// The segmenter calls this about once a second and once as it ends (final true), on its own
// thread, for the channel it cuts (channel numbers from 1).
using HlsBeat = void (*)(int channel_number, bool final);
void SetHlsBeat(HlsBeat beat);

// A playlist request for the channel: starts its segmenter when none runs and holds it off its
// idle stop. False when the channel cannot be cut (no such channel, an input without a
// transport stream) or its thread did not start.
bool TouchHlsChannel(int channel_number);
// The channel's window, waiting up to wait_ms for a first segment (less when the server stops
// or the segmenter ends). False with no segment.
bool HlsWindowOf(int channel_number, int wait_ms, HlsWindow& window);
// A segment of the channel's window by sequence number; false when it is not (or no longer) there.
bool HlsSegmentOf(int channel_number, int64_t sequence, HlsSegment& segment);
// Joins the segmenters that have ended; with wait_ms, waits up to that long for the running
// ones too (they end within a beat of the HTTP service's stop).
void JoinIdleHlsSegmenters(uint32_t wait_ms = 0);
// Segmenters running now (tests).
int HlsSegmenterCount();
