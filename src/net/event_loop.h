#pragma once
// Event loops that hold a service's new connections while they wait on their socket, instead
// of a thread each. A few loop threads (one per core), each with its own epoll set, accept
// clients on the one listening socket themselves (EPOLLEXCLUSIVE wakes one loop per client),
// keep each new socket non-blocking, and call the service whenever it is readable. The service
// reads what has come and either waits for more, or ends the connection, or passes it on to a
// thread of its own. A connection still waiting at its deadline, or when the service stops, is
// handed back to the service to end. Each loop holds at most waiting_max connections; a full
// loop ends its oldest one to take a new client.

#include "net/connection.h"

#include <atomic>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

struct ServiceListener;
struct EventLoopThread;

// What became of a connection the service was called for.
enum class LoopStep {
    kWait,       // it waits on: called again when its socket is readable
    kEnded,      // its socket is closed; the loop forgets it
    kPassedOn,   // another thread has it now; the loop forgets it and stops watching its socket
};

struct EventLoops {
    int      count = 2;                 // loop threads
    int      waiting_max = 512;         // connections one loop holds at a time
    uint32_t wait_ms = 10000;           // how long a connection may wait in a loop
    // The record of an accepted client (its socket non-blocking), registered with the
    // service; null when it was refused (the socket is then closed).
    PlayerConnection* (*adopt)(int client, const sockaddr_in& peer) = nullptr;
    // The connection's socket is readable, hung up or failed; right after adopt as well, since
    // a client's first bytes often arrive with it.
    LoopStep (*ready)(PlayerConnection& conn) = nullptr;
    // The wait is over: its deadline passed, or the service stops (stopping). The service ends
    // the connection; the loop forgets it.
    void (*expired)(PlayerConnection& conn, bool stopping) = nullptr;

    // Set while the loops run.
    const ServiceListener*        listener = nullptr;
    int                           socket = -1;            // the listening socket
    std::atomic<bool>             accept_failing{false};  // shared, so a run of failures is logged once
    std::vector<EventLoopThread*> threads;
};

// Starts the loops on the listening socket of `listener` (made non-blocking); false when not
// one could start (the socket is then blocking again and nothing runs).
bool StartEventLoops(EventLoops& loops, const ServiceListener& listener, int socket);
// Joins the loops; each ends as soon as its service's stop state is not 0 or the process
// stop is raised, handing every connection still waiting to expired(conn, true).
void StopEventLoops(EventLoops& loops);
