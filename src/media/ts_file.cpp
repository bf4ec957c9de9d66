#include "media/ts_file.h"

#include <algorithm>
#include <unistd.h>
#include <vector>

int64_t TsLayout::PacketAtOrAfter(int64_t offset) const
{
    if (offset < 0) offset = 0;
    const int64_t base = offset - offset % record;
    const int64_t in = offset % record;
    if (in <= skip) return base + skip;
    const int64_t packet = skip + (in - skip + kTsPacketSize - 1) / kTsPacketSize * kTsPacketSize;
    if (packet + kTsPacketSize > record) return base + record + skip;
    return base + packet;
}

int64_t TsLayout::ChunkEnd(int64_t packet) const
{
    if (record == kTsPacketSize) return packet + kTsBlockSize;
    return RecordStart(packet) + record;
}

// The last packet start before offset, or -1.
static int64_t PacketBefore(TsLayout layout, int64_t offset)
{
    if (offset <= layout.skip) return -1;
    const int64_t last_byte = offset - 1;
    const int64_t base = last_byte - last_byte % layout.record;
    const int64_t in = last_byte % layout.record;
    const int64_t per_record = (layout.record - layout.skip) / kTsPacketSize;
    if (in < layout.skip) {
        if (base == 0) return -1;
        return base - layout.record + layout.skip + (per_record - 1) * kTsPacketSize;
    }
    const int64_t index = std::min<int64_t>((in - layout.skip) / kTsPacketSize, per_record - 1);
    return base + layout.skip + index * kTsPacketSize;
}

int FindPcrPacket(const uint8_t* data, int size, TsLayout layout, int from, int64_t min_ticks, int64_t& ticks)
{
    for (int64_t at = layout.PacketAtOrAfter(from); at + kTsPacketSize <= size; at = layout.PacketAtOrAfter(at + 1)) {
        int64_t pcr = 0;
        if (extract_pcr(data + at, pcr) && pcr >= min_ticks) {
            ticks = pcr;
            return static_cast<int>(at);
        }
    }
    return -1;
}

int FindPatPacket(const uint8_t* data, int size, TsLayout layout, int from)
{
    for (int64_t at = layout.PacketAtOrAfter(from); at + kTsPacketSize <= size; at = layout.PacketAtOrAfter(at + 1))
        if (data[at] == kTsSyncByte && is_pat(data + at)) return static_cast<int>(at);
    return -1;
}

int FindLastPatPacket(const uint8_t* data, int size, TsLayout layout, int before)
{
    const int64_t limit = std::min<int64_t>(before, static_cast<int64_t>(size) - kTsPacketSize + 1);
    for (int64_t at = PacketBefore(layout, limit); at >= 0; at = PacketBefore(layout, at)) {
        if (data[at] != kTsSyncByte) return kNoSyncByte;
        if (is_pat(data + at)) return static_cast<int>(at);
    }
    return -1;
}

TsRing::TsRing(int fd, TsLayout layout, int64_t start, int64_t length, int64_t base)
    : fd_(fd), layout_(layout), start_(length > 0 ? start % length : 0), length_(std::max<int64_t>(length, 0)), base_(base)
{
}

int64_t TsRing::Physical(int64_t logical) const { return length_ > 0 ? base_ + (start_ + logical) % length_ : base_; }

int TsRing::Read(int64_t logical, uint8_t* out, int size) const
{
    if (logical < 0 || logical >= length_ || size <= 0) return 0;
    const int64_t wanted = std::min<int64_t>(size, length_ - logical);
    const int64_t at = Physical(logical);
    const int64_t first = std::min<int64_t>(wanted, length_ - (at - base_));
    const ssize_t got = pread(fd_, out, static_cast<std::size_t>(first), at);
    if (got < 0) return -1;
    if (got < first || first == wanted) return static_cast<int>(got);
    const ssize_t rest = pread(fd_, out + first, static_cast<std::size_t>(wanted - first), base_);
    return static_cast<int>(first + std::max<ssize_t>(rest, 0));
}

namespace {

constexpr int64_t kScanBytes    = 64 * 1024;   // one read of a search
constexpr int64_t kProbeWindow  = 1 << 20;     // how far a probe looks for a PCR
constexpr int64_t kLinearSpan   = 1 << 20;     // below this the seek reads on instead of halving

using Finder = std::function<int(const uint8_t*, int, int)>;

// Runs find over the ring from `from` (at most window bytes on) one read at a time: the logical
// position it found, or -1.
int64_t ScanRing(const TsRing& ring, int64_t from, int64_t window, const Finder& find, const StopTest& stopped)
{
    const TsLayout layout = ring.layout();
    const int64_t block = kScanBytes - kScanBytes % layout.record;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(block));
    const int64_t end = std::min(ring.length(), from + window);
    for (int64_t at = layout.RecordStart(std::max<int64_t>(from, 0)); at < end;) {
        if (stopped()) return -1;
        const int got = ring.Read(at, bytes.data(), static_cast<int>(block));
        if (got <= 0) return -1;
        const int found = find(bytes.data(), got, static_cast<int>(std::max<int64_t>(from - at, 0)));
        if (found >= 0) return at + found;
        const int64_t step = layout.RecordStart(got);
        if (step == 0) return -1;
        at += step;
    }
    return -1;
}

}  // namespace

bool RingPcrFrom(const TsRing& ring, int64_t from, int64_t window, int64_t min_ticks, int64_t& at, int64_t& ticks,
                 const StopTest& stopped)
{
    int64_t found_ticks = 0;
    const TsLayout layout = ring.layout();
    const int64_t found = ScanRing(
        ring, from, window,
        [&](const uint8_t* data, int size, int start) { return FindPcrPacket(data, size, layout, start, min_ticks, found_ticks); },
        stopped);
    if (found < 0) return false;
    at = found;
    ticks = found_ticks;
    return true;
}

SeekPoint FindSeekPoint(const TsRing& ring, int64_t wanted_ticks, int64_t hint, const StopTest& stopped)
{
    const TsLayout layout = ring.layout();
    // Invariant: the PCR reaches wanted_ticks after lo, and not after hi.
    int64_t lo = 0;
    int64_t hi = ring.length();
    int64_t probe = layout.RecordStart(std::clamp<int64_t>(hint, 0, hi));
    while (hi - lo > kLinearSpan && !stopped()) {
        if (probe <= lo || probe >= hi) probe = layout.RecordStart(lo + (hi - lo) / 2);
        int64_t at = 0;
        int64_t ticks = 0;
        if (RingPcrFrom(ring, probe, kProbeWindow, 0, at, ticks, stopped) && ticks < wanted_ticks) lo = probe;
        else hi = probe;
        probe = -1;
    }
    return SeekPointFrom(ring, lo, wanted_ticks, stopped);
}

SeekPoint SeekPointFrom(const TsRing& ring, int64_t from, int64_t wanted_ticks, const StopTest& stopped)
{
    SeekPoint point;
    const TsLayout layout = ring.layout();
    point.pat_at = ring.length();
    from = std::clamp<int64_t>(from, 0, ring.length());
    point.pcr_found = RingPcrFrom(ring, from, ring.length() - from, wanted_ticks, point.pcr_at, point.pcr_ticks, stopped);
    if (!point.pcr_found) return point;
    const int64_t pat = ScanRing(
        ring, point.pcr_at, ring.length() - point.pcr_at,
        [&](const uint8_t* data, int size, int start) { return FindPatPacket(data, size, layout, start); }, stopped);
    if (pat >= 0) {
        point.pat_found = true;
        point.pat_at = pat;
    }
    return point;
}

int32_t MeasureRingKbps(const TsRing& ring, int64_t& first_ticks, const StopTest& stopped)
{
    first_ticks = -1;
    int64_t first_at = 0;
    if (!RingPcrFrom(ring, 0, 4 * kProbeWindow, 0, first_at, first_ticks, stopped)) return 0;
    const int64_t tail = std::max(first_at + 1, ring.length() - kProbeWindow);
    int64_t last_at = 0;
    int64_t last_ticks = 0;
    if (!RingPcrFrom(ring, tail, ring.length() - tail, 0, last_at, last_ticks, stopped) || last_ticks <= first_ticks) return 0;
    const double seconds = static_cast<double>(last_ticks - first_ticks) / static_cast<double>(kPcrTicksPerSecond);
    const double kbps = static_cast<double>(last_at - first_at) * 8.0 / seconds / 1000.0;
    return kbps >= 1.0 && kbps < 1.0e7 ? static_cast<int32_t>(kbps) : 0;
}

namespace {

constexpr int     kStretchProbes    = 64;          // points looked at across a recording
constexpr int64_t kStretchMinStep   = 1 << 20;
constexpr int64_t kStretchLinear    = 256 << 10;   // below this the PCRs are read one by one
constexpr double  kProbeSlackSec    = 10;          // leeway between points far apart
constexpr double  kNeighbourSlackSec = 1;          // and between two PCRs in a row

struct PcrSample {
    int64_t at = -1;
    int64_t ticks = 0;
};

PcrSample PcrFrom(const TsRing& ring, int64_t from, int64_t limit, const StopTest& stopped)
{
    PcrSample sample;
    int64_t at = 0, ticks = 0;
    if (from < limit && RingPcrFrom(ring, from, std::min(limit - from, kProbeWindow), 0, at, ticks, stopped) && at < limit) {
        sample.at = at;
        sample.ticks = ticks;
    }
    return sample;
}

// Whether the clock runs on from a to b: forward, neither four times faster nor four times
// slower than the bytes between them take at the recording's rate (with slack seconds spare).
bool RunsOn(const PcrSample& a, const PcrSample& b, double bytes_per_second, double slack)
{
    if (b.ticks <= a.ticks) return false;
    const double seconds = static_cast<double>(b.ticks - a.ticks) / static_cast<double>(kPcrTicksPerSecond);
    if (bytes_per_second <= 0) return seconds < slack;
    const double by_bytes = static_cast<double>(b.at - a.at) / bytes_per_second;
    return seconds <= 4 * by_bytes + slack && seconds >= by_bytes / 4 - slack;
}

// The typical rate: the median of the rates between neighbouring points whose clock went on.
double MedianRate(const std::vector<PcrSample>& samples)
{
    std::vector<double> rates;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i].ticks <= samples[i - 1].ticks) continue;
        const double seconds = static_cast<double>(samples[i].ticks - samples[i - 1].ticks) / static_cast<double>(kPcrTicksPerSecond);
        rates.push_back(static_cast<double>(samples[i].at - samples[i - 1].at) / seconds);
    }
    if (rates.empty()) return 0;
    std::nth_element(rates.begin(), rates.begin() + static_cast<std::ptrdiff_t>(rates.size() / 2), rates.end());
    return rates[rates.size() / 2];
}

// The first PCR after a that does not run on from the one before it, up to b (-1 at: none).
PcrSample FirstBreak(const TsRing& ring, PcrSample a, PcrSample b, double rate, const StopTest& stopped)
{
    while (b.at - a.at > kStretchLinear && !stopped()) {
        const PcrSample middle = PcrFrom(ring, a.at + (b.at - a.at) / 2, b.at, stopped);
        if (middle.at < 0) break;
        if (RunsOn(a, middle, rate, kProbeSlackSec)) a = middle;
        else b = middle;
    }
    for (PcrSample previous = a; previous.at < b.at && !stopped();) {
        const PcrSample next = PcrFrom(ring, previous.at + kTsPacketSize, b.at + kTsPacketSize, stopped);
        if (next.at < 0) break;
        if (!RunsOn(previous, next, rate, kNeighbourSlackSec)) return next;
        previous = next;
    }
    return PcrSample{};
}

}  // namespace

PcrStretches FindPcrStretches(const TsRing& ring, const StopTest& stopped)
{
    PcrStretches found;
    const int64_t length = ring.length();
    const int64_t step = std::max(length / kStretchProbes, kStretchMinStep);
    std::vector<PcrSample> samples;
    for (int64_t from = 0; from < length; from += step) {
        const PcrSample sample = PcrFrom(ring, from, length, stopped);
        if (sample.at >= 0 && (samples.empty() || sample.at > samples.back().at)) samples.push_back(sample);
    }
    const PcrSample tail = PcrFrom(ring, std::max<int64_t>(0, length - kStretchLinear), length, stopped);
    if (tail.at >= 0 && (samples.empty() || tail.at > samples.back().at)) samples.push_back(tail);
    if (samples.empty()) return found;
    found.bytes_per_second = MedianRate(samples);
    PcrStretch stretch{0, samples[0].at, samples[0].ticks, samples[0].at, samples[0].ticks};
    PcrSample last = samples[0];
    for (std::size_t i = 1; i < samples.size() && !stopped(); ++i) {
        PcrSample next = samples[i];
        while (!RunsOn(last, next, found.bytes_per_second, kProbeSlackSec)) {
            const PcrSample restart = FirstBreak(ring, last, next, found.bytes_per_second, stopped);
            if (restart.at < 0) break;                     // no single break found: taken as running on
            found.stretches.push_back(stretch);
            stretch = PcrStretch{restart.at, restart.at, restart.ticks, restart.at, restart.ticks};
            last = restart;
        }
        stretch.last_at = next.at;
        stretch.last_ticks = next.ticks;
        last = next;
    }
    found.stretches.push_back(stretch);
    return found;
}
