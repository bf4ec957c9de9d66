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
          ring_(conn.file, kPlainTsLayout, 0, file_size - file_size % kTsPacketSize), pacer_(conn.Clock(), conn.first_pcr_time)
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
