// Callbacks that register and unregister while a dispatch runs, many threads at once, and
// unloading the library while registrations remain.
#include <cstdio>

#include "notification_host.h"

namespace {

using Reentrancy = NotificationTest;

TEST_F(Reentrancy, ACallbackUnregisteringItselfOnANotificationThreadNeitherDeadlocksNorStopsTheWalk) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    WindowRegistration later(api(), Hear<2>, cls_);
    std::atomic<uint32_t> result{12345};
    Ear::Get().React(1, [&] { result = api().CmUnregisterNotification(Hear<1>, cls_.w()); });

    // One notification thread delivers: A's (the event reaches the Configuration Manager only).
    SimInterfaces_NotifyAction(&cls_.guid, "\\\\?\\sim#first", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
    ASSERT_EQ(1, SimInterfaces_WaitIdle(5000)) << "the callback's unregistration deadlocked";
    EXPECT_EQ(0u, result.load());
    EXPECT_EQ((std::vector<int>{1, 2}), Ear::Get().Callers()) << "the walk went on to the next entry";
    EXPECT_NE(GetCurrentThreadId(), Ear::Get().All()[0].thread);
    EXPECT_TRUE(WaitFor([&] { return SimInterfaces_CmRegistrationCount(&cls_.guid) == 0; }))
        << "the system registration is released after the callback";

    Ear::Get().Clear();
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#second");
    EXPECT_EQ((std::vector<int>{2}), Ear::Get().Callers()) << "the entry stopped at once";
    api().UnregisterForDeviceNotification(Hear<2>, cls_.w());
}

TEST_F(Reentrancy, ADispatchCallsNeitherEntriesRemovedBeforeTheirTurnNorEntriesAddedDuringIt) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<2>, cls_.w()));
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<3>, cls_.w()));
    std::atomic<uint32_t> removed{12345};
    std::atomic<uint32_t> added{12345};
    Ear::Get().React(1, [&] {
        removed = api().CmUnregisterNotification(Hear<3>, cls_.w());   // a later entry, on the window's thread
        added = api().CmRegisterNotification(Hear<4>, cls_.w());
    });
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#first");
    EXPECT_EQ(0u, removed.load());
    EXPECT_EQ(0u, added.load());
    EXPECT_EQ((std::vector<int>{1, 2}), Ear::Get().Callers());

    Ear::Get().Clear();
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#second");
    EXPECT_EQ((std::vector<int>{1, 2, 4}), Ear::Get().Callers()) << "the new entry hears the next event";
    EXPECT_TRUE(WaitFor([&] { return SimInterfaces_CmRegistrationCount(&cls_.guid) == 3; }));
    for (auto callback : {Hear<1>, Hear<2>, Hear<4>}) EXPECT_EQ(0u, api().CmUnregisterNotification(callback, cls_.w()));
}

TEST_F(Reentrancy, AWindowEntryUnregisteringItselfDuringItsCallReturns) {
    WindowRegistration windowEntry(api(), Hear<1>, cls_);
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<2>, cls_.w()));
    std::atomic<bool> returned{false};
    Ear::Get().React(1, [&] {
        api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
        returned = true;
    });
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#first");
    EXPECT_TRUE(returned.load());
    EXPECT_EQ((std::vector<int>{1, 2}), Ear::Get().Callers());
    Ear::Get().Clear();
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#second");
    EXPECT_EQ((std::vector<int>{2}), Ear::Get().Callers());
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<2>, cls_.w()));
}

TEST_F(Reentrancy, UnregisteringWaitsForTheEntrysCallbackRunningOnAnotherThread) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> callbackDone{false};
    Ear::Get().React(1, [&] {
        SetEvent(inside);
        WaitForSingleObject(release, 5000);
        callbackDone = true;
    });
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#slow");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inside, 5000));
    std::thread releaser([&] {
        Sleep(100);
        SetEvent(release);
    });
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    EXPECT_TRUE(callbackDone.load()) << "the export returned while the callback still ran";
    releaser.join();
    CloseHandle(inside);
    CloseHandle(release);
}

// A registration by either mechanism made on a thread of its own, so that its present-interface
// reports can be held up while the test acts elsewhere.
class RegisteringThread {
public:
    RegisteringThread(LinkWinUsbApi& api, DeviceNotificationCallback callback, const InterfaceClass& cls, bool window)
        : window_(window) {
        std::wstring text = cls.text;
        thread_ = std::thread([this, &api, callback, text] {
            id_ = GetCurrentThreadId();
            if (window_) api.RegisterForDeviceNotification(callback, text.c_str());   // its loop ends at WM_QUIT
            else result_ = api.CmRegisterNotification(callback, text.c_str());
            returned_ = true;
        });
    }
    ~RegisteringThread() { End(); }
    RegisteringThread(const RegisteringThread&) = delete;
    RegisteringThread& operator=(const RegisteringThread&) = delete;
    void End() {
        if (!thread_.joinable()) return;
        if (window_) {
            WaitFor([&] { return id_ != 0; });
            WaitFor([&] { return returned_ || (PostThreadMessageA(id_, WM_QUIT, 0, 0), false); });
        }
        thread_.join();
    }
    uint32_t result() const { return result_; }

private:
    bool window_;
    std::thread thread_;
    std::atomic<DWORD> id_{0};
    std::atomic<uint32_t> result_{12345};
    std::atomic<bool> returned_{false};
};

const char* MechanismName(bool window) { return window ? "window mechanism" : "Configuration Manager mechanism"; }

TEST_F(Reentrancy, UnregisteringWaitsForAPresentReportRunningOnAnotherThreadAndEndsTheReports) {
    for (bool window : {false, true}) {
        SCOPED_TRACE(MechanismName(window));
        Ear::Get().Clear();
        InterfaceClass cls = InterfaceClass::Fresh();
        SimInterfaces_Add(&cls.guid, "\\\\?\\sim#first");
        SimInterfaces_Add(&cls.guid, "\\\\?\\sim#second");
        Event reporting, release, unregistered;
        std::atomic<bool> reportReturned{false};
        Ear::Get().React(1, [&] {
            reporting.Set();
            release.Wait();
            reportReturned = true;
        });
        RegisteringThread registering(api(), Hear<1>, cls, window);
        ASSERT_TRUE(reporting.Wait());
        {
            WaitWatch watch(Library().module());
            // Lets the report go once the unregister waits for it (or has returned without waiting).
            std::thread releaser([&] {
                HANDLE either[2] = {watch.waiting(), unregistered};
                WaitForMultipleObjects(2, either, FALSE, 60000);
                release.Set();
            });
            if (window) {
                api().UnregisterForDeviceNotification(Hear<1>, cls.w());
            } else {
                EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls.w()));
            }
            bool returnedFirst = reportReturned.load();
            unregistered.Set();
            releaser.join();
            EXPECT_TRUE(returnedFirst) << "the export returned while a report still ran the callback";
        }
        registering.End();
        EXPECT_EQ(1u, Ear::Get().Of(1).size()) << "no report after the unregister returned";
        if (!window) {
            EXPECT_TRUE(WaitFor([&] { return SimInterfaces_CmRegistrationCount(&cls.guid) == 0; }));
        }
    }
}

TEST_F(Reentrancy, AnUnregisterInsideAPresentReportWaitsForNoOtherThreadsCallback) {
    for (bool window : {false, true}) {
        SCOPED_TRACE(MechanismName(window));
        Ear::Get().Clear();
        InterfaceClass cls = InterfaceClass::Fresh();
        SimInterfaces_Add(&cls.guid, "\\\\?\\sim#present");
        // An entry of another class keeps the list from emptying: no WM_CLOSE is due.
        ASSERT_EQ(0u, api().CmRegisterNotification(Hear<2>, other_.w()));
        // The host serialises its callbacks with a lock of its own, held here by the report.
        Event dispatching, hostLockFree;
        std::atomic<bool> dispatchGotLock{false};
        std::atomic<bool> dispatchGaveUp{false};
        std::atomic<uint32_t> result{12345};
        std::thread sender;
        Ear::Get().React(1, [&] {   // the report, on the registering thread
            Ear::Get().React(1, [&] {   // an event for the same entry, on the dispatching thread
                dispatching.Set();
                bool got = hostLockFree.Wait();
                (got ? dispatchGotLock : dispatchGaveUp) = true;
            });
            if (window) {
                sender = std::thread([&] { Send(DBT_DEVICEARRIVAL, cls.guid, "\\\\?\\sim#event"); });
            } else {
                SimInterfaces_NotifyAction(&cls.guid, "\\\\?\\sim#event", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
            }
            dispatching.Wait();
            if (window) {
                api().UnregisterForDeviceNotification(Hear<1>, cls.w());
                result = 0;
            } else {
                result = api().CmUnregisterNotification(Hear<1>, cls.w());
            }
            hostLockFree.Set();
        });
        RegisteringThread registering(api(), Hear<1>, cls, window);
        EXPECT_TRUE(WaitFor([&] { return result.load() != 12345u; }, 120000));
        if (sender.joinable()) sender.join();
        Settle();
        registering.End();
        EXPECT_EQ(0u, result.load());
        EXPECT_TRUE(dispatchGotLock.load());
        EXPECT_FALSE(dispatchGaveUp.load()) << "the unregister waited for a callback that waited for the report";
        EXPECT_EQ(2u, Ear::Get().Of(1).size());
        EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<2>, other_.w()));
        if (!window) {
            EXPECT_EQ(0u, registering.result());
            EXPECT_TRUE(WaitFor([&] { return SimInterfaces_CmRegistrationCount(&cls.guid) == 0; }))
                << "the system registration is released after the callbacks";
        }
    }
}

TEST_F(Reentrancy, AnInCallbackReleaseThatCannotBeQueuedKeepsTheEntryAndSaysWhy) {
    struct Row {
        const char* what;
        DWORD error;            // the last error QueueUserWorkItem leaves
        bool errorReadsZero;    // GetLastError then reads 0 all the same
        uint32_t result;
    } const rows[] = {
        {"no memory for the work item", ERROR_NOT_ENOUGH_MEMORY, false, ERROR_NOT_ENOUGH_MEMORY},
        {"no system resources", ERROR_NO_SYSTEM_RESOURCES, false, ERROR_NO_SYSTEM_RESOURCES},
        // A code other than the one the library falls back on: the result is the fallback.
        {"a failure whose last error reads 0 is no success", ERROR_NO_SYSTEM_RESOURCES, true, ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        InterfaceClass cls = InterfaceClass::Fresh();
        Ear::Get().Clear();
        ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls.w()));
        std::atomic<uint32_t> result{12345};
        {
            auto noPool = FAIL_IMPORT(Library().module(), QueueUserWorkItem, FALSE, row.error);
            auto noError = FAIL_IMPORT(Library().module(), GetLastError, DWORD{0}, 0, row.errorReadsZero ? 1 : 0);
            Ear::Get().React(1, [&] { result = api().CmUnregisterNotification(Hear<1>, cls.w()); });
            SimInterfaces_NotifyAction(&cls.guid, "\\\\?\\sim#first", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
            Settle();
            EXPECT_EQ(1, noPool.failed());
            EXPECT_EQ(row.errorReadsZero ? 1 : 0, noError.failed());
        }
        EXPECT_EQ(row.result, result.load());
        EXPECT_EQ(1u, SimInterfaces_CmRegistrationCount(&cls.guid));
        Ear::Get().Clear();
        SimInterfaces_NotifyAction(&cls.guid, "\\\\?\\sim#second", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
        Settle();
        EXPECT_EQ(1u, Ear::Get().Of(1).size()) << "the entry stays and goes on hearing its events";
        EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls.w()));
        EXPECT_EQ(0u, SimInterfaces_CmRegistrationCount(&cls.guid)) << "released outside a callback";
    }
}

TEST_F(Reentrancy, AnUnregisterWokenBeforeTheCallbackReturnedWaitsAgain) {
    // A window entry: releasing it with the system waits for nothing, so the library itself waits.
    WindowRegistration entry(api(), Hear<1>, cls_);
    Event inside, release;
    std::atomic<bool> callbackDone{false};
    Ear::Get().React(1, [&] {
        inside.Set();
        release.Wait();
        callbackDone = true;
    });
    std::thread sender([&] { Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#slow"); });
    if (!inside.Wait()) {
        ADD_FAILURE() << "the event never reached the callback";
        sender.join();
        return;
    }
    {
        // The first wait ends at once, as a condition variable may wake without a cause.
        auto early = REPLACE_IMPORT(Library().module(), SleepConditionVariableSRW, [](auto&&...) { return TRUE; }, 1);
        WaitWatch watch(Library().module());
        Event unregistered;
        std::thread releaser([&] {
            WaitFor([&] { return watch.waits() >= 2 || WaitForSingleObject(unregistered, 0) == WAIT_OBJECT_0; });
            release.Set();
        });
        api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
        bool doneFirst = callbackDone.load();
        unregistered.Set();
        releaser.join();
        EXPECT_EQ(1, early.failed());
        EXPECT_TRUE(doneFirst) << "the export returned after a wake-up while the callback still ran";
    }
    sender.join();
}

// Ends the process with a message when it is not dismissed in time: a deadlock would otherwise
// hang the run rather than fail the test.
class Watchdog {
public:
    Watchdog(DWORD timeoutMs, const char* what)
        : thread_([this, timeoutMs, what] {
              if (dismissed_.Wait(timeoutMs)) return;
              std::fprintf(stdout, "\nWatchdog: %s did not return within %lu ms: deadlock\n", what,
                           static_cast<unsigned long>(timeoutMs));
              std::fprintf(stderr, "Watchdog: %s did not return within %lu ms: deadlock\n", what,
                           static_cast<unsigned long>(timeoutMs));
              std::fflush(stdout);
              std::fflush(stderr);
              TerminateProcess(GetCurrentProcess(), 3);
          }) {}
    ~Watchdog() {
        dismissed_.Set();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    Event dismissed_;   // made before the thread that waits on it
    std::thread thread_;
};

// Runs an action once on a thread that serves a message queue, outside any callback: from a
// hook of that thread's message retrieval, when it takes a message posted for the purpose.
class OnQueueThread {
public:
    OnQueueThread(DWORD thread, HWND window, std::function<void()> action) {
        Action() = std::move(action);
        hook_ = SetWindowsHookExA(WH_GETMESSAGE, Hook, nullptr, thread);
        EXPECT_NE(nullptr, hook_);
        EXPECT_TRUE(PostMessageA(window, kRun, 0, 0));
    }
    ~OnQueueThread() {
        if (hook_) UnhookWindowsHookEx(hook_);
    }
    OnQueueThread(const OnQueueThread&) = delete;
    OnQueueThread& operator=(const OnQueueThread&) = delete;

private:
    static constexpr UINT kRun = WM_APP + 0x4C;
    static std::function<void()>& Action() {
        static std::function<void()> action;
        return action;
    }
    static LRESULT CALLBACK Hook(int code, WPARAM removed, LPARAM lParam) {
        auto message = reinterpret_cast<MSG*>(lParam);
        if (code == HC_ACTION && removed == PM_REMOVE && message->message == kRun) {
            message->message = WM_NULL;
            if (std::function<void()> action = std::move(Action())) action();
        }
        return CallNextHookEx(nullptr, code, removed, lParam);
    }
    HHOOK hook_ = nullptr;
};

// The window's thread unregisters a window entry and waits for its callback, which runs on a
// Configuration Manager thread and there unregisters the last other entry: the WM_CLOSE then
// due must not wait for the window's thread.
TEST_F(Reentrancy, AnUnregisterOnANotificationThreadDoesNotWaitForTheWindowsThreadWaitingForIt) {
    WindowRegistration windowEntry(api(), Hear<1>, cls_);
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<2>, cls_.w()));
    CloseCount closes(ownerThread());
    Event inside;
    std::atomic<bool> callbackReturned{false};
    std::atomic<bool> windowReturned{false};
    {
        Watchdog watchdog(20000, "UnregisterForDeviceNotification on a notification thread and on the window's thread");
        WaitWatch watch(Library().module());
        Ear::Get().React(1, [&] {   // the window entry's callback, on the Configuration Manager's thread
            inside.Set();
            WaitForSingleObject(watch.waiting(), 20000);   // the window's thread waits for this call
            api().UnregisterForDeviceNotification(Hear<2>, cls_.w());            // the list empties: WM_CLOSE
            callbackReturned = true;
        });
        SimInterfaces_NotifyAction(&cls_.guid, "\\\\?\\sim#event", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
        ASSERT_TRUE(inside.Wait()) << "the event never reached the callback";
        OnQueueThread onWindowThread(ownerThread(), window_, [&] {
            api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
            windowReturned = true;
        });
        EXPECT_TRUE(WaitFor([&] { return callbackReturned && windowReturned; }));
    }
    Settle();
    EXPECT_EQ(0, SendMessageA(window_, WM_NULL, 0, 0));   // handled after the messages sent before it
    EXPECT_EQ(2, closes.closes()) << "one WM_CLOSE from each unregister: the list was empty after each";
    EXPECT_TRUE(WaitFor([&] { return SimInterfaces_CmRegistrationCount(&cls_.guid) == 0; }));
    EXPECT_EQ((std::vector<int>{1}), Ear::Get().Callers()) << "the removed entry was not called";
    EXPECT_TRUE(IsWindow(window_));
}

using Concurrency = NotificationTest;

DeviceNotificationCallback const churners[] = {Hear<11>, Hear<12>, Hear<13>, Hear<14>};

TEST_F(Concurrency, ManyThreadsRegisterAndUnregisterWhileEventsArrive) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<10>, cls_.w()));   // registered throughout
    std::atomic<int> failures{0};
    std::atomic<bool> eventsDone{false};
    std::vector<std::thread> threads;
    for (DeviceNotificationCallback callback : churners) {
        threads.emplace_back([&, callback] {
            for (int i = 0; i < 40; ++i) {
                if (api().CmRegisterNotification(callback, cls_.w()) != 0) ++failures;
                if (api().CmUnregisterNotification(callback, cls_.w()) != 0) ++failures;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 6; ++i) {
            WindowRegistration windowEntry(api(), Hear<20>, cls_);
            api().UnregisterForDeviceNotification(Hear<20>, cls_.w());
            if (!windowEntry.Quit()) ++failures;
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            std::string path = "\\\\?\\sim#direct-" + std::to_string(i);
            Send(DBT_DEVICEARRIVAL, cls_.guid, path.c_str());
            if (i % 4 == 0) SimInterfaces_Remove(SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#world"));
        }
        eventsDone = true;
    });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(eventsDone.load());
    Settle();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1u, SimInterfaces_CmRegistrationCount(&cls_.guid)) << "only the steady registration is left";

    std::vector<std::string> direct;
    for (const Heard& h : Ear::Get().Of(10)) {
        if (h.path.rfind("\\\\?\\sim#direct-", 0) == 0) direct.push_back(h.path);
    }
    ASSERT_EQ(200u, direct.size()) << "the steady entry heard each window event exactly once";
    for (int i = 0; i < 200; ++i) EXPECT_EQ("\\\\?\\sim#direct-" + std::to_string(i), direct[i]);
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<10>, cls_.w()));
}

// Run in a process of its own: the library must not have been loaded before.
TEST(Unloading, AnArrivalAfterFreeLibraryReachesTheCallbacksAndDoesNotCrash) {
    if (GetModuleHandleA("LinkWinUsb.dll")) GTEST_SKIP() << "needs a process that never loaded the library";
    SimWorld_Reset();
    Ear::Get().Clear();
    InterfaceClass cls = InterfaceClass::Fresh();
    auto library = std::make_unique<HostLibrary>("LinkWinUsb.dll");
    WorldWindowNotifications served(library->module());
    LinkWinUsbApi api(*library);
    ASSERT_EQ(0u, api.CmRegisterNotification(Hear<1>, cls.w()));
    // This thread makes the window and keeps serving it after the library's loop has ended.
    WindowRegistration windowEntry(api, Hear<2>, cls, true);
    ASSERT_TRUE(windowEntry.EndLoop());
    library->Unload();
    EXPECT_NE(nullptr, GetModuleHandleA("LinkWinUsb.dll")) << "registrations keep the library loaded";

    SimInterfaces_Add(&cls.guid, "\\\\?\\sim#after-unload");
    EXPECT_EQ(1, SimInterfaces_WaitIdle(5000));
    EXPECT_EQ(2u, Ear::Get().Of(1).size());
    EXPECT_EQ(2u, Ear::Get().Of(2).size());
}

}  // namespace
