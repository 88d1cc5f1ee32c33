// Failure reports: what the run was doing when an invariant broke, and how to replay it.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace usbfuzz {

struct Context {
    uint64_t seed = 0;
    std::atomic<uint64_t> iteration{0};
    std::atomic<const char*> action{"start"};
    char detail[512] = {};
};
extern Context context;
extern HANDLE reportHandle;   // standard error as the program started

void WriteReport(const char* text);
void Say(const char* format, ...);
// Prints what broke, with the seed and the iteration to replay, and ends the process at once.
[[noreturn]] void Broken(int exitCode, const char* format, ...);

}  // namespace usbfuzz
