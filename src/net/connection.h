#pragma once
// The connection pattern every TCP service shares: one PlayerConnection per accepted client,
// a command thread and at most one data thread per connection, a finished list that the last
// thread of a connection appends it to, and a monitor that joins those threads and frees the
// record. Also the process-wide player list and the total connection counter.

#include "core/locks.h"
#include "core/service_stats.h"
#include "core/threads.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <sys/socket.h>
#include <vector>

constexpr std::size_t kConnectionPathSize = 516;
constexpr std::size_t kMacIdSize          = 13;
constexpr std::size_t kClientIpSize       = 32;
constexpr std::size_t kCredentialSize     = 128;
constexpr std::size_t kGroupSize          = 32;
constexpr std::size_t kPlayerTimeSize     = 32;

enum ConnectionThreadState : int32_t {
    kConnThreadRunning = 0,     // running, or not yet finished
    kConnThreadDone    = 1,     // finished its work, about to end
    kConnThreadJoined  = 2,     // joined by the monitor (or never started)
};

// One per accepted client. Created by the listener, freed only by the monitor. Services that
// need more per-connection state derive from it.
class PlayerConnection {
public:
    PlayerConnection() = default;
    virtual ~PlayerConnection();
    PlayerConnection(const PlayerConnection&) = delete;
    PlayerConnection& operator=(const PlayerConnection&) = delete;
    // Joins the further threads a service started for the connection that have ended (the
    // monitor calls it); true when none is left running.
    virtual bool JoinServiceThreads() { return true; }

    std::atomic<ThreadRecord*> cmd_thread{nullptr};
    std::atomic<int32_t>       cmd_state{kConnThreadRunning};
    std::atomic<ThreadRecord*> data_thread{nullptr};
    std::atomic<int32_t>       data_state{kConnThreadRunning};
    uint32_t                   cmd_thread_number = 0;   // for the monitor's log, once joined
    uint32_t                   data_thread_number = 0;
    // The data thread left the connection to another thread and ended on its own (its record
    // then is null): the monitor waits for the data state alone.
    std::atomic<bool>          data_thread_released{false};
    std::atomic<int>           socket{-1};          // -1 once closed
    int                        file = -1;           // the file being streamed
    int64_t                    current_pos = 0;
    int64_t                    end_pos     = 0;     // exclusive
    int64_t                    file_size   = 0;
    char                       path[kConnectionPathSize] = "";
    TmlSema                    wake{0};
    std::atomic<uint8_t>       stop{0};             // 1 tells the data thread to end
    std::atomic<int32_t>       pause_marker{0};
    float                      duration = 0;        // seconds
    float                      bitrate  = 0;        // kbit/s
    int64_t                    last_pcr = 0;        // stream clock (27 MHz)
    double                     last_pcr_time  = 0;
    double                     first_pcr_time = 0;
    double                     elapsed_time   = 0;
    bool                       has_pcr = false;
    char                       mac_id[kMacIdSize] = "";
    char                       client_ip[kClientIpSize] = "";
    char                       user_name[kCredentialSize] = "";
    char                       password[kCredentialSize] = "";
    char                       group[kGroupSize] = "";
    std::atomic<uint64_t>      last_activity_tick{0};
    std::atomic<uint64_t>      cmd_start_tick{0};
    int                        player_socket = -1;
    // Where the record stands in the player list and its service's open list (null when it
    // is not there), so that leaving either costs the same however long the list is.
    Position                   player_node = nullptr;   // guarded by g_player_list.lock
    Position                   open_node = nullptr;     // guarded by the service's open.lock
    char                       player_time[kPlayerTimeSize] = "";
    CriticalSection            lock;
    std::atomic<uint64_t>      bytes_sent{0};       // media bytes sent to the client
    ServiceStats*              stats = nullptr;     // its service's counters, set when registered
};

// Counts media bytes sent on conn.
inline void CountSent(PlayerConnection& conn, std::size_t bytes) { CountSent(&conn.bytes_sent, conn.stats, bytes); }

// The state one service keeps for its connections.
struct ConnectionService {
    const char*           name;                     // for thread names: "HTTP", "RTSP", ...
    std::atomic<int32_t>* stop_state;               // the service's stop state
    LockedList            finished;                 // records whose last thread is ending
    CriticalSection       socket_close_lock;
    std::atomic<int32_t>  live{0};                  // records created and not yet freed
    LockedList            open;                     // those records, for the final sweep
    // Readable once a connection's last thread has ended, so that the monitor frees the
    // record at once instead of at its next beat.
    std::atomic<int>      finished_event{-1};
    // What the monitor logs as it joins a connection's threads and frees it (null: nothing).
    // The joined texts take the thread's number, the freed text the command and data
    // threads' numbers.
    const char*           joined_data_log = nullptr;
    const char*           joined_cmd_log = nullptr;
    const char*           freed_log = nullptr;
    // The finished event is signalled and not yet cleared: a further end needs no signal.
    std::atomic<bool>     finished_signalled{false};
};

// The one way a text answer goes out on a connection: the whole of it on the connection's
// socket; false when the socket is closed or the send fails. A connection with a send lock of
// its own (players, RTSP) is sent to under that lock.
bool SendConnectionText(PlayerConnection& conn, std::string_view text);
bool SendConnectionText(PlayerConnection& conn, const void* data, std::size_t length);
// The answer to a request for something that is not there.
extern const char kNotFoundAnswer[];

// Streaming HTTP connections and registered set-top players.
extern LockedList g_player_list;

// Adds item to a list once (node remembers where, null while it is not there) and takes it
// off again; both under the list's lock, in constant time.
void EnterLockedList(LockedList& list, Position& node, void* item);
void LeaveLockedList(LockedList& list, Position& node);

// Adds conn to the player list (once) and takes it off again; both under the list's lock.
void JoinPlayerList(PlayerConnection& conn);
void LeavePlayerList(PlayerConnection& conn);

// The total connection counter of the HTTP, RTSP and VOD data threads; each change is
// logged. Never goes below 0.
void AddTotalConnection(int delta);
int32_t TotalConnections();

// The listener's step after creating a record: counted and on the open list until freed.
void RegisterConnection(ConnectionService& service, PlayerConnection& conn);
// Called by a data thread that hands its connection to another thread, which ends it later
// (a live viewer handed to its channel's sender): takes the thread's record off the
// connection, so the monitor waits for the data state alone. The thread then ends with
// RetireThread().
void ReleaseDataThread(PlayerConnection& conn);
// Tells the monitor that a thread has ended its part of a connection; called right after the
// thread's final state store (it touches the service only, never the record).
void NotifyFinished(ConnectionService& service);
// The monitor's sleep: until a thread has ended its part (true) or timeout_ms (false).
bool WaitForFinished(ConnectionService& service, int timeout_ms);

// Closes the connection's socket once (under the service's socket-close lock unless plainly).
void CloseConnectionSocket(ConnectionService& service, PlayerConnection& conn, bool plainly = false);
// Closes a socket of a connection once (-1 after), under the service's socket-close lock.
void CloseServiceSocket(ConnectionService& service, std::atomic<int>& socket);
// Wakes a thread blocked on a socket of a connection (receive, send or poll) by shutting it
// down (how as for shutdown()); under the socket-close lock, so a socket closed meanwhile is
// never touched. The socket's last user closes it.
void WakeSocket(ConnectionService& service, const std::atomic<int>& socket, int how = SHUT_RDWR);
// A socket that two threads of a connection use, each calling this once as it leaves: the
// first shuts it down (which wakes the other), the last closes it.
void ReleaseSharedSocket(ConnectionService& service, std::atomic<int>& socket, std::atomic<int32_t>& users);
// Ends a command thread that started no data thread: data state 2, socket closed, off the
// player list, onto the finished list, then the command state (1, or 2 for a pooled worker,
// which no one joins). Last access to conn.
void EndCommandWithoutData(ConnectionService& service, PlayerConnection& conn,
                           int32_t final_state = kConnThreadDone);

// Command threads that serve one connection after another: a connection costs a hand-over to
// a parked worker instead of a thread's start and end. A worker is started whenever none is
// idle; beyond kIdleWorkersMax idle ones, a worker that finishes ends. The connection's
// command-thread handle stays null: the worker stores the command state 2 itself as its last
// access to the record.
struct WorkerPool {
    void (*work)(PlayerConnection&) = nullptr;
    const char* name = "Worker";
    std::mutex                    lock;
    std::condition_variable       wake;
    std::deque<PlayerConnection*> queue;          // guarded by lock, as is all below
    std::vector<ThreadRecord*>    workers;
    int                           idle = 0;
    bool                          stopping = false;
};
constexpr int kIdleWorkersMax = 64;
constexpr int kWorkerIdleMs   = 1000;              // a worker parked this long without work ends
// Hands conn to a worker; false when none could be started (conn is then untouched).
bool RunOnWorker(WorkerPool& pool, PlayerConnection& conn);
// Lets the workers finish what they hold, then joins them all; the pool can be used again.
void StopWorkers(WorkerPool& pool);
// Ends a connection that no thread but the caller's ever served (an event loop's) and frees it
// at once: socket closed, off the player list, counted out. No thread of it is left for the
// monitor to join, so it never waits on the finished list. Last access to conn.
void FreeUnthreadedConnection(ConnectionService& service, PlayerConnection& conn);
// A record whose command thread could not be started: both states joined, socket closed,
// onto the finished list. Last access to conn.
void AbandonConnection(ConnectionService& service, PlayerConnection& conn);
// Joins the ended threads of every finished record and frees each record whose threads have
// both been joined. Returns the number freed.
int ReapFinished(ConnectionService& service);
// Final sweep at service stop: waits (bounded) for the connections still running to finish;
// those still running then are told to stop and their sockets shut down (which ends a
// blocked receive or send), and they get a second bounded wait.
void ReapAllFinished(ConnectionService& service, uint32_t wait_ms);

// One connection per user: stops the first other connection of conn's user on the list (the
// player list unless another is given). A connection without a user name never stops another.
void DiscardPreviousConnection(PlayerConnection& conn, LockedList& list = g_player_list);

// Listener helpers shared by the services.
// Opens the listening socket, trying `attempts` times; prints the retry line on the console.
// Returns the socket or -1.
int OpenServiceListener(uint16_t port, int attempts);
// Waits up to 10 s for a client on the listener. True when one is waiting; false on time-out
// or a stop. A listener that accept found broken (and closed) is reopened here rather than
// spun on.
bool WaitForClient(ConnectionService& service, int& listener, uint16_t port);
