// The library's locks: the platform's slim reader/writer lock and condition variable. The C++
// runtime's own threading layer keeps per-thread records (an event and a thread handle for each
// thread that touches it) that unloading the library never releases: a host that loads and
// unloads the library would lose handles with every cycle.
#pragma once
#include <windows.h>

#include "handles.h"

namespace lwu {

class Lock {
public:
    Lock() noexcept = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void Enter() noexcept { AcquireSRWLockExclusive(&lock_); }
    void Leave() noexcept { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* native() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

inline Lock* EnterLock(Lock& lock) noexcept {
    lock.Enter();
    return &lock;
}
inline void LeaveLock(Lock* lock) noexcept { lock->Leave(); }

// Holds a Lock for one scope.
class LockHold : public Owned<Lock*, LeaveLock> {
public:
    explicit LockHold(Lock& lock) noexcept : Owned(EnterLock(lock)) {}
};

class Condition {
public:
    Condition() noexcept = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // The caller holds `lock`; it is released while waiting and held again on return.
    template <class Predicate>
    void Wait(Lock& lock, Predicate ready) noexcept {
        while (!ready()) SleepConditionVariableSRW(&condition_, lock.native(), INFINITE, 0);
    }
    void WakeAll() noexcept { WakeAllConditionVariable(&condition_); }

private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

}  // namespace lwu
