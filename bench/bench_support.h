// What the benchmarks share: a clock and the process's memory as Wine reports it.
#pragma once
#include <windows.h>
#include <psapi.h>

// Seconds from an arbitrary start, at the performance counter's resolution.
inline double SecondsNow() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

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
