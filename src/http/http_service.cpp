#include "http/http_service.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "http/http_request.h"
#include "http/live_sender.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sys/socket.h>

ConnectionService g_http_service{"HTTP", &g_http_stop_state, {}, {}, {0}, {}, {-1}};
char              g_http_local_ip[32];

static CriticalSection g_http_accept_lock;          // the listener's own lock
// The command threads: parked workers that take one accepted connection after another.
static WorkerPool      g_http_workers{ServeHttpConnection, "HTTPCmd", {}, {}, {}, {}, {}, 0, false};

static void AcceptOne(int& listener)
{
    ScopedLock held(g_http_accept_lock);
    std::printf("Enter HTTP_CreateCmdThread_Mutex\n");
    sockaddr_in peer{};
    const int client = AcceptClient(listener, &peer);
    if (client >= 0) {
        auto* conn = new (std::nothrow) PlayerConnection;
        if (conn == nullptr) {
            LogSystemMessage("HTTPServerProcess: Memory allocated failed\n");
            CloseSocket(client);
        } else {
            RegisterConnection(g_http_service, *conn);
            conn->socket.store(client);
            conn->cmd_start_tick.store(GetTickMs());
            SetSocketTimeouts(client, 0, 5000);
            inet_ntop(AF_INET, &peer.sin_addr, conn->client_ip, sizeof conn->client_ip);
            CopyText(conn->group, "Web");
            LogSystemMessage("A Client IP=[%s] Connects HTTP Server\n", conn->client_ip);
            if (!RunOnWorker(g_http_workers, *conn)) AbandonConnection(g_http_service, *conn);
        }
    }
    std::printf("Leave HTTP_CreateCmdThread_Mutex\n");
    std::fflush(stdout);
}

int32_t HTTPServerProcess(void* /*unused*/)
{
    {
        GetLocalIpAddress(g_http_local_ip, sizeof g_http_local_ip);
        const auto port = static_cast<uint16_t>(std::atoi(g_config.httpport));
        int listener = OpenServiceListener(port, 100);
        const int on = 1;
        if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            if (listener >= 0) CloseSocket(listener);
            g_http_start_failed.store(1);
            g_startup_sema.Signal();
            EndThread();
        }
        g_startup_sema.Signal();
        LogSystemMessage("HTTP Server Starting\n");
        ThreadRecord* monitor = StartThread(HTTP_Monitor_Server, nullptr, "HTTPMonitor");

        while (g_http_stop_state.load() == 0) {
            if (!WaitForClient(g_http_service, listener, port)) continue;
            LogSystemMessage("A HTTP Client wants to connect HTTP Connection\n");
            AcceptOne(listener);
        }

        LogSystemMessage("HTTPServerProcess: Start to Close HTTP Server\n");
        g_http_stop_state.store(2);
        StopThread(monitor);
        StopWorkers(g_http_workers);
        LogSystemMessage("HTTPServerProcess: hHTTP Monitor Thread Closed\n");
        CloseSocket(listener);
        LogSystemMessage("HTTP Server Closed\n");
        g_http_stop_state.store(0);
        LogSystemMessage("HTTPServerProcess OUT\n");
    }
    EndThread();
}

// A 3-second beat, and a reap as soon as a connection's last thread has ended: a page request
// is freed right after it was answered, so that a burst of short connections never piles up
// threads and memory. Every reap takes every finished record whose threads have ended.
int32_t HTTP_Monitor_Server(void* /*unused*/)
{
    {
        while (g_http_stop_state.load() != 2) {
            const bool woken = WaitForFinished(g_http_service, 3000);
            if (!woken && ProcessStopRaised()) SleepMs(20);   // stopping: the listener sets 2 soon
            // A short gather after a wake-up: under a burst of requests one reap takes many
            // connections instead of one wake-up each.
            if (woken) SleepUnlessStopping(10);
            if (g_http_stop_state.load() == 2) break;
            ReapFinished(g_http_service);
            if (!woken) JoinIdleLiveSenders();
        }
        LogSystemMessage("Start to close HTTP_Monitor Server\n");
        SleepUnlessStopping(3000);
        ReapAllFinished(g_http_service, 15000);
        JoinIdleLiveSenders(2000);
        LogSystemMessage("HTTP_Monitor_Server Closed\n");
    }
    EndThread();
}
