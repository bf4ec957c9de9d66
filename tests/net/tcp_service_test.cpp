#include "net/tcp_service.h"

#include "core/platform/platform.h"
#include "support/test_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> g_beats{0};

// The lowest descriptor number a process leaves unused: with its limit there, its next
// accept fails with EMFILE. The server opens files for a moment now and then (its status
// sampler reads /proc), so the lowest of a few looks is the one its long-lived descriptors leave.
rlim_t LowestFreeDescriptor(int pid)
{
    rlim_t lowest = ~rlim_t{0};
    for (int look = 0; look < 5; ++look) {
        rlim_t fd = 0;
        while (access(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(), F_OK) == 0) ++fd;
        lowest = std::min(lowest, fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    return lowest;
}

}  // namespace

TEST(AcceptFailures, AClientQueuedWhileDescriptorsRunOutIsServedOnTheSamePort)
{
    TestServer server;
    ASSERT_TRUE(server.Start());
    server.Dir().WriteFile("page.txt", "hello");
    const int pid = server.Process().Pid();
    rlimit normal{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &normal), 0);
    rlimit exhausted = normal;
    exhausted.rlim_cur = LowestFreeDescriptor(pid);
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &exhausted, nullptr), 0);

    const int client = ConnectLoopback(server.Port());          // the kernel queues it
    ASSERT_GE(client, 0);
    ASSERT_TRUE(SendAllText(client, "GET /page.txt HTTP/1.0\r\n\r\n"));
    const std::string failing = "HTTP Server cannot accept a client (error " + std::to_string(EMFILE) + "); still listening";
    const bool logged = server.WaitForLog(failing);
    // Let the accept fail a few more times (every 100 ms) before descriptors free up.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &normal, nullptr), 0);
    EXPECT_TRUE(logged);

    const std::string answer = ReadUntilClosed(client, 10000);
    close(client);
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.substr(answer.size() > 5 ? answer.size() - 5 : 0), "hello");
    EXPECT_TRUE(server.WaitForLog("HTTP Server accepts clients again"));
    EXPECT_EQ(Occurrences(server.Dir().ReadFile("system.log"), failing), 1u);
}

TEST(ServiceMonitorBeat, ConnectionsThatKeepFinishingDoNotStarveTheBeat)
{
    std::atomic<int32_t> stop{0};
    ConnectionService service{"Test", &stop, {}, {}, {0}, {}, {-1}};
    const int event = OpenWakeEvent();
    ASSERT_GE(event, 0);
    service.finished_event.store(event);
    ServiceMonitor setup;
    setup.service = &service;
    setup.beat_ms = 100;
    setup.final_wait_ms = 0;
    setup.idle_beat = [] { ++g_beats; };
    std::thread monitor([&] { RunServiceMonitor(setup); });
    // A connection finishes every 20 ms for a second: the monitor is woken long before each beat.
    for (int k = 0; k < 50; ++k) {
        NotifyFinished(service);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int beats = g_beats.load();
    stop.store(2);
    NotifyFinished(service);
    monitor.join();
    CloseWakeEvent(event);
    EXPECT_GE(beats, 3);
}
