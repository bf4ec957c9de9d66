#include "rtsp/rtsp_service.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "core/threads.h"
#include "net/tcp_service.h"
#include "rtsp/rtp_framing.h"

#include <arpa/inet.h>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

ConnectionService g_rtsp_service{"RTSP", &g_rtsp_stop_state, {}, {}, {0}, {}, {-1},
                                 "Dynamically hDataThread [%d]: in Finished List \n",
                                 "Dynamically hCmdThread [%d]: in Finished List \n",
                                 "CmdThread[%d] DataThread[%d]: VOD Finished \n"};
LockedList g_rtsp_active;
char       g_rtsp_local_ip[32] = "";

static CriticalSection       g_rtsp_accept_lock;      // the listener's own lock
static CriticalSection       g_rtsp_udp_close_lock;   // receive and sending UDP sockets
static std::atomic<uint32_t> g_rtsp_session_counter{1000};
static std::atomic<uint32_t> g_rtsp_port_counter{3000};

static const char* const kReceiveJoinedLogs[kRtspReceiveThreads] = {
    "Dynamically hRTP_DataThread_0 [%d]: in Finished List \n",
    "Dynamically hRTCP_DataThread_1 [%d]: in Finished List \n",
    "Dynamically hRTP_DataThread_2 [%d]: in Finished List \n",
    "Dynamically hRTCP_DataThread_3 [%d]: in Finished List \n",
};

RtspConnection::~RtspConnection()
{
    for (int i = 0; i < kRtspReceiveThreads; ++i) {
        const int fd = receive_socket[i].exchange(-1);
        if (fd >= 0) CloseSocket(fd);
    }
}

bool RtspConnection::JoinServiceThreads()
{
    bool all = true;
    for (int i = 0; i < kRtspReceiveThreads; ++i) {
        if (receive_state[i].load() == kConnThreadDone) {
            ThreadRecord* record = receive_thread[i].exchange(nullptr);
            if (record != nullptr) {
                const uint32_t number = record->thread_id;
                StopThread(record);
                LogSystemMessage(kReceiveJoinedLogs[i], number);
            }
            receive_state[i].store(kConnThreadJoined);
        }
        all = all && receive_state[i].load() == kConnThreadJoined;
    }
    return all;
}

uint32_t NextRtspSession() { return g_rtsp_session_counter.fetch_add(1); }

uint16_t NextRtspServerPort()
{
    uint32_t port = g_rtsp_port_counter.load();
    while (!g_rtsp_port_counter.compare_exchange_weak(port, port >= 65535 ? 3000 : port + 1)) {
    }
    return static_cast<uint16_t>(port);
}

void ReleaseRtspSocket(RtspConnection& conn) { ReleaseSharedSocket(g_rtsp_service, conn.socket, conn.socket_users); }

void CloseReceiveSocket(RtspConnection& conn, int i)
{
    ScopedLock held(g_rtsp_udp_close_lock);
    const int fd = conn.receive_socket[i].exchange(-1);
    if (fd >= 0) CloseSocket(fd);
}

void CloseRtspUdpSocket(int socket)
{
    ScopedLock held(g_rtsp_udp_close_lock);
    CloseSocket(socket);
}

void EnterActiveList(RtspConnection& conn) { EnterLockedList(g_rtsp_active, conn.active_node, &conn); }

void LeaveActiveList(RtspConnection& conn) { LeaveLockedList(g_rtsp_active, conn.active_node); }

// Takes an accepted client: its record and both of its threads.
static void AcceptRtspClient(int client, const sockaddr_in& peer)
{
    const int on = 1;
    if (setsockopt(client, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        // One connection's socket option: that connection is closed, the listener goes on.
        LogSystemMessage("Share RTSP Accept socket [%d] failed\n", client);
        CloseSocket(client);
        return;
    }
    auto* conn = AdoptClient<RtspConnection>(g_rtsp_service, client, peer, "Memory allocated failed\n", 5000);
    if (conn == nullptr) return;
    conn->cmd_start_tick.store(GetTickMs());
    conn->last_heard_ms.store(GetTickMs());
    LogSystemMessage("A Client IP=[%s] Connects RTSP Server\n", conn->client_ip);
    StartConnectionThreads(g_rtsp_service, *conn, conn->socket_users, RTSP_CmdThread, "RTSPCmd", RTSP_DataThread, "RTSPData");
}

int32_t RTSPServerProcess(void* /*unused*/)
{
    {
        GetLocalIpAddress(g_rtsp_local_ip, sizeof g_rtsp_local_ip);
        ServiceListener setup;
        setup.service        = &g_rtsp_service;
        setup.port           = static_cast<uint16_t>(g_config.iptv_base_port);
        setup.open_attempts  = 1;
        setup.start_failed   = &g_rtsp_start_failed;
        setup.monitor        = RTSP_Monitor_Server;
        setup.monitor_name   = "RTSPMonitor";
        setup.monitor_first  = true;
        setup.accept         = AcceptRtspClient;
        setup.accept_lock    = &g_rtsp_accept_lock;
        setup.open_failed    = "open RTSP socket failed\n";
        setup.reuse_failed   = "Share RTSP socket failed\n";
        setup.starting       = "RTSP Server Starting\n";
        setup.closing        = "Start to Close RTSP Server\n";
        setup.monitor_closed = "hRTSP Monitor Threadr Closed\n";
        setup.closed         = "RTSP Server Closed\n";
        RunServiceListener(setup);
    }
    EndThread();
}

int32_t RTSP_Monitor_Server(void* /*unused*/)
{
    {
        ServiceMonitor setup;
        setup.service  = &g_rtsp_service;
        setup.starting = "RTSP_Monitor_Server Starting\n";
        setup.closing  = "RTSP_Monitor_Server Remove the Suspend Thread\n";
        setup.closed   = "RTSP_Monitor_Server Closed\n";
        RunServiceMonitor(setup);
    }
    EndThread();
}

// Sleeps on the wake-up semaphore until the command thread wakes it (first PLAY, TEARDOWN,
// close, stop) or the service stops.
static void WaitForWakeUp(RtspConnection& conn)
{
    while (conn.stop.load() == 0 && g_rtsp_stop_state.load() == 0 && !ProcessStopRaised()) {
        if (conn.wake.WaitFor(1000) && (conn.playing.load() || conn.stop.load() != 0)) return;
    }
}

int32_t RTSP_DataThread(void* connection)
{
    auto& conn = *static_cast<RtspConnection*>(connection);
    const int number = ThreadNumber();
    {
        DataThreadScope scope(g_rtsp_service, conn);
        // The positions start at 0 with the record; the command thread owns them until PLAY.
        WaitForWakeUp(conn);
        scope.Count();
        if (conn.stop.load() == 0 && g_rtsp_stop_state.load() == 0) {
            // Only a session that plays displaces its user's earlier one (not one that ends
            // before its first PLAY).
            if (g_config.user_authorization && std::strcmp(conn.user_name, "root") != 0)
                DiscardPreviousConnection(conn, g_rtsp_active);
            if (conn.media_kind.load() != kRtspMediaLive) RtspStreamStoredFile(conn, number);
            else if (g_config.iptv_time_shift_record_duration >= 10) RTSP_Time_Shift_Video_Streaming(conn, number);
            else IPTV_TS_RTSP_DataThread(conn, number);
        }

        if (conn.file >= 0) {
            close(conn.file);
            conn.file = -1;
        }
        LogSystemMessage("DataThread[%d]: Start to Leave RTSP Data Thread \n", number);
        LeaveActiveList(conn);
        scope.HandToMonitor();
        ReleaseRtspSocket(conn);
        scope.Uncount();
        LogSystemMessage("DataThread[%d]: Leave RTSP Data Thread \n", number);
    }
    EndThread();
}
