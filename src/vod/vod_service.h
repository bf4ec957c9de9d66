#pragma once
// The set-top VOD service: boxes ask on a control connection for a film, get a data port of
// their own, confirm on it and receive the bare transport stream, paced by its PCRs, while the
// control connection carries pause, resume, seeks and skips. Listener and monitor run on the
// shared TCP service skeleton; per session a command thread and a data thread.

#include "net/connection.h"
#include "stream/pacing.h"

#include <atomic>
#include <cstdint>

// How long a box may take to open its data connection after the reply (and to open it again
// after BEFORE_SEEK), and to send its request and its confirmation: a box does each within a
// second; one that does not is gone, and its session frees the port and both threads.
constexpr uint64_t kVodDataConnectWaitMs = 20000;
constexpr int      kVodReceiveWaitMs     = 10000;

enum VodSeekState : uint8_t {
    kVodSeekNone      = 0,
    kVodSeekPending   = 1,
    kVodSeekReconnect = 2,     // BEFORE_SEEK: the box reconnects its data connection
};

class VodConnection : public PlayerConnection {
public:
    VodConnection() = default;
    ~VodConnection() override;

    std::atomic<int>     data_socket{-1};
    std::atomic<int>     data_listener{-1};
    std::atomic<uint8_t> teardown{0};
    std::atomic<uint8_t> paused{0};
    std::atomic<uint8_t> seek_state{kVodSeekNone};
    // Set by BEFORE_SEEK and cleared once the box has confirmed its new data connection; a
    // SEEKTO sent meanwhile makes the seek state 1 but keeps the reconnection.
    std::atomic<uint8_t> reconnect{0};
    // The pending seek, guarded by lock (the commands write it, the data thread takes it):
    // a time (seconds from SEEKTO) or a byte position (from a skip or a takeover).
    bool                 seek_by_bytes = false;
    double               requested_start = 0;
    int64_t              seek_byte = 0;
    std::atomic<int64_t> byte_position{0};      // how far the data thread has read the film
    std::atomic<int64_t> film_size{0};
    std::atomic<int32_t> bitrate_kbps{0};
    int64_t              duration_seconds = 0;
    double               first_pcr_time = 0;
    std::atomic<double>  last_pcr_time{0};
    std::atomic<double>  current_position{0};   // seconds from the film's first PCR
    uint64_t             last_pcr_value = 0;
    std::atomic<int32_t> cmd_waiting{0};
    // Set once the film is confirmed and open: the command thread starts reading commands.
    std::atomic<uint8_t> film_started{0};
    // The control connection's users, the command and the data thread: the first to leave
    // shuts it down (waking the other), the last closes it.
    std::atomic<int32_t> socket_users{2};
    uint32_t             peer_address = 0;      // of the control connection, network order
    char                 account[kCredentialSize] = "";   // billed and logged: MAC ID, "root" or client IP
    Position             vod_node = nullptr;    // guarded by g_vod_players.lock

    FileClock Clock() { return {last_pcr_time, current_position, last_pcr_value}; }
};

extern ConnectionService g_vod_service;
// Sessions that stream, for the same-box check.
extern LockedList g_vod_players;

int32_t VOD_RTP_UDP_ServerProcess(void* unused);
int32_t VOD_Monitor_Server(void* unused);
int32_t VOD_RTP_UDP_CmdThread(void* connection);
int32_t VOD_RTP_UDP_DataThread(void* connection);

// True while the session may go on: stop flag clear, service and process running.
bool VodSessionRunning(const VodConnection& conn);
// Takes the next data port (vod_base_port + k, k from 1 to 999 and round again).
int NextVodDataPort();
// Ends the first streaming session of the same box (its position passes to conn as a pending
// byte seek unless it had its TEARDOWN).
void TakeOverSameBox(VodConnection& conn);
// Puts a streaming session on the VOD player list and takes it off.
void EnterVodPlayers(VodConnection& conn);
void LeaveVodPlayers(VodConnection& conn);
