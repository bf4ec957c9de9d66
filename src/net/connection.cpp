#include "net/connection.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/service_stats.h"
#include "core/sockets.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LockedList g_player_list;

const char kNotFoundAnswer[] = "HTTP/1.0 404 Not Found\r\n\r\n\r\n";

static CriticalSection g_total_connection_lock;
static int32_t         g_total_connections = 0;     // guarded by g_total_connection_lock

PlayerConnection::~PlayerConnection()
{
    if (file >= 0) close(file);
    const int fd = socket.exchange(-1);
    if (fd >= 0) CloseSocket(fd);
}

bool SendConnectionText(PlayerConnection& conn, std::string_view text)
{
    const int fd = conn.socket.load();
    return fd >= 0 && SendAll(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool SendConnectionText(PlayerConnection& conn, const void* data, std::size_t length)
{
    return SendConnectionText(conn, std::string_view(static_cast<const char*>(data), length));
}

void AddTotalConnection(int delta)
{
    int32_t now;
    {
        ScopedLock held(g_total_connection_lock);
        g_total_connections += delta;
        if (g_total_connections < 0) g_total_connections = 0;
        now = g_total_connections;
    }
    LogSystemMessage("The Total Connection is [%d]\n", now);
}

int32_t TotalConnections()
{
    ScopedLock held(g_total_connection_lock);
    return g_total_connections;
}

void RegisterConnection(ConnectionService& service, PlayerConnection& conn)
{
    if (service.finished_event.load() < 0) {
        int expected = -1;
        const int event = OpenWakeEvent();
        if (event >= 0 && !service.finished_event.compare_exchange_strong(expected, event)) CloseWakeEvent(event);
    }
    service.live.fetch_add(1);
    conn.stats = FindServiceStats(service.name);
    if (conn.stats != nullptr) Bump(conn.stats->connections);
    ScopedLock held(service.open.lock);
    conn.open_node = service.open.list.AddTailNode(&conn);
}

void EnterLockedList(LockedList& list, Position& node, void* item)
{
    ScopedLock held(list.lock);
    if (node == nullptr) node = list.list.AddTailNode(item);
}

void LeaveLockedList(LockedList& list, Position& node)
{
    ScopedLock held(list.lock);
    if (node == nullptr) return;
    list.list.RemoveAt(node);
    node = nullptr;
}

void JoinPlayerList(PlayerConnection& conn) { EnterLockedList(g_player_list, conn.player_node, &conn); }

void LeavePlayerList(PlayerConnection& conn) { LeaveLockedList(g_player_list, conn.player_node); }

void NotifyFinished(ConnectionService& service)
{
    const int event = service.finished_event.load();
    if (event >= 0 && !service.finished_signalled.exchange(true)) SignalWakeEvent(event);
}

bool WaitForFinished(ConnectionService& service, int timeout_ms)
{
    const int event = service.finished_event.load();
    if (event < 0) {
        SleepUnlessStopping(static_cast<uint32_t>(timeout_ms));
        return false;
    }
    if (PollOne(event, POLLIN, timeout_ms) <= 0) return false;
    // Cleared before the reap (and the flag after the event): an end from now on signals again,
    // and the reap takes every record put on the list before.
    ClearWakeEvent(event);
    service.finished_signalled.store(false);
    return true;
}

void CloseConnectionSocket(ConnectionService& service, PlayerConnection& conn, bool plainly)
{
    if (plainly) {
        const int fd = conn.socket.exchange(-1);
        if (fd >= 0) CloseSocket(fd);
        return;
    }
    CloseServiceSocket(service, conn.socket);
}

void CloseServiceSocket(ConnectionService& service, std::atomic<int>& socket)
{
    ScopedLock held(service.socket_close_lock);
    const int fd = socket.exchange(-1);
    if (fd >= 0) CloseSocket(fd);
}

void WakeSocket(ConnectionService& service, const std::atomic<int>& socket, int how)
{
    ScopedLock held(service.socket_close_lock);
    const int fd = socket.load();
    if (fd >= 0) shutdown(fd, how);
}

void ReleaseSharedSocket(ConnectionService& service, std::atomic<int>& socket, std::atomic<int32_t>& users)
{
    if (users.fetch_sub(1) > 1) WakeSocket(service, socket);
    else CloseServiceSocket(service, socket);
}

void EndCommandWithoutData(ConnectionService& service, PlayerConnection& conn, int32_t final_state)
{
    conn.data_state.store(kConnThreadJoined);
    CloseConnectionSocket(service, conn);
    LeavePlayerList(conn);
    {
        ScopedLock held(service.finished.lock);
        service.finished.list.AddTail(&conn);
    }
    conn.cmd_state.store(final_state);
    NotifyFinished(service);
}

static int32_t WorkerRoutine(void* argument)
{
    bool retiring = false;
    {
        auto& pool = *static_cast<WorkerPool*>(argument);
        std::unique_lock<std::mutex> held(pool.lock);
        for (;;) {
            bool idle_too_long = false;
            while (pool.queue.empty() && !pool.stopping && !idle_too_long) {
                ++pool.idle;
                idle_too_long = pool.wake.wait_for(held, std::chrono::milliseconds(kWorkerIdleMs)) == std::cv_status::timeout;
                --pool.idle;
            }
            if (pool.queue.empty() && pool.stopping) break;   // nothing left
            if (!pool.queue.empty()) {
                PlayerConnection* conn = pool.queue.front();
                pool.queue.pop_front();
                held.unlock();
                pool.work(*conn);
                held.lock();
            }
            if ((idle_too_long || pool.idle >= kIdleWorkersMax) && pool.queue.empty() && !pool.stopping) {
                // Idle for a while, or enough are parked: this one ends on its own, joined by
                // the next thread's start or the service's beat.
                ThreadRecord* self = CurrentThreadRecord();
                for (auto at = pool.workers.begin(); at != pool.workers.end(); ++at) {
                    if (*at != self) continue;
                    pool.workers.erase(at);
                    retiring = true;
                    break;
                }
                break;
            }
        }
    }
    if (retiring) RetireThread();
    EndThread();
}

bool RunOnWorker(WorkerPool& pool, PlayerConnection& conn)
{
    bool handed = true;
    {
        std::lock_guard<std::mutex> held(pool.lock);
        if (pool.stopping) {
            handed = false;
        } else {
            pool.queue.push_back(&conn);
            if (static_cast<std::size_t>(pool.idle) >= pool.queue.size()) {
                pool.wake.notify_one();
            } else if (ThreadRecord* worker = StartThread(WorkerRoutine, &pool, pool.name)) {
                pool.workers.push_back(worker);
            } else if (pool.idle == 0) {
                pool.queue.pop_back();                 // no one will take it
                handed = false;
            }
        }
    }
    return handed;
}

void StopWorkers(WorkerPool& pool)
{
    std::vector<ThreadRecord*> all;
    {
        std::lock_guard<std::mutex> held(pool.lock);
        pool.stopping = true;
        pool.wake.notify_all();
        all.swap(pool.workers);
    }
    for (ThreadRecord* worker : all) StopThread(worker);
    JoinRetiredThreads();
    std::lock_guard<std::mutex> held(pool.lock);
    pool.stopping = false;                             // ready for the service's next start
}

void AbandonConnection(ConnectionService& service, PlayerConnection& conn)
{
    conn.data_state.store(kConnThreadJoined);
    conn.cmd_state.store(kConnThreadJoined);
    CloseConnectionSocket(service, conn);
    {
        ScopedLock held(service.finished.lock);
        service.finished.list.AddTail(&conn);
    }
    NotifyFinished(service);
}

// Takes a record off the service's open list and frees it.
static void FreeRecord(ConnectionService& service, PlayerConnection* conn)
{
    {
        ScopedLock open(service.open.lock);
        if (conn->open_node != nullptr) service.open.list.RemoveAt(conn->open_node);
        conn->open_node = nullptr;
    }
    delete conn;
    service.live.fetch_sub(1);
}

void FreeUnthreadedConnection(ConnectionService& service, PlayerConnection& conn)
{
    conn.data_state.store(kConnThreadJoined);
    conn.cmd_state.store(kConnThreadJoined);
    CloseConnectionSocket(service, conn);
    LeavePlayerList(conn);
    FreeRecord(service, &conn);
}

void ReleaseDataThread(PlayerConnection& conn)
{
    ThreadRecord* own = CurrentThreadRecord();
    if (own == nullptr) return;                      // not a started thread: nothing to release
    // Its starter stores the record right after the start; nothing else takes it before the
    // data state says done.
    while (conn.data_thread.load() != own) SleepMs(1);
    conn.data_thread_number = own->thread_id;
    conn.data_thread_released.store(true);
    conn.data_thread.store(nullptr);
}

// Joins one thread of a connection once it has said it is done, and logs its number. A
// released thread (released not null and set) has ended on its own: it is only logged.
static void JoinWhenDone(std::atomic<int32_t>& state, std::atomic<ThreadRecord*>& thread, uint32_t& number,
                         const char* joined_log, const std::atomic<bool>* released = nullptr)
{
    if (state.load() != kConnThreadDone) return;
    ThreadRecord* record = thread.exchange(nullptr);
    if (record != nullptr) {
        number = record->thread_id;
        StopThread(record);
    } else if (released == nullptr || !released->load()) {
        return;
    }
    if (joined_log != nullptr) LogSystemMessage(joined_log, number);
    state.store(kConnThreadJoined);
}

// Joins what has ended; true when every thread of the connection is joined.
static bool JoinEnded(ConnectionService& service, PlayerConnection& conn)
{
    JoinWhenDone(conn.data_state, conn.data_thread, conn.data_thread_number, service.joined_data_log,
                 &conn.data_thread_released);
    JoinWhenDone(conn.cmd_state, conn.cmd_thread, conn.cmd_thread_number, service.joined_cmd_log);
    const bool others = conn.JoinServiceThreads();
    return others && conn.data_state.load() == kConnThreadJoined && conn.cmd_state.load() == kConnThreadJoined;
}

int ReapFinished(ConnectionService& service)
{
    int freed = 0;
    ScopedLock held(service.finished.lock);
    Position at = service.finished.list.GetHeadPosition();
    while (at != nullptr) {
        Position here = at;
        auto* conn = static_cast<PlayerConnection*>(service.finished.list.GetNext(at));
        if (!JoinEnded(service, *conn)) continue;
        if (service.freed_log != nullptr) LogSystemMessage(service.freed_log, conn->cmd_thread_number, conn->data_thread_number);
        service.finished.list.RemoveAt(here);
        FreeRecord(service, conn);
        ++freed;
    }
    return freed;
}

// Reaps until every record is freed or the deadline passes; true when all are freed.
static bool ReapUntil(ConnectionService& service, uint64_t deadline)
{
    for (;;) {
        ReapFinished(service);
        if (service.live.load() <= 0) return true;
        if (GetTickMs() >= deadline) return false;
        SleepMs(20);
    }
}

void ReapAllFinished(ConnectionService& service, uint32_t wait_ms)
{
    if (ReapUntil(service, GetTickMs() + wait_ms)) return;
    // Threads still running are stopped: told to, and woken from a blocked receive or send by
    // shutting their socket down (its last user closes it). The wake-up takes the socket-close
    // lock, so a socket closed meanwhile, and its number reused, is never shut.
    {
        ScopedLock held(service.open.lock);
        for (Position at = service.open.list.GetHeadPosition(); at != nullptr;) {
            auto* conn = static_cast<PlayerConnection*>(service.open.list.GetNext(at));
            conn->stop.store(1);
            if (conn->pause_marker.load() == 0) conn->wake.Signal();
            WakeSocket(service, conn->socket);
        }
    }
    if (ReapUntil(service, GetTickMs() + wait_ms)) return;
    // Still running (a thread stuck in the file system, say): those records are not freed,
    // as a thread may still use them.
    LogSystemMessage("%s service: %d connections still running at its stop\n", service.name, service.live.load());
}

void DiscardPreviousConnection(PlayerConnection& conn, LockedList& list)
{
    if (conn.user_name[0] == '\0') return;
    ScopedLock held(list.lock);
    for (Position at = list.list.GetHeadPosition(); at != nullptr;) {
        auto* other = static_cast<PlayerConnection*>(list.list.GetNext(at));
        if (other == &conn || std::strcmp(other->user_name, conn.user_name) != 0) continue;
        // One already told to stop (and still on its way off the list) is not the stream
        // this one replaces.
        if (other->stop.load() != 0) continue;
        other->stop.store(1);                       // before the wake-up, which checks it
        if (other->pause_marker.load() == 0) other->wake.Signal();
        LogSystemMessage("System Warning: Discard the previous connection of user [%s]\n", conn.user_name);
        return;
    }
}

int OpenServiceListener(uint16_t port, int attempts)
{
    // A queue of 100 pending connections overflows when hundreds of players tune in at once
    // (their connection attempts are then retried after 1, 3, 7 s): take the system's limit.
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int listener = OpenTcpSocket(nullptr, port, SOMAXCONN);
        if (listener >= 0) return listener;
        std::printf("Try to connect Server conut [%d]\n", attempt);
        std::fflush(stdout);
        if (attempt + 1 < attempts) SleepMs(20);
    }
    return -1;
}

bool WaitForClient(ConnectionService& service, int& listener, uint16_t port)
{
    if (listener < 0) {
        // accept failed and closed the socket (descriptors exhausted, for example)
        if (!SleepUnlessStopping(1000) || service.stop_state->load() != 0) return false;
        listener = OpenTcpSocket(nullptr, port, SOMAXCONN);
        return false;
    }
    return PollOne(listener, POLLIN, 10000) > 0;
}
