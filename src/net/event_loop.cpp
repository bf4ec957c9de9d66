#include "net/event_loop.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/sockets.h"
#include "net/tcp_service.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

constexpr int      kEventsPerWait   = 64;
constexpr int      kAcceptsPerWake  = 16;     // then the loop serves what it has before taking more
constexpr uint32_t kAcceptBackOffMs = 100;    // after an accept that failed for a shortage
constexpr int      kLongestWaitMs   = 1000;   // the stop state is looked at at least this often

// A connection held by a loop, on the loop's list in the order it came (so that the oldest
// deadline is always the first).
struct Waiting {
    PlayerConnection* conn = nullptr;
    int               socket = -1;
    uint64_t          deadline_ms = 0;
    Waiting*          prev = nullptr;
    Waiting*          next = nullptr;
};

// The tags of the two descriptors every loop watches besides its connections.
char g_listener_tag;
char g_stop_tag;

}  // namespace

struct EventLoopThread {
    EventLoops*   loops = nullptr;
    ThreadRecord* thread = nullptr;
    int           epoll = -1;
    Waiting*      oldest = nullptr;
    Waiting*      newest = nullptr;
    int           count = 0;
    bool          accepting = false;       // the listening socket is in the epoll set
    uint64_t      resume_ms = 0;           // accepting again from then, after a failure
};

namespace {

bool Stopping(const EventLoopThread& loop)
{
    return loop.loops->listener->service->stop_state->load() != 0 || ProcessStopRaised();
}

void Watch(EventLoopThread& loop, bool on)
{
    if (loop.accepting == on) return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.ptr = &g_listener_tag;
    const int socket = loop.loops->socket;
    loop.accepting = epoll_ctl(loop.epoll, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, socket, &event) == 0 ? on : !on;
}

void Forget(EventLoopThread& loop, Waiting* waiting)
{
    (waiting->prev != nullptr ? waiting->prev->next : loop.oldest) = waiting->next;
    (waiting->next != nullptr ? waiting->next->prev : loop.newest) = waiting->prev;
    --loop.count;
    delete waiting;
}

// A held socket is watched for one event at a time (EPOLLONESHOT) and armed again only while
// it keeps waiting: once the service has ended it or passed it on, no event can name its
// record again, even while a spawning child still holds a copy of the descriptor (closing it
// here then leaves it in the set). A wait that ends in the loop takes the socket out first.
constexpr uint32_t kHeldEvents = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;

void Rearm(EventLoopThread& loop, Waiting* waiting)
{
    epoll_event event{};
    event.events = kHeldEvents;
    event.data.ptr = waiting;
    epoll_ctl(loop.epoll, EPOLL_CTL_MOD, waiting->socket, &event);
}

// The wait of the oldest connection is over (its deadline, the loop's stop, or room for a
// newer client): out of the set, off the list, and back to the service to end.
void ExpireOldest(EventLoopThread& loop, bool stopping)
{
    Waiting* oldest = loop.oldest;
    PlayerConnection* conn = oldest->conn;
    epoll_ctl(loop.epoll, EPOLL_CTL_DEL, oldest->socket, nullptr);
    Forget(loop, oldest);
    loop.loops->expired(*conn, stopping);
}

// A new connection: served at once when its first bytes came with it, else held.
void Hold(EventLoopThread& loop, PlayerConnection& conn)
{
    EventLoops& loops = *loop.loops;
    const int socket = conn.socket.load();
    if (loops.ready(conn) != LoopStep::kWait) return;      // not in the set yet: nothing to take out
    auto* waiting = new (std::nothrow) Waiting;
    epoll_event event{};
    event.events = kHeldEvents;
    event.data.ptr = waiting;
    if (waiting == nullptr || epoll_ctl(loop.epoll, EPOLL_CTL_ADD, socket, &event) != 0) {
        delete waiting;
        loops.expired(conn, true);                // cannot be held: dropped as at a stop
        return;
    }
    waiting->conn = &conn;
    waiting->socket = socket;
    waiting->deadline_ms = GetTickMs() + loops.wait_ms;
    waiting->prev = loop.newest;
    (loop.newest != nullptr ? loop.newest->next : loop.oldest) = waiting;
    loop.newest = waiting;
    ++loop.count;
}

void AcceptClients(EventLoopThread& loop)
{
    EventLoops& loops = *loop.loops;
    for (int accepted = 0; accepted < kAcceptsPerWake; ++accepted) {
        // A full loop lets its oldest connection go (the nearest to its deadline anyway), so
        // that clients who hold connections open without a word never shut the others out.
        if (loop.count >= loops.waiting_max && loop.oldest != nullptr) ExpireOldest(loop, false);
        int error = 0;
        PlayerConnection* conn = AcceptForLoop(*loops.listener, loops, loops.socket, error);
        if (error == EAGAIN || error == EWOULDBLOCK) return;
        if (error == ECONNABORTED) continue;                // a client that gave up in the queue
        NoteAcceptOutcome(*loops.listener, loops.accept_failing, error);
        if (error != 0) {
            // Descriptors or memory short: the queued clients wait for the next try.
            Watch(loop, false);
            loop.resume_ms = GetTickMs() + kAcceptBackOffMs;
            return;
        }
        if (conn != nullptr) Hold(loop, *conn);
    }
}

void Step(EventLoopThread& loop, Waiting* waiting)
{
    if (loop.loops->ready(*waiting->conn) == LoopStep::kWait)
        Rearm(loop, waiting);
    else
        Forget(loop, waiting);                  // its one-shot watch has fired: nothing left armed
}

void ExpireDue(EventLoopThread& loop, uint64_t now)
{
    while (loop.oldest != nullptr && loop.oldest->deadline_ms <= now) ExpireOldest(loop, false);
}

int NextWaitMs(const EventLoopThread& loop, uint64_t now)
{
    uint64_t until = now + kLongestWaitMs;
    if (loop.oldest != nullptr) until = std::min(until, loop.oldest->deadline_ms);
    if (!loop.accepting && loop.resume_ms > 0) until = std::min(until, loop.resume_ms);
    return until > now ? static_cast<int>(until - now) : 0;
}

void RunLoop(EventLoopThread& loop)
{
    EventLoops& loops = *loop.loops;
    epoll_event events[kEventsPerWait];
    while (!Stopping(loop)) {
        const int ready = epoll_wait(loop.epoll, events, kEventsPerWait, NextWaitMs(loop, GetTickMs()));
        if (ready < 0 && errno != EINTR) {
            LogSystemMessage("%s event loop: wait failed (error %d)\n", loops.listener->service->name, errno);
            SleepUnlessStopping(kAcceptBackOffMs);
        }
        for (int k = 0; k < ready; ++k) {
            void* tag = events[k].data.ptr;
            if (tag == &g_listener_tag) AcceptClients(loop);
            else if (tag != &g_stop_tag) Step(loop, static_cast<Waiting*>(tag));
        }
        const uint64_t now = GetTickMs();
        ExpireDue(loop, now);
        if (!loop.accepting && now >= loop.resume_ms) {
            loop.resume_ms = 0;
            Watch(loop, true);
        }
    }
    while (loop.oldest != nullptr) ExpireOldest(loop, true);
}

int32_t EventLoopRoutine(void* argument)
{
    RunLoop(*static_cast<EventLoopThread*>(argument));
    EndThread();
}

EventLoopThread* StartLoop(EventLoops& loops)
{
    auto* loop = new (std::nothrow) EventLoopThread;
    if (loop == nullptr) return nullptr;
    loop->loops = &loops;
    loop->epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event stop{};
    stop.events = EPOLLIN;
    stop.data.ptr = &g_stop_tag;
    if (loop->epoll >= 0 && epoll_ctl(loop->epoll, EPOLL_CTL_ADD, ProcessStopEvent(), &stop) == 0) {
        Watch(*loop, true);
        if (loop->accepting) loop->thread = StartThread(EventLoopRoutine, loop, "EventLoop");
    }
    if (loop->thread != nullptr) return loop;
    if (loop->epoll >= 0) close(loop->epoll);
    delete loop;
    return nullptr;
}

}  // namespace

bool StartEventLoops(EventLoops& loops, const ServiceListener& listener, int socket)
{
    loops.listener = &listener;
    loops.socket = socket;
    loops.accept_failing.store(false);
    if (!SetNonBlocking(socket, true)) return false;
    for (int k = 0; k < loops.count; ++k)
        if (EventLoopThread* loop = StartLoop(loops)) loops.threads.push_back(loop);
    if (!loops.threads.empty()) return true;
    SetNonBlocking(socket, false);
    return false;
}

void StopEventLoops(EventLoops& loops)
{
    for (EventLoopThread* loop : loops.threads) {
        StopThread(loop->thread);
        close(loop->epoll);
        delete loop;
    }
    loops.threads.clear();
}
