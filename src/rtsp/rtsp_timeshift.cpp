// The time-shift mode of an RTSP session: a live channel played from the file its time-shift
// recorder keeps, near the recorder's write position, with PAUSE, resume and seeking within
// the seconds the file holds.
//
// The file is a ring: the recorder writes from its start and goes back to it every period, so
// the bytes after the write position are the previous period's. The reader keeps to the
// writer's lap and never reads past the write position; once the writer has gone back to the
// start, the reader is a lap behind and reads on to the end of the previous period (the end of
// the file, or a PCR that jumps back to an older period), then goes to the start itself.

#include "channels/channel_table.h"
#include "channels/source_table.h"
#include "core/config.h"
#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "ingest/recorders.h"
#include "rtsp/rtsp_file_stream.h"
#include "rtsp/rtsp_output.h"
#include "rtsp/rtsp_service.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int     kBurstChunks   = 41;       // the join's PAT chunk and 40 more go out unpaced
constexpr int     kWriterNapMs   = 20;       // a reader that has caught up looks again after this
constexpr int     kNoDataNapMs   = 200;
constexpr int64_t kOlderPeriodTicks = kPcrTicksPerSecond;   // a PCR this far back is an older period

// The channel a live path names (1-based), or 0 when the table has no such channel.
int ChannelOfPath(const char* path, int32_t count)
{
    const int number = ChannelNumberOf(path);
    return number >= 1 && number <= count ? number : 0;
}

class TimeShiftStream {
public:
    TimeShiftStream(RtspConnection& conn, int number, ChannelRecord& channel, int channel_number, RtspOutput& out)
        : conn_(conn), number_(number), channel_(channel), channel_number_(channel_number), out_(out),
          name_(TimeShiftFileName(channel_number)), pacer_(conn.Clock(), 0)
    {
        if (ChannelTraits(channel).layout == RingLayout::kRtpSlots) layout_ = kRtpSlotLayout;
    }
    ~TimeShiftStream()
    {
        if (fd_ >= 0) close(fd_);
    }
    TimeShiftStream(const TimeShiftStream&) = delete;
    TimeShiftStream& operator=(const TimeShiftStream&) = delete;

    const std::string& name() const { return name_; }
    bool Open();
    void Run();

private:
    enum class Step { kChunk, kWait, kWrapped, kError };
    enum class Search { kFound, kNone, kNoSync };

    bool Join();
    bool Seek();
    Step NextChunk(uint8_t* out, int& size);
    void ObserveWriter();
    void Wrap();
    int64_t FileSize() const;
    Search FindPatBackward(int64_t low, int64_t high, int64_t& at) const;
    // The ring in time order as it stands: from the write position to the end, then from the
    // start. Measures its bitrate and first PCR (the reference of positions) on the way.
    TsRing Window(int64_t& first_ticks);
    void NoData();
    bool Stopped() const { return !RtspSessionRunning(conn_); }

    RtspConnection&    conn_;
    const int          number_;
    ChannelRecord&     channel_;
    const int          channel_number_;
    RtspOutput&        out_;
    const std::string  name_;
    TsLayout           layout_ = kPlainTsLayout;
    FilePacer          pacer_;
    int                fd_ = -1;
    int64_t            pos_ = 0;              // the next packet to read
    bool               behind_ = false;       // pos_ lies in the writer's previous lap
    int64_t            seen_writer_ = 0;
    int32_t            kbps_ = 0;
    int                sent_ = 0;             // chunks since the join
    bool               no_data_logged_ = false;
};

bool TimeShiftStream::Open()
{
    if (fd_ < 0) fd_ = open(name_.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

int64_t TimeShiftStream::FileSize() const
{
    struct stat info{};
    if (fstat(fd_, &info) != 0) return 0;
    return layout_.RecordStart(static_cast<int64_t>(info.st_size));
}

void TimeShiftStream::NoData()
{
    if (!no_data_logged_) LogSystemMessage("No Time Shift Data\n");
    no_data_logged_ = true;
    SleepUnlessStopping(kNoDataNapMs);
}

void TimeShiftStream::ObserveWriter()
{
    const int64_t writer = layout_.RecordStart(std::max<int64_t>(channel_.timeshift_bytes.load(), 0));
    if (writer < seen_writer_) behind_ = true;          // the writer went back to the start
    seen_writer_ = writer;
    if (behind_ && writer > layout_.RecordStart(pos_)) {
        // The writer has overtaken this reader: what lies here now is the writer's new lap.
        behind_ = false;
        pacer_.Restart();
    }
}

void TimeShiftStream::Wrap()
{
    LogSystemMessage("IPTV_Time_Shift_File_Name [%s] End of File & Seeks to 0 Position\n", name_.c_str());
    pos_ = layout_.PacketAtOrAfter(0);
    behind_ = false;
    pacer_.Restart();
}

TimeShiftStream::Search TimeShiftStream::FindPatBackward(int64_t low, int64_t high, int64_t& at) const
{
    const int64_t block = 64 * 1024 / layout_.record * layout_.record;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(block));
    for (int64_t end = high; end > low;) {
        if (Stopped()) return Search::kNone;
        const int64_t begin = std::max(low, end - block);
        const ssize_t got = pread(fd_, bytes.data(), static_cast<std::size_t>(end - begin), begin);
        if (got <= 0) return Search::kNone;
        const int found = FindLastPatPacket(bytes.data(), static_cast<int>(got), layout_, static_cast<int>(got));
        if (found == kNoSyncByte) return Search::kNoSync;
        if (found >= 0) {
            at = begin + found;
            return Search::kFound;
        }
        end = begin;
    }
    return Search::kNone;
}

TsRing TimeShiftStream::Window(int64_t& first_ticks)
{
    ObserveWriter();
    const int64_t size = FileSize();
    const TsRing ring(fd_, layout_, seen_writer_ < size ? seen_writer_ : 0, size);
    kbps_ = MeasureRingKbps(ring, first_ticks, [this] { return Stopped(); });
    if (first_ticks >= 0) pacer_.SetFirstPcrTime(static_cast<double>(first_ticks) / static_cast<double>(kPcrTicksPerSecond));
    return ring;
}

// Two chunks before the write position, back to the PAT before it: in this lap, or else at the
// end of the file, where the previous lap's data lies.
bool TimeShiftStream::Join()
{
    for (;;) {
        if (Stopped()) return false;
        if (!Open()) {
            NoData();
            continue;
        }
        if (FileSize() < layout_.ChunkBytes()) {
            NoData();
            continue;
        }
        int64_t first_ticks = -1;
        Window(first_ticks);                              // also where the writer stands now
        const int64_t writer = seen_writer_;
        const int64_t size = FileSize();
        const int64_t start = std::max<int64_t>(writer - 2 * layout_.ChunkBytes(), 0);
        int64_t at = 0;
        Search found = FindPatBackward(0, std::min(start + layout_.record, writer), at);
        if (found == Search::kNone && size > writer) found = FindPatBackward(writer, size, at);
        if (found == Search::kNoSync) {
            LogSystemMessage("Thread[%d]: RTSP_Time_Shift_Video_Streaming (CH no.[%d] No Sync Data)\n", number_, channel_number_);
            conn_.stop.store(1);
            return false;
        }
        if (found == Search::kNone) {
            NoData();
            continue;
        }
        LogSystemMessage("sbTime_Shift_Starting_Pos=%lld\n", static_cast<long long>(start));   // not once per retry
        LogSystemMessage("Thread[%d]: RTSP_Time_Shift_Video_Streaming : CH no.[%d] Found Video PAT in Pos [%lld]\n", number_,
                         channel_number_, static_cast<long long>(at));
        no_data_logged_ = false;
        pos_ = at;
        behind_ = at >= writer;
        sent_ = 0;
        pacer_.Restart();
        return true;
    }
}

// A position is seconds after the oldest moment the file holds now; beyond the newest, the
// session goes back to the writer.
bool TimeShiftStream::Seek()
{
    const double requested = conn_.requested_start.load();
    LogSystemMessage("DataThread[%d]: Pos1=%lld \n", number_, static_cast<long long>(pos_));
    LogSystemMessage("Seek Sec.=[%5.3f] ddiff=[%5.3f]\n", requested, requested - conn_.current_position.load());
    int64_t first_ticks = -1;
    const TsRing ring = Window(first_ticks);
    LogSystemMessage("bitrate=[%d]\n", kbps_);
    if (first_ticks < 0) return Join();
    const double position = std::clamp(requested, 0.0, 1.0e9);
    const int64_t wanted = first_ticks + static_cast<int64_t>(position * static_cast<double>(kPcrTicksPerSecond));
    const int64_t hint = static_cast<int64_t>(std::min(position * 128.0 * kbps_, static_cast<double>(ring.length())));
    const SeekPoint point = FindSeekPoint(ring, wanted, hint, [this] { return Stopped(); });
    if (!point.pat_found) return Join();
    LogSystemMessage("Find PAT\n");
    pos_ = ring.Physical(point.pat_at);
    behind_ = seen_writer_ < ring.length() && layout_.RecordStart(pos_) >= seen_writer_;
    sent_ = kBurstChunks;
    pacer_.Seeked(position);
    return true;
}

TimeShiftStream::Step TimeShiftStream::NextChunk(uint8_t* out, int& size)
{
    ObserveWriter();
    const int64_t end = layout_.ChunkEnd(pos_);
    if (!behind_) {
        if (layout_.RecordStart(pos_) > seen_writer_) {       // a start of the file the reader missed
            Wrap();
            return Step::kWrapped;
        }
        if (end > seen_writer_) return Step::kWait;           // caught up with the writer
    }
    const ssize_t got = pread(fd_, out, static_cast<std::size_t>(end - pos_), pos_);
    if (got < 0) return errno == EINTR ? Step::kWait : Step::kError;
    size = static_cast<int>(got - got % kTsPacketSize);
    if (size == 0) {                                          // the end of the file
        Wrap();
        return Step::kWrapped;
    }
    int64_t ticks = 0;
    if (behind_ && pacer_.last_ticks() >= 0 && FindPcrPacket(out, size, kPlainTsLayout, 0, 0, ticks) >= 0 &&
        ticks + kOlderPeriodTicks < pacer_.last_ticks()) {
        Wrap();                                               // past the previous lap's end
        return Step::kWrapped;
    }
    pos_ = pos_ + size == end ? layout_.PacketAtOrAfter(end) : pos_ + size;
    conn_.byte_position.store(pos_);
    return Step::kChunk;
}

void TimeShiftStream::Run()
{
    if (!Join()) return;
    uint8_t chunk[kRtpSlotSize];
    while (!Stopped()) {
        if (!WaitWhilePaused(conn_)) break;
        if (conn_.seek_request.exchange(0) != 0 && !Seek()) return;
        int size = 0;
        switch (NextChunk(chunk, size)) {
        case Step::kWait:
            // The writer paces this reader now; the next PCR only sets the reference.
            pacer_.Restart();
            SleepUnlessStopping(kWriterNapMs);
            continue;
        case Step::kError:
            LogSystemMessage("No Time Shift Data\n");
            SleepUnlessStopping(kNoDataNapMs);
            continue;
        case Step::kWrapped: continue;
        case Step::kChunk: break;
        }
        if (!out_.Send(chunk, static_cast<std::size_t>(size))) {
            if (sent_ < kBurstChunks) LogSystemMessage("Thread[%d]:  RTSP_Time_Shift_Video_Streaming: errorno is [%d]\n", number_, errno);
            else LogSystemMessage("DataThread[%d]: errorno is [%d]\n", number_, errno);
            conn_.stop.store(1);
            return;
        }
        const int64_t sleep_ms = pacer_.Next(chunk, size);
        if (++sent_ > kBurstChunks) PaceSleep(conn_, sleep_ms);
    }
}

}  // namespace

void RTSP_Time_Shift_Video_Streaming(RtspConnection& conn, int thread_number)
{
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    const int32_t count = table->Count();
    const int path_channel = ChannelOfPath(conn.path, count);
    // No recorder runs at a period of 10 seconds, nor for channels whose rings it does not
    // record (files, pulls): those play live.
    if (g_config.iptv_time_shift_record_duration <= 10 ||
        (path_channel > 0 && !Feeds(*table->channels[static_cast<std::size_t>(path_channel - 1)], kOutputTimeShift))) {
        IPTV_TS_RTSP_DataThread(conn, thread_number);
        return;
    }
    const RtspChannelViewing viewing(conn, thread_number, false);
    if (viewing.channel() == nullptr) return;
    ChannelRecord& channel = *viewing.channel();
    const int channel_number = viewing.channel_number();
    {
        RtspOutput out(conn, false);                    // the raw kinds carry RTP here too
        TimeShiftStream stream(conn, thread_number, channel, channel_number, out);
        stream.Open();
        LogSystemMessage("IPTV_Time_Shift_File_Name=[%s]\n", stream.name().c_str());
        LogSystemMessage("Thread[%d]: RTSP_Time_Shift_Video_Streaming (CH no.[%d])\n", thread_number, channel_number);
        if (!RtspSessionRunning(conn)) {
            LogSystemMessage("DataThread[%d]: STOP \n", thread_number);
        } else if (channel.FirstSource()->socket.load() == -1) {
            LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel [%d], Netowork Input is not available\n", thread_number,
                             channel_number);
            conn.stop.store(1);
        } else {
            const bool raw = conn.transport.load() == kRtspRawUdp;
            if (out.Open(thread_number, raw ? "DataThread[%d]: Client RAW/RAW/UDP Port no=[%d] Socket=[%d]\n"
                                            : "DataThread[%d]: Client UDP Port no=[%d] Socket=[%d]\n"))
                stream.Run();
            else conn.stop.store(1);
        }
    }
}
