#include "http/http_service.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "http/http_hls.h"
#include "http/http_request.h"
#include "net/tcp_service.h"
#include "stream/hls_segmenter.h"
#include "stream/live_sender.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sys/socket.h>

ConnectionService g_http_service{"HTTP", &g_http_stop_state, {}, {}, {0}, {}, {-1}};
char              g_http_local_ip[32];

static CriticalSection g_http_accept_lock;          // the listener's own lock
// The command threads: parked workers that take one accepted connection after another.
static WorkerPool      g_http_workers{ServeHttpConnection, "HTTPCmd", {}, {}, {}, {}, 0, false};

// Takes an accepted client: its record, and a command worker to serve it.
static void AcceptHttpClient(int client, const sockaddr_in& peer)
{
    auto* conn = AdoptClient<PlayerConnection>(g_http_service, client, peer, "HTTPServerProcess: Memory allocated failed\n", 5000);
    if (conn == nullptr) return;
    conn->cmd_start_tick.store(GetTickMs());
    CopyText(conn->group, "Web");
    LogSystemMessage("A Client IP=[%s] Connects HTTP Server\n", conn->client_ip);
    if (!RunOnWorker(g_http_workers, *conn)) AbandonConnection(g_http_service, *conn);
}

static void StopHttpWorkers() { StopWorkers(g_http_workers); }

int32_t HTTPServerProcess(void* /*unused*/)
{
    {
        GetLocalIpAddress(g_http_local_ip, sizeof g_http_local_ip);
        ServiceListener setup;
        setup.service        = &g_http_service;
        setup.port           = static_cast<uint16_t>(std::atoi(g_config.httpport));
        setup.open_attempts  = 100;
        setup.start_failed   = &g_http_start_failed;
        setup.monitor        = HTTP_Monitor_Server;
        setup.monitor_name   = "HTTPMonitor";
        setup.accept         = AcceptHttpClient;
        setup.after_monitor_stop = StopHttpWorkers;
        setup.accept_lock    = &g_http_accept_lock;
        setup.starting       = "HTTP Server Starting\n";
        setup.client_waiting = "A HTTP Client wants to connect HTTP Connection\n";
        setup.lock_enter     = "Enter HTTP_CreateCmdThread_Mutex\n";
        setup.lock_leave     = "Leave HTTP_CreateCmdThread_Mutex\n";
        setup.closing        = "HTTPServerProcess: Start to Close HTTP Server\n";
        setup.monitor_closed = "HTTPServerProcess: hHTTP Monitor Thread Closed\n";
        setup.closed         = "HTTP Server Closed\n";
        setup.out            = "HTTPServerProcess OUT\n";
        RunServiceListener(setup);
    }
    EndThread();
}

static void JoinIdleSenders()
{
    JoinRetiredThreads();
    JoinIdleLiveSenders();
    JoinIdleHlsSegmenters();
    ExpireCatchUpViewings(false);
}
static void JoinLastSenders()
{
    JoinIdleLiveSenders(2000);
    JoinRetiredThreads();
    JoinIdleHlsSegmenters(2000);
    ExpireCatchUpViewings(true);
}

int32_t HTTP_Monitor_Server(void* /*unused*/)
{
    {
        ServiceMonitor setup;
        setup.service     = &g_http_service;
        setup.idle_beat   = JoinIdleSenders;
        setup.after_sweep = JoinLastSenders;
        setup.closing     = "Start to close HTTP_Monitor Server\n";
        setup.closed      = "HTTP_Monitor_Server Closed\n";
        RunServiceMonitor(setup);
    }
    EndThread();
}
