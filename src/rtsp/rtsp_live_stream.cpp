// The live mode of an RTSP session: the channel's ring through the shared live sender, each
// catch-up slot and each 1316-byte block one packet framed for the session's transport.

#include "channels/channel_table.h"
#include "channels/source_table.h"
#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/real_buffer.h"
#include "media/ts_timing.h"
#include "rtsp/rtsp_output.h"
#include "rtsp/rtsp_service.h"
#include "stream/byte_stream_output.h"
#include "stream/directory_stream.h"
#include "stream/dvb_program.h"
#include "stream/live_sender.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// The live sender's framing step for an RTSP session.
class RtspLiveFraming : public LiveFraming {
public:
    explicit RtspLiveFraming(RtspOutput& output) : output_(output) {}
    int overhead() const override { return static_cast<int>(kInterleavePrefixSize + kRtpHeaderBytes); }
    int Frame(const uint8_t* data, int length, uint8_t* out) override
    {
        return static_cast<int>(output_.Frame(data, static_cast<std::size_t>(length), out));
    }
    bool datagrams() const override { return output_.datagrams(); }
    bool SendDatagram(const uint8_t* data, int length) override
    {
        return output_.SendDatagram(data, static_cast<std::size_t>(length));
    }

private:
    RtspOutput& output_;
};

bool Stopped(const RtspConnection& conn)
{
    return conn.stop.load() != 0 || g_rtsp_stop_state.load() != 0 || ProcessStopRaised();
}

// Opens the session's output for a live channel; false, with the session stopped and the
// failure logged, when its UDP port cannot be opened.
bool OpenLiveOutput(RtspConnection& conn, RtspOutput& output, int number, int channel_number)
{
    if (output.Open(number, "DataThread[%d]: IPTV Client RAW/RAW/UDP Port no=[%d] Socket=[%d]\n")) return true;
    LogSystemMessage("Thread[%d]: IPTV_TS_RTSP_DataThread : Channel [%d], Open UDP Port Error\n", number, channel_number);
    conn.stop.store(1);
    return false;
}

// Sends a block of whole packets as one RTP packet; a failed send is logged.
std::function<bool(const uint8_t*, int)> BlockSender(RtspOutput& output, int number)
{
    return [&output, number](const uint8_t* block, int length) {
        if (output.Send(block, static_cast<std::size_t>(length))) return true;
        LogSystemMessage("Thread[%d]:  IPTV_TS_RTSP_DataThread: errorno is [%d]\n", number, errno);
        return false;
    };
}

// A paused session keeps its place until it resumes or ends.
void WaitWhilePaused(const RtspConnection& conn)
{
    while (conn.paused.load() != 0 && !Stopped(conn)) SleepUnlessStopping(100);
}

// Says why a join failed (a missing input), as the HTTP viewers do.
void LogRefusedJoin(RingReader::Join join, int number, int channel_number)
{
    if (join == RingReader::Join::kNoNetwork)
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel [%d], Netowork Input is not available\n", number, channel_number);
    else if (join == RingReader::Join::kNoInput)
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel [%d], No Video Input\n", number, channel_number);
}

// UDP or RTP input: packet-aligned slots through the channel's live sender.
void ServeNetworkChannel(RtspConnection& conn, ChannelRecord& channel, int number, int channel_number)
{
    const std::string prefix =
        "Thread[" + std::to_string(number) + "]: IPTV_TS_RTSP_DataThread : CH no.[" + std::to_string(channel_number) + "] ";
    RingReader ring(channel, false, number, prefix);
    std::vector<uint8_t> first;
    const RingReader::Join join = ring.JoinAtPat([&] { return Stopped(conn); }, first);
    LogRefusedJoin(join, number, channel_number);
    if (join != RingReader::Join::kJoined) {
        conn.stop.store(1);
        return;
    }
    LogSystemMessage("read_length=%d\n", static_cast<int>(first.size()));
    RtspOutput output(conn, false);
    if (!OpenLiveOutput(conn, output, number, channel_number)) return;
    // The join slot may carry the PAT and PMT in front of it: RTP packets of seven TS packets at most.
    for (std::size_t at = 0; at < first.size(); at += kTsBlockSize) {
        if (!output.Send(first.data() + at, std::min<std::size_t>(kTsBlockSize, first.size() - at))) {
            LogSystemMessage("Thread[%d]:  IPTV_TS_RTSP_DataThread: errorno is [%d]\n", number, errno);
            conn.stop.store(1);
            return;
        }
    }
    RtspLiveFraming framing(output);
    LiveViewerLink link;
    link.socket         = &conn.socket;
    link.stop           = &conn.stop;
    link.paused         = &conn.paused;
    link.service_stop   = &g_rtsp_stop_state;
    link.last_pcr       = &conn.last_pcr;
    link.framing        = &framing;
    link.send_lock      = &conn.send_lock;
    link.sent_bytes     = &conn.bytes_sent;
    link.service_stats  = conn.stats;
    link.thread_number  = number;
    link.catch_up_error = "Thread[%d]:  IPTV_TS_RTSP_DataThread: errorno is [%d]\n";
    link.catch_up_error_on_console = false;
    link.stream_error   = "Thread[%d]:  IPTV_TS_RTSP_DataThread: errorno is [%d]\n";
    link.closed_text    = "Thread[%d]: IPTV_TS_RTSP_DataThread : Channel input closed\n";
    if (ServePacedViewer(channel, ring, link)) conn.stop.store(1);
}

// An HTTP or RTSP pull: the byte stream realigned into blocks of seven packets, one RTP
// packet each, re-joined after an overrun or a reconnection. A paused session keeps its place
// in the ring until it resumes (or, lapped by the writer meanwhile, joins again).
void ServeByteStreamChannel(RtspConnection& conn, ChannelRecord& channel, int number, int channel_number)
{
    RtspOutput output(conn, false);
    if (!OpenLiveOutput(conn, output, number, channel_number)) return;
    ByteStreamOutput stream;
    RingFollower& follower = stream.follower;
    follower.thread_number = number;
    follower.log_prefix    = "Thread[" + std::to_string(number) + "]: IPTV_TS_RTSP_DataThread : CH no.[" +
                             std::to_string(channel_number) + "] ";
    follower.warn_channel  = channel_number;
    follower.closed_line   = "Thread[" + std::to_string(number) + "]: IPTV_TS_RTSP_DataThread : Channel input closed\n";
    follower.stopped       = [&] { return Stopped(conn); };
    follower.refused       = [&](RingReader::Join join) {
        LogRefusedJoin(join, number, channel_number);
        return false;
    };
    stream.last_pcr = &conn.last_pcr;
    stream.send       = BlockSender(output, number);
    stream.after_slot = [&] { WaitWhilePaused(conn); };
    ServeByteStream(channel, stream);
    conn.stop.store(1);
}

// One program of a DVB multiplex with a PAT of its own, each block of seven packets one RTP
// packet, paced by the program's PCR; a paused session waits at the next pacing point.
void ServeDvbChannel(RtspConnection& conn, const ChannelTable& table, ChannelRecord& channel, int number, int channel_number)
{
    RtspOutput output(conn, false);
    if (!OpenLiveOutput(conn, output, number, channel_number)) return;
    DvbBlockOutput program;
    DvbProgramReader& reader = program.reader;
    reader.thread_number    = number;
    reader.follow_next_ring = false;
    reader.from_key_picture = true;
    reader.closed_line      = "Thread[" + std::to_string(number) + "]: IPTV_TS_RTSP_DataThread : Channel input closed\n";
    reader.stopped          = [&] { return Stopped(conn); };
    program.send         = BlockSender(output, number);
    program.before_sleep = [&] { WaitWhilePaused(conn); };
    ServeDvbProgramBlocks(table, channel, program);
    conn.stop.store(1);
}

// A directory channel: its files from where the playlist stands now, each 1316-byte chunk one
// packet framed for the session's transport.
void ServeDirectoryChannel(RtspConnection& conn, const ChannelTable& table, ChannelRecord& channel, int number,
                           int channel_number)
{
    RtspOutput output(conn, false);
    if (!OpenLiveOutput(conn, output, number, channel_number)) return;
    RtspLiveFraming framing(output);
    DirectoryViewer viewer;
    viewer.thread_name         = "IPTV_TS_RTSP_DataThread";
    viewer.thread_number       = number;
    viewer.channel_number      = channel_number;
    viewer.pat_by_chunk        = true;
    viewer.starting_names_file = false;
    viewer.framing             = &framing;
    viewer.stopped             = [&] { return Stopped(conn); };
    viewer.send                = [&](const uint8_t* data, int length) {
        if (!SendOnConnection(conn, data, static_cast<std::size_t>(length))) return false;
        CountSent(conn, static_cast<std::size_t>(length));
        return true;
    };
    viewer.clock = [&](double first, double now) {
        conn.first_pcr_time = first;
        conn.last_pcr_time.store(now);
        conn.current_position.store(now - first);
        conn.last_pcr_value = static_cast<uint64_t>(now * static_cast<double>(kPcrTicksPerSecond));
    };
    StreamTsDirectory(table, channel, viewer);
    conn.stop.store(1);
}

}  // namespace

bool RtspLiveChannelPlayable(int channel_number)
{
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    if (channel_number < 1 || channel_number > table->Count()) return true;   // refused at PLAY time
    ChannelRecord& channel = *table->channels[static_cast<std::size_t>(channel_number - 1)];
    if (channel.FirstSource() == nullptr || Feeds(channel, kOutputRtsp)) return true;
    LogRefusedOutput(channel, kOutputRtsp, "RTSP_CmdThread", channel_number);
    return false;
}

RtspChannelViewing::RtspChannelViewing(RtspConnection& conn, int number, bool sources_needed)
{
    if (conn.stop.load() != 0) {
        LogSystemMessage("Thread[%d]: IPTV_TS_RTSP_DataThread (IN Cmd STOP)\n", number);
        return;
    }
    LogSystemMessage("Thread[%d]: IPTV_TS_RTSP_DataThread (IN)\n", number);
    table_ = CurrentChannels();
    const int32_t count = table_->Count();
    channel_number_ = 1;
    if (std::strstr(conn.path, ".ch") != nullptr) {
        channel_number_ = ChannelNumberOf(conn.path);
        LogSystemMessage("CH no [%d], total chaneel no=[%d]\n", channel_number_, count);
    } else {
        LogSystemMessage("Default CH no [%d], total chaneel no=[%d]\n", channel_number_, count);
    }
    if (channel_number_ < 1 || channel_number_ > count) {
        conn.stop.store(1);
        return;
    }
    LogSystemMessage("Thread[%d]: IPTV_TS_RTSP_DataThread (Build Channel Memory)\n", number);
    ChannelRecord& channel = *table_->channels[static_cast<std::size_t>(channel_number_ - 1)];
    if (sources_needed && channel.sources.empty()) {
        LogSystemMessage("IPTV_TS_RTSP_DataThread: no IPTV programs in the channel [%d]\n", channel_number_);
        conn.stop.store(1);
        return;
    }
    {
        ScopedLock held(channel.lock);
        ++channel.active_players;
    }
    channel_ = &channel;
    LogSystemMessage("Thread[%d]: IPTV_TS_RTSP_DataThread (CH no.[%d])\n", number, channel_number_);
}

RtspChannelViewing::~RtspChannelViewing()
{
    if (channel_ == nullptr) return;
    ScopedLock held(channel_->lock);
    --channel_->active_players;
}

void IPTV_TS_RTSP_DataThread(RtspConnection& conn, int number)
{
    const RtspChannelViewing viewing(conn, number);
    ChannelRecord* channel = viewing.channel();
    if (channel == nullptr) return;
    const int channel_number = viewing.channel_number();
    const SourceTraits& traits = ChannelTraits(*channel);
    switch ((traits.outputs & kOutputRtsp) != 0 ? traits.layout : RingLayout::kNone) {
    case RingLayout::kPackets:
    case RingLayout::kRtpSlots: ServeNetworkChannel(conn, *channel, number, channel_number); break;
    case RingLayout::kByteStream: ServeByteStreamChannel(conn, *channel, number, channel_number); break;
    case RingLayout::kDvbProgram: ServeDvbChannel(conn, viewing.table(), *channel, number, channel_number); break;
    case RingLayout::kMp4Folder:
    case RingLayout::kTsFolder: ServeDirectoryChannel(conn, viewing.table(), *channel, number, channel_number); break;
    default: conn.stop.store(1); break;          // refused at SETUP: nothing to stream
    }
}
