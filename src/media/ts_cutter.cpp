#include "media/ts_cutter.h"

#include "media/ts_timing.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t     kPtsWrap          = int64_t{1} << 33;
constexpr double      kClockJumpSeconds = 60.0;        // a longer span is a jump of the source's clock
constexpr std::size_t kSegmentBytesMax  = 64u << 20;   // no key frame for this long: start again
constexpr int         kScanPacketsMax   = 8;           // a picture's type is known within them
constexpr int64_t     kPictureStepMax   = 90000;       // 90 kHz: a longer step between pictures is a jump

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

void TsSegmentCutter::Step(int64_t pts)
{
    if (last_pts_ >= 0) {
        // Signed: pictures sent before they are shown step back. A longer step either way is a
        // jump of the source's clock (a file change, a restart) and adds nothing.
        int64_t step = (pts - last_pts_ + kPtsWrap) % kPtsWrap;
        if (step > kPtsWrap / 2) step -= kPtsWrap;
        if (step <= kPictureStepMax && step >= -kPictureStepMax) span_ticks_ += step;
    }
    last_pts_ = pts;
}

double TsSegmentCutter::SegmentSeconds(bool at_picture) const
{
    if (at_picture && span_known_ && scan_pts_ >= 0) return static_cast<double>(span_ticks_) / 90000.0;
    if (start_pcr_ < 0 || last_pcr_ < 0) return -1;
    const double seconds = static_cast<double>((last_pcr_ - start_pcr_ + kPtsWrap) % kPtsWrap) / 90000.0;
    return seconds <= kClockJumpSeconds ? seconds : -1;
}

bool TsSegmentCutter::LimitReached(double seconds) const
{
    if (!limit_ || seconds < 0) return false;
    const double limit = limit_();
    return limit > 0 && seconds >= limit - kLimitLeadSeconds;
}

// Ends the segment at byte `at` of segment_ (a picture's PES, or the PAT before it), which
// lasted `seconds`, and starts the next one there.
void TsSegmentCutter::CutAt(std::size_t at, bool fresh_tables, double seconds, bool key)
{
    std::string rest = segment_.substr(at);
    if (!fresh_tables) rest.insert(0, pat_copy_ + pmt_copy_);
    if (started_) {
        Segment done;
        done.data.assign(segment_, 0, at);
        done.duration = seconds > 0 && seconds <= kClockJumpSeconds ? seconds : kMinSegmentSeconds;
        done.discontinuity = discontinuity_;
        discontinuity_ = false;
        output_(std::move(done));
    }
    segment_ = std::move(rest);
    started_ = true;
    span_ticks_ = 0;
    span_known_ = scan_pts_ >= 0;
    start_pcr_ = last_pcr_;
    last_pat_at_ = 0;                                       // the segment starts with one
    pmt_after_pat_ = true;
    previous_pes_at_ = -1;
    forced_start_ = !key;
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
        // Without video no picture comes to cut at: the PCR that reaches the limit does.
        if (video_pid_ < 0 && started_ && at > 0 && pid != 0 && pid != pmt_pid_ && LimitReached(SegmentSeconds(false))) {
            CutAt(at, false, SegmentSeconds(false), false);
            return;
        }
    }

    if (pid == 0 && unit_start) {
        ReadPat(packet);
        pat_copy_.assign(reinterpret_cast<const char*>(packet), kTsPacketSize);
        last_pat_at_ = static_cast<int64_t>(at);
        last_pat_offset_ = offset;
        pmt_after_pat_ = false;
        // Without a video stream every PAT is a place to cut.
        if (video_pid_ < 0 && !pmt_copy_.empty()) {
            const double seconds = SegmentSeconds(false);
            if (!started_ || (at > 0 && seconds >= kMinSegmentSeconds)) CutAt(at, true, seconds);
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
            if (scan_pts_ >= 0) Step(scan_pts_);
            if (header_end > 0 && start + header_end < kTsPacketSize)
                verdict = ScanPicture(packet + start + header_end, kTsPacketSize - start - header_end);
        }
        if (random_access) verdict = 1;
        scan_fresh_ = fresh;
        scan_pat_offset_ = last_pat_offset_;
        scan_packet_offset_ = offset;
    } else if (scan_at_ >= 0 && has_payload) {
        verdict = ScanPicture(packet + start, kTsPacketSize - start);
        if (verdict < 0 && ++scan_packets_ >= kScanPacketsMax) verdict = 0;
    }
    if (verdict >= 0 && scan_at_ >= 0) Picture(verdict);
}

// The scanned picture is known to be a key picture (verdict 1) or not (0): a place to start
// from, to cut at, or to cut at because the segment would grow past its limit.
void TsSegmentCutter::Picture(int verdict)
{
    const int64_t cut = scan_at_;
    const bool fresh = scan_fresh_;
    const bool key = verdict == 1;
    scan_at_ = -1;
    if (key && fresh && first_start_ < 0) first_start_ = scan_pat_offset_;
    if (key && fresh && scan_packet_offset_ < starts_before_) last_start_ = scan_pat_offset_;
    if (key && first_key_.offset < 0 && (fresh || !pmt_copy_.empty())) {
        first_key_.offset = fresh ? scan_pat_offset_ : scan_packet_offset_;
        if (!fresh) first_key_.tables = pat_copy_ + pmt_copy_;
    }
    if (!fresh && pmt_copy_.empty()) return;                // no tables to start a segment with yet
    if (!started_) {
        if (key) CutAt(static_cast<std::size_t>(cut), fresh, -1);
        return;
    }
    if (cut <= 0) return;                                   // never into an empty segment
    // Not before the segment spans its minimum by a clock (a stream without one is not cut).
    const double seconds = SegmentSeconds(true);
    if (key && (seconds >= kMinSegmentSeconds || (forced_start_ && seconds > 0))) {
        CutAt(static_cast<std::size_t>(cut), fresh, seconds);
        return;
    }
    if (LimitReached(seconds)) CutAt(static_cast<std::size_t>(cut), fresh, seconds, false);
}

int64_t FindKeyFrameStart(const uint8_t* data, std::size_t length)
{
    // Fed a run at a time, so that the search ends soon after the start it finds.
    constexpr std::size_t kRun = 64 * 1024;
    TsSegmentCutter cutter([](TsSegmentCutter::Segment&&) {});
    for (std::size_t at = 0; at < length && cutter.first_start() < 0; at += kRun)
        cutter.Feed(data + at, std::min(kRun, length - at));
    return cutter.first_start();
}

int64_t FindLastKeyFrameStart(const uint8_t* data, std::size_t length, int64_t before)
{
    TsSegmentCutter cutter([](TsSegmentCutter::Segment&&) {});
    cutter.KeepStartsBefore(before);
    cutter.Feed(data, length);
    return cutter.last_start();
}
