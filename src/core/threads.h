#pragma once
// Thread records, the counting semaphore TmlSema and the pointer list PtrList.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pthread.h>

using ThreadRoutine = int32_t (*)(void*);

enum ThreadState : int32_t {
    kThreadCreated       = 0,
    kThreadReturned      = 1,
    kThreadRunning       = 2,
    kThreadStopRequested = 3,
};

// One per started thread; created by StartThread, freed by StopThread.
struct ThreadRecord {
    std::atomic<ThreadRoutine> routine{nullptr};
    void*                      argument = nullptr;
    std::atomic<int32_t>       state{kThreadCreated};
    std::atomic<int32_t>       result{100};            // 100 until the routine returns
    uint32_t                   thread_id = 0;
    pthread_t                  handle{};
    std::atomic<bool>          ended{false};           // the thread has left its routine for good
    std::mutex                 park_mutex;             // a returned thread parks here until stopped
    std::condition_variable    park;
    char                       name[16] = "";            // set by the thread itself
    void*                      stack = nullptr;          // from the stack cache; back there after the join
};

// Starts routine(argument) on its own thread, named `name` for top and gdb (cut to 15
// characters). Returns the record, or null when the thread cannot be created.
[[nodiscard]] ThreadRecord* StartThread(ThreadRoutine routine, void* argument, const char* name = nullptr);
// Asks the thread to end, waits (without limit) until it has, then frees the record.
// Never twice for one record, never from the thread itself. Returns true.
bool StopThread(ThreadRecord* record);
// The record of the calling thread (null on a thread StartThread did not start).
ThreadRecord* CurrentThreadRecord();
// The number logs give the calling thread.
int ThreadNumber();
// Ends the calling thread at once with exit code 0. Hold nothing with a destructor here.
[[noreturn]] void EndThread();
// Ends the calling thread (one StartThread started) for good when no one will stop it: the
// caller has taken its record from wherever it was kept. The record is joined and freed by a
// later StartThread or JoinRetiredThreads. Hold nothing with a destructor here.
[[noreturn]] void RetireThread();
// Joins and frees the retired threads that have ended.
void JoinRetiredThreads();

// Counting semaphore: positive count = banked signals, negative = waiting threads.
class TmlSema {
public:
    explicit TmlSema(int32_t initial_count = 0) : count_(initial_count) {}
    ~TmlSema() = default;
    TmlSema(const TmlSema&) = delete;
    TmlSema& operator=(const TmlSema&) = delete;

    // Takes one signal, waiting without time-out if none is banked. Returns 0.
    int Wait();
    // As Wait, but gives up after ms; true when a signal was taken.
    bool WaitFor(uint32_t ms);
    // Gives one signal, waking one waiter if there is one.
    void Signal();
    int32_t Count() const;

private:
    mutable std::mutex      mutex_;
    std::condition_variable wake_;
    int32_t                 count_;
    int32_t                 wakeups_ = 0;         // signals handed to waiters, not yet taken
};

struct PtrListNode {
    void*        data = nullptr;
    PtrListNode* next = nullptr;
    PtrListNode* prev = nullptr;
};
using Position = PtrListNode*;

// Doubly linked list of untyped pointers; does not own what they point to and has no lock
// of its own: the caller holds the lock that belongs to the list around every use.
class PtrList {
public:
    PtrList() = default;
    virtual ~PtrList() { RemoveAll(); }
    PtrList(const PtrList&) = delete;
    PtrList& operator=(const PtrList&) = delete;

    int32_t AddTail(void* data);                   // the new count; unchanged when out of memory
    Position AddTailNode(void* data);              // the new node (for RemoveAt); null when out of memory
    Position GetHeadPosition() const { return first_; }
    void* GetNext(Position& position) const;       // data at position; position moves on
    void RemoveAt(Position node);
    void Remove(void* data);                       // the first node holding data, if any
    void RemoveAll();
    int32_t GetCount() const { return count_; }
    Position GetTailPosition() const { return last_; }

private:
    PtrListNode* first_ = nullptr;
    PtrListNode* last_  = nullptr;
    int32_t      count_ = 0;
};
