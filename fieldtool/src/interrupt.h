// Ctrl+C, Ctrl+Break and closing the console end a running subcommand cleanly. The system calls
// the handler on a thread of its own; it sets the interrupt event, which the subcommands wait on
// beside their work, and runs the running subcommand's action at once (aborting the pipes of its
// transfers, which may be waiting in the device). The subcommand then releases what it holds on
// its own thread. Ctrl+Break counts like Ctrl+C: it is what reaches a program started in a
// process group of its own, where Ctrl+C is off.
#pragma once
#include <windows.h>

#include <functional>

namespace fieldtool {

class Interrupts {
public:
    // Installs the handler (and turns Ctrl+C processing on, should the parent have turned it off).
    static bool Install();
    static bool Requested();
    static HANDLE Event();
    // The subcommand has released everything: a console that is closing may end the process now.
    static void Finished();
    // Waits up to `ms` for the interrupt; true when it came.
    static bool WaitFor(DWORD ms);
    // Which signal came: "Ctrl+C", "Ctrl+Break", "close" (empty while none came).
    static const char* Which();
};

// For its lifetime, `action` runs on the handler's thread when an interrupt comes (and at once,
// when one came already). The destructor waits for a running action.
class OnInterrupt {
public:
    explicit OnInterrupt(std::function<void()> action);
    ~OnInterrupt();
    OnInterrupt(const OnInterrupt&) = delete;
    OnInterrupt& operator=(const OnInterrupt&) = delete;
};

}  // namespace fieldtool
