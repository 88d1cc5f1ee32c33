// Prints the event rate through SendInput while the input is locked and every event is announced,
// against a low-level hook of our own that only passes events on; and the LockInput(true) latency.
// Run: build/x64/winerun build/x64/bin/inputlock_bench.exe [events]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "clock.h"
#include "host_library.h"

namespace {

using LockFn = bool(__cdecl*)(bool);
using AllowFn = void(__cdecl*)(uint32_t);

LRESULT CALLBACK PassOn(int code, WPARAM wParam, LPARAM lParam) { return CallNextHookEx(nullptr, code, wParam, lParam); }

// The reference: both hooks on a thread of their own, passing every event on.
class ReferenceHooks {
public:
    ReferenceHooks() {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, Run, this, 0, &id_);
        WaitForSingleObject(ready_, INFINITE);
    }
    ~ReferenceHooks() {
        PostThreadMessageW(id_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    ReferenceHooks(const ReferenceHooks&) = delete;
    ReferenceHooks& operator=(const ReferenceHooks&) = delete;

private:
    static DWORD WINAPI Run(LPVOID arg) {
        auto* self = static_cast<ReferenceHooks*>(arg);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        HHOOK kb = SetWindowsHookExW(WH_KEYBOARD_LL, PassOn, GetModuleHandleW(nullptr), 0);
        HHOOK ms = SetWindowsHookExW(WH_MOUSE_LL, PassOn, GetModuleHandleW(nullptr), 0);
        SetEvent(self->ready_);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        }
        UnhookWindowsHookEx(kb);
        UnhookWindowsHookEx(ms);
        return 0;
    }
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD id_ = 0;
};

// A key press and a mouse move per round: three events. Returns events per second.
double SendEvents(int rounds, AllowFn allowKeyboard, AllowFn allowMouse) {
    INPUT key = {};
    key.type = INPUT_KEYBOARD;
    key.ki.wVk = VK_F24;
    INPUT move = {};
    move.type = INPUT_MOUSE;
    move.mi.dx = 1;
    move.mi.dwFlags = MOUSEEVENTF_MOVE;
    double start = SecondsNow();
    for (int i = 0; i < rounds; ++i) {
        if (allowKeyboard) allowKeyboard(WM_KEYDOWN);
        key.ki.dwFlags = 0;
        SendInput(1, &key, sizeof key);
        if (allowKeyboard) allowKeyboard(WM_KEYUP);
        key.ki.dwFlags = KEYEVENTF_KEYUP;
        SendInput(1, &key, sizeof key);
        if (allowMouse) allowMouse(WM_MOUSEMOVE);
        SendInput(1, &move, sizeof move);
    }
    return 3.0 * rounds / (SecondsNow() - start);
}

}  // namespace

int main(int argc, char** argv) {
    int events = argc > 1 ? std::atoi(argv[1]) : 6000;
    int rounds = std::max(1, events / 3);
    try {
#ifdef _WIN64
        HostLibrary lib("inputgate64.dll");
#else
        HostLibrary lib("inputgate32.dll");
#endif
        auto lockInput = lib.Get<LockFn>("LockInput");
        auto allowKeyboard = lib.Get<AllowFn>("AllowKeyboardEvent");
        auto allowMouse = lib.Get<AllowFn>("AllowMouseEvent");

        // Alternate the two runs and keep each one's best, so that load from elsewhere hurts both alike.
        double reference = 0, locked = 0;
        for (int pass = 0; pass < 3; ++pass) {
            {
                ReferenceHooks hooks;
                reference = std::max(reference, SendEvents(rounds, nullptr, nullptr));
            }
            if (!lockInput(true)) {
                std::printf("LockInput(true) failed\n");
                return 1;
            }
            locked = std::max(locked, SendEvents(rounds, allowKeyboard, allowMouse));
            lockInput(false);
        }
        std::printf("events per run:             %d\n", 3 * rounds);
        std::printf("reference hook:             %.0f events/s\n", reference);
        std::printf("locked, every event allowed: %.0f events/s\n", locked);
        std::printf("cost ratio (reference/lock): %.3f (target <= 1.05)\n", reference / locked);

        std::vector<double> latency;
        for (int i = 0; i < 100; ++i) {
            double start = SecondsNow();
            bool ok = lockInput(true);
            latency.push_back((SecondsNow() - start) * 1e3);
            lockInput(false);
            if (!ok) {
                std::printf("LockInput(true) failed in round %d\n", i);
                return 1;
            }
        }
        std::sort(latency.begin(), latency.end());
        std::printf("LockInput(true) latency:    median %.2f ms, max %.2f ms (100 locks)\n",
                    (latency[49] + latency[50]) / 2, latency.back());
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
    return 0;
}
