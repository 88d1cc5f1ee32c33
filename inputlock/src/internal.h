// Process-wide lock state of the input gate and the small owners that guard it.
#pragma once
#include <windows.h>

#include <cstdint>
#include <deque>

namespace inputgate {

// Owns a kernel handle (mutex, thread); closes it when dropped.
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE h) noexcept : handle_(h) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    HANDLE Release() noexcept {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void Reset(HANDLE h = nullptr) noexcept {
        if (handle_) CloseHandle(handle_);
        handle_ = h;
    }

private:
    HANDLE handle_ = nullptr;
};

// Holds a Win32 mutex for one scope. Only WAIT_OBJECT_0 counts as acquired. After
// WAIT_ABANDONED this thread owns the mutex all the same, so it gives it back at once:
// the wait still counts as failed, but no mutex stays held by a thread that will not release it.
class MutexHold {
public:
    explicit MutexHold(HANDLE mutex) noexcept : mutex_(mutex) {
        if (!mutex_) return;
        DWORD result = WaitForSingleObject(mutex_, INFINITE);
        if (result == WAIT_OBJECT_0) {
            held_ = true;
        } else if (result == WAIT_ABANDONED) {
            ReleaseMutex(mutex_);
        }
    }
    ~MutexHold() {
        if (held_) ReleaseMutex(mutex_);
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

    explicit operator bool() const noexcept { return held_; }

private:
    HANDLE mutex_;
    bool held_ = false;
};

// The lock that guards all lock state. It is recursive for its owner (the Ctrl+Alt+Del path
// holds it while the hook removal takes it again). A critical section, not a kernel mutex: it
// lies on the path of every input event and every announcement, and a kernel mutex costs a
// system round trip per wait and per release (about 70 us a pair under Wine) where an
// uncontended critical section costs nanoseconds. Created at process attach; until then, and
// after its destruction at detach, holds fail and every operation skips its work.
class StateLock {
public:
    StateLock() noexcept = default;
    ~StateLock() { Destroy(); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    void Create() noexcept {
        if (!created_) created_ = InitializeCriticalSectionAndSpinCount(&section_, 0) != 0;
    }
    void Destroy() noexcept {
        if (created_) DeleteCriticalSection(&section_);
        created_ = false;
    }
    bool Enter() noexcept {
        if (!created_) return false;
        EnterCriticalSection(&section_);
        return true;
    }
    void Leave() noexcept { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_{};
    bool created_ = false;
};

// Holds the state lock for one scope; false when the lock does not exist.
class StateHold {
public:
    explicit StateHold(StateLock& lock) noexcept : lock_(lock), held_(lock.Enter()) {}
    ~StateHold() {
        if (held_) lock_.Leave();
    }
    StateHold(const StateHold&) = delete;
    StateHold& operator=(const StateHold&) = delete;
    explicit operator bool() const noexcept { return held_; }

private:
    StateLock& lock_;
    bool held_;
};

// One entry per announced event type, as wide as the hook's wParam.
using EventQueue = std::deque<std::uintptr_t>;

// Ctrl+Alt+Del tracking bits.
constexpr std::uint32_t CTRL_DOWN = 1;
constexpr std::uint32_t ALT_DOWN = 2;
constexpr std::uint32_t DELETE_DOWN = 4;
constexpr std::uint32_t CTRL_ALT_DEL = CTRL_DOWN | ALT_DOWN | DELETE_DOWN;

// Everything below except moduleHandle, stateMutex and logMutex is touched only with stateMutex held.
extern HINSTANCE moduleHandle;
extern StateLock stateMutex;
extern HHOOK keyboardHook;
extern HHOOK mouseHook;
extern UniqueHandle lockThread;
extern DWORD lockThreadId;  // identifies the recorded lock thread to the thread itself
extern UniqueHandle lingeringThread;  // a released lock thread that had not ended when its unlock stopped waiting
extern bool hooksReady;
extern std::uint32_t ctrlAltDelState;
extern EventQueue allowedKeyboardEvents;
extern EventQueue allowedMouseEvents;
extern UniqueHandle logMutex;

// The lock is on exactly when both hooks are recorded. Caller holds stateMutex.
inline bool BothHooksRecorded() noexcept { return keyboardHook != nullptr && mouseHook != nullptr; }

// Caller holds stateMutex.
void ResetLockState() noexcept;

// The announced-event decision for one event of one device; caller holds stateMutex.
enum class Device { Keyboard, Mouse };
bool TakeAnnouncedEvent(Device device, WPARAM eventType) noexcept;

// The lifecycle log: serialised by logMutex, handed to WriteLogLine, which writes nothing.
void LogLine(const char* format, int argument = 0) noexcept;
void WriteLogLine(const char* format, int argument) noexcept;

// The per-event trace: takes no lock, writes nothing, costs nothing.
template <class... Arguments>
inline void TraceEvent(const char* /*format*/, Arguments... /*arguments*/) noexcept {
    static_assert(sizeof...(Arguments) <= 3, "trace texts take at most three arguments");
}

}  // namespace inputgate
