#pragma once
// Re-entrant locks and the lists that travel with them.

#include "core/threads.h"

#include <mutex>

// A re-entrant critical section: the owner may lock it again; no time-out.
class CriticalSection {
public:
    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }
private:
    std::recursive_mutex mutex_;
};

class ScopedLock {
public:
    // [[nodiscard]] turns `ScopedLock{g_lock};`, which unlocks at once, into a warning.
    [[nodiscard]] explicit ScopedLock(CriticalSection& s) : section_(s) { section_.Lock(); }
    ~ScopedLock() { section_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
private:
    CriticalSection& section_;
};

// A process-wide list with the lock that guards it, iteration included.
struct LockedList {
    CriticalSection lock;
    PtrList         list;
};
