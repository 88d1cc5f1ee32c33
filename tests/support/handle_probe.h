// Leak probes that work under Wine, where GetProcessHandleCount reads 0: Wine hands out the
// lowest free handle slot and the lowest free TLS index, so a leak shows as probes landing higher.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdint>

// One probe would find the slot of a handle that was opened and closed beside a leaked one;
// the last of many probes lands higher once any leaked handle sits among the free slots.
inline std::uintptr_t ProbeHandleSlot() {
    HANDLE probes[256];
    for (HANDLE& p : probes) p = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::uintptr_t highest = 0;
    for (HANDLE p : probes) {
        highest = std::max(highest, reinterpret_cast<std::uintptr_t>(p));
        CloseHandle(p);
    }
    return highest;
}

// The lowest free thread-local storage index (the process has 1088 of them).
inline DWORD ProbeTlsSlot() {
    DWORD index = TlsAlloc();
    if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
    return index;
}
