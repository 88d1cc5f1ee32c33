#include "watchdog.h"

#include <io.h>

#include <cstdio>

#include "report.h"

namespace usbfuzz {

std::atomic<ULONGLONG> callStarted{0};   // GetTickCount64 at the start of the call running, 0 when none
DWORD hangLimitMs = 20000;
constexpr ULONGLONG kLongestCallMs = 600000;

// A call hangs when it shows no progress for the hang limit: it neither returns nor writes
// output. (A device can make a call long and busy: 4 MB of line feeds shown as text take
// seconds under emulation, each one a write of the C runtime's text mode.) No call may take
// longer than ten minutes in any case.
DWORD WINAPI Watchdog(LPVOID) {
    HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    ULONGLONG watched = 0;
    ULONGLONG lastProgress = 0;
    LARGE_INTEGER lastSize{};
    for (;;) {
        Sleep(100);
        ULONGLONG started = callStarted.load();
        ULONGLONG now = GetTickCount64();
        LARGE_INTEGER size{};
        GetFileSizeEx(out, &size);
        if (started != watched || size.QuadPart != lastSize.QuadPart) lastProgress = now;
        watched = started;
        lastSize = size;
        if (!started) continue;
        if (now - lastProgress > hangLimitMs) {
            Broken(4, "the call made no progress (returned or wrote nothing) for %lu ms",
                   static_cast<unsigned long>(hangLimitMs));
        }
        if (now - started > kLongestCallMs) Broken(4, "the call did not return within 10 minutes");
    }
}

}  // namespace usbfuzz
