// The lock's lifecycle as a host sees it: lock and unlock in every state, the lock thread,
// handles and unloading.
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
