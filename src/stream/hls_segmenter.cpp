#include "stream/hls_segmenter.h"

#include "channels/channel_table.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/threads.h"
#include "ingest/real_buffer.h"
#include "media/ts_timing.h"
#include "stream/directory_stream.h"
#include "stream/dvb_program.h"
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

constexpr int64_t     kPtsWrap          = int64_t{1} << 33;
constexpr double      kClockJumpSeconds = 60.0;        // a longer span is a jump of the source's clock
constexpr std::size_t kSegmentBytesMax  = 64u << 20;   // no key frame for this long: start again
constexpr int         kScanPacketsMax   = 8;           // a picture's type is known within them
constexpr uint64_t    kBeatMs           = 1000;

int ThreadNumber()
{
    const ThreadRecord* record = CurrentThreadRecord();
    return record != nullptr ? static_cast<int>(record->thread_id) : 0;
}

int PidOf(const uint8_t* packet) { return ((packet[1] & 0x1F) << 8) | packet[2]; }

// 90 kHz PTS of a PES header at data (length bytes), -1 without one.
int64_t PesPts(const uint8_t* data, int length, int& header_end)
{
    header_end = -1;
    if (length < 9 || data[0] != 0 || data[1] != 0 || data[2] != 1) return -1;
    header_end = 9 + data[8];
    if ((data[7] & 0x80) == 0 || length < 14) return -1;
    const uint8_t* p = data + 9;
    return (static_cast<int64_t>(p[0] & 0x0E) << 29) | (static_cast<int64_t>(p[1]) << 22) |
           (static_cast<int64_t>(p[2] & 0xFE) << 14) | (static_cast<int64_t>(p[3]) << 7) | (p[4] >> 1);
}

// The section of a PSI packet that starts one (pointer field followed), and its length up to
// the CRC; null when the packet holds none.
const uint8_t* SectionOf(const uint8_t* packet, int& length)
{
    const int start = payload_offset(packet);
    if (start >= kTsPacketSize) return nullptr;
    const int at = start + 1 + packet[start];
    if (at + 8 > kTsPacketSize) return nullptr;
    const uint8_t* section = packet + at;
    const int section_length = ((section[1] & 0x0F) << 8) | section[2];
    length = std::min(3 + section_length - 4, kTsPacketSize - at);
    return length >= 8 ? section : nullptr;
}

}  // namespace

void TsSegmentCutter::Feed(const uint8_t* data, std::size_t length)
{
    std::size_t at = 0;
    if (!carry_.empty()) {
        const std::size_t need = std::min(static_cast<std::size_t>(kTsPacketSize) - carry_.size(), length);
        carry_.append(reinterpret_cast<const char*>(data), need);
        at = need;
        if (carry_.size() < static_cast<std::size_t>(kTsPacketSize)) {
            fed_ += static_cast<int64_t>(length);
            return;
        }
        Packet(reinterpret_cast<const uint8_t*>(carry_.data()), fed_ - static_cast<int64_t>(carry_.size() - need));
        carry_.clear();
    }
    while (at < length) {
        if (data[at] != kTsSyncByte) {                       // out of step: on to the next sync byte
            const void* next = std::memchr(data + at, kTsSyncByte, length - at);
            if (next == nullptr) break;
            at = static_cast<std::size_t>(static_cast<const uint8_t*>(next) - data);
            continue;
        }
        if (length - at < static_cast<std::size_t>(kTsPacketSize)) {
            carry_.assign(reinterpret_cast<const char*>(data + at), length - at);
            break;
        }
        Packet(data + at, fed_ + static_cast<int64_t>(at));
        at += kTsPacketSize;
    }
    fed_ += static_cast<int64_t>(length);
}

void TsSegmentCutter::Restart()
{
    carry_.clear();
    scan_at_ = -1;
    discontinuity_ = true;
    if (!started_) {
        segment_.clear();
        last_pat_at_ = previous_pes_at_ = -1;
    }
}

void TsSegmentCutter::ReadPat(const uint8_t* packet)
{
    int length = 0;
    const uint8_t* section = SectionOf(packet, length);
    if (section == nullptr || section[0] != 0x00) return;
    for (int at = 8; at + 4 <= length; at += 4) {
        const int program = (section[at] << 8) | section[at + 1];
        if (program == 0) continue;                          // the network PID
        pmt_pid_ = ((section[at + 2] & 0x1F) << 8) | section[at + 3];
        return;
    }
}

void TsSegmentCutter::ReadPmt(const uint8_t* packet)
{
    int length = 0;
    const uint8_t* section = SectionOf(packet, length);
    if (section == nullptr || section[0] != 0x02 || length < 12) return;
    pcr_pid_ = ((section[8] & 0x1F) << 8) | section[9];
    int at = 12 + (((section[10] & 0x0F) << 8) | section[11]);
    video_pid_ = -1;
    while (at + 5 <= length) {
        const int type = section[at];
        const int pid = ((section[at + 1] & 0x1F) << 8) | section[at + 2];
        if (type == 0x1B || type == 0x24 || type == 0x01 || type == 0x02) {
            video_pid_ = pid;
            video_type_ = type;
            return;
        }
        at += 5 + (((section[at + 3] & 0x0F) << 8) | section[at + 4]);
    }
}

int TsSegmentCutter::ScanPicture(const uint8_t* data, int length)
{
    for (int i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        const bool after_start_code = (scan_window_ & 0x00FFFFFF) == 0x000001;
        scan_window_ = (scan_window_ << 8) | byte;
        if (!after_start_code) continue;
        if (video_type_ == 0x1B) {
            const int nal = byte & 0x1F;
            if (nal == 5) return 1;
            if (nal == 1) return 0;
        } else if (video_type_ == 0x24) {
            const int nal = (byte >> 1) & 0x3F;
            if (nal >= 16 && nal <= 21) return 1;
            if (nal <= 9) return 0;
        } else {
            if (byte == 0xB3) scan_sequence_ = true;
            if (byte == 0x00) return scan_sequence_ ? 1 : 0;   // the picture itself
        }
    }
    return -1;
}

// Ends the segment at byte `at` of segment_ (a key frame's PES, or the PAT before it) and
// starts the next one there; clock is the key frame's PTS (or the PCR without video).
void TsSegmentCutter::CutAt(std::size_t at, bool fresh_tables, int64_t clock)
{
    std::string rest = segment_.substr(at);
    if (!fresh_tables) rest.insert(0, pat_copy_ + pmt_copy_);
    if (started_) {
        Segment done;
        done.data.assign(segment_, 0, at);
        double seconds = start_pts_ >= 0 && clock >= 0 ? static_cast<double>((clock - start_pts_ + kPtsWrap) % kPtsWrap) / 90000.0 : -1;
        if (seconds < 0 || seconds > kClockJumpSeconds) {
            const bool by_pcr = start_pcr_ >= 0 && last_pcr_ >= 0;
            seconds = by_pcr ? static_cast<double>((last_pcr_ - start_pcr_ + kPtsWrap) % kPtsWrap) / 90000.0 : -1;
            if (seconds <= 0 || seconds > kClockJumpSeconds) seconds = kHlsMinSegmentSeconds;
        }
        done.duration = seconds;
        done.discontinuity = discontinuity_;
        discontinuity_ = false;
        output_(std::move(done));
    }
    segment_ = std::move(rest);
    started_ = true;
    start_pts_ = clock;
    start_pcr_ = last_pcr_;
    last_pat_at_ = 0;                                       // the segment starts with one
    pmt_after_pat_ = true;
    previous_pes_at_ = -1;
}

void TsSegmentCutter::Packet(const uint8_t* packet, int64_t offset)
{
    const int pid = PidOf(packet);
    const bool unit_start = (packet[1] & 0x40) != 0;
    const std::size_t at = segment_.size();
    segment_.append(reinterpret_cast<const char*>(packet), kTsPacketSize);
    if (segment_.size() > kSegmentBytesMax) {               // no key frame comes: wait for the next
        segment_.clear();
        started_ = false;
        discontinuity_ = true;
        last_pat_at_ = previous_pes_at_ = scan_at_ = -1;
        return;
    }
    int64_t pcr = 0;
    if (pid == pcr_pid_ && extract_pcr(packet, pcr)) {
        last_pcr_ = pcr / 300;
        if (started_ && start_pcr_ < 0) start_pcr_ = last_pcr_;   // the segment's clock from its first PCR
    }

    if (pid == 0 && unit_start) {
        ReadPat(packet);
        pat_copy_.assign(reinterpret_cast<const char*>(packet), kTsPacketSize);
        last_pat_at_ = static_cast<int64_t>(at);
        last_pat_offset_ = offset;
        pmt_after_pat_ = false;
        // Without a video stream every PAT is a place to cut.
        if (video_pid_ < 0 && !pmt_copy_.empty()) {
            const bool due = !started_ || (at > 0 && start_pcr_ >= 0 && last_pcr_ >= 0 &&
                                           static_cast<double>((last_pcr_ - start_pcr_ + kPtsWrap) % kPtsWrap) / 90000.0 >=
                                               kHlsMinSegmentSeconds);
            if (due) CutAt(at, true, last_pcr_);
        }
        return;
    }
    if (pid == pmt_pid_ && unit_start) {
        ReadPmt(packet);
        pmt_copy_.assign(reinterpret_cast<const char*>(packet), kTsPacketSize);
        if (last_pat_at_ >= 0) pmt_after_pat_ = true;
        return;
    }
    if (pid != video_pid_ || video_pid_ < 0) return;

    const int start = payload_offset(packet);
    const bool has_payload = (packet[3] & 0x10) != 0 && start < kTsPacketSize;
    int verdict = -1;
    if (unit_start) {
        // The tables count as sent for this picture when they came after the previous one.
        const bool fresh = last_pat_at_ >= 0 && pmt_after_pat_ && last_pat_at_ > previous_pes_at_;
        previous_pes_at_ = static_cast<int64_t>(at);
        scan_at_ = fresh ? last_pat_at_ : static_cast<int64_t>(at);
        scan_packets_ = 0;
        scan_window_ = 0xFFFFFFFF;
        scan_sequence_ = false;
        scan_pts_ = -1;
        const bool random_access = (packet[3] & 0x20) != 0 && packet[4] > 0 && (packet[5] & 0x40) != 0;
        if (has_payload) {
            int header_end = -1;
            scan_pts_ = PesPts(packet + start, kTsPacketSize - start, header_end);
            if (header_end > 0 && start + header_end < kTsPacketSize)
                verdict = ScanPicture(packet + start + header_end, kTsPacketSize - start - header_end);
        }
        if (random_access) verdict = 1;
        scan_fresh_ = fresh;
        scan_pat_offset_ = last_pat_offset_;
    } else if (scan_at_ >= 0 && has_payload) {
        verdict = ScanPicture(packet + start, kTsPacketSize - start);
        if (verdict < 0 && ++scan_packets_ >= kScanPacketsMax) verdict = 0;
    }
    if (verdict < 0 || scan_at_ < 0) return;
    const int64_t cut = scan_at_;
    const bool fresh = scan_fresh_;
    scan_at_ = -1;
    if (verdict == 0) return;
    if (fresh && first_start_ < 0) first_start_ = scan_pat_offset_;
    if (!fresh && pmt_copy_.empty()) return;                // no tables to start a segment with yet
    if (started_) {
        // Not before the segment spans its minimum by a clock (a stream without one is not cut)
        // and never into an empty segment.
        double seconds = -1;
        if (start_pts_ >= 0 && scan_pts_ >= 0) seconds = static_cast<double>((scan_pts_ - start_pts_ + kPtsWrap) % kPtsWrap) / 90000.0;
        else if (start_pcr_ >= 0 && last_pcr_ >= 0) seconds = static_cast<double>((last_pcr_ - start_pcr_ + kPtsWrap) % kPtsWrap) / 90000.0;
        if (seconds < kHlsMinSegmentSeconds || cut <= 0) return;
    }
    CutAt(static_cast<std::size_t>(cut), fresh, scan_pts_);
}

int64_t FindKeyFrameStart(const uint8_t* data, std::size_t length)
{
    TsSegmentCutter cutter([](TsSegmentCutter::Segment&&) {});
    cutter.Feed(data, length);
    return cutter.first_start();
}

// ---------------------------------------------------------------------------------------------
// The segmenters

namespace {

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
    std::deque<HlsSegment>  window;
    int64_t                 discontinuity_sequence = 0;
    int                     target_duration = kHlsTargetFloor;
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

bool CanCut(const ChannelRecord& channel)
{
    const SourceRecord* source = channel.FirstSource();
    if (source == nullptr) return false;
    switch (source->kind) {
    case kSourceRtpGroup:
    case kSourceRtpPort:
    case kSourceUdpGroup:
    case kSourceUdpPort:
    case kSourceHttp:
    case kSourceRtsp:
    case kSourceRtspTs:
    case kSourceDvbGroup:
    case kSourceDvbPort:
    case kSourceFile: return true;
    default: return false;
    }
}

bool Segmenter::Stopped()
{
    if (g_http_stop_state.load() != 0 || ProcessStopRaised() || table_gone_) return true;
    if (GetTickMs() - last_request_ms.load() > kHlsIdleStopMs) return true;
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
    HlsSegment made;
    made.sequence = next_sequence_++;
    made.duration = segment.duration;
    made.discontinuity = segment.discontinuity;
    made.made = std::time(nullptr);
    made.data = std::make_shared<const std::string>(std::move(segment.data));
    {
        std::lock_guard<std::mutex> held(lock);
        window.push_back(std::move(made));
        while (window.size() > static_cast<std::size_t>(kHlsWindowSegments)) {
            if (window.front().discontinuity) ++discontinuity_sequence;
            window.pop_front();
        }
        // Each segment rounded up stays within the target.
        target_duration = std::max(target_duration, static_cast<int>(std::ceil(segment.duration)));
    }
    changed.notify_all();
}

void Segmenter::CutRing(ChannelRecord& channel, bool byte_stream)
{
    const int thread_number = ThreadNumber();
    const std::string prefix = "Thread[" + std::to_string(thread_number) + "]: HLS segmenter : CH no.[" + std::to_string(number_) + "] ";
    TsSegmentCutter cutter([this](TsSegmentCutter::Segment&& segment) { Publish(std::move(segment)); });
    RingReader ring(channel, byte_stream, thread_number, prefix);
    uint8_t slot[kRingSlotSize];
    int32_t from = -1;
    while (!Stopped()) {
        std::vector<uint8_t> first;
        const RingReader::Join join = ring.JoinAtPat([this] { return Stopped(); }, first, from);
        from = -1;
        if (join == RingReader::Join::kStopped) return;
        if (join != RingReader::Join::kJoined) {
            SleepUnlessStopping(1000);                        // no input yet: the next look in a second
            continue;
        }
        cutter.Feed(first.data(), first.size());
        for (bool rejoin = false; !rejoin && !Stopped();) {
            int length = 0;
            switch (ring.NextSlot(slot, length)) {
            case RingReader::Next::kWaiting: ring.WaitForWriter(100); break;
            case RingReader::Next::kSlot: cutter.Feed(slot, static_cast<std::size_t>(length)); break;
            case RingReader::Next::kLostSync:
                cutter.Restart();
                rejoin = true;
                break;
            case RingReader::Next::kReconnected:
                while ((channel.http_reconnect.load() != 0 || channel.rtsp_reconnect.load() != 0) && !ring.Retired()) {
                    if (Stopped()) return;
                    SleepUnlessStopping(100);
                }
                from = channel.reconnect_index.load();
                cutter.Restart();
                rejoin = true;
                break;
            case RingReader::Next::kRetired:
                LogSystemMessage("%sChannel input closed\n", prefix.c_str());
                return;
            }
        }
    }
}

// One program of a DVB multiplex, taken from the ring of the channel that receives it.
void Segmenter::CutDvbProgram(ChannelTable& table, ChannelRecord& channel)
{
    SourceRecord& source = *channel.FirstSource();
    ChannelRecord* ring_channel = &channel;
    if (source.dvb_sub != 0 && source.dvb_parent >= 0 && source.dvb_parent < table.Count())
        ring_channel = table.channels[static_cast<std::size_t>(source.dvb_parent)].get();
    TsSegmentCutter cutter([this](TsSegmentCutter::Segment&& segment) { Publish(std::move(segment)); });
    uint8_t slot[kRingSlotSize];
    while (!Stopped()) {
        // The table parser names the program once it has read the multiplex's tables.
        if (source.socket.load() == -1 || source.program_number.load() == 0) {
            SleepUnlessStopping(1000);
            continue;
        }
        DvbProgramFilter filter(source);
        RingReader ring(*ring_channel, false, ThreadNumber());
        const RingReader::Join join = ring.JoinBackward([this] { return Stopped(); });
        if (join == RingReader::Join::kStopped) return;
        if (join != RingReader::Join::kJoined) {
            SleepUnlessStopping(1000);
            continue;
        }
        cutter.Restart();
        while (!Stopped()) {
            filter.Refresh();
            int length = 0;
            const RingReader::Next next = ring.NextSlot(slot, length);
            if (next == RingReader::Next::kRetired) return;
            if (next != RingReader::Next::kSlot) {
                ring.WaitForWriter(100);
                continue;
            }
            for (int at = 0; at + kTsPacketSize <= length; at += kTsPacketSize)
                if (filter.Pass(slot + at) != DvbProgramFilter::Verdict::kDrop) cutter.Feed(slot + at, kTsPacketSize);
        }
    }
}

void Segmenter::Cut(ChannelTable& table, ChannelRecord& channel)
{
    switch (channel.FirstSource()->kind) {
    case kSourceHttp:
    case kSourceRtsp:
    case kSourceRtspTs: CutRing(channel, true); break;
    case kSourceDvbGroup:
    case kSourceDvbPort: CutDvbProgram(table, channel); break;
    case kSourceFile: {
        TsSegmentCutter cutter([this](TsSegmentCutter::Segment&& segment) { Publish(std::move(segment)); });
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
    default: CutRing(channel, false); break;
    }
}

void Segmenter::Run()
{
    table_ = CurrentChannels();
    if (number_ >= 1 && number_ <= table_->Count()) {
        ChannelRecord& channel = *table_->channels[static_cast<std::size_t>(number_ - 1)];
        LogSystemMessage("HLS segmenter: CH no.[%d] starts\n", number_);
        if (CanCut(channel)) Cut(*table_, channel);
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

void SetHlsBeat(HlsBeat beat) { g_hls_beat.store(beat); }

bool TouchHlsChannel(int channel_number)
{
    {
        const std::shared_ptr<ChannelTable> table = CurrentChannels();
        if (channel_number < 1 || channel_number > table->Count()) return false;
        if (!CanCut(*table->channels[static_cast<std::size_t>(channel_number - 1)])) return false;
    }
    if (g_http_stop_state.load() != 0) return false;
    SegmenterRegistry& registry = Registry();
    std::lock_guard<std::mutex> held(registry.lock);
    registry.JoinEnded();
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

bool HlsWindowOf(int channel_number, int wait_ms, HlsWindow& window)
{
    window = HlsWindow();
    const std::shared_ptr<Segmenter> segmenter = Find(channel_number);
    if (segmenter == nullptr) return false;
    std::unique_lock<std::mutex> held(segmenter->lock);
    const uint64_t until = GetTickMs() + static_cast<uint64_t>(wait_ms > 0 ? wait_ms : 0);
    // Woken by each new segment and by the segmenter's end; the slices see a server stop.
    while (segmenter->window.empty() && !segmenter->ended && g_http_stop_state.load() == 0 && GetTickMs() < until)
        segmenter->changed.wait_for(held, std::chrono::milliseconds(100));
    if (segmenter->window.empty()) return false;
    window.segments.assign(segmenter->window.begin(), segmenter->window.end());
    window.media_sequence = window.segments.front().sequence;
    window.discontinuity_sequence = segmenter->discontinuity_sequence;
    window.target_duration = segmenter->target_duration;
    return true;
}

bool HlsSegmentOf(int channel_number, int64_t sequence, HlsSegment& segment)
{
    const std::shared_ptr<Segmenter> segmenter = Find(channel_number);
    if (segmenter == nullptr) return false;
    std::lock_guard<std::mutex> held(segmenter->lock);
    for (const HlsSegment& each : segmenter->window) {
        if (each.sequence != sequence) continue;
        segment = each;
        return true;
    }
    return false;
}

void JoinIdleHlsSegmenters(uint32_t wait_ms) { Registry().JoinIdle(wait_ms); }

int HlsSegmenterCount() { return Registry().Count(); }
