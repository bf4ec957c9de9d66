#pragma once
// The loops every TCP service runs on the connection pattern: the listener (open, report the
// start, accept until stopped, close down in order), the monitor (reap finished connections
// as soon as their last thread ends, sweep at the stop), and the data thread's share of a
// connection from its start to its hand-off to the monitor. Each service passes its own
// port, texts and steps.

#include "net/connection.h"

struct EventLoops;

#include <atomic>
#include <cstdint>
#include <netinet/in.h>
#include <new>

struct ServiceListener {
    ConnectionService*    service = nullptr;
    uint16_t              port = 0;
    int                   open_attempts = 1;
    std::atomic<int32_t>* start_failed = nullptr;
    ThreadRoutine         monitor = nullptr;
    const char*           monitor_name = "Monitor";
    bool                  monitor_first = false;     // started before the socket is opened
    // Takes an accepted client (under the listener's lock): creates its record and starts
    // its threads, or closes the socket.
    void (*accept)(int client, const sockaddr_in& peer) = nullptr;
    void (*after_start)() = nullptr;                  // once the socket is open, e.g. further monitors
    void (*after_monitor_stop)() = nullptr;           // e.g. the command workers' stop
    CriticalSection*      accept_lock = nullptr;     // the listener's own lock
    // When given, these event loops accept the clients and hold them while they wait
    // (accept above then serves only when no loop could start).
    EventLoops*           loops = nullptr;
    // Log texts; null for none. The console traces go to standard output.
    const char* open_failed = nullptr;
    const char* reuse_failed = nullptr;
    const char* starting = nullptr;
    const char* client_waiting = nullptr;
    const char* lock_enter = nullptr;
    const char* lock_leave = nullptr;
    const char* closing = nullptr;
    const char* monitor_closed = nullptr;
    const char* closed = nullptr;
    const char* out = nullptr;
};

// The first step of every service's accept: a new record of the service's kind, registered,
// holding the client's socket and address, the socket's send time-out set when one is given
// (0: none). Without memory: no_memory_log is logged, the socket closed, and null returned.
void RefuseClient(int client, const char* no_memory_log);
void RegisterClient(ConnectionService& service, PlayerConnection& conn, int client, const sockaddr_in& peer,
                    int send_timeout_ms);
template <class Record>
Record* AdoptClient(ConnectionService& service, int client, const sockaddr_in& peer, const char* no_memory_log,
                    int send_timeout_ms)
{
    auto* conn = new (std::nothrow) Record;
    if (conn == nullptr) {
        RefuseClient(client, no_memory_log);
        return nullptr;
    }
    RegisterClient(service, *conn, client, peer, send_timeout_ms);
    return conn;
}

// Logs the first failed accept of a run (error not 0) and the first success after a run.
void NoteAcceptOutcome(const ServiceListener& listener, std::atomic<bool>& failing, int error);
// An event loop's accept on the listening socket, under the listener's lock with its log and
// traces: the new record (error 0), or null with error set (EAGAIN: no client was waiting;
// 0: a client was there but refused).
PlayerConnection* AcceptForLoop(const ServiceListener& listener, const EventLoops& loops, int socket, int& error);

// The listener's whole life; returns when the service has stopped or could not start (the
// start-up semaphore is released exactly once either way).
void RunServiceListener(const ServiceListener& listener);

// The listener's last step for a service that starts both threads of a connection at accept
// (RTSP, VOD): starts them and stores their handles. Without its command thread the record is
// abandoned; without its data thread it is stopped and handed to the monitor as that thread
// would have done (its share of the socket released), and the command thread ends it.
void StartConnectionThreads(ConnectionService& service, PlayerConnection& conn, std::atomic<int32_t>& socket_users,
                            ThreadRoutine command, const char* command_name, ThreadRoutine data, const char* data_name);

struct ServiceMonitor {
    ConnectionService* service = nullptr;
    int                beat_ms = 3000;
    uint32_t           final_wait_ms = 15000;        // bounded wait for the last connections
    void (*idle_beat)() = nullptr;                   // each beat, also while connections keep finishing
    void (*after_sweep)() = nullptr;
    const char* starting = nullptr;
    const char* closing = nullptr;
    const char* closed = nullptr;
};

// The monitor's whole life; returns after the final sweep once the stop state is 2.
void RunServiceMonitor(const ServiceMonitor& monitor);

// A data thread's share of its connection. Counted in the total connection counter when
// asked; on the player list after JoinPlayers. Its end, step by step or all at once in the
// destructor: off the player list, onto the service's finished list, out of the counter, and
// last the data state 1 and the monitor's wake-up. Nothing may touch the connection after
// the scope has ended, so it lives in a block that closes before EndThread.
class DataThreadScope {
public:
    enum Mode { kDataThread, kOnCommandThread };   // the latter hands nothing to the monitor
    DataThreadScope(ConnectionService& service, PlayerConnection& conn, Mode mode = kDataThread);
    ~DataThreadScope();
    DataThreadScope(const DataThreadScope&) = delete;
    DataThreadScope& operator=(const DataThreadScope&) = delete;

    void Count();              // total connection counter +1 (once)
    void Uncount();            // -1, when counted
    void JoinPlayers();
    void LeavePlayers();
    bool joined() const { return joined_; }
    void HandToMonitor();      // off the player list, onto the finished list (once)

private:
    ConnectionService& service_;
    PlayerConnection&  conn_;
    Mode               mode_;
    bool               counted_ = false;
    bool               joined_ = false;
    bool               handed_ = false;
};
