#include "stream/hls_segmenter.h"

#include "channels/channel_table.h"
#include "channels/source_table.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/threads.h"
#include "ingest/real_buffer.h"
#include "media/ts_splicer.h"
#include "media/ts_timing.h"
#include "stream/directory_stream.h"
#include "stream/dvb_program.h"
#include "stream/ring_follower.h"
#include "stream/worker_registry.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace {

constexpr uint64_t kBeatMs = 1000;

int ThreadNumber()
{
    const ThreadRecord* record = CurrentThreadRecord();
    return record != nullptr ? static_cast<int>(record->thread_id) : 0;
}

std::atomic<HlsBeat> g_hls_beat{nullptr};

class Segmenter {
public:
    explicit Segmenter(int channel_number) : number_(channel_number) { last_request_ms.store(GetTickMs()); }
    ~Segmenter() { Join(); }
    Segmenter(const Segmenter&) = delete;
    Segmenter& operator=(const Segmenter&) = delete;

    bool Start()
    {
        thread_ = StartThread(Routine, this, "HlsSegmenter");
        return thread_ != nullptr;
    }
    void Join()
    {
        if (thread_ != nullptr) StopThread(thread_);
        thread_ = nullptr;
    }

    std::atomic<uint64_t>   last_request_ms{0};
    std::mutex              lock;                 // guards the window and ended
    std::condition_variable changed;
    HlsSegmentWindow        window;
    bool                    ended = false;

private:
    static int32_t Routine(void* self)
    {
        static_cast<Segmenter*>(self)->Run();
        EndThread();
    }
    void Run();
    void Cut(ChannelTable& table, ChannelRecord& channel);
    void CutRing(ChannelRecord& channel, bool byte_stream);
    void CutDvbProgram(ChannelTable& table, ChannelRecord& channel);
    void Publish(TsSegmentCutter::Segment&& segment);
    TsSegmentCutter NewCutter();
    bool Stopped();
    void Beat();

    int           number_;
    ThreadRecord* thread_ = nullptr;
    std::shared_ptr<ChannelTable> table_;
    bool          table_gone_ = false;
    uint64_t      next_beat_ms_ = 0;
    // Numbers start from the clock so that a restarted segmenter never reuses the name of a
    // segment a cache may still hold.
    int64_t       next_sequence_ = static_cast<int64_t>(std::time(nullptr));
};

using SegmenterRegistry = WorkerRegistry<int, std::shared_ptr<Segmenter>>;
SegmenterRegistry& Registry()
{
    static auto* registry = new SegmenterRegistry;   // never destroyed: segmenters may outlive main's statics
    return *registry;
}

bool Segmenter::Stopped()
{
    if (g_http_stop_state.load() != 0 || ProcessStopRaised() || table_gone_) return true;
    if (TickAgeMs(GetTickMs(), last_request_ms.load()) > kHlsIdleStopMs) return true;
    Beat();
    return false;
}

void Segmenter::Beat()
{
    const uint64_t now = GetTickMs();
    if (now < next_beat_ms_) return;
    next_beat_ms_ = now + kBeatMs;
    table_gone_ = CurrentChannels() != table_;               // a reload: the channel may be another now
    const HlsBeat beat = g_hls_beat.load();
    if (beat != nullptr) beat(number_, false);
}

void Segmenter::Publish(TsSegmentCutter::Segment&& segment)
{
    {
        std::lock_guard<std::mutex> held(lock);
        window.Add(std::move(segment), next_sequence_++, std::time(nullptr));
    }
    changed.notify_all();
}

TsSegmentCutter Segmenter::NewCutter()
{
    return TsSegmentCutter([this](TsSegmentCutter::Segment&& segment) { Publish(std::move(segment)); },
                           [this] {
                               std::lock_guard<std::mutex> held(lock);
                               return window.SegmentLimit();
                           });
}

void Segmenter::CutRing(ChannelRecord& channel, bool byte_stream)
{
    const int thread_number = ThreadNumber();
    TsSegmentCutter cutter = NewCutter();
    RingFollower follower;
    follower.byte_stream   = byte_stream;
    follower.thread_number = thread_number;
    follower.log_prefix    = "Thread[" + std::to_string(thread_number) + "]: HLS segmenter : CH no.[" + std::to_string(number_) + "] ";
    follower.closed_line   = follower.log_prefix + "Channel input closed\n";
    follower.stopped       = [this] { return Stopped(); };
    follower.refused       = [](RingReader::Join) {
        SleepUnlessStopping(1000);                            // no input yet: the next look in a second
        return true;
    };
    follower.joined = [&cutter](const RingReader&, const std::vector<uint8_t>& first) {
        cutter.Feed(first.data(), first.size());
        return true;
    };
    follower.slot = [&cutter](const RingReader&, const uint8_t* slot, int length) {
        // The channel changed source here: a new segment, marked as a discontinuity.
        if (holds_source_switch_mark(slot, static_cast<std::size_t>(length))) cutter.Restart();
        cutter.Feed(slot, static_cast<std::size_t>(length));
        return true;
    };
    follower.rejoining = [&cutter] { cutter.Restart(); };
    FollowRing(channel, follower);
}

// One program of a DVB multiplex, taken from the ring of the channel that receives it.
void Segmenter::CutDvbProgram(ChannelTable& table, ChannelRecord& channel)
{
    TsSegmentCutter cutter = NewCutter();
    DvbProgramReader reader;
    reader.thread_number    = ThreadNumber();
    reader.follow_next_ring = false;
    reader.stopped = [this] { return Stopped(); };
    reader.joined  = [&cutter](const DvbProgramFilter&) { cutter.Restart(); };
    reader.packet  = [&cutter](uint8_t* packet, DvbProgramFilter::Verdict, bool) {
        cutter.Feed(packet, kTsPacketSize);
        return true;
    };
    FollowDvbProgram(table, channel, reader);
}

void Segmenter::Cut(ChannelTable& table, ChannelRecord& channel)
{
    switch (ChannelTraits(channel).layout) {
    case RingLayout::kPackets:
    case RingLayout::kRtpSlots: CutRing(channel, false); break;
    case RingLayout::kByteStream: CutRing(channel, true); break;
    case RingLayout::kDvbProgram: CutDvbProgram(table, channel); break;
    case RingLayout::kMp4Folder:
    case RingLayout::kTsFolder: {
        TsSegmentCutter cutter = NewCutter();
        DirectoryViewer viewer;
        viewer.thread_name    = "HLS segmenter";
        viewer.thread_number  = ThreadNumber();
        viewer.channel_number = number_;
        viewer.stopped        = [this] { return Stopped(); };
        viewer.send           = [&cutter](const uint8_t* data, int length) {
            cutter.Feed(data, static_cast<std::size_t>(length));
            return true;
        };
        StreamTsDirectory(table, channel, viewer);
        break;
    }
    default: break;                                  // not fed to HLS: refused before a segmenter starts
    }
}

void Segmenter::Run()
{
    table_ = CurrentChannels();
    if (number_ >= 1 && number_ <= table_->Count()) {
        ChannelRecord& channel = *table_->channels[static_cast<std::size_t>(number_ - 1)];
        LogSystemMessage("HLS segmenter: CH no.[%d] starts\n", number_);
        if (Feeds(channel, kOutputHls)) Cut(*table_, channel);
        LogSystemMessage("HLS segmenter: CH no.[%d] ends\n", number_);
    }
    {
        SegmenterRegistry& registry = Registry();
        std::lock_guard<std::mutex> held(registry.lock);
        auto found = registry.running.find(number_);
        if (found != registry.running.end() && found->second.get() == this) {
            registry.ended.push_back(std::move(found->second));
            registry.running.erase(found);
        }
    }
    {
        std::lock_guard<std::mutex> held(lock);
        ended = true;
    }
    changed.notify_all();
    table_.reset();
    const HlsBeat beat = g_hls_beat.load();
    if (beat != nullptr) beat(number_, true);
}

std::shared_ptr<Segmenter> Find(int channel_number)
{
    SegmenterRegistry& registry = Registry();
    std::lock_guard<std::mutex> held(registry.lock);
    auto found = registry.running.find(channel_number);
    return found == registry.running.end() ? nullptr : found->second;
}

}  // namespace

void HlsSegmentWindow::Add(TsSegmentCutter::Segment&& cut, int64_t sequence, std::time_t made)
{
    HlsSegment segment;
    segment.sequence = sequence;
    segment.duration = cut.duration;
    segment.discontinuity = cut.discontinuity;
    segment.made = made;
    segment.data = std::make_shared<const std::string>(std::move(cut.data));
    if (target_duration_ == 0) {
        // Each segment rounded up stays within the target, the first one included.
        const int first = static_cast<int>(std::ceil(segment.duration - 0.001));
        target_duration_ = std::clamp(first, kHlsTargetFloor, kHlsTargetCeiling);
    }
    seconds_ += segment.duration;
    segments_.push_back(std::move(segment));
    // A live playlist never holds less than three target durations once it has them.
    while (segments_.size() > static_cast<std::size_t>(kHlsWindowSegments) &&
           (seconds_ - segments_.front().duration >= 3.0 * target_duration_ ||
            segments_.size() > static_cast<std::size_t>(kHlsWindowSegmentsMax))) {
        if (segments_.front().discontinuity) ++discontinuity_sequence_;
        seconds_ -= segments_.front().duration;
        segments_.pop_front();
    }
}

bool HlsSegmentWindow::CopyTo(HlsWindow& window) const
{
    window = HlsWindow();
    if (segments_.empty()) return false;
    window.segments.assign(segments_.begin(), segments_.end());
    window.media_sequence = segments_.front().sequence;
    window.discontinuity_sequence = discontinuity_sequence_;
    window.target_duration = target_duration_;
    return true;
}

void SetHlsBeat(HlsBeat beat) { g_hls_beat.store(beat); }

// The running segmenter of the channel held off its idle stop, or a new one started; the
// caller holds the registry's lock.
bool TouchOrStart(SegmenterRegistry& registry, int channel_number)
{
    std::shared_ptr<Segmenter>& segmenter = registry.running[channel_number];
    if (segmenter != nullptr) {
        segmenter->last_request_ms.store(GetTickMs());
        return true;
    }
    segmenter = std::make_shared<Segmenter>(channel_number);
    if (!segmenter->Start()) {
        registry.running.erase(channel_number);
        LogSystemMessage("HLS segmenter: CH no.[%d] its thread did not start\n", channel_number);
        return false;
    }
    return true;
}

bool TouchHlsChannel(int channel_number)
{
    {
        const std::shared_ptr<ChannelTable> table = CurrentChannels();
        if (channel_number < 1 || channel_number > table->Count()) return false;
        ChannelRecord& channel = *table->channels[static_cast<std::size_t>(channel_number - 1)];
        if (!Feeds(channel, kOutputHls)) {
            LogRefusedOutput(channel, kOutputHls, "HLS segmenter", channel_number);
            return false;
        }
    }
    if (g_http_stop_state.load() != 0) return false;
    SegmenterRegistry& registry = Registry();
    return registry.Register([&] { return TouchOrStart(registry, channel_number); });
}

bool HlsWindowOf(int channel_number, int wait_ms, HlsWindow& window)
{
    window = HlsWindow();
    const std::shared_ptr<Segmenter> segmenter = Find(channel_number);
    if (segmenter == nullptr) return false;
    std::unique_lock<std::mutex> held(segmenter->lock);
    const uint64_t until = GetTickMs() + static_cast<uint64_t>(wait_ms > 0 ? wait_ms : 0);
    // Woken by each new segment and by the segmenter's end; the slices see a server stop.
    while (segmenter->window.Empty() && !segmenter->ended && g_http_stop_state.load() == 0 && GetTickMs() < until)
        segmenter->changed.wait_for(held, std::chrono::milliseconds(100));
    return segmenter->window.CopyTo(window);
}

bool HlsRunningWindowOf(int channel_number, HlsWindow& window)
{
    window = HlsWindow();
    if (g_http_stop_state.load() != 0) return false;
    {
        const std::shared_ptr<ChannelTable> table = CurrentChannels();
        if (channel_number < 1 || channel_number > table->Count()) return false;
        if (!Feeds(*table->channels[static_cast<std::size_t>(channel_number - 1)], kOutputHls)) return false;
    }
    const std::shared_ptr<Segmenter> segmenter = Find(channel_number);
    if (segmenter == nullptr) return false;
    std::lock_guard<std::mutex> held(segmenter->lock);
    if (segmenter->ended || !segmenter->window.CopyTo(window)) return false;
    segmenter->last_request_ms.store(GetTickMs());
    return true;
}

bool HlsSegmentOf(int channel_number, int64_t sequence, HlsSegment& segment)
{
    const std::shared_ptr<Segmenter> segmenter = Find(channel_number);
    if (segmenter == nullptr) return false;
    std::lock_guard<std::mutex> held(segmenter->lock);
    for (const HlsSegment& each : segmenter->window.Segments()) {
        if (each.sequence != sequence) continue;
        segment = each;
        return true;
    }
    return false;
}

void JoinIdleHlsSegmenters(uint32_t wait_ms) { Registry().JoinIdle(wait_ms); }

int HlsSegmenterCount() { return Registry().Count(); }
