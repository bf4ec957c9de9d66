#include "http/tcp_service.h"

#include "core/platform/platform.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

std::atomic<int> g_beats{0};

}  // namespace

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
