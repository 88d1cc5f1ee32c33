// Test support for discovery and notifications: the library loaded once per process (once it
// has registered anything it stays loaded), a record of every callback call, fresh interface
// classes per test, a window-owning thread, and window registrations on threads of their own.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <dbt.h>
#include <objbase.h>
#include <cfgmgr32.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LinkWinUsb.h"
#include "host_library.h"
#include "import_patch.h"
#include "linkwinusb_api.h"
#include "world_window_notifications.h"
#include "simworld.h"
#include "simworld_interfaces.h"

// One call of a callback as the host heard it.
// Windows may report one interface path in other letter case by each mechanism: paths are
// compared as the system compares them, without regard to case.
inline ::testing::AssertionResult SamePath(const std::string& expected, const std::string& actual) {
    if (CompareStringOrdinal(std::wstring(expected.begin(), expected.end()).c_str(), -1,
                             std::wstring(actual.begin(), actual.end()).c_str(), -1, TRUE) == CSTR_EQUAL) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "path \"" << actual << "\", expected \"" << expected << "\"";
}

struct Heard {
    int who;
    int32_t action;
    std::string path;
    DWORD thread;
};

// Process-wide record of the calls of the callbacks Hear<N>.
class Ear {
public:
    static Ear& Get() {
        static Ear ear;
        return ear;
    }
    void Add(int who, int32_t action, const char* path) {
        std::function<void()> reaction;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            heard_.push_back(Heard{who, action, path ? path : "(null)", GetCurrentThreadId()});
            auto it = reactions_.find(who);
            if (it != reactions_.end()) {
                reaction = std::move(it->second);
                reactions_.erase(it);
            }
        }
        if (reaction) reaction();
    }
    // Runs once, inside the next call of callback `who`.
    void React(int who, std::function<void()> reaction) {
        std::lock_guard<std::mutex> hold(mutex_);
        reactions_[who] = std::move(reaction);
    }
    std::vector<Heard> All() {
        std::lock_guard<std::mutex> hold(mutex_);
        return heard_;
    }
    std::vector<Heard> Of(int who) {
        std::vector<Heard> out;
        for (const Heard& h : All()) {
            if (h.who == who) out.push_back(h);
        }
        return out;
    }
    std::vector<int> Callers() {
        std::vector<int> out;
        for (const Heard& h : All()) out.push_back(h.who);
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(mutex_);
        heard_.clear();
        reactions_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<Heard> heard_;
    std::map<int, std::function<void()>> reactions_;
};

template <int N>
void LWU_CALL Hear(int32_t action, const char* path) {
    Ear::Get().Add(N, action, path);
}

// A device interface class no other test uses.
struct InterfaceClass {
    GUID guid{};
    std::wstring text;
    static InterfaceClass Fresh() {
        InterfaceClass c;
        CoCreateGuid(&c.guid);
        wchar_t buffer[64];
        StringFromGUID2(c.guid, buffer, 64);
        c.text = buffer;
        return c;
    }
    const wchar_t* w() const { return text.c_str(); }
};

// A bound for things that do happen: generous, since a loaded machine (or the emulated x86
// guest) can take seconds to start Wine's window machinery; only a failing test waits it out.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 60000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(2);
    }
    return true;
}

// A manual-reset event that starts unset.
class Event {
public:
    Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void Set() { SetEvent(handle_); }
    bool Wait(DWORD timeoutMs = 60000) const { return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0; }
    operator HANDLE() const { return handle_; }

private:
    HANDLE handle_;
};

// Sets an event whenever the library starts to wait on its condition variable, which it does
// only when an unregister waits for a callback still running elsewhere: a test learns that the
// wait has begun without guessing how long it takes.
class WaitWatch {
public:
    explicit WaitWatch(HMODULE library)
        : patch_(library, "SleepConditionVariableSRW", reinterpret_cast<void*>(&Watch)) {
        original() = patch_.original<decltype(&::SleepConditionVariableSRW)>();
        event() = waiting_;
        count() = 0;
    }
    WaitWatch(const WaitWatch&) = delete;
    WaitWatch& operator=(const WaitWatch&) = delete;
    HANDLE waiting() const { return waiting_; }
    int waits() const { return count().load(); }   // waits begun since the watch was set

private:
    static std::atomic<int>& count() {
        static std::atomic<int> n{0};
        return n;
    }
    static decltype(&::SleepConditionVariableSRW)& original() {
        static decltype(&::SleepConditionVariableSRW) f = nullptr;
        return f;
    }
    static HANDLE& event() {
        static HANDLE h = nullptr;
        return h;
    }
    static BOOL WINAPI Watch(PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD ms, ULONG flags) {
        ++count();
        SetEvent(event());
        return original()(condition, lock, ms, flags);
    }
    Event waiting_;   // outlives the patch: members go in reverse order
    ImportPatch patch_;
};

// The world's recorded calls of that name, in order.
inline std::vector<SimCall> CallsNamed(const char* name) {
    std::vector<SimCall> out;
    for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
        SimCall c{};
        if (SimWorld_GetCall(i, &c) && std::strcmp(c.function, name) == 0) out.push_back(c);
    }
    return out;
}

// Counts the WM_CLOSE messages the window's thread handles while it lives.
class CloseCount {
public:
    explicit CloseCount(DWORD thread) {
        Count() = 0;
        hook_ = SetWindowsHookExA(WH_CALLWNDPROC, Watch, nullptr, thread);
        EXPECT_NE(nullptr, hook_);
    }
    ~CloseCount() {
        if (hook_) UnhookWindowsHookEx(hook_);
    }
    CloseCount(const CloseCount&) = delete;
    CloseCount& operator=(const CloseCount&) = delete;
    int closes() const { return Count().load(); }

private:
    static std::atomic<int>& Count() {
        static std::atomic<int> n{0};
        return n;
    }
    static LRESULT CALLBACK Watch(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HC_ACTION && reinterpret_cast<const CWPSTRUCT*>(lParam)->message == WM_CLOSE) ++Count();
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    HHOOK hook_ = nullptr;
};

// The library's window in this process: other test programs running beside this one have theirs.
inline HWND FindNotificationWindow() {
    for (HWND w = nullptr; (w = FindWindowExA(HWND_MESSAGE, w, "LinkWinUsb API", nullptr)) != nullptr;) {
        DWORD process = 0;
        GetWindowThreadProcessId(w, &process);
        if (process == GetCurrentProcessId()) return w;
    }
    return nullptr;
}

// RegisterForDeviceNotification on a thread of its own. Construction returns once the call
// has reported the present interfaces (or has returned).
class WindowRegistration {
public:
    WindowRegistration(const LinkWinUsbApi& api, DeviceNotificationCallback callback, const InterfaceClass& cls,
                       bool keepPumping = false)
        : guid_(cls.guid) {
        uint32_t before = SimInterfaces_EnumerationCount(&cls.guid);
        std::wstring text = cls.text;
        thread_ = std::thread([this, &api, callback, text, keepPumping] {
            threadId_ = GetCurrentThreadId();
            api.RegisterForDeviceNotification(callback, text.c_str());
            returned_ = true;
            // The window may belong to this thread: keep serving it after the library's loop ended.
            while (keepPumping && !stop_) {
                MSG m;
                while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
            }
        });
        bool ready = WaitFor([&] { return returned_ || SimInterfaces_EnumerationCount(&guid_) > before; });
        EXPECT_TRUE(ready) << "RegisterForDeviceNotification neither reported nor returned";
    }
    ~WindowRegistration() { Quit(); }
    WindowRegistration(const WindowRegistration&) = delete;
    WindowRegistration& operator=(const WindowRegistration&) = delete;

    // Posts WM_QUIT to the thread; true once RegisterForDeviceNotification has returned.
    bool EndLoop(int timeoutMs = 60000) {
        if (!thread_.joinable()) return returned_;
        WaitFor([&] { return threadId_ != 0; });
        bool posted = WaitFor([&] { return returned_ || PostThreadMessageA(threadId_, WM_QUIT, 0, 0) != 0; });
        return posted && WaitFor([&] { return returned_.load(); }, timeoutMs);
    }
    // Ends the loop and the thread.
    bool Quit(int timeoutMs = 60000) {
        if (!thread_.joinable()) return returned_;
        bool done = EndLoop(timeoutMs);
        stop_ = true;
        if (done) {
            thread_.join();
        } else {
            thread_.detach();   // still in its loop: leave it rather than hang the test
        }
        return done;
    }
    bool returned() const { return returned_; }
    DWORD thread() const { return threadId_; }

private:
    GUID guid_;
    std::thread thread_;
    std::atomic<DWORD> threadId_{0};
    std::atomic<bool> returned_{false};
    std::atomic<bool> stop_{false};
};

// The library and the window's thread, both for the whole process.
class NotificationTest : public ::testing::Test {
protected:
    static HostLibrary& Library() {
        static HostLibrary library("LinkWinUsb.dll");
        static WorldWindowNotifications served(library.module());
        return library;
    }
    static LinkWinUsbApi& Api() {
        static LinkWinUsbApi api(Library());
        return api;
    }
    // The first window registration makes the window on its thread, which then serves it for
    // every later test; its own entry is unregistered at once.
    static HWND Window() {
        static HWND window = [] {
            InterfaceClass owner = InterfaceClass::Fresh();
            static std::unique_ptr<WindowRegistration> registration;   // serves the window for the process
            registration = std::make_unique<WindowRegistration>(Api(), Hear<90>, owner);
            HWND found = nullptr;
            WaitFor([&] { return (found = FindNotificationWindow()) != nullptr; });
            Api().UnregisterForDeviceNotification(Hear<90>, owner.w());
            ownerThread() = registration->thread();
            return found;
        }();
        return window;
    }
    static DWORD& ownerThread() {
        static DWORD id = 0;
        return id;
    }

    void SetUp() override {
        SimWorld_Reset();
        SimInterfaces_ClearFaults();
        window_ = Window();
        ASSERT_NE(nullptr, window_);
        Ear::Get().Clear();
        cls_ = InterfaceClass::Fresh();
        other_ = InterfaceClass::Fresh();
    }
    void TearDown() override {
        EXPECT_EQ(1, SimInterfaces_WaitIdle(5000)) << "a Configuration Manager delivery is still running";
        SimInterfaces_ClearFaults();
        Ear::Get().Clear();
    }

    LinkWinUsbApi& api() { return Api(); }
    // WM_DEVICECHANGE to the window, sent from this thread exactly as the system sends it.
    LRESULT Send(WPARAM event, const GUID& cls, const char* path, DWORD deviceType = DBT_DEVTYP_DEVICEINTERFACE) {
        std::vector<uint64_t> storage(64 + std::strlen(path) / 8, 0);
        auto record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
        record->dbcc_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + std::strlen(path) + 1);
        record->dbcc_devicetype = deviceType;
        record->dbcc_classguid = cls;
        std::memcpy(record->dbcc_name, path, std::strlen(path) + 1);
        return SendMessageA(window_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
    }
    // The data recorded with the n-th call of that name (the filter of a window registration).
    std::vector<uint8_t> DataOfCall(const char* name, size_t n = 0) {
        for (uint32_t i = 0, count = SimWorld_CallCount(); i < count; ++i) {
            SimCall c{};
            if (!SimWorld_GetCall(i, &c) || std::strcmp(c.function, name) != 0) continue;
            if (n-- > 0) continue;
            std::vector<uint8_t> data(SimWorld_GetCallData(i, nullptr, 0));
            if (!data.empty()) SimWorld_GetCallData(i, data.data(), static_cast<uint32_t>(data.size()));
            return data;
        }
        return {};
    }
    void Settle() { EXPECT_EQ(1, SimInterfaces_WaitIdle(5000)); }

    HWND window_ = nullptr;
    InterfaceClass cls_;
    InterfaceClass other_;
};
