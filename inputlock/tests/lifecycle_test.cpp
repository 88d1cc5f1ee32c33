// The lock's lifecycle as a host sees it: lock and unlock in every state, the lock thread,
// handles and unloading.
#include <atomic>

#include "import_patch.h"
#include "input_host.h"

namespace {

class Lifecycle : public GateTest {};

TEST_F(Lifecycle, LoadedUnlockAndLockedState) {
    EXPECT_FALSE(api_->IsBlocked());
    EXPECT_TRUE(api_->LockInput(false)) << "unlock without a lock";
    EXPECT_FALSE(api_->IsBlocked());
    EXPECT_EQ(baseThreads_, ThreadCount()) << "unlocking starts nothing";

    ASSERT_TRUE(api_->LockInput(true));
    EXPECT_TRUE(api_->IsBlocked());
    EXPECT_EQ(baseThreads_ + 1, ThreadCount());
    EXPECT_TRUE(api_->LockInput(true)) << "locking again reports the lock";
    EXPECT_EQ(baseThreads_ + 1, ThreadCount()) << "exactly one lock thread";

    EXPECT_TRUE(api_->LockInput(false));
    EXPECT_FALSE(api_->IsBlocked());
    EXPECT_EQ(baseThreads_, ThreadCount()) << "the lock thread is gone when the unlock returns";
    EXPECT_TRUE(api_->LockInput(true)) << "a later lock locks again";
    EXPECT_TRUE(api_->IsBlocked());
}

TEST_F(Lifecycle, LockSwallowsUnannouncedInputAndUnlockReleasesIt) {
    ASSERT_TRUE(api_->LockInput(true));
    SendKey('A', false);
    EXPECT_FALSE(KeyIsDown('A'));
    SendKey('A', true);
    Press(VK_LCONTROL);
    Press(VK_LMENU);
    MoveMouse();
    MouseButton(false);
    MouseButton(true);
    EXPECT_EQ(SeenList{}, observer_->Take());

    ASSERT_TRUE(api_->LockInput(false));
    SendKey('A', false);
    EXPECT_TRUE(KeyIsDown('A'));
    SendKey('A', true);
    MoveMouse();
    EXPECT_EQ((SeenList{KeyDown('A'), KeyUp('A'), Mouse(WM_MOUSEMOVE)}), observer_->Take());
}

struct Racer {
    GateApi* api;
    HANDLE go;
    bool lock;
    int rounds;
    bool result;
};

void RaceLock(void* arg) {
    auto* r = static_cast<Racer*>(arg);
    WaitForSingleObject(r->go, INFINITE);
    for (int i = 0; i < r->rounds; ++i) r->result = r->api->LockInput(r->lock);
}

DWORD WINAPI RaceThread(LPVOID arg) {
    RaceLock(arg);
    return 0;
}

// Starts the racers together and waits for all of them; false when one did not end in time.
bool Race(std::vector<Racer>& racers, DWORD timeoutMs) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> threads;
    for (Racer& r : racers) {
        r.go = go;
        threads.push_back(CreateThread(nullptr, 0, RaceThread, &r, 0, nullptr));
    }
    SetEvent(go);
    DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, timeoutMs);
    for (HANDLE t : threads) {
        if (waited == WAIT_TIMEOUT) TerminateThread(t, 1);
        CloseHandle(t);
    }
    CloseHandle(go);
    return waited != WAIT_TIMEOUT;
}

TEST_F(Lifecycle, LocksMeetingInStartingLeaveOneLockThread) {
    for (int round = 0; round < 20; ++round) {
        std::vector<Racer> racers(3, Racer{api_.get(), nullptr, true, 1, false});
        ASSERT_TRUE(Race(racers, 10000));
        int trues = 0;
        for (const Racer& r : racers) trues += r.result ? 1 : 0;
        EXPECT_GE(trues, 1) << "the caller that started the lock waits for it";
        EXPECT_TRUE(api_->IsBlocked());
        EXPECT_EQ(baseThreads_ + 1, ThreadCount()) << "round " << round;
        ASSERT_TRUE(api_->LockInput(false));
    }
}

TEST_F(Lifecycle, UnlockWhileStartingEndsTheWaitingLock) {
    // An unlock on another thread may end each lock thread before its hooks are in place;
    // the waiting LockInput(true) must come back all the same.
    std::vector<Racer> racers{{api_.get(), nullptr, true, 300, false}, {api_.get(), nullptr, false, 300, false}};
    ASSERT_TRUE(Race(racers, 60000)) << "a LockInput call never returned";
    EXPECT_TRUE(api_->LockInput(false));
    EXPECT_FALSE(api_->IsBlocked());
    EXPECT_TRUE(WaitForThreadCount(baseThreads_)) << "a dropped lock thread stayed: " << ThreadCount();
    EXPECT_TRUE(api_->LockInput(true));
    SendKey('A', false);
    EXPECT_EQ(SeenList{}, observer_->Take()) << "the lock after the race blocks";
}

// Where the lock thread stops: its next GetCurrentThreadId call, which it makes inside the state
// lock on its way out (or wherever it comes first), waits there until the test lets it go.
struct Trap {
    static Trap*& Current() {
        static Trap* t = nullptr;
        return t;
    }
    explicit Trap(HMODULE gate)
        : trapped(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          release(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          unlockWantsState(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          threadId(gate, "GetCurrentThreadId", reinterpret_cast<void*>(&ThreadIdStub)),
          wait(gate, "WaitForSingleObject", reinterpret_cast<void*>(&WaitStub)),
          enter(gate, "EnterCriticalSection", reinterpret_cast<void*>(&EnterStub)) {
        Current() = this;
    }
    ~Trap() {
        Current() = nullptr;
        for (HANDLE h : {trapped, release, unlockWantsState, victim}) {
            if (h) CloseHandle(h);
        }
    }
    Trap(const Trap&) = delete;
    Trap& operator=(const Trap&) = delete;

    static DWORD WINAPI ThreadIdStub() {
        Trap& t = *Current();
        DWORD self = t.threadId.original<DWORD(WINAPI*)()>()();
        if (self != t.host && self != t.unlocker && !t.sprung.exchange(true)) {
            DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &t.victim, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            SetEvent(t.trapped);
            WaitForSingleObject(t.release, INFINITE);
            t.leftTrap = true;
        }
        return self;
    }
    // The unlock's wait for the lock thread runs out while the thread is held in the trap.
    static DWORD WINAPI WaitStub(HANDLE object, DWORD ms) {
        Trap& t = *Current();
        auto original = t.wait.original<DWORD(WINAPI*)(HANDLE, DWORD)>();
        if (GetCurrentThreadId() == t.unlocker && GetThreadId(object) != 0 && ms != INFINITE && !t.waitRanOut.exchange(true)) {
            HANDLE either[] = {t.trapped, object};
            WaitForMultipleObjects(2, either, FALSE, INFINITE);
            return WAIT_TIMEOUT;
        }
        return original(object, ms);
    }
    static VOID WINAPI EnterStub(LPCRITICAL_SECTION section) {
        Trap& t = *Current();
        if (GetCurrentThreadId() == t.unlocker && t.waitRanOut) SetEvent(t.unlockWantsState);
        t.enter.original<VOID(WINAPI*)(LPCRITICAL_SECTION)>()(section);
    }

    HANDLE trapped, release, unlockWantsState;
    HANDLE victim = nullptr;
    DWORD host = GetCurrentThreadId();
    DWORD unlocker = 0;
    std::atomic<bool> sprung{false}, waitRanOut{false}, leftTrap{false};
    ImportPatch threadId, wait, enter;
};

struct Unlocker {
    GateApi* api;
    bool result = false;
};

DWORD WINAPI UnlockOnce(LPVOID arg) {
    auto* u = static_cast<Unlocker*>(arg);
    u->result = u->api->LockInput(false);
    return 0;
}

TEST_F(Lifecycle, UnlockOutwaitedByItsThreadNeverKillsIt) {
    // A lock thread killed inside the state lock would leave every later call waiting for ever.
    ASSERT_TRUE(api_->LockInput(true));
    DWORD unlockerId = 0;
    Unlocker job{api_.get()};
    HANDLE unlocker = nullptr;
    bool killed = false;
    {
        Trap trap(lib_->module());
        unlocker = CreateThread(nullptr, 0, UnlockOnce, &job, CREATE_SUSPENDED, &unlockerId);
        trap.unlocker = unlockerId;
        ResumeThread(unlocker);
        HANDLE firsts[] = {trap.trapped, unlocker};
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, firsts, FALSE, INFINITE)) << "the lock thread never stopped in the trap";
        // Now the unlock's wait runs out. Let the thread go once the unlock has either killed it,
        // asked for the state lock the thread holds, or returned.
        HANDLE thens[] = {trap.victim, trap.unlockWantsState, unlocker};
        killed = WaitForMultipleObjects(3, thens, FALSE, INFINITE) == WAIT_OBJECT_0 && !trap.leftTrap;
        SetEvent(trap.release);
        WaitForSingleObject(unlocker, INFINITE);
        WaitForSingleObject(trap.victim, INFINITE);
        EXPECT_TRUE(trap.leftTrap) << "the unlock terminated the lock thread";
    }
    CloseHandle(unlocker);
    ASSERT_FALSE(killed) << "the lock thread was killed inside the state lock: later calls would wait for ever";
    EXPECT_TRUE(job.result);
    EXPECT_FALSE(api_->IsBlocked());
    EXPECT_EQ(baseThreads_, ThreadCount()) << "the lock thread ended by itself";
    ASSERT_TRUE(api_->LockInput(true)) << "a later lock locks";
    SendKey('A', false);
    EXPECT_EQ(SeenList{}, observer_->Take());
    EXPECT_TRUE(api_->LockInput(false));
}

// The lock thread dies at its first step, before it reports, killed from outside the library.
struct Killed {
    static Killed*& Current() {
        static Killed* k = nullptr;
        return k;
    }
    explicit Killed(HMODULE gate)
        : ready(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          never(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          peek(gate, "PeekMessageW", reinterpret_cast<void*>(&PeekStub)),
          sleep(gate, "Sleep", reinterpret_cast<void*>(&SleepStub)) {
        Current() = this;
    }
    ~Killed() {
        Current() = nullptr;
        for (HANDLE h : {ready, never, victim.load()}) {
            if (h) CloseHandle(h);
        }
    }
    Killed(const Killed&) = delete;
    Killed& operator=(const Killed&) = delete;

    static BOOL WINAPI PeekStub(LPMSG, HWND, UINT, UINT, UINT) {
        Killed& k = *Current();
        HANDLE self = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE, DUPLICATE_SAME_ACCESS);
        k.victim = self;
        SetEvent(k.ready);
        WaitForSingleObject(k.never, INFINITE);
        return FALSE;
    }
    // The poll of LockInput(true). Once its thread is dead it may sleep once more (it looked just
    // before the death); a third round means it polls for ever, and the stub ends the caller.
    static VOID WINAPI SleepStub(DWORD ms) {
        Killed& k = *Current();
        k.sleep.original<VOID(WINAPI*)(DWORD)>()(ms);
        HANDLE victim = k.victim;
        if (victim && WaitForSingleObject(victim, 0) == WAIT_OBJECT_0 && ++k.roundsAfterDeath >= 3) {
            k.pollsForEver = true;
            ExitThread(1);
        }
    }

    HANDLE ready, never;
    std::atomic<HANDLE> victim{nullptr};
    std::atomic<int> roundsAfterDeath{0};
    std::atomic<bool> pollsForEver{false};
    ImportPatch peek, sleep;
};

struct Locker {
    GateApi* api;
    bool returned = false;
    bool result = true;
};

DWORD WINAPI LockOnce(LPVOID arg) {
    auto* l = static_cast<Locker*>(arg);
    l->result = l->api->LockInput(true);
    l->returned = true;
    return 0;
}

TEST_F(Lifecycle, LockReturnsWhenItsThreadEndsWithoutReporting) {
    Locker job{api_.get()};
    {
        Killed kill(lib_->module());
        HANDLE locker = CreateThread(nullptr, 0, LockOnce, &job, 0, nullptr);
        WaitForSingleObject(kill.ready, INFINITE);
        TerminateThread(kill.victim, 1);
        WaitForSingleObject(kill.victim, INFINITE);
        WaitForSingleObject(locker, INFINITE);
        CloseHandle(locker);
        EXPECT_FALSE(kill.pollsForEver) << "LockInput(true) went on polling for a thread that had ended";
    }
    EXPECT_TRUE(job.returned);
    EXPECT_FALSE(job.result) << "no lock without its thread";
    EXPECT_FALSE(api_->IsBlocked());
    EXPECT_TRUE(api_->LockInput(true)) << "the dead thread's record went: a later lock starts afresh";
    SendKey('A', false);
    EXPECT_EQ(SeenList{}, observer_->Take());
    EXPECT_TRUE(api_->LockInput(false));
}

TEST_F(Lifecycle, ThousandLockCyclesLeaveNoHandle) {
    uintptr_t slot = ProbeHandleSlot();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(api_->LockInput(true)) << "cycle " << i;
        ASSERT_TRUE(api_->LockInput(false));
    }
    EXPECT_LE(ProbeHandleSlot(), slot);
    EXPECT_EQ(baseThreads_, ThreadCount());
}

TEST_F(Lifecycle, LoadAndUnloadCloseTheMutexes) {
    // Unlocked before each unload: an unload while locked must terminate the lock thread, and Wine leaks a
    // handle for every terminated thread that had a message queue.
    lib_->Unload();
    uintptr_t slot = ProbeHandleSlot();
    DWORD tls = ProbeTlsSlot();
    for (int i = 0; i < 200; ++i) {
        HostLibrary lib(INPUTGATE_DLL);
        GateApi api(lib);
        ASSERT_TRUE(api.LockInput(true));
        ASSERT_TRUE(api.LockInput(false));
    }
    for (int i = 0; i < 200; ++i) HostLibrary plain(INPUTGATE_DLL);
    EXPECT_LE(ProbeHandleSlot(), slot);
    EXPECT_LE(ProbeTlsSlot(), tls) << "thread-local storage indices left behind";
}

TEST_F(Lifecycle, FreeLibraryWhileLockedReleasesTheInput) {
    ASSERT_TRUE(api_->LockInput(true));
    api_->AllowKeyboardEvent(WM_KEYUP);  // pending announcements die with the library
    Press('A');
    ASSERT_EQ(SeenList{KeyUp('A')}, observer_->Take());
    lib_->Unload();
    EXPECT_EQ(baseThreads_, ThreadCount()) << "the lock thread is gone";
    Press('A');
    MoveMouse();
    EXPECT_EQ((SeenList{KeyDown('A'), KeyUp('A'), Mouse(WM_MOUSEMOVE)}), observer_->Take());
}

}  // namespace
