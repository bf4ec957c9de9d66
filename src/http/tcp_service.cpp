#include "http/tcp_service.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"

#include <cstdio>
#include <sys/socket.h>

static void Trace(const char* text)
{
    if (text == nullptr) return;
    std::printf("%s", text);
    std::fflush(stdout);
}

static void Log(const char* text)
{
    if (text != nullptr) LogSystemMessage("%s", text);
}

static void AcceptOne(const ServiceListener& spec, int& listener)
{
    CriticalSection fallback;
    ScopedLock held(spec.accept_lock != nullptr ? *spec.accept_lock : fallback);
    Trace(spec.lock_enter);
    sockaddr_in peer{};
    const int client = AcceptClient(listener, &peer);
    if (client >= 0) spec.accept(client, peer);
    Trace(spec.lock_leave);
}

void RunServiceListener(const ServiceListener& spec)
{
    ConnectionService& service = *spec.service;
    ThreadRecord* monitor = nullptr;
    if (spec.monitor_first) monitor = StartThread(spec.monitor, nullptr, spec.monitor_name);

    int listener = OpenServiceListener(spec.port, spec.open_attempts);
    const int on = 1;
    const bool opened = listener >= 0;
    if (!opened || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        if (opened) CloseSocket(listener);
        spec.start_failed->store(1);
        g_startup_sema.Signal();
        Log(opened ? spec.reuse_failed : spec.open_failed);
        if (monitor != nullptr) {
            // The monitor started first ends with the service.
            service.stop_state->store(2);
            StopThread(monitor);
            service.stop_state->store(0);
        }
        return;
    }
    g_startup_sema.Signal();
    Log(spec.starting);
    if (!spec.monitor_first) monitor = StartThread(spec.monitor, nullptr, spec.monitor_name);

    while (service.stop_state->load() == 0) {
        if (!WaitForClient(service, listener, spec.port)) continue;
        Log(spec.client_waiting);
        AcceptOne(spec, listener);
    }

    Log(spec.closing);
    service.stop_state->store(2);
    if (monitor != nullptr) StopThread(monitor);
    if (spec.after_monitor_stop != nullptr) spec.after_monitor_stop();
    Log(spec.monitor_closed);
    if (listener >= 0) CloseSocket(listener);
    Log(spec.closed);
    service.stop_state->store(0);
    Log(spec.out);
}

// A beat, and a reap as soon as a connection's last thread has ended: a short request is
// freed right after it was answered, so that a burst of short connections never piles up
// threads and memory. Every reap takes every finished record whose threads have ended.
void RunServiceMonitor(const ServiceMonitor& spec)
{
    ConnectionService& service = *spec.service;
    Log(spec.starting);
    while (service.stop_state->load() != 2) {
        const bool woken = WaitForFinished(service, spec.beat_ms);
        if (!woken && ProcessStopRaised()) SleepMs(20);   // stopping: the listener sets 2 soon
        // A short gather after a wake-up: under a burst one reap takes many connections
        // instead of one wake-up each.
        if (woken) SleepUnlessStopping(10);
        if (service.stop_state->load() == 2) break;
        ReapFinished(service);
        if (!woken && spec.idle_beat != nullptr) spec.idle_beat();
    }
    Log(spec.closing);
    SleepUnlessStopping(3000);
    ReapAllFinished(service, spec.final_wait_ms);
    if (spec.after_sweep != nullptr) spec.after_sweep();
    Log(spec.closed);
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
