// Every platform call of the input lock failing: one row per call, each failed through the import
// table of the library as the host loaded it (or as it loads, for the calls of its static
// initialisation and entry point), with the outcome a host sees.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
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

// A fault in place: whatever keeps it alive, how often it struck, and an optional step the story
// runs once the lock call has returned.
struct Armed {
    std::shared_ptr<void> keep;
    std::function<int()> hits;
    std::function<void()> settle;
};

template <class Fault, class... A>
Armed Arm(HMODULE module, const char* function, A... arguments) {
    auto fault = std::make_shared<Fault>(module, function, arguments...);
    return Armed{fault, [fault] { return fault->failed(); }, nullptr};
}

template <class Fault>
Armed ArmSkip(HMODULE module, const char* function) {
    auto fault = std::make_shared<Fault>(module, function, -1);
    return Armed{fault, [fault] { return fault->calls(); }, nullptr};
}

// ARM(module, Function, failValue, error[, times[, skip]]): FAIL_IMPORT held for one row.
#define ARM(module, function, ...) Arm<decltype(FAIL_IMPORT(module, function, __VA_ARGS__))>(module, #function, __VA_ARGS__)
// ARM_SKIP(module, Function): every call of a function that returns nothing is left out.
#define ARM_SKIP(module, function) ArmSkip<decltype(SKIP_IMPORT(module, function, -1))>(module, #function)

// ---- stubs of their own, for the rows that need more than a fixed result ----

// PeekMessageW that cannot create the thread's queue (the desktop heap is exhausted); the queue
// then comes with the first GetMessageW, which the story waits for before it sends input.
struct NoQueue {
    static ImportPatch*& Peek() {
        static ImportPatch* p = nullptr;
        return p;
    }
    static ImportPatch*& Get() {
        static ImportPatch* p = nullptr;
        return p;
    }
    static HANDLE& waiting() {
        static HANDLE h = nullptr;
        return h;
    }
    static std::atomic<int>& failed() {
        static std::atomic<int> n{0};
        return n;
    }
    static BOOL WINAPI PeekMessageStub(LPMSG, HWND, UINT, UINT, UINT) {
        ++failed();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    static std::atomic<DWORD>& thread() {
        static std::atomic<DWORD> id{0};
        return id;
    }
    static BOOL WINAPI GetMessageStub(LPMSG msg, HWND window, UINT first, UINT last) {
        thread() = GetCurrentThreadId();
        SetEvent(waiting());
        return Get()->original<BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT)>()(msg, window, first, last);
    }
    // The thread has reached its loop and its queue exists (a message can be posted to it).
    static void Settle(HANDLE event) {
        WaitForSingleObject(event, INFINITE);
        while (!PostThreadMessageW(thread(), WM_NULL, 0, 0)) SwitchToThread();
    }
    static Armed Make(HMODULE module) {
        struct Patches {
            Patches(HMODULE m)
                : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                  peek(m, "PeekMessageW", reinterpret_cast<void*>(&PeekMessageStub)),
                  get(m, "GetMessageW", reinterpret_cast<void*>(&GetMessageStub)) {
                waiting() = event;
                thread() = 0;
                Peek() = &peek;
                Get() = &get;
                failed() = 0;
            }
            ~Patches() { CloseHandle(event); }
            HANDLE event;
            ImportPatch peek, get;
        };
        auto p = std::make_shared<Patches>(module);
        HANDLE event = p->event;
        return Armed{p, [] { return failed().load(); }, [event] { Settle(event); }};
    }
};

// Sleep left out, and the lock thread held back until LockInput(true) has polled once: the poll
// then spins without yielding.
struct NoSleep {
    static ImportPatch*& Peek() {
        static ImportPatch* p = nullptr;
        return p;
    }
    static HANDLE& polled() {
        static HANDLE h = nullptr;
        return h;
    }
    static std::atomic<int>& skipped() {
        static std::atomic<int> n{0};
        return n;
    }
    static VOID WINAPI SleepStub(DWORD) {
        ++skipped();
        SetEvent(polled());
    }
    static BOOL WINAPI PeekMessageStub(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
        WaitForSingleObject(polled(), INFINITE);
        return Peek()->original<BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT)>()(msg, window, first, last, remove);
    }
    static Armed Make(HMODULE module) {
        struct Patches {
            Patches(HMODULE m)
                : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                  sleep(m, "Sleep", reinterpret_cast<void*>(&SleepStub)),
                  peek(m, "PeekMessageW", reinterpret_cast<void*>(&PeekMessageStub)) {
                polled() = event;
                Peek() = &peek;
                skipped() = 0;
            }
            ~Patches() { CloseHandle(event); }
            HANDLE event;
            ImportPatch sleep, peek;
        };
        auto p = std::make_shared<Patches>(module);
        return Armed{p, [] { return skipped().load(); }, nullptr};
    }
};

// UnhookWindowsHookEx fails and the hooks stay. Under Wine the hooks of a thread that ended stay in
// the desktop's chain and hide the hooks installed before them from every later test: the row
// removes them itself afterwards.
struct HooksStay {
    static std::vector<HHOOK>& Kept() {
        static std::vector<HHOOK> hooks;
        return hooks;
    }
    static BOOL WINAPI Stub(HHOOK hook) {
        Kept().push_back(hook);
        SetLastError(ERROR_INVALID_HOOK_HANDLE);
        return FALSE;
    }
    static Armed Make(HMODULE module) {
        struct Remover {
            explicit Remover(HMODULE m) : patch(m, "UnhookWindowsHookEx", reinterpret_cast<void*>(&Stub)) {}
            ~Remover() {
                for (HHOOK hook : Kept()) UnhookWindowsHookEx(hook);
                Kept().clear();
            }
            ImportPatch patch;
        };
        Kept().clear();
        auto r = std::make_shared<Remover>(module);
        return Armed{r, [] { return static_cast<int>(Kept().size()); }, nullptr};
    }
};

// The C runtime's malloc (behind the queue's storage) fails once: an announcement cannot be stored.
struct NoStorage {
    static ImportPatch*& Patch() {
        static ImportPatch* p = nullptr;
        return p;
    }
    static std::atomic<int>& failed() {
        static std::atomic<int> n{0};
        return n;
    }
    static void* __cdecl MallocStub(size_t size) {
        if (failed().load() == 0) {
            ++failed();
            return nullptr;
        }
        return Patch()->original<void*(__cdecl*)(size_t)>()(size);
    }
    static Armed Make(HMODULE module) {
        auto p = std::make_shared<ImportPatch>(module, "malloc", reinterpret_cast<void*>(&MallocStub));
        Patch() = p.get();
        failed() = 0;
        return Armed{p, [] { return failed().load(); }, nullptr};
    }
};

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
            if (!armed.keep) ADD_FAILURE() << "the load went by without the fault";
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
        {"CreateMutexW (the log's mutex)", Story::LoadThenLockCycle,
         [](HMODULE m) { return ARM(m, CreateMutexW, HANDLE{}, ERROR_NO_SYSTEM_RESOURCES); }, Normal()},
        {"InitializeCriticalSectionAndSpinCount (the state lock)", Story::LoadThenLockCycle,
         [](HMODULE m) { return ARM(m, InitializeCriticalSectionAndSpinCount, FALSE, ERROR_NOT_ENOUGH_MEMORY); },
         NoLock(0)},
        // Locking.
        {"CreateThread", Story::LockCycle,
         [](HMODULE m) { return ARM(m, CreateThread, HANDLE{}, ERROR_NOT_ENOUGH_MEMORY); }, NoLock()},
        {"SetWindowsHookExW, keyboard hook", Story::LockCycle,
         [](HMODULE m) { return ARM(m, SetWindowsHookExW, HHOOK{}, ERROR_ACCESS_DENIED); }, NoLock()},
        {"SetWindowsHookExW, mouse hook", Story::LockCycle,
         [](HMODULE m) { return ARM(m, SetWindowsHookExW, HHOOK{}, ERROR_NOT_ENOUGH_MEMORY, 1, 1); }, NoLock()},
        {"PeekMessageW (no queue for the lock thread)", Story::LockCycle, &NoQueue::Make, Normal()},
        {"Sleep (left out: the poll spins)", Story::LockCycle, &NoSleep::Make, Normal()},
        {"GetMessageW", Story::LockCycle, [](HMODULE m) { return ARM(m, GetMessageW, BOOL{-1}, ERROR_INVALID_PARAMETER); },
         Normal()},
        // A later hook in the chain swallows the announced event: the lock returns its verdict.
        {"CallNextHookEx", Story::LockCycle, [](HMODULE m) { return ARM(m, CallNextHookEx, LRESULT{1}, 0, -1); },
         With(Normal(), &Outcome::announcedPassed, 0)},
        // Unlocking.
        {"UnhookWindowsHookEx", Story::LockCycle, &HooksStay::Make, Normal()},
        // The lock thread is never told to quit: it sleeps on, kept for the unload to end.
        {"PostThreadMessageW", Story::LockCycle,
         [](HMODULE m) { return ARM(m, PostThreadMessageW, FALSE, ERROR_NOT_ENOUGH_QUOTA, -1); },
         With(Normal(), &Outcome::threadsLeft, 1)},
        {"WaitForSingleObject", Story::LockCycle,
         [](HMODULE m) { return ARM(m, WaitForSingleObject, DWORD{WAIT_FAILED}, ERROR_INVALID_HANDLE, -1); }, Normal()},
        {"CloseHandle", Story::LockCycle, [](HMODULE m) { return ARM(m, CloseHandle, FALSE, ERROR_INVALID_HANDLE, -1); },
         Normal()},
        // After Ctrl+Alt+Del the lock thread is not woken: the lock is off, a lock finds it ending
        // until an unlock ends it.
        {"PostQuitMessage (left out)", Story::Escape, [](HMODULE m) { return ARM_SKIP(m, PostQuitMessage); },
         Escaped(1, 0)},
        // Unloading while locked. A lock thread that cannot be ended stays asleep in its wait.
        {"TerminateThread", Story::UnloadWhileLocked,
         [](HMODULE m) { return ARM(m, TerminateThread, FALSE, ERROR_ACCESS_DENIED, -1); }, Unloaded(1)},
        {"DeleteCriticalSection (left out)", Story::UnloadWhileLocked,
         [](HMODULE m) { return ARM_SKIP(m, DeleteCriticalSection); }, Unloaded(0)},
        // Announcements that cannot be stored.
        {"malloc of the C runtime (the queue's storage)", Story::Storage, &NoStorage::Make, Stored(ERROR_NOT_ENOUGH_MEMORY)},
        {"SetLastError (left out)", Story::Storage,
         [](HMODULE m) {
             Armed storage = NoStorage::Make(m);
             Armed skip = ARM_SKIP(m, SetLastError);
             auto both = std::make_shared<std::pair<Armed, Armed>>(storage, skip);
             return Armed{both, [both] { return std::min(both->first.hits(), both->second.hits()); }, nullptr};
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
