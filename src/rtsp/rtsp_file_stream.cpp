// The stored-file mode of an RTSP session, and the file reading, seeking and pacing it shares
// with the time-shift mode.

#include "rtsp/rtsp_file_stream.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "rtsp/rtsp_output.h"
#include "rtsp/rtsp_service.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

TsRing::TsRing(int fd, TsLayout layout, int64_t start, int64_t length)
    : fd_(fd), layout_(layout), start_(length > 0 ? start % length : 0), length_(std::max<int64_t>(length, 0))
{
}

int64_t TsRing::Physical(int64_t logical) const { return length_ > 0 ? (start_ + logical) % length_ : 0; }

int TsRing::Read(int64_t logical, uint8_t* out, int size) const
{
    if (logical < 0 || logical >= length_ || size <= 0) return 0;
    const int64_t wanted = std::min<int64_t>(size, length_ - logical);
    const int64_t at = Physical(logical);
    const int64_t first = std::min<int64_t>(wanted, length_ - at);
    const ssize_t got = pread(fd_, out, static_cast<std::size_t>(first), at);
    if (got < 0) return -1;
    if (got < first || first == wanted) return static_cast<int>(got);
    const ssize_t rest = pread(fd_, out + first, static_cast<std::size_t>(wanted - first), 0);
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
    SeekPoint point;
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
    point.pat_at = ring.length();
    point.pcr_found = RingPcrFrom(ring, lo, ring.length() - lo, wanted_ticks, point.pcr_at, point.pcr_ticks, stopped);
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

FilePacer::FilePacer(RtspConnection& conn, double first_pcr_time) : conn_(conn), first_pcr_time_(first_pcr_time) {}

void FilePacer::Seeked(double position_seconds)
{
    conn_.current_position.store(position_seconds);
    conn_.last_pcr_time.store(first_pcr_time_ + position_seconds);
    restart_ = true;
}

int64_t FilePacer::Next(const uint8_t* chunk, int size)
{
    int64_t ticks = 0;
    if (FindPcrPacket(chunk, size, kPlainTsLayout, 0, 0, ticks) < 0) return 0;
    // A PCR that went backwards (a new recording, a wrapped clock) starts the reference again.
    const bool paced = !restart_ && last_ticks_ >= 0 && ticks >= last_ticks_;
    const double delta = paced ? static_cast<double>(ticks - last_ticks_) / static_cast<double>(kPcrTicksPerSecond) : 0.0;
    restart_ = false;
    last_ticks_ = ticks;
    const double seconds = static_cast<double>(ticks) / static_cast<double>(kPcrTicksPerSecond);
    conn_.last_pcr_time.store(seconds);
    conn_.current_position.store(std::max(0.0, seconds - first_pcr_time_));
    conn_.last_pcr_value = static_cast<uint64_t>(ticks);
    return std::min(sleep_.NextMs(delta), kMaxPaceSleepMs);
}

bool RtspSessionRunning(const RtspConnection& conn)
{
    return conn.stop.load() == 0 && g_rtsp_stop_state.load() == 0 && !ProcessStopRaised();
}

bool WaitWhilePaused(RtspConnection& conn)
{
    // The semaphore may hold a signal from before the pause: the flag decides, not the wake-up.
    while (conn.paused.load() != 0 && RtspSessionRunning(conn)) conn.wake.WaitFor(500);
    return RtspSessionRunning(conn);
}

void PaceSleep(RtspConnection& conn, int64_t ms)
{
    if (ms > 0) conn.wake.WaitFor(static_cast<uint32_t>(std::min(ms, kMaxPaceSleepMs)));
}

namespace {

constexpr uint64_t kByeLingerMs = 5000;

void PutWord(uint8_t* out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// The end of an RTP stream over UDP: a sender report and a BYE in one RTCP packet to the
// client's RTCP port. A UDP player cannot tell the end from a loss otherwise; over TCP the
// closed connection says it.
void SendRtcpBye(const RtspConnection& conn, const RtpCounters& counters, uint32_t packets, uint32_t octets)
{
    if (conn.client_rtcp_port <= 0 || conn.client_rtcp_port > 65535) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(conn.client_rtcp_port));
    if (inet_pton(AF_INET, conn.client_ip, &to.sin_addr) != 1) return;
    uint8_t report[36] = {0x80, 200, 0, 6};             // SR without report blocks: 7 words
    const uint8_t ssrc[4] = {0x2A, 0x55, 0xA9, 0xE8};
    std::memcpy(report + 4, ssrc, 4);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    PutWord(report + 8, static_cast<uint32_t>(now.tv_sec + 2208988800LL));     // NTP seconds since 1900
    PutWord(report + 12, static_cast<uint32_t>(static_cast<uint64_t>(now.tv_nsec) * 4294967296ULL / 1000000000ULL));
    PutWord(report + 16, counters.timestamp - kRtpTimestampStep);
    PutWord(report + 20, packets);
    PutWord(report + 24, octets);
    report[28] = 0x81;                                  // BYE of one source
    report[29] = 203;
    report[31] = 1;
    std::memcpy(report + 32, ssrc, 4);
    const int fd = OpenUdpSocket(1, 0);
    if (fd < 0) return;
    (void)sendto(fd, report, sizeof report, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    CloseRtspUdpSocket(fd);
}

// A stored file from its start (or where a PLAY's range puts it) to its end.
class StoredFileStream {
public:
    StoredFileStream(RtspConnection& conn, int number, RtspOutput& out, int64_t file_size)
        : conn_(conn), number_(number), out_(out),
          ring_(conn.file, kPlainTsLayout, 0, file_size - file_size % kTsPacketSize), pacer_(conn, conn.first_pcr_time)
    {
    }
    void Run();

private:
    void Seek();

    RtspConnection& conn_;
    const int       number_;
    RtspOutput&     out_;
    TsRing          ring_;
    FilePacer       pacer_;
    int64_t         pos_ = 0;
    uint32_t        packets_ = 0;             // sent, for the closing sender report
    uint32_t        octets_ = 0;
};

void StoredFileStream::Seek()
{
    const double requested = conn_.requested_start.load();
    const double current = conn_.current_position.load();
    const int32_t bitrate = conn_.bitrate_kbps;
    LogSystemMessage("DataThread[%d]: Pos1=%lld \n", number_, static_cast<long long>(pos_));
    LogSystemMessage("Current Sec.=[%5.3f] Seek Sec.=[%5.3f] ddiff=[%5.3f]\n", current, requested, requested - current);
    LogSystemMessage("bitrate=[%d]\n", bitrate);
    const int64_t end = std::max<int64_t>(conn_.end_pos, 0);
    // In doubles first: a huge or negative start must not overflow the byte count.
    const double bytes = std::clamp(requested * 128.0 * bitrate, 0.0, static_cast<double>(end));
    int64_t target = static_cast<int64_t>(bytes);
    target -= target % kTsPacketSize;
    LogSystemMessage(conn_.transport.load() == kRtspRawTcp ? "DataThread[%d]: Seek_Pos=%lld\n" : "DataThread[%d]: Pos_Seek=%lld\n",
                     number_, static_cast<long long>(target));
    LogSystemMessage("DataThread[%d]: Pos2=%lld\n", number_, static_cast<long long>(target));
    pos_ = target;
    if (requested > 0) {
        pacer_.Seeked(requested);
        LogSystemMessage("DataThread[%d]: Pos_Seek=%lld Current Seconds=[%5.3f]\n", number_, static_cast<long long>(target),
                         requested);
    } else {
        pacer_.Seeked(0);
        pos_ = 0;                                 // the start of the file is where it starts
        return;
    }
    if (conn_.payload_type != 33) return;
    const double wanted = (conn_.first_pcr_time + requested) * static_cast<double>(kPcrTicksPerSecond);
    const int64_t wanted_ticks = wanted < 9.0e18 ? static_cast<int64_t>(wanted) : std::numeric_limits<int64_t>::max();
    const SeekPoint point = FindSeekPoint(ring_, wanted_ticks, target, [this] { return !RtspSessionRunning(conn_); });
    if (point.pcr_found)
        LogSystemMessage("Find New Seek Pos=[%5.3f]\n",
                         static_cast<double>(point.pcr_ticks) / static_cast<double>(kPcrTicksPerSecond));
    if (point.pat_found) LogSystemMessage("Find PAT\n");
    // Without a PAT after that moment the file has nothing more to play: the next read ends it.
    pos_ = point.pat_found ? point.pat_at : std::max(ring_.length(), end);
}

void StoredFileStream::Run()
{
    uint8_t chunk[kTsBlockSize];
    while (RtspSessionRunning(conn_)) {
        if (!WaitWhilePaused(conn_)) break;
        if (conn_.seek_request.exchange(0) != 0) Seek();
        const ssize_t got = pread(conn_.file, chunk, sizeof chunk, pos_);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            LogSystemMessage("Player MAC ID[%s] Socket=[%d], Accept=[%d]: lenght=0 \n", conn_.mac_id, conn_.socket.load(), 0);
            if (conn_.transport.load() == kRtspRtpUdp) {
                SendRtcpBye(conn_, out_.counters, packets_, octets_);
                // A player ends at the BYE with a TEARDOWN: a while for it, so that the
                // connection does not close under its last requests.
                const uint64_t until = GetTickMs() + kByeLingerMs;
                while (RtspSessionRunning(conn_) && GetTickMs() < until) conn_.wake.WaitFor(100);
            }
            conn_.stop.store(1);
            return;
        }
        pos_ += got;
        conn_.byte_position.store(pos_);
        if (!out_.Send(chunk, static_cast<std::size_t>(got))) {
            LogSystemMessage("DataThread[%d]: errorno is [%d]\n", number_, errno);
            conn_.stop.store(1);
            return;
        }
        ++packets_;
        octets_ += static_cast<uint32_t>(got);
        PaceSleep(conn_, pacer_.Next(chunk, static_cast<int>(got - got % kTsPacketSize)));
    }
}

}  // namespace

void RtspStreamStoredFile(RtspConnection& conn, int thread_number)
{
    conn.last_pcr_time.store(conn.first_pcr_time);
    if (!RtspSessionRunning(conn) || conn.file < 0) {
        LogSystemMessage("DataThread[%d]: STOP \n", thread_number);
        return;
    }
    RtspOutput out(conn, true);
    const bool raw = conn.transport.load() == kRtspRawUdp;
    if (!out.Open(thread_number, raw ? "DataThread[%d]: Client RAW/RAW/UDP Port no=[%d] Socket=[%d]\n"
                                     : "DataThread[%d]: Client UDP Port no=[%d] Socket=[%d]\n")) {
        conn.stop.store(1);
        return;
    }
    struct stat info{};
    const int64_t size = fstat(conn.file, &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
    StoredFileStream stream(conn, thread_number, out, size);
    stream.Run();
}
