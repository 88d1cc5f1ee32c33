// Small owners over the system's own primitives: the faces start their threads with
// CreateThread and wait with slim reader/writer locks and condition variables, so that they
// need nothing of a threading runtime.
#pragma once
#include <windows.h>

namespace rs {

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* native() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Held for a scope; the condition's waits let it go and take it back.
class LockHold {
public:
    explicit LockHold(SrwLock& lock) : lock_(lock) { lock_.lock(); }
    ~LockHold() { lock_.unlock(); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;
    SrwLock& lock() { return lock_; }

private:
    SrwLock& lock_;
};

class Condition {
public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // False when the time ran out.
    bool Wait(LockHold& hold, DWORD timeoutMs = INFINITE) {
        return SleepConditionVariableSRW(&cv_, hold.lock().native(), timeoutMs, 0) != 0;
    }
    void WakeAll() { WakeAllConditionVariable(&cv_); }

private:
    CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
};

// A kernel handle, closed with its owner.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            Reset();
            h_ = other.h_;
            other.h_ = nullptr;
        }
        return *this;
    }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void Reset() {
        if (*this) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

// Keeps the module holding `address` loaded for the rest of the process: a face that has
// started a thread running its code must not be unloaded under it.
inline void PinModuleOf(const void* address) {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       static_cast<LPCSTR>(address), &self);
}

}  // namespace rs
