// Notification callbacks, which check what they are given on whatever thread gives it, and the
// window thread, which owns the library's notification window and runs every
// RegisterForDeviceNotification, as a host's would.
#pragma once
#include <atomic>
#include <cstdint>

#include "LinkWinUsb.h"

namespace usbfuzz {

constexpr int kCallbacks = 3;
extern std::atomic<int> registeredCallbacks[kCallbacks];   // entries of each callback the host believes listed
// Set by the first callback call that broke an invariant, with what it was.
extern std::atomic<bool> callbackBroken;
extern char callbackProblem[256];

void LWU_CALL HearA(int32_t action, const char* path);
extern const DeviceNotificationCallback kCallbackFunctions[kCallbacks];

void StartWindowThread();
// RegisterForDeviceNotification on the window thread; returns once it returned there.
void RegisterOnWindowThread(DeviceNotificationCallback callback, const wchar_t* text);

}  // namespace usbfuzz
