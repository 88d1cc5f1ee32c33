// The process-wide state, defined in one place so that static initialisation runs in a fixed
// order: the two queues, then the log mutex, all before the entry point sees process attach.
#include "internal.h"

namespace inputgate {

EventQueue allowedKeyboardEvents;
EventQueue allowedMouseEvents;
UniqueHandle logMutex(CreateMutexW(nullptr, FALSE, nullptr));

HINSTANCE moduleHandle = nullptr;
StateLock stateMutex;
HHOOK keyboardHook = nullptr;
HHOOK mouseHook = nullptr;
UniqueHandle lockThread;
DWORD lockThreadId = 0;
UniqueHandle lingeringThread;
bool hooksReady = false;
std::uint32_t ctrlAltDelState = 0;

void ResetLockState() noexcept {
    ctrlAltDelState = 0;
    allowedKeyboardEvents.clear();
    allowedMouseEvents.clear();
}

void LogLine(const char* format, int argument) noexcept {
    MutexHold hold(logMutex.get());
    if (!hold) return;
    WriteLogLine(format, argument);
}

// The output stage of the log: there is no log file, console or debugger output.
void WriteLogLine(const char* /*format*/, int /*argument*/) noexcept {}

}  // namespace inputgate
