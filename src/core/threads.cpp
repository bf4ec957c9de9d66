#include "core/threads.h"

#include "core/platform/platform.h"

#include <chrono>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

// Large enough for the fixed-size buffers the routines keep on their stacks.
static constexpr std::size_t kThreadStackBytes = 1024 * 1024;

static thread_local ThreadRecord* t_record = nullptr;

// Stacks of joined threads are kept for the next ones. A stack the C library allocates is
// given back at every thread's end (madvise, munmap) and faulted in again by the next thread,
// which costs more than the work of a short connection; a cached stack keeps its pages.
static constexpr std::size_t kGuardBytes       = 4096;
static constexpr std::size_t kCachedStacksMax  = 128;
static constexpr std::size_t kWarmStacksMax    = 32;
static std::mutex            g_stack_cache_lock;
static std::vector<void*>    g_stack_cache;          // guarded by g_stack_cache_lock

static void* TakeStack()
{
    {
        std::lock_guard<std::mutex> held(g_stack_cache_lock);
        if (!g_stack_cache.empty()) {
            void* stack = g_stack_cache.back();
            g_stack_cache.pop_back();
            return stack;
        }
    }
    void* block = mmap(nullptr, kThreadStackBytes + kGuardBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    mprotect(block, kGuardBytes, PROT_NONE);           // an overflow faults instead of writing below
    return block;
}

static void GiveBackStack(void* block)
{
    if (block == nullptr) return;
    std::size_t cached;
    {
        std::lock_guard<std::mutex> held(g_stack_cache_lock);
        cached = g_stack_cache.size();
    }
    // Beyond the warm ones a cached stack gives its pages back (a burst of connections would
    // otherwise keep them all) and keeps only its mapping; cold stacks wait at the front, so
    // that the next thread takes a warm one.
    const bool cold = cached >= kWarmStacksMax;
    if (cold && cached < kCachedStacksMax)
        madvise(static_cast<char*>(block) + kGuardBytes, kThreadStackBytes, MADV_DONTNEED);
    {
        std::lock_guard<std::mutex> held(g_stack_cache_lock);
        if (g_stack_cache.size() < kCachedStacksMax) {
            g_stack_cache.insert(cold ? g_stack_cache.begin() : g_stack_cache.end(), block);
            return;
        }
    }
    munmap(block, kThreadStackBytes + kGuardBytes);
}

static void MarkEnded(ThreadRecord* record)
{
    std::lock_guard<std::mutex> held(record->park_mutex);
    record->ended.store(true);
    record->park.notify_all();
}

static void* Trampoline(void* raw)
{
    auto* record = static_cast<ThreadRecord*>(raw);
    t_record = record;
    // Naming itself is one system call; naming another thread goes through /proc.
    if (record->name[0] != '\0') prctl(PR_SET_NAME, record->name, 0, 0, 0);
    record->thread_id = static_cast<uint32_t>(ThreadNumber());
    // A stop requested before the routine ran is kept: the state never moves back from 3.
    int32_t expected = kThreadCreated;
    record->state.compare_exchange_strong(expected, kThreadRunning);
    const ThreadRoutine routine = record->routine.load();
    if (routine != nullptr && expected == kThreadCreated) record->result.store(routine(record->argument));
    expected = kThreadRunning;
    record->state.compare_exchange_strong(expected, kThreadReturned);
    {
        // Parked until StopThread asks; the wait re-checks at least every 500 ms.
        std::unique_lock<std::mutex> held(record->park_mutex);
        while (record->state.load() != kThreadStopRequested)
            record->park.wait_for(held, std::chrono::milliseconds(500));
    }
    MarkEnded(record);
    return nullptr;
}

// Threads that ended without a joiner, until the next StartThread or JoinRetiredThreads.
static std::mutex                 g_retired_lock;
static std::vector<ThreadRecord*> g_retired;          // guarded by g_retired_lock

void JoinRetiredThreads()
{
    std::vector<ThreadRecord*> ended;
    {
        std::lock_guard<std::mutex> held(g_retired_lock);
        auto still = g_retired.begin();
        for (ThreadRecord* record : g_retired) {
            if (record->ended.load())
                ended.push_back(record);
            else
                *still++ = record;
        }
        g_retired.erase(still, g_retired.end());
    }
    for (ThreadRecord* record : ended) {
        pthread_join(record->handle, nullptr);          // it is leaving pthread_exit: a short wait
        GiveBackStack(record->stack);
        delete record;
    }
}

void RetireThread()
{
    if (t_record != nullptr) {
        {
            std::lock_guard<std::mutex> held(g_retired_lock);
            g_retired.push_back(t_record);
        }
        MarkEnded(t_record);
    }
    pthread_exit(nullptr);
}

ThreadRecord* StartThread(ThreadRoutine routine, void* argument, const char* name)
{
    JoinRetiredThreads();
    auto* record = new (std::nothrow) ThreadRecord;
    if (record == nullptr) return nullptr;
    record->routine.store(routine);
    record->argument = argument;
    if (name != nullptr) {
        std::strncpy(record->name, name, sizeof record->name - 1);
        record->name[sizeof record->name - 1] = '\0';
    }

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    record->stack = TakeStack();
    if (record->stack != nullptr)
        pthread_attr_setstack(&attributes, static_cast<char*>(record->stack) + kGuardBytes, kThreadStackBytes);
    else
        pthread_attr_setstacksize(&attributes, kThreadStackBytes);
    const int created = pthread_create(&record->handle, &attributes, Trampoline, record);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        GiveBackStack(record->stack);
        delete record;
        return nullptr;
    }
    return record;
}

bool StopThread(ThreadRecord* record)
{
    if (record == nullptr) return true;
    record->routine.store(nullptr);
    {
        std::unique_lock<std::mutex> held(record->park_mutex);
        record->state.store(kThreadStopRequested);
        record->park.notify_all();
        while (!record->ended.load())
            record->park.wait_for(held, std::chrono::milliseconds(100));
    }
    pthread_join(record->handle, nullptr);
    GiveBackStack(record->stack);                       // the thread is gone: nothing runs on it
    delete record;
    return true;
}

ThreadRecord* CurrentThreadRecord() { return t_record; }

int ThreadNumber() { return static_cast<int>(syscall(SYS_gettid)); }

void EndThread()
{
    if (t_record != nullptr) MarkEnded(t_record);
    pthread_exit(nullptr);
}

int TmlSema::Wait()
{
    std::unique_lock<std::mutex> held(mutex_);
    if (--count_ >= 0) return 0;
    wake_.wait(held, [this] { return wakeups_ > 0; });
    --wakeups_;
    return 0;
}

bool TmlSema::WaitFor(uint32_t ms)
{
    std::unique_lock<std::mutex> held(mutex_);
    if (--count_ >= 0) return true;
    if (wake_.wait_for(held, std::chrono::milliseconds(ms), [this] { return wakeups_ > 0; })) {
        --wakeups_;
        return true;
    }
    ++count_;                                   // this waiter leaves: it no longer counts
    return false;
}

void TmlSema::Signal()
{
    std::lock_guard<std::mutex> held(mutex_);
    if (++count_ <= 0) {
        ++wakeups_;
        wake_.notify_one();
    }
}

int32_t TmlSema::Count() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return count_;
}

int32_t PtrList::AddTail(void* data)
{
    AddTailNode(data);
    return count_;
}

Position PtrList::AddTailNode(void* data)
{
    auto* node = new (std::nothrow) PtrListNode;
    if (node == nullptr) return nullptr;
    node->data = data;
    node->prev = last_;
    if (last_ != nullptr) last_->next = node;
    else first_ = node;
    last_ = node;
    ++count_;
    return node;
}

void* PtrList::GetNext(Position& position) const
{
    if (position == nullptr) return nullptr;
    void* data = position->data;
    position = position->next;
    return data;
}

void PtrList::RemoveAt(Position node)
{
    if (node == nullptr) return;
    if (node == first_) {
        first_ = node->next;
        if (first_ != nullptr) first_->prev = nullptr;
        else last_ = nullptr;
    } else if (node == last_) {
        last_ = node->prev;
        if (last_ != nullptr) last_->next = nullptr;
        else first_ = nullptr;
    } else {
        node->prev->next = node->next;
        node->next->prev = node->prev;
    }
    delete node;
    --count_;
}

void PtrList::Remove(void* data)
{
    if (data == nullptr) return;
    for (Position node = first_; node != nullptr; node = node->next) {
        if (node->data == data) {
            RemoveAt(node);
            return;
        }
    }
}

void PtrList::RemoveAll()
{
    PtrListNode* node = first_;
    while (node != nullptr) {
        PtrListNode* next = node->next;
        delete node;
        node = next;
    }
    first_ = last_ = nullptr;
    count_ = 0;
}
