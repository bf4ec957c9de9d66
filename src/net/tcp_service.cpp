#include "net/tcp_service.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "net/event_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>

static constexpr uint32_t kAcceptBackOffMs    = 100;   // after an accept that failed for a shortage
static constexpr uint32_t kAcceptBackOffSteps = 5;     // the stop state is looked at between steps

static void Trace(const char* text)
{
    if (text == nullptr || ConsoleDiscarded()) return;
    std::printf("%s", text);
    std::fflush(stdout);
}

static void Log(const char* text)
{
    if (text != nullptr) LogSystemMessage("%s", text);
}

void NoteAcceptOutcome(const ServiceListener& setup, std::atomic<bool>& failing, int error)
{
    const char* name = setup.service->name;
    if (error == 0) {
        if (failing.exchange(false)) LogSystemMessage("%s Server accepts clients again\n", name);
        return;
    }
    if (!failing.exchange(true)) LogSystemMessage("%s Server cannot accept a client (error %d); still listening\n", name, error);
}

// Accepts one waiting client. A failed accept that leaves the listener open (descriptors or
// memory short, a client that gave up in the queue) is logged once per run of failures and
// followed by a short back-off that a stop ends; the queued clients stay for the next try.
static void AcceptOne(const ServiceListener& setup, int& listener, std::atomic<bool>& failing)
{
    int error = 0;
    {
        CriticalSection fallback;
        ScopedLock held(setup.accept_lock != nullptr ? *setup.accept_lock : fallback);
        Trace(setup.lock_enter);
        sockaddr_in peer{};
        const int client = AcceptClient(listener, &peer);
        error = client < 0 ? errno : 0;
        if (client >= 0) setup.accept(client, peer);
        Trace(setup.lock_leave);
    }
    if (error != 0 && listener < 0) return;           // the socket itself failed: reopened later
    NoteAcceptOutcome(setup, failing, error);
    if (error == 0) return;
    for (uint32_t step = 0; step < kAcceptBackOffSteps && setup.service->stop_state->load() == 0; ++step)
        if (!SleepUnlessStopping(kAcceptBackOffMs / kAcceptBackOffSteps)) break;
}

PlayerConnection* AcceptForLoop(const ServiceListener& setup, const EventLoops& loops, int listener, int& error)
{
    CriticalSection fallback;
    ScopedLock held(setup.accept_lock != nullptr ? *setup.accept_lock : fallback);
    sockaddr_in peer{};
    const int client = AcceptWaitingClient(listener, &peer);
    error = client < 0 ? errno : 0;
    if (client < 0) return nullptr;
    // Logged once a client is there: a loop woken with another finds the queue empty.
    Log(setup.client_waiting);
    Trace(setup.lock_enter);
    PlayerConnection* conn = loops.adopt(client, peer);
    Trace(setup.lock_leave);
    return conn;
}

// The listener's wait while its loops accept: until the service stops.
static void AwaitStop(ConnectionService& service)
{
    while (service.stop_state->load() == 0) SleepUnlessStopping(200);
}

void RunServiceListener(const ServiceListener& setup)
{
    ConnectionService& service = *setup.service;
    ThreadRecord* monitor = nullptr;
    if (setup.monitor_first) monitor = StartThread(setup.monitor, nullptr, setup.monitor_name);

    int listener = OpenServiceListener(setup.port, setup.open_attempts);
    const int on = 1;
    const bool opened = listener >= 0;
    if (!opened || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        if (opened) CloseSocket(listener);
        setup.start_failed->store(1);
        g_startup_sema.Signal();
        Log(opened ? setup.reuse_failed : setup.open_failed);
        if (monitor != nullptr) {
            // The monitor started first ends with the service. A shutdown running meanwhile
            // writes 1 over the 2, so it is written until the monitor has seen it.
            while (!monitor->ended.load()) {
                service.stop_state->store(2);
                SleepMs(20);
            }
            StopThread(monitor);
            service.stop_state->store(0);
        }
        return;
    }
    g_startup_sema.Signal();
    Log(setup.starting);
    if (!setup.monitor_first) monitor = StartThread(setup.monitor, nullptr, setup.monitor_name);
    if (setup.after_start != nullptr) setup.after_start();

    const bool looping = setup.loops != nullptr && StartEventLoops(*setup.loops, setup, listener);
    if (looping) {
        AwaitStop(service);
    } else {
        std::atomic<bool> accept_failing{false};
        while (service.stop_state->load() == 0) {
            if (!WaitForClient(service, listener, setup.port)) continue;
            if (!accept_failing.load()) Log(setup.client_waiting);    // a storm of retries is not a client each
            AcceptOne(setup, listener, accept_failing);
        }
    }

    Log(setup.closing);
    service.stop_state->store(2);
    if (looping) StopEventLoops(*setup.loops);        // their connections go to the monitor first
    if (monitor != nullptr) StopThread(monitor);
    if (setup.after_monitor_stop != nullptr) setup.after_monitor_stop();
    Log(setup.monitor_closed);
    if (listener >= 0) CloseSocket(listener);
    Log(setup.closed);
    service.stop_state->store(0);
    Log(setup.out);
}

void RefuseClient(int client, const char* no_memory_log)
{
    Log(no_memory_log);
    CloseSocket(client);
}

void RegisterClient(ConnectionService& service, PlayerConnection& conn, int client, const sockaddr_in& peer,
                    int send_timeout_ms)
{
    RegisterConnection(service, conn);
    conn.socket.store(client);
    if (send_timeout_ms > 0) SetSocketTimeouts(client, 0, send_timeout_ms);
    inet_ntop(AF_INET, &peer.sin_addr, conn.client_ip, sizeof conn.client_ip);
}

void StartConnectionThreads(ConnectionService& service, PlayerConnection& conn, std::atomic<int32_t>& socket_users,
                            ThreadRoutine command, const char* command_name, ThreadRoutine data, const char* data_name)
{
    ThreadRecord* command_thread = StartThread(command, &conn, command_name);
    if (command_thread == nullptr) {
        AbandonConnection(service, conn);
        return;
    }
    conn.cmd_thread.store(command_thread);
    ThreadRecord* data_thread = StartThread(data, &conn, data_name);
    if (data_thread == nullptr) {
        conn.stop.store(1);
        conn.data_state.store(kConnThreadJoined);
        ReleaseSharedSocket(service, conn.socket, socket_users);
        {
            ScopedLock held(service.finished.lock);
            service.finished.list.AddTail(&conn);
        }
        NotifyFinished(service);
        return;
    }
    conn.data_thread.store(data_thread);
}

// A beat, and a reap as soon as a connection's last thread has ended: a short request is
// freed right after it was answered, so that a burst of short connections never piles up
// threads and memory. Every reap takes every finished record whose threads have ended.
void RunServiceMonitor(const ServiceMonitor& setup)
{
    ConnectionService& service = *setup.service;
    Log(setup.starting);
    uint64_t next_beat_ms = GetTickMs() + static_cast<uint64_t>(setup.beat_ms);
    while (service.stop_state->load() != 2) {
        const bool woken = WaitForFinished(service, setup.beat_ms);
        if (!woken && ProcessStopRaised()) SleepMs(20);   // stopping: the listener sets 2 soon
        // A short gather after a wake-up: under a burst one reap takes many connections
        // instead of one wake-up each.
        if (woken) SleepUnlessStopping(10);
        if (service.stop_state->load() == 2) break;
        ReapFinished(service);
        // Connections that keep finishing must not starve the beat.
        const uint64_t now = GetTickMs();
        if ((!woken || now >= next_beat_ms) && setup.idle_beat != nullptr) {
            setup.idle_beat();
            next_beat_ms = now + static_cast<uint64_t>(setup.beat_ms);
        }
    }
    Log(setup.closing);
    SleepUnlessStopping(3000);
    ReapAllFinished(service, setup.final_wait_ms);
    if (setup.after_sweep != nullptr) setup.after_sweep();
    Log(setup.closed);
}

DataThreadScope::DataThreadScope(ConnectionService& service, PlayerConnection& conn, Mode mode)
    : service_(service), conn_(conn), mode_(mode)
{
}

DataThreadScope::~DataThreadScope()
{
    HandToMonitor();
    Uncount();
    if (mode_ == kOnCommandThread) return;      // the command thread's own end follows
    conn_.data_state.store(kConnThreadDone);    // the last access to the connection
    NotifyFinished(service_);
}

void DataThreadScope::Count()
{
    if (counted_) return;
    counted_ = true;
    AddTotalConnection(1);
}

void DataThreadScope::Uncount()
{
    if (!counted_) return;
    counted_ = false;
    AddTotalConnection(-1);
}

void DataThreadScope::JoinPlayers()
{
    JoinPlayerList(conn_);
    joined_ = true;
}

void DataThreadScope::LeavePlayers()
{
    if (joined_) LeavePlayerList(conn_);
}

void DataThreadScope::HandToMonitor()
{
    if (handed_ || mode_ == kOnCommandThread) return;
    handed_ = true;
    LeavePlayers();
    ScopedLock held(service_.finished.lock);
    service_.finished.list.AddTail(&conn_);
}
