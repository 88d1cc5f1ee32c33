// Every platform call of the input lock that can fail, failing, and some that return nothing, left
// out: one row per call, each through the import table of the library as the host loaded it (or
// as it loads, for the calls of its entry point), with the outcome a host sees. Which calls have
// no row, and why, is in docs/fault-coverage.md.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "import_patch.h"
#include "input_host.h"
#include "load_patch.h"

namespace {

#ifdef _WIN64
constexpr const wchar_t* INPUTGATE_DLL_W = L"inputgate64.dll";
#else
constexpr const wchar_t* INPUTGATE_DLL_W = L"inputgate32.dll";
#endif

// What a host sees of one story; -1 where the story does not look.
struct Outcome {
    int locked = -1;           // LockInput(true)
    int blocked = -1;          // IsBlocked() while the lock should hold (after an escape: after it)
    int keyPassed = -1;        // an unannounced key press reached the system while locked
    int announcedPassed = -1;  // an announced one did
    int lockedInEnding = -1;   // LockInput(true) right after Ctrl+Alt+Del
    int unlocked = -1;         // LockInput(false)
    int passesAfter = -1;      // a key press after the unlock, escape or unload reached the system
    int threadsLeft = -1;      // threads of the process beyond those before the story
    int lockAgain = -1;        // with the fault gone, a lock and an unlock (at unload: of a fresh load)
    int lastError = -1;        // an announcement that could not be stored: the thread's last error
    int keptEarlier = -1;      // ... and every announcement before it still lets its event through
    int reached = -1;          // the fault met the call at least once
    bool operator==(const Outcome& o) const {
        return locked == o.locked && blocked == o.blocked && keyPassed == o.keyPassed &&
               announcedPassed == o.announcedPassed && lockedInEnding == o.lockedInEnding && unlocked == o.unlocked &&
               passesAfter == o.passesAfter && threadsLeft == o.threadsLeft && lockAgain == o.lockAgain &&
               lastError == o.lastError && keptEarlier == o.keptEarlier && reached == o.reached;
    }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "{locked " << o.locked << ", blocked " << o.blocked << ", keyPassed " << o.keyPassed
              << ", announcedPassed " << o.announcedPassed << ", lockedInEnding " << o.lockedInEnding << ", unlocked "
              << o.unlocked << ", passesAfter " << o.passesAfter << ", threadsLeft " << o.threadsLeft << ", lockAgain "
              << o.lockAgain << ", lastError " << o.lastError << ", keptEarlier " << o.keptEarlier << ", reached "
              << o.reached << "}";
}

// A fault in place: the faults of the row, what their actions share, how often it struck, and an
// optional step the story runs once the lock call has returned.
struct Armed {
    std::shared_ptr<void> shared;   // destroyed after the faults, whose actions use it
    std::vector<HeldFault> faults;
    std::function<int()> hits;
    std::function<void()> settle;
};

// One fault, which struck when it took a call.
Armed Holding(HeldFault fault) {
    Armed armed;
    armed.hits = [fault] { return fault.failed(); };
    armed.faults.push_back(std::move(fault));
    return armed;
}

// ---- faults of their own, for the rows that need more than a fixed result ----

// A manual-reset event for a fault's action and the story to meet at.
class Signal {
public:
    Signal() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Signal() { CloseHandle(handle_); }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void Set() { SetEvent(handle_); }
    void Wait() { WaitForSingleObject(handle_, INFINITE); }

private:
    HANDLE handle_;
};

// PeekMessageW that cannot create the thread's queue (the desktop heap is exhausted); the queue
// then comes with the first GetMessageW, which the story waits for before it sends input.
Armed NoQueue(HMODULE module) {
    struct Loop {
        Signal reached;
        std::atomic<DWORD> thread{0};
    };
    auto loop = std::make_shared<Loop>();
    Armed armed = Holding(FAIL_IMPORT(module, PeekMessageW, FALSE, ERROR_NOT_ENOUGH_MEMORY, -1));
    armed.faults.push_back(REPLACE_IMPORT(
        module, GetMessageW,
        [loop](auto original, LPMSG msg, HWND window, UINT first, UINT last) {
            loop->thread = GetCurrentThreadId();
            loop->reached.Set();
            return original(msg, window, first, last);
        },
        -1));
    // The thread has reached its loop and its queue exists (a message can be posted to it).
    armed.settle = [loop] {
        loop->reached.Wait();
        while (!PostThreadMessageW(loop->thread, WM_NULL, 0, 0)) SwitchToThread();
    };
    armed.shared = loop;
    return armed;
}

// Sleep left out, and the lock thread held back until LockInput(true) has polled once: the poll
// then spins without yielding.
Armed NoSleep(HMODULE module) {
    auto polled = std::make_shared<Signal>();
    Armed armed = Holding(REPLACE_IMPORT(module, Sleep, [polled](auto, DWORD) { polled->Set(); }, -1));
    armed.faults.push_back(REPLACE_IMPORT(
        module, PeekMessageW,
        [polled](auto original, LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
            polled->Wait();
            return original(msg, window, first, last, remove);
        },
        -1));
    armed.shared = polled;
    return armed;
}

// UnhookWindowsHookEx fails and the hooks stay. Under Wine the hooks of a thread that ended stay in
// the desktop's chain and hide the hooks installed before them from every later test: the row
// removes them itself afterwards (the test's own calls are not the library's, which the fault takes).
Armed HooksStay(HMODULE module) {
    struct Kept {
        std::mutex lock;
        std::vector<HHOOK> hooks;
        ~Kept() {
            for (HHOOK hook : hooks) UnhookWindowsHookEx(hook);
        }
    };
    auto kept = std::make_shared<Kept>();
    Armed armed = Holding(REPLACE_IMPORT(
        module, UnhookWindowsHookEx,
        [kept](auto, HHOOK hook) {
            std::lock_guard<std::mutex> hold(kept->lock);
            kept->hooks.push_back(hook);
            SetLastError(ERROR_INVALID_HOOK_HANDLE);
            return FALSE;
        },
        -1));
    armed.shared = kept;
    return armed;
}

// The C runtime's malloc (behind the queue's storage) fails once: an announcement cannot be stored.
HeldFault NoStorage(HMODULE module) {
    return REPLACE_IMPORT(module, malloc, [](auto, size_t) -> void* { return nullptr; }, 1);
}

// ---- the stories ----

enum class Story {
    LockCycle,          // lock, input, announced input, unlock, input
    LoadThenLockCycle,  // the fault is in place while the library loads, then the lock cycle
    Escape,             // lock, Ctrl+Alt+Del, lock again at once, unlock
    UnloadWhileLocked,  // lock, FreeLibrary, input, a fresh load locks
    Storage,            // lock, announce until one cannot be stored, count what passes
};

struct Row {
    const char* call;
    Story story;
    std::function<Armed(HMODULE)> arm;
    Outcome expected;
};

Outcome Normal() {
    Outcome o;
    o.locked = 1;
    o.blocked = 1;
    o.keyPassed = 0;
    o.announcedPassed = 1;
    o.unlocked = 1;
    o.passesAfter = 1;
    o.threadsLeft = 0;
    o.lockAgain = 1;
    o.reached = 1;
    return o;
}

Outcome NoLock(int lockAgain = 1) {
    Outcome o = Normal();
    o.locked = 0;
    o.blocked = 0;
    o.keyPassed = 1;
    o.lockAgain = lockAgain;
    return o;
}

Outcome With(Outcome o, int Outcome::*field, int value) {
    o.*field = value;
    return o;
}

Outcome Unloaded(int threadsLeft) {
    Outcome o;
    o.locked = 1;
    o.keyPassed = 0;
    o.passesAfter = 1;
    o.threadsLeft = threadsLeft;
    o.lockAgain = 1;
    o.reached = 1;
    return o;
}

Outcome Escaped(int threadsLeft, int lockedInEnding) {
    Outcome o;
    o.locked = 1;
    o.blocked = 0;
    o.passesAfter = 1;
    o.threadsLeft = threadsLeft;
    o.lockedInEnding = lockedInEnding;
    o.unlocked = 1;
    o.lockAgain = 1;
    o.reached = 1;
    return o;
}

Outcome Stored(int lastError) {
    Outcome o;
    o.locked = 1;
    o.lastError = lastError;
    o.keptEarlier = 1;
    o.reached = 1;
    return o;
}

class Faults : public GateTest {
protected:
    // A key press reaches the system. (Not asked of the observer: under Wine a hook whose thread
    // ended without unhooking stays in the chain and hides the hooks installed before it.)
    static bool Passes(WORD vk) {
        SendKey(vk, false);
        bool down = KeyIsDown(vk);
        SendKey(vk, true);
        return down;
    }
    // Threads beyond those before the story, once a lock thread that is ending has had 3 s to go
    // (one that stays sleeps). Looked at every 20 ms: a thread snapshot is dear in the x86 guest.
    int ThreadsLeft() {
        for (int i = 0; i < 150 && ThreadCount() != baseThreads_; ++i) Sleep(20);
        return ThreadCount() - baseThreads_;
    }

    Outcome Run(const Row& row) {
        Outcome o;
        Armed armed;
        std::unique_ptr<OnDllLoad> watch;
        if (row.story == Story::LoadThenLockCycle) {
            api_.reset();
            lib_.reset();
            watch = std::make_unique<OnDllLoad>(INPUTGATE_DLL_W, [&](HMODULE m) { armed = row.arm(m); });
            lib_ = std::make_unique<HostLibrary>(INPUTGATE_DLL);
            watch.reset();
            api_ = std::make_unique<GateApi>(*lib_);
            if (armed.faults.empty()) ADD_FAILURE() << "the load went by without the fault";
        } else {
            armed = row.arm(lib_->module());
        }
        auto hits = [&] { return armed.hits && armed.hits() > 0 ? 1 : 0; };
        o.locked = api_->LockInput(true) ? 1 : 0;
        if (armed.settle) armed.settle();
        switch (row.story) {
        case Story::LockCycle:
        case Story::LoadThenLockCycle:
            o.blocked = api_->IsBlocked() ? 1 : 0;
            o.keyPassed = Passes('A') ? 1 : 0;
            api_->AllowKeyboardEvent(WM_KEYDOWN);
            api_->AllowKeyboardEvent(WM_KEYUP);
            o.announcedPassed = Passes('B') ? 1 : 0;
            o.unlocked = api_->LockInput(false) ? 1 : 0;
            o.passesAfter = Passes('C') ? 1 : 0;
            o.reached = hits();
            o.threadsLeft = ThreadsLeft();
            if (row.story == Story::LockCycle) armed = Armed{};   // a fault of loading stays with that load
            o.lockAgain = api_->LockInput(true) && api_->LockInput(false) ? 1 : 0;
            break;
        case Story::Escape:
            SendKey(VK_LCONTROL, false);
            SendKey(VK_LMENU, false);
            SendKey(VK_DELETE, false);
            for (WORD k : {VK_DELETE, VK_LMENU, VK_LCONTROL}) SendKey(k, true);
            o.blocked = api_->IsBlocked() ? 1 : 0;
            o.passesAfter = Passes('C') ? 1 : 0;
            o.reached = hits();
            o.threadsLeft = ThreadsLeft();
            o.lockedInEnding = api_->LockInput(true) ? 1 : 0;
            o.unlocked = api_->LockInput(false) ? 1 : 0;
            armed = Armed{};
            o.lockAgain = api_->LockInput(true) && api_->LockInput(false) ? 1 : 0;
            break;
        case Story::UnloadWhileLocked:
            o.keyPassed = Passes('A') ? 1 : 0;
            api_.reset();
            lib_->Unload();
            o.passesAfter = Passes('C') ? 1 : 0;
            o.reached = hits();
            o.threadsLeft = ThreadsLeft();
            armed = Armed{};
            lib_ = std::make_unique<HostLibrary>(INPUTGATE_DLL);
            api_ = std::make_unique<GateApi>(*lib_);
            o.lockAgain = api_->LockInput(true) && api_->LockInput(false) ? 1 : 0;
            break;
        case Story::Storage: {
            // The queue grows in blocks: announce until one needs storage that is not there.
            int stored = 0;
            DWORD error = 0;
            for (; stored < 1000; ++stored) {
                SetLastError(0);
                api_->AllowMouseEvent(WM_MOUSEMOVE);
                error = GetLastError();
                if (hits()) break;
            }
            o.reached = hits();
            armed = Armed{};
            o.lastError = static_cast<int>(error);
            observer_->Take();
            for (int i = 0; i < stored + 3; ++i) MoveMouse();
            o.keptEarlier = observer_->Take().size() == size_t(stored) ? 1 : 0;
            break;
        }
        }
        return o;
    }
};

TEST_F(Faults, EveryPlatformCallOfTheLockFailing) {
    const Row rows[] = {
        // Static initialisation and the entry point.
        {"InitializeCriticalSectionAndSpinCount (the state lock)", Story::LoadThenLockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, InitializeCriticalSectionAndSpinCount, FALSE, ERROR_NOT_ENOUGH_MEMORY)); },
         NoLock(0)},
        // Locking.
        {"CreateThread", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, CreateThread, HANDLE{}, ERROR_NOT_ENOUGH_MEMORY)); }, NoLock()},
        {"SetWindowsHookExW, keyboard hook", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, SetWindowsHookExW, HHOOK{}, ERROR_ACCESS_DENIED)); }, NoLock()},
        {"SetWindowsHookExW, mouse hook", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, SetWindowsHookExW, HHOOK{}, ERROR_NOT_ENOUGH_MEMORY, 1, 1)); },
         NoLock()},
        {"PeekMessageW (no queue for the lock thread)", Story::LockCycle, &NoQueue, Normal()},
        {"Sleep (left out: the poll spins)", Story::LockCycle, &NoSleep, Normal()},
        {"GetMessageW", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, GetMessageW, BOOL{-1}, ERROR_INVALID_PARAMETER)); }, Normal()},
        // A later hook in the chain swallows the announced event: the lock returns its verdict.
        {"CallNextHookEx", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, CallNextHookEx, LRESULT{1}, 0, -1)); },
         With(Normal(), &Outcome::announcedPassed, 0)},
        // Unlocking.
        {"UnhookWindowsHookEx", Story::LockCycle, &HooksStay, Normal()},
        // The lock thread is never told to quit: it sleeps on, kept for the unload to end.
        {"PostThreadMessageW", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, PostThreadMessageW, FALSE, ERROR_NOT_ENOUGH_QUOTA, -1)); },
         With(Normal(), &Outcome::threadsLeft, 1)},
        {"WaitForSingleObject", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, WaitForSingleObject, DWORD{WAIT_FAILED}, ERROR_INVALID_HANDLE, -1)); },
         Normal()},
        {"CloseHandle", Story::LockCycle,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, CloseHandle, FALSE, ERROR_INVALID_HANDLE, -1)); }, Normal()},
        // After Ctrl+Alt+Del the lock thread is not woken: the lock is off, a lock finds it ending
        // until an unlock ends it.
        {"PostQuitMessage (left out)", Story::Escape, [](HMODULE m) { return Holding(SKIP_IMPORT(m, PostQuitMessage, -1)); },
         Escaped(1, 0)},
        // Unloading while locked. A lock thread that cannot be ended stays asleep in its wait.
        {"TerminateThread", Story::UnloadWhileLocked,
         [](HMODULE m) { return Holding(FAIL_IMPORT(m, TerminateThread, FALSE, ERROR_ACCESS_DENIED, -1)); }, Unloaded(1)},
        // Announcements that cannot be stored.
        {"malloc of the C runtime (the queue's storage)", Story::Storage, [](HMODULE m) { return Holding(NoStorage(m)); },
         Stored(ERROR_NOT_ENOUGH_MEMORY)},
        {"SetLastError (left out)", Story::Storage,
         [](HMODULE m) {
             Armed armed;
             armed.faults = {NoStorage(m), SKIP_IMPORT(m, SetLastError, -1)};
             armed.hits = [storage = armed.faults[0], lastError = armed.faults[1]] {
                 return std::min(storage.failed(), lastError.failed());
             };
             return armed;
         },
         Stored(0)},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.expected, Run(row)) << row.call;
        // Each row starts from a fresh load, with an observer installed after what the row left.
        api_->LockInput(false);
        api_.reset();
        lib_.reset();
        observer_.reset();
        observer_ = std::make_unique<Observer>();
        lib_ = std::make_unique<HostLibrary>(INPUTGATE_DLL);
        api_ = std::make_unique<GateApi>(*lib_);
        baseThreads_ = ThreadCount();
    }
}

}  // namespace
