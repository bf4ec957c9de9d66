#pragma once
// The registry of per-channel threads that end on their own (the live senders, the HLS
// segmenters). A worker that decides to end moves itself from running to ended under the
// lock, so that no caller hands work to one that is leaving; the next registration or the
// service's stop joins it, after letting the lock go: a worker may still be finishing its last
// work, and nobody else (an event loop looking a worker up) should wait on the lock meanwhile.
// Holder is a unique or shared pointer to a worker with Join().

#include "core/platform/platform.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

template <class Key, class Holder>
struct WorkerRegistry {
    std::mutex            lock;
    std::map<Key, Holder> running;               // guarded by lock, as are ended and joining
    std::vector<Holder>   ended;
    std::size_t           joining = 0;           // taken out of ended, not joined yet

    // The ended workers, taken out for Join once lock is let go; the caller holds lock.
    std::vector<Holder> TakeEnded()
    {
        std::vector<Holder> taken;
        taken.swap(ended);
        joining += taken.size();
        return taken;
    }
    // Joins what TakeEnded gave; the caller does not hold lock.
    void Join(std::vector<Holder>& workers)
    {
        if (workers.empty()) return;
        for (auto& worker : workers) worker->Join();
        const std::size_t joined = workers.size();
        workers.clear();
        std::lock_guard<std::mutex> held(lock);
        joining -= joined;
    }
    // Runs work() under lock (a registration: find or start a worker), then joins the workers
    // that had ended, with the lock let go. What work returns.
    template <class Work>
    bool Register(Work work)
    {
        std::vector<Holder> leaving;
        bool done;
        {
            std::lock_guard<std::mutex> held(lock);
            leaving = TakeEnded();
            done = work();
        }
        Join(leaving);
        return done;
    }
    // Joins the ended workers; with wait_ms, waits up to that long for the running ones to end
    // (and joins them) too, and for the joins other callers have begun.
    void JoinIdle(uint32_t wait_ms)
    {
        const uint64_t until = GetTickMs() + wait_ms;
        for (;;) {
            std::vector<Holder> leaving;
            bool done;
            {
                std::lock_guard<std::mutex> held(lock);
                leaving = TakeEnded();
                done = (running.empty() && joining == leaving.size()) || GetTickMs() >= until;
            }
            Join(leaving);
            if (done) return;
            SleepMs(20);
        }
    }
    int Count()
    {
        std::lock_guard<std::mutex> held(lock);
        return static_cast<int>(running.size());
    }
};
