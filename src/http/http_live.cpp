#include "http/http_live.h"

#include "channels/channel_table.h"
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
#include "media/probe.h"
#include "media/ts_timing.h"
#include "net/tcp_service.h"
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

    void Pause(double interval_seconds)
    {
        const int64_t ms = sleep_.NextMs(interval_seconds);
        if (ms > 0) SleepUnlessStopping(static_cast<uint32_t>(ms > 10000 ? 10000 : ms));
    }

    // A live reader's PCR: the pending interval, 0.995 of the PCR difference.
    void TakePcr(const uint8_t* packet) { clock_.Take(packet, &conn_.last_pcr); }
    // Sleeps the pending interval unless the reader lags (then it runs at full speed).
    void PaceUnlessLagging(bool lagging)
    {
        if (clock_.pending() <= 0) return;
        if (!lagging) Pause(clock_.pending());
        clock_.ClearPending();
    }
    void ResetClock() { clock_.Reset(); }

    PlayerConnection& conn_;
    int               number_;

private:
    static constexpr uint64_t kHangUpCheckMs = 500;
    bool             error_close_ = false;
    mutable bool     hung_up_ = false;
    mutable uint64_t next_hang_up_check_ms_ = 0;
    LivePcrClock     clock_;
    PcrSleepCarry    sleep_;
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

// UDP or RTP input: packet-aligned slots.
void ServeDatagramChannel(LiveStream& live, ChannelRecord& channel, int channel_number)
{
    const int number = live.number_;
    RingReader ring(channel, false, number, Prefix(number, channel_number));
    std::vector<uint8_t> first;
    if (Refused(live, ring.JoinAtPat([&] { return live.Stopped(); }, first), number, channel_number)) return;
    LogSystemMessage("read_length=%d\n", static_cast<int>(first.size()));
    const char* join_error = "Thread[%d]:  IPTV_TS_HTTP_DataThread: errorno is [%d]\n";
    if (!live.Send(first.data(), static_cast<int>(first.size()), join_error, true)) return;
    // The catch-up and the paced stream are served by the channel's live sender.
    LiveViewerLink link;
    link.socket       = &live.conn_.socket;
    link.stop         = &live.conn_.stop;
    link.service_stop = &g_http_stop_state;
    link.last_pcr     = &live.conn_.last_pcr;
    link.sent_bytes   = &live.conn_.bytes_sent;
    link.service_stats = live.conn_.stats;
    link.thread_number = number;
    if (ServePacedViewer(channel, ring, link)) live.MarkErrorClose();
}

// HTTP or RTSP pull input: byte-stream slots, re-joined after an overrun or a reconnection.
void ServeByteStreamChannel(LiveStream& live, ChannelRecord& channel, int channel_number)
{
    const int number = live.number_;
    const char* error = "Thread[%d]: IPTV_TS_HTTP_DataThread 5: errorno is [%d]\n";
    RingFollower follower;
    follower.thread_number = number;
    follower.log_prefix    = Prefix(number, channel_number);
    follower.warn_channel  = channel_number;
    follower.closed_line   = "Thread[" + std::to_string(number) + "]: IPTV_TS_HTTP_DataThread : Channel input closed\n";
    follower.stopped       = [&] { return live.Stopped(); };
    follower.refused       = [&](RingReader::Join join) { return !Refused(live, join, number, channel_number); };
    follower.joined        = [&](const RingReader&, const std::vector<uint8_t>& first) {
        if (!live.Send(first.data(), static_cast<int>(first.size()), error)) return false;
        live.ResetClock();
        return true;
    };
    follower.slot = [&](const RingReader& ring, const uint8_t* slot, int length) {
        if (!live.Send(slot, length, error)) return false;
        live.PaceUnlessLagging(ring.Lags());
        for (int at = ring.last_packet_offset(); at + kTsPacketSize <= length; at += kTsPacketSize) {
            int64_t pcr = 0;
            if (slot[at] == kTsSyncByte && extract_pcr(slot + at, pcr)) {
                live.TakePcr(slot + at);
                break;
            }
        }
        return true;
    };
    FollowRing(channel, follower);
}

// The PCR pacing of a DVB program: a PCR difference counts once it is longer than a pacing
// step (0.2 s and 0.2 s per unit of the bitrate constant); near the ring's oldest slot the
// reader catches up without sleeping.
class DvbPcrPace {
public:
    // The sleep after this packet in milliseconds (0: none).
    int64_t Next(const uint8_t* packet, bool near_tail)
    {
        int64_t pcr = 0;
        if (!extract_pcr(packet, pcr)) return 0;
        if (reference_ < 0) {
            reference_ = pcr;
            return 0;
        }
        if (pcr <= reference_) return 0;
        const double interval = static_cast<double>(pcr - reference_) / static_cast<double>(kPcrTicksPerSecond);
        if (interval <= static_cast<double>(g_config.bitrate_constant) * 0.2 + 0.2) return 0;
        reference_ = pcr;
        return near_tail ? 0 : sleep_.NextMs(interval);
    }

private:
    int64_t       reference_ = -1;
    PcrSleepCarry sleep_;
};

// A DVB program's packets in whole blocks, the blocks in a batch that waits until a pacing
// sleep, a full batch or an idle ring.
class DvbProgramSender {
public:
    DvbProgramSender(LiveStream& live, DvbProgramFilter& filter, int channel_number)
        : live_(live), filter_(filter), channel_number_(channel_number),
          batch_([this](const uint8_t* data, int length) {
              return live_.Send(data, length, "Thread[%d]:  IPTV_TS_HTTP_DataThread: errorno is [%d]\n", true);
          })
    {
    }
    // The program's packets of one slot, with the pacing sleeps between; false when a send failed.
    bool Slot(uint8_t* slot, int length, bool near_tail);
    bool Flush() { return batch_.Flush(); }

private:
    LiveStream&       live_;
    DvbProgramFilter& filter_;
    int               channel_number_;
    PacedBatch        batch_;
    DvbPcrPace        pace_;
    uint8_t           block_[kBlockSize];
    int               block_length_ = 0;
};

bool DvbProgramSender::Slot(uint8_t* slot, int length, bool near_tail)
{
    const int number = live_.number_;
    for (int at = 0; at + kTsPacketSize <= length; at += kTsPacketSize) {
        uint8_t* packet = slot + at;
        const DvbProgramFilter::Verdict verdict = filter_.Pass(packet);
        if (verdict == DvbProgramFilter::Verdict::kPat)
            LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : CH no.[%d] Found TS PAT\n", number, channel_number_);
        if (verdict == DvbProgramFilter::Verdict::kFirstPmt)
            LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : CH no.[%d] Found TS PMT\n", number, channel_number_);
        if (verdict == DvbProgramFilter::Verdict::kDrop) continue;
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
    }
    return true;
}

// The program from the joined ring on, slot by slot, until the viewer or the ring ends.
void SendDvbProgram(LiveStream& live, RingReader& ring, const ChannelRecord& ring_channel, DvbProgramFilter& filter,
                    int channel_number)
{
    DvbProgramSender sender(live, filter, channel_number);
    uint8_t slot[kRingSlotSize];
    while (!live.Stopped()) {
        filter.Refresh();
        int length = 0;
        const RingReader::Next next = ring.NextSlot(slot, length);
        if (next == RingReader::Next::kRetired) {
            sender.Flush();
            LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel input closed\n", live.number_);
            return;
        }
        if (next != RingReader::Next::kSlot) {
            if (!sender.Flush()) return;
            ring.WaitForWriter(100);
            continue;
        }
        const int32_t read = (ring.output_index() + kRingSlots - 1) % kRingSlots;
        const bool near_tail = (read - ring_channel.time_index.load() + kRingSlots) % kRingSlots <= 99;
        if (!sender.Slot(slot, length, near_tail)) return;
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
    ChannelRecord* ring_channel = &channel;
    if (source.dvb_sub != 0 && source.dvb_parent >= 0 && source.dvb_parent < table.Count())
        ring_channel = table.channels[static_cast<std::size_t>(source.dvb_parent)].get();
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

    RingReader ring(*ring_channel, false, number);
    const RingReader::Join join = ring.JoinBackward([&] { return live.Stopped(); });
    if (join == RingReader::Join::kNoInput) {
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (CH no.[%d] No Sync Data)\n", number, channel_number);
        return;
    }
    if (join != RingReader::Join::kJoined) return;
    LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : CH no.[%d] Found TS PAT ID = 0\n", number, channel_number);
    SendDvbProgram(live, ring, *ring_channel, filter, channel_number);
}

// A directory of MP4 files: from the first file on, paced by each file's bitrate.
void ServeMp4Directory(LiveStream& live, const ChannelTable& table, ChannelRecord& channel, int channel_number)
{
    const int number = live.number_;
    const std::vector<PlaylistEntry> files = DirectoryPlaylist(channel);
    if (files.empty()) return;
    int index = 0;
    int64_t offset = 0;
    const int probe = find_playlist_position(table.load_tick, static_cast<int64_t>(channel.total_duration), files.data(),
                                             static_cast<int>(files.size()), index, offset);
    if (probe < 0) {
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (IPTV find correct position failed)\n", number);
        return;
    }
    close(probe);
    // One batch for the whole stream: the sleep still owed at the end of a file carries over.
    FramedBatch batch([&](const uint8_t* data, int length) {
        return live.Send(data, length, "*** IPTV_PS_HTTP_DataThread [%d] Player closes TCP Socket : filename=[%s], Warning Code [%d]\n",
                         false, live.conn_.path);
    }, nullptr);
    EmptyLapGuard empty_laps(files.size());
    for (std::size_t j = 0; !live.Stopped();) {
        const char* path = files[j].path;
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (CH no.[%d], filename=[%s])\n", number, channel_number, path);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            LogSystemMessage("[%s] open failed\n", path);
            return;
        }
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread Starting (CH no.[%d], filename=[%s]\n", number, channel_number, path);
        const int32_t kbps = probe_bitrate_kbps(path);
        const int64_t sleep_us = BlockSleepMicroseconds(g_config.bitrate_constant, kbps);
        LogSystemMessage("HTTPDataThread IN: filename=[%s] Bitrate=[%d], Sleeptime=[%d]\n", path, kbps, static_cast<int>(sleep_us));
        BitratePacer pacer(sleep_us);
        int64_t streamed = 0;
        const bool ok = StreamFileBlocks("IPTV_TS_HTTP_DataThread", [&] { return live.Stopped(); }, batch, fd,
                                         [&](const uint8_t*, int) { return pacer.NextMs(); }, streamed);
        empty_laps.AfterFile(streamed);
        close(fd);
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread Close (CH no.[%d], filename=[%s])\n", number, channel_number, path);
        if (!ok) return;
        j = (j + 1) % files.size();
        LogSystemMessage("j=[%d]\n", static_cast<int>(j));
    }
}

// A directory of transport-stream files: every viewer joins at the playlist's "now".
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
bool ServeChannel(PlayerConnection& conn, ChannelTable& table, ChannelRecord& channel, int channel_number, int number)
{
    {
        // Already on the player list, whose readers (the player REST API) take its lock.
        ScopedLock listed(g_player_list.lock);
        CopyText(conn.group, "HTTP");
        CopyText(conn.mac_id, conn.user_name);
    }
    LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (CH no.[%d])\n", number, channel_number);
    LiveStream live(conn, number);
    switch (channel.FirstSource()->kind) {
    case kSourceRtpGroup:
    case kSourceRtpPort:
    case kSourceUdpGroup:
    case kSourceUdpPort: ServeDatagramChannel(live, channel, channel_number); break;
    case kSourceHttp:
    case kSourceRtsp:
    case kSourceRtspTs: ServeByteStreamChannel(live, channel, channel_number); break;
    case kSourceRtmp:
        // The ring of an RTMP source holds RTMP chunks, which no player takes as a stream.
        LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread : Channel [%d], RTMP input is not served over HTTP\n", number,
                         channel_number);
        break;
    case kSourceDvbGroup:
    case kSourceDvbPort: ServeDvbChannel(live, table, channel, channel_number); break;
    case kSourceMp4File: ServeMp4Directory(live, table, channel, channel_number); break;
    case kSourceFile: ServeTsDirectory(live, table, channel, channel_number); break;
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

}  // namespace

int32_t IPTV_TS_HTTP_DataThread(void* connection)
{
    auto& conn = *static_cast<PlayerConnection*>(connection);
    const int number = ThreadNumber();
    {
        int channel_number = 0;
        bool counted = false;
        bool error_close = false;
        DataThreadScope scope(g_http_service, conn);   // before the table: it ends last
        std::shared_ptr<ChannelTable> table;
        ChannelRecord* channel = nullptr;
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

        if (channel != nullptr && channel->sources.empty()) {
            LogSystemMessage("IPTV_TS_HTTP_DataThread: no IPTV programs in the channel [%d]\n", channel_number);
        } else if (channel != nullptr) {
            {
                ScopedLock held(channel->lock);
                ++channel->active_players;
            }
            counted = true;
            error_close = ServeChannel(conn, *table, *channel, channel_number, number);
        }

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
    }                                                  // the table, then the hand-off
    EndThread();
}
