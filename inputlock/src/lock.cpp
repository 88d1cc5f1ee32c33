// The lock: entry point, the lock thread with its two low-level hooks, and the Ctrl+Alt+Del escape.
#include "inputgate.h"
#include "internal.h"

namespace inputgate {
namespace {

// How long an unlock waits for the lock thread to be gone. A woken thread ends in milliseconds;
// the bound only matters when the host unlocks while it holds the loader lock.
constexpr DWORD THREAD_END_WAIT_MS = 5000;

enum class UnlockCaller { Host, LockThread, Unload };

LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK MouseHookProc(int code, WPARAM wParam, LPARAM lParam);

bool IsLocked() noexcept {
    StateHold hold(stateMutex);
    return hold && BothHooksRecorded();
}

// The lock is on and served by the calling thread: what keeps a lock thread in its loop.
// A lock thread that an unlock dropped during its start must not serve a later lock.
bool IsLockedHere() noexcept {
    StateHold hold(stateMutex);
    return hold && BothHooksRecorded() && lockThreadId == GetCurrentThreadId();
}

DWORD WINAPI LockThreadProc(LPVOID);

// Caller holds stateMutex.
void UnhookRecorded() noexcept {
    if (keyboardHook) UnhookWindowsHookEx(keyboardHook);
    keyboardHook = nullptr;
    if (mouseHook) UnhookWindowsHookEx(mouseHook);
    mouseHook = nullptr;
}

// Returns the new thread's id, or 0 when a lock thread is already recorded or none could start.
DWORD StartLockThread() noexcept {
    StateHold hold(stateMutex);
    if (!hold || lockThread) return 0;
    hooksReady = false;
    DWORD id = 0;
    // The thread cannot read lockThreadId before this hold ends: its first step waits for the mutex.
    lockThread.Reset(CreateThread(nullptr, 0, LockThreadProc, nullptr, 0, &id));
    lockThreadId = lockThread ? id : 0;
    return lockThreadId;
}

// True once the install step of thread `id` has ended, or once that thread no longer is the
// recorded lock thread (an unlock dropped or ended it) and so will never report. A thread that
// ended without reporting (terminated from outside) will never report either: nothing serves the
// lock then, so its record and whatever it installed go, and a later lock starts afresh. A failed
// hold ends the poll too: the caller then reports the lock as off.
bool HasInstallStepEnded(DWORD id) noexcept {
    StateHold hold(stateMutex);
    if (!hold || lockThreadId != id || hooksReady) return true;
    if (WaitForSingleObject(lockThread.get(), 0) != WAIT_OBJECT_0) return false;
    UnhookRecorded();
    ResetLockState();
    lockThread.Reset();
    lockThreadId = 0;
    return true;
}

void MarkHooksReady() noexcept {
    StateHold hold(stateMutex);
    if (hold && lockThreadId == GetCurrentThreadId()) hooksReady = true;
}

// The lock thread drops its own record on the way out, unless an unlock already did.
void ClearLockThread() noexcept {
    StateHold hold(stateMutex);
    if (!hold || lockThreadId != GetCurrentThreadId()) return;
    lockThread.Reset();
    lockThreadId = 0;
}

// Ends a lock thread at unload, with stateMutex held so that the thread cannot be inside it. The
// loader lock is held and a thread cannot finish its exit, so it is terminated (a starting thread
// then waits for the loader lock and holds nothing); the wait keeps its code from running after
// the unload.
void EndAtUnload(UniqueHandle& thread) noexcept {
    if (!thread) return;
    TerminateThread(thread.get(), 0);
    WaitForSingleObject(thread.get(), THREAD_END_WAIT_MS);
    thread.Reset();
}

// Ends the recorded lock thread; the hooks are already gone. Otherwise than at unload terminating
// is avoided: a thread still starting may be inside the loader's thread-attach calls and would
// leave the loader lock held for ever, and a terminated thread skips its exit code and leaks
// handles. The thread is unrecorded instead, woken with WM_QUIT, and finds that it no longer serves
// the lock: it installs nothing, leaves its loop and ends normally. A thread that does not end
// within the wait (the host may hold the loader lock, which the thread needs to end) is not
// terminated either: it may be inside stateMutex, which no one could take again after its death.
// It ends by itself; its handle is kept so that an unload can still end it.
void StopLockThread(UnlockCaller caller) noexcept {
    UniqueHandle thread;
    DWORD id = 0;
    {
        StateHold hold(stateMutex);
        if (!hold) return;
        if (caller == UnlockCaller::Unload) {
            EndAtUnload(lockThread);
            EndAtUnload(lingeringThread);
            lockThreadId = 0;
            return;
        }
        if (!lockThread) return;
        thread.Reset(lockThread.Release());
        id = lockThreadId;
        lockThreadId = 0;
    }
    // Fails harmlessly when the thread has no queue yet: it then checks its record before it waits.
    PostThreadMessageW(id, WM_QUIT, 0, 0);
    if (WaitForSingleObject(thread.get(), THREAD_END_WAIT_MS) == WAIT_OBJECT_0) return;
    StateHold hold(stateMutex);
    // One slot: for a second one the host would have to lock again while it holds the loader lock,
    // and no lock can start then.
    if (hold) lingeringThread.Reset(thread.Release());
}

void InstallHooks() noexcept {
    StateHold hold(stateMutex);
    if (!hold || lockThreadId != GetCurrentThreadId()) return;
    ResetLockState();
    if (!keyboardHook) keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, KeyboardHookProc, moduleHandle, 0);
    if (!mouseHook) mouseHook = SetWindowsHookExW(WH_MOUSE_LL, MouseHookProc, moduleHandle, 0);
    // Half a lock blocks one device with no thread to serve it and would make the next lock
    // install only the missing hook: remove what did install.
    if (!BothHooksRecorded()) UnhookRecorded();
}

void RemoveHooks() noexcept {
    StateHold hold(stateMutex);
    if (!hold) return;
    UnhookRecorded();
    ResetLockState();
}

bool Unlock(UnlockCaller caller) noexcept {
    RemoveHooks();
    if (caller == UnlockCaller::LockThread) {
        PostQuitMessage(0);
    } else {
        StopLockThread(caller);
    }
    LogLine("Unlock:\tunlocked");
    return true;
}

// Marks the install step ended on every way out of it.
class HooksReadyOnExit {
public:
    HooksReadyOnExit() noexcept = default;
    ~HooksReadyOnExit() { MarkHooksReady(); }
    HooksReadyOnExit(const HooksReadyOnExit&) = delete;
    HooksReadyOnExit& operator=(const HooksReadyOnExit&) = delete;
};

DWORD WINAPI LockThreadProc(LPVOID) {
    // Give the thread its message queue before the hooks exist: the system can only call a
    // low-level hook on a thread that has one, and the lock must hold as soon as LockInput returns.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    {
        HooksReadyOnExit ready;
        InstallHooks();
    }
    if (IsLockedHere()) LogLine("Lock thread:\tlock installed, start GetMessage loop");
    // The loop only lets the system call the hooks on this thread; messages are not dispatched.
    while (IsLockedHere() && GetMessageW(&msg, nullptr, 0, 0) != 0) {
    }
    LogLine("Lock thread:\texit");
    ClearLockThread();
    return 0;
}

std::uint32_t KeyGroup(DWORD vkCode) noexcept {
    switch (vkCode) {
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL:
        return CTRL_DOWN;
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU:
        return ALT_DOWN;
    case VK_DELETE:
        return DELETE_DOWN;
    default:
        return 0;
    }
}

// Caller holds stateMutex. Returns true when the event completed Ctrl+Alt+Del and the lock is gone.
bool TrackCtrlAltDel(DWORD vkCode, WPARAM wParam) noexcept {
    std::uint32_t group = KeyGroup(vkCode);
    if (group != 0) {
        if (wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN) {
            ctrlAltDelState |= group;
        } else if (wParam == WM_KEYUP || wParam == WM_SYSKEYUP) {
            ctrlAltDelState &= ~group;
        }
        TraceEvent("KeyboardHook:\tCtrl+Alt+Del\tprogress, state=%04x", ctrlAltDelState);
    }
    if (ctrlAltDelState != CTRL_ALT_DEL) return false;
    TraceEvent("KeyboardHook:\tCtrl+Alt+Del\tpressed, unlocking...");
    // stateMutex is recursive: RemoveHooks takes it again on this thread.
    Unlock(UnlockCaller::LockThread);
    return true;
}

LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code < 0) return CallNextHookEx(nullptr, code, wParam, lParam);
    bool blocked = true;
    {
        StateHold hold(stateMutex);
        if (hold) {
            const auto* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
            if (!TrackCtrlAltDel(event ? event->vkCode : 0, wParam)) {
                blocked = !TakeAnnouncedEvent(Device::Keyboard, wParam);
            }
        }
    }
    if (blocked) {
        TraceEvent("KeyboardHook:\tblock\teventType=%04x", wParam);
        return -1;
    }
    TraceEvent("KeyboardHook:\tallow\teventType=%04x", wParam);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK MouseHookProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code < 0) return CallNextHookEx(nullptr, code, wParam, lParam);
    bool blocked = true;
    {
        StateHold hold(stateMutex);
        if (hold) blocked = !TakeAnnouncedEvent(Device::Mouse, wParam);
    }
    if (blocked) {
        TraceEvent("MouseHook:\tblock\teventType=%04x", wParam);
        return -1;
    }
    TraceEvent("MouseHook:\tallow\teventType=%04x", wParam);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace
}  // namespace inputgate

using namespace inputgate;

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
    moduleHandle = module;
    if (reason == DLL_PROCESS_ATTACH) {
        stateMutex.Create();
        LogLine("Lockservice hook - started");
    } else if (reason == DLL_PROCESS_DETACH) {
        Unlock(UnlockCaller::Unload);
        LogLine("Lockservice hook - ended");
        stateMutex.Destroy();
    }
    return TRUE;
}

extern "C" bool INPUTGATE_CALL LockInput(bool lock) {
    if (!lock) return Unlock(UnlockCaller::Host);
    if (DWORD started = StartLockThread()) {
        // Poll without holding the mutex: the lock thread needs it to install the hooks.
        while (!HasInstallStepEnded(started)) Sleep(1);
    }
    bool locked = IsLocked();
    LogLine("Lock:\tlocked=%d", locked ? 1 : 0);
    return locked;
}

extern "C" bool INPUTGATE_CALL IsBlocked(void) { return IsLocked(); }
