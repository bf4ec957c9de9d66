#include "core/locks.h"
#include "core/platform/platform.h"
#include "core/threads.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

TEST(CountingSemaphore, ASignalBeforeTheWaitIsBankedAndTheWaitReturnsAtOnce)
{
    TmlSema sema(0);
    sema.Signal();
    EXPECT_EQ(sema.Count(), 1);
    EXPECT_TRUE(sema.WaitFor(0));
    EXPECT_EQ(sema.Count(), 0);
}

TEST(CountingSemaphore, AWaitBeforeTheSignalBlocksUntilTheSignal)
{
    TmlSema sema(0);
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        sema.Wait();
        woke = true;
    });
    while (sema.Count() != -1) std::this_thread::yield();   // the waiter is counted
    EXPECT_FALSE(woke.load());
    sema.Signal();
    waiter.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(sema.Count(), 0);
}

TEST(CountingSemaphore, TwoWaitersAndTwoSignalsWakeBothAndLeaveZero)
{
    TmlSema sema(0);
    std::thread first([&] { sema.Wait(); });
    std::thread second([&] { sema.Wait(); });
    while (sema.Count() != -2) std::this_thread::yield();
    sema.Signal();
    sema.Signal();
    first.join();
    second.join();
    EXPECT_EQ(sema.Count(), 0);
}

TEST(CountingSemaphore, AWaitThatTimesOutNoLongerCountsAsWaiting)
{
    TmlSema sema(0);
    EXPECT_FALSE(sema.WaitFor(20));
    EXPECT_EQ(sema.Count(), 0);
    sema.Signal();                               // banked, not lost to the departed waiter
    EXPECT_TRUE(sema.WaitFor(0));
}

TEST(CountingSemaphore, ManyThreadsSignalAndWaitWithoutLosingOne)
{
    TmlSema sema(0);
    constexpr int kEach = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) sema.Wait();
        });
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) sema.Signal();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(sema.Count(), 0);
}

int Values(PtrList& list, std::vector<long>& out)
{
    out.clear();
    for (Position at = list.GetHeadPosition(); at != nullptr;)
        out.push_back(reinterpret_cast<long>(list.GetNext(at)));
    return list.GetCount();
}

void* P(long value) { return reinterpret_cast<void*>(value); }

TEST(PointerList, KeepsInsertionOrderAndCounts)
{
    PtrList list;
    EXPECT_EQ(list.AddTail(P(1)), 1);
    EXPECT_EQ(list.AddTail(P(2)), 2);
    EXPECT_EQ(list.AddTail(P(3)), 3);
    std::vector<long> values;
    EXPECT_EQ(Values(list, values), 3);
    EXPECT_EQ(values, (std::vector<long>{1, 2, 3}));
}

TEST(PointerList, RemoveTakesOnlyTheFirstOfTwoEqualEntries)
{
    PtrList list;
    list.AddTail(P(7));
    list.AddTail(P(8));
    list.AddTail(P(7));
    list.Remove(P(7));
    std::vector<long> values;
    EXPECT_EQ(Values(list, values), 2);
    EXPECT_EQ(values, (std::vector<long>{8, 7}));
}

TEST(PointerList, RemovingTheOnlyNodeLeavesAnEmptyList)
{
    PtrList list;
    list.AddTail(P(1));
    list.RemoveAt(list.GetHeadPosition());
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(list.GetTailPosition(), nullptr);
    list.AddTail(P(2));                          // usable again: head and tail both set
    EXPECT_EQ(list.GetHeadPosition(), list.GetTailPosition());
}

TEST(PointerList, RemovesHeadTailAndMiddleNodes)
{
    PtrList list;
    for (long i = 1; i <= 5; ++i) list.AddTail(P(i));
    list.RemoveAt(list.GetHeadPosition());
    list.RemoveAt(list.GetTailPosition());
    list.Remove(P(3));
    std::vector<long> values;
    EXPECT_EQ(Values(list, values), 2);
    EXPECT_EQ(values, (std::vector<long>{2, 4}));
    list.Remove(nullptr);
    list.Remove(P(99));
    list.RemoveAt(nullptr);
    EXPECT_EQ(list.GetCount(), 2);
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
}

std::atomic<int> g_routine_runs{0};

int32_t ReturningRoutine(void* argument)
{
    g_routine_runs.fetch_add(1);
    return static_cast<int32_t>(reinterpret_cast<long>(argument));
}

int32_t EndingRoutine(void* argument)
{
    static_cast<std::atomic<bool>*>(argument)->store(true);
    EndThread();
}

int32_t PollingRoutine(void* argument)
{
    auto* stop = static_cast<std::atomic<bool>*>(argument);
    while (!stop->load()) SleepMs(5);
    return 0;
}

TEST(ThreadRecords, ARoutineThatReturnsParksItsThreadUntilStopped)
{
    ThreadRecord* record = StartThread(ReturningRoutine, P(42), "returning");
    ASSERT_NE(record, nullptr);
    const uint64_t deadline = GetTickMs() + 5000;
    while (record->state.load() != kThreadReturned && GetTickMs() < deadline) SleepMs(1);
    EXPECT_EQ(record->state.load(), kThreadReturned);
    EXPECT_EQ(record->result.load(), 42);
    const uint64_t started = GetTickMs();
    EXPECT_TRUE(StopThread(record));
    EXPECT_LT(GetTickMs() - started, 700u);      // within about one 500 ms poll
}

TEST(ThreadRecords, StoppingAThreadThatCalledEndThreadReturnsPromptly)
{
    std::atomic<bool> ran{false};
    ThreadRecord* record = StartThread(EndingRoutine, &ran, "ending");
    ASSERT_NE(record, nullptr);
    while (!record->ended.load()) SleepMs(1);
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(record->result.load(), 100);       // the routine never returned
    const uint64_t started = GetTickMs();
    EXPECT_TRUE(StopThread(record));
    EXPECT_LT(GetTickMs() - started, 200u);
}

TEST(ThreadRecords, AStopRequestedWhileTheRoutineRunsIsNotLostWhenItReturns)
{
    std::atomic<bool> stop{false};
    ThreadRecord* record = StartThread(PollingRoutine, &stop, "polling");
    ASSERT_NE(record, nullptr);
    while (record->state.load() != kThreadRunning) SleepMs(1);
    std::thread stopper([&] { StopThread(record); });
    SleepMs(50);                                  // the stop is requested while it runs
    stop = true;
    stopper.join();                               // hangs if the return overwrote the request
    SUCCEED();
}

TEST(ThreadRecords, ManyThreadsStartAndStop)
{
    const int before = g_routine_runs.load();
    std::vector<ThreadRecord*> records;
    for (int i = 0; i < 50; ++i) {
        ThreadRecord* record = StartThread(ReturningRoutine, P(i), nullptr);
        ASSERT_NE(record, nullptr);
        records.push_back(record);
    }
    for (ThreadRecord* record : records)
        while (record->state.load() != kThreadReturned) SleepMs(1);
    for (ThreadRecord* record : records) StopThread(record);
    EXPECT_EQ(g_routine_runs.load() - before, 50);
}

TEST(ThreadRecords, AStopBeforeTheRoutineRunsIsKept)
{
    // Whether or not the routine got to run, the stop ends the thread.
    for (int i = 0; i < 20; ++i) {
        ThreadRecord* record = StartThread(ReturningRoutine, P(i), nullptr);
        ASSERT_NE(record, nullptr);
        EXPECT_TRUE(StopThread(record));
    }
}

TEST(Locks, ACriticalSectionIsReentrantForItsOwner)
{
    CriticalSection section;
    ScopedLock outer(section);
    ScopedLock inner(section);
    SUCCEED();
}

TEST(Locks, AScopedLockExcludesOtherThreads)
{
    LockedList shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (long i = 1; i <= 1000; ++i) {
                ScopedLock held(shared.lock);
                shared.list.AddTail(P(i));
                if (i % 2 == 0) shared.list.Remove(P(i));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ScopedLock held(shared.lock);
    EXPECT_EQ(shared.list.GetCount(), 2000);
}

}  // namespace
