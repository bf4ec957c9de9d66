#pragma once
// HLS for live channels: each watched channel's transport stream cut into segments of whole
// packets, each starting with the PAT, the PMT and a key frame, kept in memory as a sliding
// window. One segmenter per channel, whatever the number of viewers: started by the first
// playlist request, ended a minute after the last one, at a shutdown or when the channel's
// ring goes away.

#include "media/ts_cutter.h"

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The window of segments a playlist lists: at least this many, more while they hold less
// than three target durations.
constexpr int    kHlsWindowSegments    = 6;
constexpr int    kHlsWindowSegmentsMax = 100;    // however short the segments
constexpr int    kHlsTargetFloor       = 6;      // seconds; the target never goes below it
constexpr int    kHlsTargetCeiling     = 10;     // nor above this, however long the first GOPs
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

// A channel's window of segments with its target duration, which the first segment fixes for
// the playlist's life: the first GOP, cut at a key frame after kMinSegmentSeconds or at
// kHlsTargetCeiling, rounded up and at least kHlsTargetFloor. No later segment may be longer
// (the cutter's limit). The oldest segment leaves once more than kHlsWindowSegments stay that
// hold three target durations without it. Its owner's lock guards it.
class HlsSegmentWindow {
public:
    void Add(TsSegmentCutter::Segment&& cut, int64_t sequence, std::time_t made);
    // The longest a segment may be: the target once fixed, kHlsTargetCeiling until then.
    double SegmentLimit() const { return target_duration_ > 0 ? target_duration_ : kHlsTargetCeiling; }
    bool Empty() const { return segments_.empty(); }
    const std::deque<HlsSegment>& Segments() const { return segments_; }
    // A copy for a playlist; false while it holds no segment.
    bool CopyTo(HlsWindow& window) const;

private:
    std::deque<HlsSegment> segments_;
    double                 seconds_ = 0;              // of the segments held
    int64_t                discontinuity_sequence_ = 0;
    int                    target_duration_ = 0;      // 0 until the first segment
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
// For a playlist request that must not wait: the window of the channel's running segmenter,
// which the request holds off its idle stop as TouchHlsChannel does. False when none runs, it
// has no segment yet, or the channel no longer feeds HLS; it starts and joins nothing.
bool HlsRunningWindowOf(int channel_number, HlsWindow& window);
// A segment of the channel's window by sequence number; false when it is not (or no longer) there.
bool HlsSegmentOf(int channel_number, int64_t sequence, HlsSegment& segment);
// Joins the segmenters that have ended; with wait_ms, waits up to that long for the running
// ones too (they end within a beat of the HTTP service's stop).
void JoinIdleHlsSegmenters(uint32_t wait_ms = 0);
// Segmenters running now (tests).
int HlsSegmenterCount();
