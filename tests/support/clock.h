// The clock of the programs that time what they run (the benchmarks, the fuzzer).
#pragma once
#include <windows.h>

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
