#include "callbacks.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "actions.h"

namespace usbfuzz {

std::atomic<int> registeredCallbacks[kCallbacks];
std::atomic<bool> callbackBroken{false};
char callbackProblem[256];

namespace {

constexpr size_t kLongestPath = 70000 * 2;   // the longest path a random event carries, in the worst code page

void Hear(int who, int32_t action, const char* path) {
    const char* problem = nullptr;
    if (action != LWU_DEVICE_ARRIVAL && action != LWU_DEVICE_REMOVAL)
        problem = "an action other than 0 or 1";
    else if (!path)
        problem = "a null path";
    else if (strnlen(path, kLongestPath + 1) > kLongestPath)
        problem = "a path longer than any the device sent";
    else if (registeredCallbacks[who].load() <= 0)
        problem = "a call after its last registration was released";
    if (problem && !callbackBroken.exchange(true)) {
        std::snprintf(callbackProblem, sizeof callbackProblem, "callback %d got %s (action %d)", who, problem,
                      static_cast<int>(action));
    }
}

void LWU_CALL HearB(int32_t action, const char* path) { Hear(1, action, path); }
void LWU_CALL HearC(int32_t action, const char* path) { Hear(2, action, path); }

}  // namespace

void LWU_CALL HearA(int32_t action, const char* path) { Hear(0, action, path); }
const DeviceNotificationCallback kCallbackFunctions[kCallbacks] = {HearA, HearB, HearC};

// The window thread: the thread that owns the library's notification window runs every
// RegisterForDeviceNotification, and pumps messages between them, as a host's would.

namespace {

struct WindowThread {
    HANDLE thread = nullptr;
    DWORD id = 0;
    HANDLE command = nullptr;
    HANDLE done = nullptr;
    DeviceNotificationCallback callback = nullptr;
    const wchar_t* text = nullptr;
};
WindowThread windowThread;

DWORD WINAPI WindowThreadMain(LPVOID) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);   // the thread's message queue
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &windowThread.command, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) {
            // The loop of the call ends at the quit message posted before it; a registration
            // that fails returns first, and the quit message is drained below.
            PostQuitMessage(0);
            api.RegisterForDeviceNotification(windowThread.callback, windowThread.text);
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) continue;
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            SetEvent(windowThread.done);
            continue;
        }
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

}  // namespace

void StartWindowThread() {
    windowThread.command = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    windowThread.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    windowThread.thread = CreateThread(nullptr, 0, WindowThreadMain, nullptr, 0, &windowThread.id);
}

void RegisterOnWindowThread(DeviceNotificationCallback callback, const wchar_t* text) {
    windowThread.callback = callback;
    windowThread.text = text;
    SetEvent(windowThread.command);
    WaitForSingleObject(windowThread.done, INFINITE);   // the watchdog bounds it
}

}  // namespace usbfuzz
