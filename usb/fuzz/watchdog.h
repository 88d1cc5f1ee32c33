// The hang watchdog: every call must return within the limit.
#pragma once
#include <windows.h>

#include <atomic>

namespace usbfuzz {

extern std::atomic<ULONGLONG> callStarted;   // GetTickCount64 at the start of the call running, 0 when none
extern DWORD hangLimitMs;                    // --hang-seconds

// The watchdog's thread: ends the process when the call running makes no progress.
DWORD WINAPI Watchdog(LPVOID);

// Marks the call made within its scope for the watchdog.
struct Timed {
    Timed() { callStarted.store(GetTickCount64()); }
    ~Timed() { callStarted.store(0); }
};

}  // namespace usbfuzz
