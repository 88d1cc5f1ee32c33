#include "interrupt.h"

#include <atomic>
#include <mutex>

namespace fieldtool {

namespace {

struct State {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);     // the interrupt came
    HANDLE finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // everything is released
    std::mutex mutex;                                               // guards action
    std::function<void()> action;
    std::atomic<int> which{-1};
};

State& state() {
    static State s;
    return s;
}

BOOL WINAPI Handler(DWORD type) {
    State& s = state();
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
        int expected = -1;
        s.which.compare_exchange_strong(expected, static_cast<int>(type));
        SetEvent(s.event);
        {
            std::lock_guard<std::mutex> hold(s.mutex);
            if (s.action) s.action();
        }
        // Returning from CTRL_CLOSE_EVENT ends the process: give the subcommand time to release.
        if (type == CTRL_CLOSE_EVENT) WaitForSingleObject(s.finished, 4000);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

bool Interrupts::Install() {
    state();
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(Handler, TRUE) != 0;
}

// The handler's flag, not its event: asked once a message, a wait would cost a call to the system.
bool Interrupts::Requested() { return state().which.load() != -1; }

HANDLE Interrupts::Event() { return state().event; }

void Interrupts::Finished() { SetEvent(state().finished); }

bool Interrupts::WaitFor(DWORD ms) { return WaitForSingleObject(state().event, ms) == WAIT_OBJECT_0; }

const char* Interrupts::Which() {
    switch (state().which.load()) {
    case CTRL_C_EVENT: return "Ctrl+C";
    case CTRL_BREAK_EVENT: return "Ctrl+Break";
    case CTRL_CLOSE_EVENT: return "close";
    default: return "";
    }
}

OnInterrupt::OnInterrupt(std::function<void()> action) {
    State& s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.action = std::move(action);
    if (Interrupts::Requested() && s.action) s.action();
}

OnInterrupt::~OnInterrupt() {
    State& s = state();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.action = nullptr;
}

}  // namespace fieldtool
