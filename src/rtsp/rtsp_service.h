#pragma once
// The RTSP service: its listener and monitor on the shared skeleton, the per-session record,
// the data thread's entry and exit, the active list of playing sessions and the session and
// server-port counters.

#include "channels/channel_table.h"
#include "net/connection.h"
#include "rtsp/rtsp_request.h"
#include "stream/pacing.h"

#include <atomic>
#include <mutex>
#include <cstdint>
#include <memory>
#include <string>

constexpr int      kRtspReceiveThreads = 4;

enum RtspMediaKind : uint8_t {
    kRtspMediaNone = 0,
    kRtspMediaFile = 1,
    kRtspMediaLive = 2,
};

class RtspConnection : public PlayerConnection {
public:
    RtspConnection() = default;
    ~RtspConnection() override;

    // The receive threads of the two SETUP pairs, their states and sockets (-1 when closed).
    std::atomic<ThreadRecord*> receive_thread[kRtspReceiveThreads]{};
    std::atomic<int32_t>       receive_state[kRtspReceiveThreads]{kConnThreadJoined, kConnThreadJoined,
                                                                  kConnThreadJoined, kConnThreadJoined};
    std::atomic<int>           receive_socket[kRtspReceiveThreads]{-1, -1, -1, -1};
    std::atomic<uint8_t>       receive_quit[kRtspReceiveThreads]{};   // ends one thread early

    std::atomic<int32_t>  transport{kRtspTransportNone};
    int32_t               setup_parity = 0;
    std::atomic<uint32_t> session{0};
    uint32_t              cseq = 0;
    std::atomic<uint8_t>  paused{0};
    std::atomic<uint8_t>  seek_request{0};
    int32_t               scale = 1;
    int32_t               trick_mode = 0;
    std::atomic<uint8_t>  media_kind{kRtspMediaNone};
    int32_t               payload_type = 33;
    int32_t               bitrate_kbps = 1000;
    double                first_pcr_time = 0;
    std::atomic<double>   last_pcr_time{0};       // the data thread's pacing clock, read by replies
    std::atomic<double>   current_position{0};
    std::atomic<double>   requested_start{0};
    uint64_t              last_pcr_value = 0;
    std::atomic<int64_t>  byte_position{0};       // how far the data thread has read its file
    int32_t               server_rtp_port = 0;
    int32_t               server_rtcp_port = 0;
    int32_t               client_rtp_port = 0;
    int32_t               client_rtcp_port = 0;
    uint8_t               interleaved_rtp = 0;        // the client's channels from SETUP
    uint8_t               interleaved_rtcp = 1;
    std::atomic<int32_t>  cmd_waiting{0};
    std::atomic<bool>     described{false};           // the last DESCRIBE found its media
    std::atomic<bool>     playing{false};             // a PLAY has started the data thread
    std::atomic<uint64_t> last_heard_ms{0};           // the last request or datagram
    std::atomic<uint64_t> receive_log_ms{0};          // the receive threads log a datagram again from then
    Position              active_node = nullptr;      // guarded by g_rtsp_active.lock
    // The RTSP connection's socket has two users, the command and the data thread: the first
    // to leave shuts it down (which wakes the other), the second closes it.
    std::atomic<int32_t>  socket_users{2};
    // Replies and media share the connection: each reply and each batch of packets is written
    // whole under this lock.
    std::mutex            send_lock;

    bool JoinServiceThreads() override;
    FileClock Clock() { return {last_pcr_time, current_position, last_pcr_value}; }
};

// Writes all of data on the session's RTSP connection under its send lock; false when the
// connection is gone or the send failed.
bool SendOnConnection(RtspConnection& conn, const void* data, std::size_t length);

extern ConnectionService g_rtsp_service;
// This machine's address as the listener found it (the SDP and the SETUP replies name it).
extern char g_rtsp_local_ip[32];
// Sessions that have had their first PLAY.
extern LockedList g_rtsp_active;

int32_t RTSPServerProcess(void* unused);
int32_t RTSP_Monitor_Server(void* unused);
int32_t RTSP_DataThread(void* connection);
int32_t RTSP_CmdThread(void* connection);

// The streaming modes of a playing session; each returns when the session must end.
void RtspStreamStoredFile(RtspConnection& conn, int thread_number);
void IPTV_TS_RTSP_DataThread(RtspConnection& conn, int thread_number);
void RTSP_Time_Shift_Video_Streaming(RtspConnection& conn, int thread_number);
// The entry of the live and time-shift modes: the stop check, the channel the session's path
// names (channel 1 without ".ch") and, while the mode runs, one more on the channel's
// active-player count; each step with its log line. channel() is null when the session must
// end (its stop flag is then set).
class RtspChannelViewing {
public:
    RtspChannelViewing(RtspConnection& conn, int thread_number, bool sources_needed = true);
    ~RtspChannelViewing();
    RtspChannelViewing(const RtspChannelViewing&) = delete;
    RtspChannelViewing& operator=(const RtspChannelViewing&) = delete;
    ChannelRecord* channel() const { return channel_; }
    const ChannelTable& table() const { return *table_; }
    int channel_number() const { return channel_number_; }

private:
    std::shared_ptr<ChannelTable> table_;
    ChannelRecord*                channel_ = nullptr;
    int                           channel_number_ = 0;
};

// Whether the live mode can stream the channel (as the source table says; a channel number
// out of range is refused later); a SETUP of a channel it cannot stream is refused rather than
// answered with silence, and the refusal logged once per channel.
bool RtspLiveChannelPlayable(int channel_number);

// Takes the next session number (from 1000) and the next server port (from 3000, again from
// 3000 after 65535); each one atomic step.
uint32_t NextRtspSession();
uint16_t NextRtspServerPort();

// One user of the connection's socket leaves: the first shuts it down, the last closes it.
void ReleaseRtspSocket(RtspConnection& conn);
// Closes receive socket i (under the UDP socket-close lock).
void CloseReceiveSocket(RtspConnection& conn, int i);
// Closes a sending UDP socket of a session (under the UDP socket-close lock).
void CloseRtspUdpSocket(int socket);
// Puts the session on the active list (once) and takes it off.
void EnterActiveList(RtspConnection& conn);
void LeaveActiveList(RtspConnection& conn);
