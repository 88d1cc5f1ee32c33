// What the benchmarks share: the process's memory as Wine reports it (their clock is
// tests/support/clock.h, which the fuzzer uses too).
#pragma once
#include <windows.h>
#include <psapi.h>

// Committed private memory (under Wine PrivateUsage reads 0; PagefileUsage tracks the commit),
// and the resident set with its peak.
struct MemoryFigures {
    long long committed = 0;
    long long resident = 0;
    long long residentPeak = 0;
};

inline MemoryFigures MemoryNow() {
    PROCESS_MEMORY_COUNTERS m{};
    m.cb = sizeof m;
    GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m);
    return MemoryFigures{static_cast<long long>(m.PagefileUsage), static_cast<long long>(m.WorkingSetSize),
                         static_cast<long long>(m.PeakWorkingSetSize)};
}
