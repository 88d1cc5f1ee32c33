// Test host for inputgate: loads the library as a host does, sends input with SendInput and
// observes what the lock let through with low-level hooks of its own installed before the lock.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "checked_call.h"
#include "handle_probe.h"
#include "host_library.h"

#ifdef _WIN64
constexpr const char* INPUTGATE_DLL = "inputgate64.dll";
#else
constexpr const char* INPUTGATE_DLL = "inputgate32.dll";
#endif

struct GateApi {
    explicit GateApi(const HostLibrary& lib)
        : LockInput(lib.Get<bool(__cdecl*)(bool)>("LockInput"), "LockInput"),
          IsBlocked(lib.Get<bool(__cdecl*)()>("IsBlocked"), "IsBlocked"),
          AllowKeyboardEvent(lib.Get<void(__cdecl*)(uint32_t)>("AllowKeyboardEvent"), "AllowKeyboardEvent"),
          AllowMouseEvent(lib.Get<void(__cdecl*)(uint32_t)>("AllowMouseEvent"), "AllowMouseEvent") {}
    CheckedExport<bool (*)(bool)> LockInput;
    CheckedExport<bool (*)()> IsBlocked;
    CheckedExport<void (*)(uint32_t)> AllowKeyboardEvent;
    CheckedExport<void (*)(uint32_t)> AllowMouseEvent;
};

// One event as a low-level hook saw it.
struct Seen {
    WPARAM message;
    DWORD vkCode;  // 0 for the mouse
    bool operator==(const Seen& o) const { return message == o.message && vkCode == o.vkCode; }
};

inline std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << "{" << std::hex << s.message << "," << std::dec << s.vkCode << "}";
}

// Low-level hooks on a thread of their own; records every event that reaches them.
class Observer {
public:
    Observer();
    ~Observer();
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;

    std::vector<Seen> Take();  // what was seen since the last call

private:
    static DWORD WINAPI Run(LPVOID self);
    static LRESULT CALLBACK Keyboard(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK Mouse(int code, WPARAM wParam, LPARAM lParam);
    static Observer* current_;
    std::mutex mutex_;
    std::vector<Seen> seen_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
};

// Input through SendInput.
void SendKey(WORD vk, bool up);
void Press(WORD vk);  // down and up
void MoveMouse();
void MouseButton(bool up);
bool KeyIsDown(WORD vk);  // GetAsyncKeyState: what the system saw pass

int ThreadCount();  // threads of this process that the input lock library started
// Runs f on a new thread; true when it ended within timeoutMs.
bool RunOnThread(DWORD timeoutMs, void (*f)(void*), void* arg);

inline Seen KeyDown(DWORD vk) { return {WM_KEYDOWN, vk}; }
inline Seen KeyUp(DWORD vk) { return {WM_KEYUP, vk}; }
inline Seen Mouse(WPARAM message) { return {message, 0}; }
using SeenList = std::vector<Seen>;

// Each test gets a freshly loaded library, with the observer hooks installed before it.
class GateTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Waits until the process runs `count` threads (a lock thread that ends by itself needs a moment).
    bool WaitForThreadCount(int count);

    std::unique_ptr<Observer> observer_;
    std::unique_ptr<HostLibrary> lib_;
    std::unique_ptr<GateApi> api_;
    int baseThreads_ = 0;
};
