#include "net/connection.h"

#include "core/platform/platform.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// True when the peer of a shut or closed socket reads its end within timeout_ms.
static bool PeerSeesEnd(int peer, int timeout_ms)
{
    pollfd entry{peer, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) <= 0) return false;
    char byte = 0;
    return recv(peer, &byte, 1, MSG_DONTWAIT) == 0;
}

// The final sweep wakes a running connection by shutting its socket down; while another thread
// holds the socket-close lock to close that socket (whose number may be reused right after),
// the sweep must not touch it.
TEST(FinalSweep, WakesASocketOnlyUnderTheSocketCloseLock)
{
    std::atomic<int32_t> stop{0};
    ConnectionService service{"Test", &stop, {}, {}, {0}, {}, {-1}};
    int old_pair[2];
    int new_pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, old_pair), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, new_pair), 0);
    auto* conn = new PlayerConnection;
    RegisterConnection(service, *conn);
    conn->socket.store(old_pair[0]);

    std::thread sweep;
    bool shut_while_closing = false;
    {
        ScopedLock closing(service.socket_close_lock);
        sweep = std::thread([&] { ReapAllFinished(service, 0); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (conn->stop.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(conn->stop.load(), 1);
        shut_while_closing = PeerSeesEnd(old_pair[1], 500);
        // The closer's work: the number now stands for another socket.
        const int fd = conn->socket.exchange(-1);
        dup2(new_pair[0], fd);
        close(new_pair[0]);
        new_pair[0] = fd;
    }
    sweep.join();
    EXPECT_FALSE(shut_while_closing);
    EXPECT_FALSE(PeerSeesEnd(new_pair[1], 0));

    {
        ScopedLock open(service.open.lock);
        service.open.list.RemoveAt(conn->open_node);
    }
    delete conn;
    close(old_pair[1]);
    close(new_pair[0]);
    close(new_pair[1]);
    if (service.finished_event.load() >= 0) CloseWakeEvent(service.finished_event.load());
}
