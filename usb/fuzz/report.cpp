#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace usbfuzz {

Context context;
HANDLE reportHandle = nullptr;   // standard error as the program started

void WriteReport(const char* text) {
    DWORD written = 0;
    WriteFile(reportHandle, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void Say(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    WriteReport(text);
}

// Ends the process at once: other threads may sit inside the library.
[[noreturn]] void Broken(int exitCode, const char* format, ...) {
    char what[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(what, sizeof what, format, args);
    va_end(args);
    char text[2600];
    unsigned long long iteration = context.iteration.load();
    std::snprintf(text, sizeof text,
                  "usb_fuzz: INVARIANT BROKEN at seed %llu iteration %llu, in %s (%s): %s\n"
                  "usb_fuzz: replay with: usb_fuzz --seed %llu --replay %llu\n",
                  static_cast<unsigned long long>(context.seed), iteration, context.action.load(), context.detail, what,
                  static_cast<unsigned long long>(context.seed), iteration);
    WriteReport(text);
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    for (;;) Sleep(INFINITE);
}

}  // namespace usbfuzz
