#include "http/http_live.h"

#include "channels/channel_table.h"
#include "channels/source_table.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "core/threads.h"
#include "http/http_file_stream.h"
#include "http/http_service.h"
#include "ingest/real_buffer.h"
#include "media/ts_timing.h"
#include "net/tcp_service.h"
#include "stream/byte_stream_output.h"
#include "stream/directory_stream.h"
#include "stream/dvb_program.h"
#include "stream/live_sender.h"
#include "stream/pacing.h"
#include "stream/ring_follower.h"
#include "users/usage_log.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBlockSize = kLiveBlockSize;

// One viewer of one channel.
class LiveStream {
public:
    LiveStream(PlayerConnection& conn, int number) : conn_(conn), number_(number) {}

    // Also true once the player has hung up: looked at every kHangUpCheckMs, so that a
    // viewer waiting on a quiet channel ends with its player rather than with the channel.
    bool Stopped() const
    {
        if (g_http_stop_state.load() != 0 || conn_.stop.load() != 0 || conn_.socket.load() < 0 || hung_up_) return true;
        const uint64_t now = GetTickMs();
        if (now < next_hang_up_check_ms_) return false;
        next_hang_up_check_ms_ = now + kHangUpCheckMs;
        hung_up_ = PeerHungUp(conn_.socket.load());
        return hung_up_;
    }
    bool error_close() const { return error_close_; }

    // Sends all of data; on failure logs `error` (thread number and errno; null: the caller
    // logs), sets the stop flag and the error close. console: the error goes to standard output instead of the log.
    bool Send(const uint8_t* data, int length, const char* error, bool console = false, const char* path = nullptr)
    {
        int sent = 0;
        while (sent < length) {
            if (Stopped()) return false;
            const ssize_t result = SendBytes(conn_.socket.load(), data + sent, static_cast<std::size_t>(length - sent));
            if (result < 1) {
                if (error == nullptr) {
                    // The caller logs the failure.
                } else if (path != nullptr) {
                    LogSystemMessage(error, number_, path, errno);
                } else if (console) {
                    std::printf(error, number_, errno);
                    std::fflush(stdout);
                } else {
                    LogSystemMessage(error, number_, errno);
                }
                conn_.stop.store(1);
                error_close_ = true;
                return false;
            }
            sent += static_cast<int>(result);
            CountSent(conn_, static_cast<std::size_t>(result));
        }
        return true;
    }

    void MarkErrorClose() { error_close_ = true; }

    PlayerConnection& conn_;
    int               number_;

private:
    static constexpr uint64_t kHangUpCheckMs = 500;
    bool             error_close_ = false;
    mutable bool     hung_up_ = false;
    mutable uint64_t next_hang_up_check_ms_ = 0;
};

std::string Prefix(int number, int channel)
{
    return "Thread[" + std::to_string(number) + "]: IPTV_TS_HTTP_DataThread : CH no.[" + std::to_string(channel) + "] ";
}

bool Refused(LiveStream& live, RingReader::Join join, int number, int channel)
{
    // A channel without a PAT ends the viewer like a failed send: the player tries again.
    if (join == RingReader::Join::kNoPat) {
        live.conn_.stop.store(1);
        live.MarkErrorClose();
    }
    if (join == RingReader::Join::kNoNetwork)
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel [%d], Netowork Input is not available\n", number, channel);
    else if (join == RingReader::Join::kNoInput)
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel [%d], No Video Input\n", number, channel);
    return join != RingReader::Join::kJoined;
}

// What ends a viewer of a packet-aligned channel once its channel's sender lets it go; null
// when the data thread ends it itself.
using ViewerHandOff = std::function<bool(std::unique_ptr<RingReader>, const LiveViewerLink&)>;

// UDP or RTP input: packet-aligned slots. After the join the viewer goes to its channel's live
// sender, which serves the catch-up and the paced stream; true when it took the viewer.
bool ServeDatagramChannel(LiveStream& live, ChannelRecord& channel, int channel_number, const ViewerHandOff& hand_off)
{
    const int number = live.number_;
    auto ring = std::make_unique<RingReader>(channel, false, number, Prefix(number, channel_number));
    std::vector<uint8_t> first;
    if (Refused(live, ring->JoinAtPat([&] { return live.Stopped(); }, first), number, channel_number)) return false;
    LogSystemMessage("read_length=%d\n", static_cast<int>(first.size()));
    const char* join_error = "Thread[%d]:  IPTV_TS_HTTP_DataThread: errorno is [%d]\n";
    if (!live.Send(first.data(), static_cast<int>(first.size()), join_error, true)) return false;
    LiveViewerLink link;
    link.socket       = &live.conn_.socket;
    link.stop         = &live.conn_.stop;
    link.service_stop = &g_http_stop_state;
    link.last_pcr     = &live.conn_.last_pcr;
    link.sent_bytes   = &live.conn_.bytes_sent;
    link.service_stats = live.conn_.stats;
    link.thread_number = number;
    return hand_off(std::move(ring), link);
}

// HTTP or RTSP pull input: byte-stream slots as they come, re-joined after an overrun or a reconnection.
void ServeByteStreamChannel(LiveStream& live, ChannelRecord& channel, int channel_number)
{
    const int number = live.number_;
    const char* error = "Thread[%d]: IPTV_TS_HTTP_DataThread 5: errorno is [%d]\n";
    ByteStreamOutput output;
    RingFollower& follower = output.follower;
    follower.thread_number = number;
    follower.log_prefix    = Prefix(number, channel_number);
    follower.warn_channel  = channel_number;
    follower.closed_line   = "Thread[" + std::to_string(number) + "]: IPTV_TS_HTTP_DataThread : Channel input closed\n";
    follower.stopped       = [&] { return live.Stopped(); };
    follower.refused       = [&](RingReader::Join join) { return !Refused(live, join, number, channel_number); };
    output.aligned  = false;
    output.last_pcr = &live.conn_.last_pcr;
    output.send     = [&](const uint8_t* data, int length) { return live.Send(data, length, error); };
    ServeByteStream(channel, output);
}

// A DVB program's packets in whole blocks, the blocks in a batch that waits until a pacing
// sleep, a full batch or an idle ring.
class DvbProgramSender {
public:
    DvbProgramSender(LiveStream& live, int channel_number)
        : live_(live), channel_number_(channel_number),
          batch_([this](const uint8_t* data, int length) {
              return live_.Send(data, length, "Thread[%d]:  IPTV_TS_HTTP_DataThread: errorno is [%d]\n", true);
          })
    {
    }
    // One packet of the program, with the pacing sleep after it; false when a send failed.
    bool Packet(const uint8_t* packet, DvbProgramFilter::Verdict verdict, bool near_tail);
    bool Flush() { return batch_.Flush(); }

private:
    LiveStream& live_;
    int         channel_number_;
    PacedBatch  batch_;
    DvbPcrPace  pace_;
    uint8_t     block_[kBlockSize];
    int         block_length_ = 0;
};

bool DvbProgramSender::Packet(const uint8_t* packet, DvbProgramFilter::Verdict verdict, bool near_tail)
{
    const int number = live_.number_;
    if (verdict == DvbProgramFilter::Verdict::kPat)
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : CH no.[%d] Found TS PAT\n", number, channel_number_);
    if (verdict == DvbProgramFilter::Verdict::kFirstPmt)
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : CH no.[%d] Found TS PMT\n", number, channel_number_);
    std::memcpy(block_ + block_length_, packet, kTsPacketSize);
    block_length_ += kTsPacketSize;
    if (block_length_ == kBlockSize) {
        block_length_ = 0;
        if (!batch_.Add(block_, kBlockSize)) return false;
    }
    const int64_t ms = pace_.Next(packet, near_tail);
    if (ms > 0) {
        if (!batch_.Flush()) return false;
        SleepUnlessStopping(static_cast<uint32_t>(ms > 10000 ? 10000 : ms));
    }
    return true;
}

// The program from the joined ring on, until the viewer or the ring ends.
void SendDvbProgram(LiveStream& live, RingReader& ring, const ChannelRecord& ring_channel, DvbProgramFilter& filter,
                    int channel_number)
{
    DvbProgramSender sender(live, channel_number);
    DvbProgramReader reader;
    reader.stopped = [&] { return live.Stopped(); };
    reader.packet  = [&](uint8_t* packet, DvbProgramFilter::Verdict verdict, bool near_tail) {
        return sender.Packet(packet, verdict, near_tail);
    };
    reader.idle = [&] { return sender.Flush(); };
    reader.from_key_picture = true;
    if (ReadDvbProgram(ring, ring_channel, filter, reader) == DvbRead::kRetired) {
        sender.Flush();
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel input closed\n", live.number_);
    }
}

// DVB multiplex: only this channel's program, with a PAT of its own.
void ServeDvbChannel(LiveStream& live, ChannelTable& table, ChannelRecord& channel, int channel_number)
{
    const int number = live.number_;
    SourceRecord& source = *channel.FirstSource();
    if (source.socket.load() == -1) {
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel [%d], Netowork Input is not available\n", number,
                         channel_number);
        return;
    }
    ChannelRecord& ring_channel = DvbRingChannel(table, channel);
    DvbProgramFilter filter(source);
    if (filter.program() == 0) {
        LogSystemMessage("CH [%d], no DVB inpunt stream\n", channel_number);
        return;
    }
    const std::vector<uint16_t>& pids = filter.pids();
    LogSystemMessage("CH [%d], Program no=[%d], PMT ID [%d], Stream no[%d] First ID[%d], Sec. ID[%d]\n", channel_number,
                     filter.program(), filter.pmt_pid(), filter.stream_count(), pids.size() > 0 ? pids[0] : 0,
                     pids.size() > 1 ? pids[1] : 0);
    LogSystemMessage("nSleepTimeInt =[%d],nSleepTimeTotalRem=[%d]\n", 0, 0);

    RingReader ring(ring_channel, false, number);
    const RingReader::Join join = ring.JoinBackward([&] { return live.Stopped(); }, kDvbKeyPictureLead);
    if (join == RingReader::Join::kNoInput) {
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (CH no.[%d] No Sync Data)\n", number, channel_number);
        return;
    }
    if (join != RingReader::Join::kJoined) return;
    LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : CH no.[%d] Found TS PAT ID = 0\n", number, channel_number);
    SendDvbProgram(live, ring, ring_channel, filter, channel_number);
}

// A directory of transport-stream or MP4 files: every viewer joins at the playlist's "now".
void ServeTsDirectory(LiveStream& live, const ChannelTable& table, ChannelRecord& channel, int channel_number)
{
    DirectoryViewer viewer;
    viewer.thread_name    = "IPTV_TS_HTTP_DataThread";
    viewer.thread_number  = live.number_;
    viewer.channel_number = channel_number;
    viewer.stopped        = [&] { return live.Stopped(); };
    viewer.send           = [&](const uint8_t* data, int length) { return live.Send(data, length, nullptr); };
    viewer.clock          = [&](double first, double now) {
        live.conn_.first_pcr_time = first;
        live.conn_.last_pcr_time  = now;
        live.conn_.elapsed_time   = now - first;
    };
    StreamTsDirectory(table, channel, viewer);
}

// The channel the viewer asked for (by its path; channel 1 without one), or null.
ChannelRecord* RequestedChannel(const PlayerConnection& conn, const ChannelTable& table, int& channel_number)
{
    const int32_t count = table.Count();
    if (std::strstr(conn.path, ".ch") != nullptr) {
        channel_number = ChannelNumberOf(conn.path);
        LogSystemMessage("CH no [%d], total chaneel no=[%d]\n", channel_number, count);
    } else {
        channel_number = 1;
        LogSystemMessage("Default CH no [%d], total chaneel no=[%d]\n", channel_number, count);
    }
    if (channel_number >= 1 && channel_number <= count) return table.channels[static_cast<std::size_t>(channel_number - 1)].get();
    return nullptr;
}

// Streams the channel by the kind of its input; true when the viewer ends with an error.
// A viewer of a packet-aligned channel is handed off after its join (handed then true).
bool ServeChannel(PlayerConnection& conn, ChannelTable& table, ChannelRecord& channel, int channel_number, int number,
                  const ViewerHandOff& hand_off, bool& handed)
{
    {
        // Already on the player list, whose readers (the player REST API) take its lock.
        ScopedLock listed(g_player_list.lock);
        CopyText(conn.group, "HTTP");
        CopyText(conn.mac_id, conn.user_name);
    }
    LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (CH no.[%d])\n", number, channel_number);
    LiveStream live(conn, number);
    const SourceTraits& traits = ChannelTraits(channel);
    if ((traits.outputs & kOutputHttp) == 0) {
        const std::string who = "Thread[" + std::to_string(number) + "]: IPTV_TS_HTTP_DataThread";
        LogRefusedOutput(channel, kOutputHttp, who.c_str(), channel_number);
        return live.error_close();
    }
    switch (traits.layout) {
    case RingLayout::kPackets:
    case RingLayout::kRtpSlots: handed = ServeDatagramChannel(live, channel, channel_number, hand_off); break;
    case RingLayout::kByteStream: ServeByteStreamChannel(live, channel, channel_number); break;
    case RingLayout::kDvbProgram: ServeDvbChannel(live, table, channel, channel_number); break;
    case RingLayout::kMp4Folder:
    case RingLayout::kTsFolder: ServeTsDirectory(live, table, channel, channel_number); break;
    default: break;
    }
    return live.error_close();
}

// The viewer's end: its socket closed, off the player list, handed to the monitor.
void EndViewer(PlayerConnection& conn, DataThreadScope& scope, bool error_close, bool with_channel, int channel_number, int number)
{
    LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] Stop Streaming)\n", number, channel_number);
    conn.stop.store(1);
    CloseConnectionSocket(g_http_service, conn, error_close);
    if (error_close) {
        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] Close Socket with error condition)\n", number, channel_number);
    } else {
        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] Close Socket)\n", number, channel_number);
    }
    if (scope.joined()) {
        if (with_channel) LogChannelEnd(g_config.user_authorization ? conn.user_name : conn.client_ip, channel_number);
        scope.LeavePlayers();
        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] remove it from the player list)\n", number, channel_number);
        scope.HandToMonitor();
        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] add it to the 2nd player list)\n", number, channel_number);
    } else {
        scope.HandToMonitor();
        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] add to suspend player list)\n", number, channel_number);
    }
}

// One viewer's share of its connection, from the data thread's start to the viewer's end,
// which runs on the data thread or, for a viewer handed to its channel's sender, on the
// sender's thread. The scope is declared first so that it ends last, after the table.
struct HttpViewer {
    HttpViewer(PlayerConnection& connection, int thread_number)
        : conn(connection), scope(g_http_service, connection), number(thread_number)
    {
    }
    // The request's channel, served until it ends or its viewer is handed off (true).
    bool Serve(const ViewerHandOff& hand_off);
    void End(bool error_close);

    PlayerConnection&             conn;
    DataThreadScope               scope;
    std::shared_ptr<ChannelTable> table;
    ChannelRecord*                channel = nullptr;
    int                           channel_number = 0;
    int                           number;
    bool                          counted = false;
};

bool HttpViewer::Serve(const ViewerHandOff& hand_off)
{
    LogSystemMessage("*** IPTV_TS_HTTP_DataThread [%d] IN\n", number);
    scope.Count();
    if (conn.stop.load() != 0) {
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (IN Cmd STOP)\n", number);
    } else {
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (IN)\n", number);
        if (g_config.user_authorization && std::strcmp(conn.user_name, "root") != 0) DiscardPreviousConnection(conn);
        scope.JoinPlayers();
        table = CurrentChannels();
        channel = RequestedChannel(conn, *table, channel_number);
    }
    bool error_close = false;
    if (channel != nullptr && channel->sources.empty()) {
        LogSystemMessage("IPTV_TS_HTTP_DataThread: no IPTV programs in the channel [%d]\n", channel_number);
    } else if (channel != nullptr) {
        {
            ScopedLock held(channel->lock);
            ++channel->active_players;
        }
        counted = true;
        bool handed = false;
        error_close = ServeChannel(conn, *table, *channel, channel_number, number, hand_off, handed);
        if (handed) return true;
    }
    End(error_close);
    return false;
}

void HttpViewer::End(bool error_close)
{
    EndViewer(conn, scope, error_close, channel != nullptr, channel_number, number);
    if (counted) {
        int32_t now;
        {
            ScopedLock held(channel->lock);
            now = --channel->active_players;
        }
        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] Active Player no. %d)\n", number, channel_number, now);
    }
    LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] minus 1 for the Connection Couter)\n", number, channel_number);
    scope.Uncount();
    LogSystemMessage("*** IPTV_TS_HTTP_DataThread [%d] (OUT)\n", number);
}

// The data thread's work; true when its viewer went to a live sender (the thread then has
// nothing left to do and no one to join it).
bool RunDataThread(PlayerConnection& conn)
{
    auto viewer = std::make_unique<HttpViewer>(conn, ThreadNumber());
    HttpViewer* held = viewer.get();
    bool released = false;
    const ViewerHandOff hand_off = [&](std::unique_ptr<RingReader> ring, const LiveViewerLink& link) {
        // The thread leaves the connection before the sender may end it.
        ReleaseDataThread(conn);
        released = true;
        if (HandToLiveSender(*held->channel, std::move(ring), link, [held](bool failed) {
                held->End(failed);
                delete held;                      // the table, then the scope's end: the last access
            })) {
            (void)viewer.release();
            return true;
        }
        return false;                             // the data thread ends the viewer
    };
    if (viewer->Serve(hand_off)) return true;
    viewer.reset();
    return released;
}

}  // namespace

int32_t IPTV_TS_HTTP_DataThread(void* connection)
{
    if (RunDataThread(*static_cast<PlayerConnection*>(connection))) RetireThread();
    EndThread();
}
