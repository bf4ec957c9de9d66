#include "vod/vod_service.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "net/tcp_service.h"
#include "vod/vod_request.h"

#include <arpa/inet.h>
#include <new>

ConnectionService g_vod_service{"VOD", &g_vod_stop_state, {}, {}, {0}, {}, {-1}, nullptr, nullptr, nullptr};
LockedList        g_vod_players;

static CriticalSection g_vod_accept_lock;       // the listener's own lock
static CriticalSection g_vod_port_lock;
static int             g_vod_port_counter = 1;  // guarded by g_vod_port_lock

VodConnection::~VodConnection()
{
    // Freed by the monitor: the one line it logs per record.
    LogSystemMessage("Player MAC ID[%s] CmdThread[%d] DataThread[%d]: VOD Finished \n", mac_id, cmd_thread_number,
                     data_thread_number);
    for (std::atomic<int>* fd : {&data_socket, &data_listener}) {
        const int open = fd->exchange(-1);
        if (open >= 0) CloseSocket(open);
    }
}

bool VodSessionRunning(const VodConnection& conn)
{
    return conn.stop.load() == 0 && g_vod_stop_state.load() == 0 && !ProcessStopRaised();
}

int NextVodDataPort()
{
    ScopedLock held(g_vod_port_lock);
    const int port = g_config.vod_base_port + g_vod_port_counter;
    g_vod_port_counter = g_vod_port_counter >= 999 ? 1 : g_vod_port_counter + 1;
    return port;
}

void TakeOverSameBox(VodConnection& conn)
{
    if (conn.mac_id[0] == '\0') return;
    ScopedLock held(g_vod_players.lock);
    for (Position at = g_vod_players.list.GetHeadPosition(); at != nullptr;) {
        auto* old = static_cast<VodConnection*>(g_vod_players.list.GetNext(at));
        if (old == &conn || !SameBox(old->mac_id, conn.mac_id)) continue;
        if (old->cmd_waiting.load() == 0) old->wake.Signal();
        if (old->teardown.load() == 0) {
            // The box goes on where it was.
            ScopedLock seek(conn.lock);
            conn.seek_by_bytes = true;
            conn.seek_byte = old->byte_position.load();
            conn.seek_state.store(kVodSeekPending);
        }
        old->teardown.store(1);
        old->stop.store(1);
        old->wake.Signal();
        // Its data thread may be blocked in a send the box no longer reads.
        WakeSocket(g_vod_service, old->data_socket);
        LogSystemMessage("Found a thread using the same box\n");
        return;
    }
}

void EnterVodPlayers(VodConnection& conn) { EnterLockedList(g_vod_players, conn.vod_node, &conn); }

void LeaveVodPlayers(VodConnection& conn) { LeaveLockedList(g_vod_players, conn.vod_node); }

// Takes an accepted control connection: its record, its command thread and its data thread.
static void AcceptVodClient(int client, const sockaddr_in& peer)
{
    auto* conn = AdoptClient<VodConnection>(g_vod_service, client, peer, "Memory allocated failed\n", 0);
    if (conn == nullptr) return;
    conn->cmd_start_tick.store(GetTickMs());
    conn->peer_address = peer.sin_addr.s_addr;
    StartConnectionThreads(g_vod_service, *conn, conn->socket_users, VOD_RTP_UDP_CmdThread, "VODCmd", VOD_RTP_UDP_DataThread,
                           "VODData");
}

int32_t VOD_RTP_UDP_ServerProcess(void* /*unused*/)
{
    {
        ServiceListener setup;
        setup.service        = &g_vod_service;
        setup.port           = static_cast<uint16_t>(g_config.vod_base_port);
        setup.open_attempts  = 1;
        setup.start_failed   = &g_vod_start_failed;
        setup.monitor        = VOD_Monitor_Server;
        setup.monitor_name   = "VODMonitor";
        setup.monitor_first  = true;
        setup.accept         = AcceptVodClient;
        setup.accept_lock    = &g_vod_accept_lock;
        setup.open_failed    = "open vod socket failed\n";
        setup.starting       = "VOD RTP UDP Server Starting\n";
        setup.closing        = "Start to Close VOD RTP UDP Server\n";
        setup.monitor_closed = "hVOD Monitor Threadr Closed\n";
        setup.closed         = "VOD RTP UDP Server Closed\n";
        RunServiceListener(setup);
    }
    EndThread();
}

int32_t VOD_Monitor_Server(void* /*unused*/)
{
    {
        ServiceMonitor setup;
        setup.service  = &g_vod_service;
        setup.starting = "VOD_Monitor_Server Starting\n";
        setup.closed   = "VOD_Monitor_Server Closed\n";
        RunServiceMonitor(setup);
    }
    EndThread();
}
