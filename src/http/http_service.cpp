#include "http/http_service.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "http/http_hls.h"
#include "http/http_request.h"
#include "net/event_loop.h"
#include "net/tcp_service.h"
#include "stream/hls_segmenter.h"
#include "stream/live_sender.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

ConnectionService g_http_service{"HTTP", &g_http_stop_state, {}, {}, {0}, {}, {-1}};
char              g_http_local_ip[32];

static CriticalSection g_http_accept_lock;          // the listener's own lock
// The command threads: parked workers that take one connection after another.
WorkerPool g_http_workers{ServeHttpConnection, "HTTPCmd", {}, {}, {}, {}, 0, false};
// The event loops that accept clients, read their heads and answer pages.
static EventLoops g_http_loops;
constexpr int kLoopsMax = 8;

// An accepted client's record, registered, and the log line of its arrival.
static HttpConnection* AdoptHttpClient(int client, const sockaddr_in& peer, int send_timeout_ms)
{
    auto* conn = AdoptClient<HttpConnection>(g_http_service, client, peer, "HTTPServerProcess: Memory allocated failed\n",
                                             send_timeout_ms);
    if (conn == nullptr) return nullptr;
    conn->cmd_start_tick.store(GetTickMs());
    CopyText(conn->group, "Web");
    LogSystemMessage("A Client IP=[%s] Connects HTTP Server\n", conn->client_ip);
    return conn;
}

// The listener's own accept, when no event loop runs: a command worker reads the head.
static void AcceptHttpClient(int client, const sockaddr_in& peer)
{
    HttpConnection* conn = AdoptHttpClient(client, peer, kHttpSendTimeoutMs);
    if (conn != nullptr && !RunOnWorker(g_http_workers, *conn)) AbandonConnection(g_http_service, *conn);
}

// An event loop's: the loop reads the head, and the command starts now. The send time-out is
// set when the connection is passed on to a thread (the loop never blocks on a send).
static PlayerConnection* AdoptLoopClient(int client, const sockaddr_in& peer)
{
    HttpConnection* conn = AdoptHttpClient(client, peer, 0);
    if (conn == nullptr) return nullptr;
    static thread_local const int loop_number = ThreadNumber();   // asking costs a system call
    conn->number = loop_number;
    LogSystemMessage("*** HTTPCmdThread [%d] IN\n", conn->number);
    return conn;
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
        g_http_loops.count   = std::clamp(UsableCores(), 1, kLoopsMax);   // one per core
        g_http_loops.wait_ms = HttpHeadWaitMs();
        g_http_loops.adopt   = AdoptLoopClient;
        g_http_loops.ready   = HttpHeadReady;
        g_http_loops.expired = HttpHeadExpired;
        setup.loops          = &g_http_loops;
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
