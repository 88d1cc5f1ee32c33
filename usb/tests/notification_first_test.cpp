// The first window registration of a process, which makes the window class and the window, and
// the window's own message loop, with each of the calls involved failing once. Runs in a process
// of its own: the library must never have made its window there before.
#include <functional>

#include "notification_host.h"

namespace {

// A message posted to the window (the system refuses to post WM_DEVICECHANGE with its record)
// and a spy in front of the window procedure that counts it when the loop dispatches it.
constexpr UINT kPosted = WM_APP + 7;
std::atomic<int> postedDispatched{0};
WNDPROC libraryProcedure = nullptr;
LRESULT CALLBACK CountPosted(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kPosted) ++postedDispatched;
    return CallWindowProcA(libraryProcedure, window, message, wParam, lParam);
}

TEST(FirstRegistration, TheWindowIsMadeOnceItCanBeAndItsLoopCarriesOnPastFailingCalls) {
    if (GetModuleHandleA("LinkWinUsb.dll")) GTEST_SKIP() << "needs a process that never loaded the library";
    SimWorld_Reset();
    SimInterfaces_ClearFaults();
    Ear::Get().Clear();
    HostLibrary library("LinkWinUsb.dll");
    HMODULE lib = library.module();
    WorldWindowNotifications served(lib);
    LinkWinUsbApi api(library);
    InterfaceClass cls = InterfaceClass::Fresh();
    SimInterfaces_Add(&cls.guid, "\\\\?\\sim#present");

    {
        SCOPED_TRACE("GetModuleHandleExA cannot pin the library: the registration stands, the next one pins it");
        auto noPin = FAIL_IMPORT(lib, GetModuleHandleExA, FALSE, ERROR_MOD_NOT_FOUND);
        EXPECT_EQ(0u, api.CmRegisterNotification(Hear<1>, cls.w()));
        EXPECT_EQ(1u, Ear::Get().Of(1).size()) << "its report was made";
        EXPECT_EQ(1, noPin.failed());
        EXPECT_EQ(0u, api.CmRegisterNotification(Hear<2>, cls.w()));
        EXPECT_EQ(0u, api.CmRegisterNotification(Hear<3>, cls.w()));
        EXPECT_EQ(2, noPin.calls()) << "pinned by the second registration, not asked again by the third";
        for (auto callback : {Hear<1>, Hear<2>, Hear<3>}) EXPECT_EQ(0u, api.CmUnregisterNotification(callback, cls.w()));
    }

    // Without a window class, or without a window, nothing is registered and the call returns.
    struct Row {
        const char* what;
        std::function<void()> registerWhileFailing;
    };
    const Row rows[] = {
        {"RegisterClassExA fails",
         [&] {
             auto fault = FAIL_IMPORT(lib, RegisterClassExA, ATOM{0}, ERROR_NOT_ENOUGH_MEMORY);
             api.RegisterForDeviceNotification(Hear<4>, cls.w());
             EXPECT_EQ(1, fault.failed());
         }},
        {"CreateWindowExA fails",
         [&] {
             auto fault = FAIL_IMPORT(lib, CreateWindowExA, HWND{}, ERROR_NOT_ENOUGH_MEMORY);
             api.RegisterForDeviceNotification(Hear<4>, cls.w());
             EXPECT_EQ(1, fault.failed());
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimWorld_ClearCalls();
        StdoutCapture out;
        row.registerWhileFailing();   // returns at once on this thread: no message loop
        EXPECT_EQ("Could not register for device notifications! \n", out.Text());
        EXPECT_EQ(nullptr, FindNotificationWindow());
        EXPECT_TRUE(Ear::Get().Of(4).empty()) << "nothing reported";
        std::vector<SimCall> registered = CallsNamed("RegisterDeviceNotificationA");
        ASSERT_EQ(1u, registered.size());
        EXPECT_EQ(0u, registered[0].args[0]) << "no window to receive";
        EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), registered[0].lastError) << "refused as the system does";
        EXPECT_EQ(0u, SimInterfaces_WindowRegistrationCount(nullptr));
    }

    // The next registration makes the window (the class is there already), with the process's
    // module when GetModuleHandleA gives none, and runs its loop, whose calls fail below.
    auto noModule = FAIL_IMPORT(lib, GetModuleHandleA, HMODULE{}, ERROR_MOD_NOT_FOUND);
    auto dispatch = FAIL_IMPORT(lib, DispatchMessageA, LRESULT{0}, ERROR_INVALID_WINDOW_HANDLE, 0);
    WindowRegistration owner(api, Hear<5>, cls, true);
    HWND window = FindNotificationWindow();
    ASSERT_NE(nullptr, window) << "a window once its class and it can be made";
    EXPECT_EQ(1, noModule.failed());
    EXPECT_FALSE(owner.returned());
    EXPECT_EQ(1u, Ear::Get().Of(5).size()) << "the present interface was reported";
    SimInterfaces_Add(&cls.guid, "\\\\?\\sim#arrives");
    ASSERT_EQ(2u, Ear::Get().Of(5).size()) << "the system's message reaches the window";
    EXPECT_EQ(owner.thread(), Ear::Get().Of(5)[1].thread);

    libraryProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountPosted)));
    ASSERT_NE(nullptr, libraryProcedure);
    {
        SCOPED_TRACE("DispatchMessageA fails: that message is lost, the loop goes on with the next");
        postedDispatched = 0;
        dispatch.Arm(1);
        EXPECT_TRUE(PostMessageA(window, kPosted, 0, 0));
        EXPECT_TRUE(PostMessageA(window, kPosted, 0, 0));
        EXPECT_TRUE(WaitFor([&] { return postedDispatched == 1 && dispatch.calls() >= 2; }));
        EXPECT_EQ(1, dispatch.failed());
        EXPECT_EQ(1, postedDispatched.load());
    }
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(libraryProcedure));
    SimInterfaces_Add(&cls.guid, "\\\\?\\sim#still-served");
    EXPECT_EQ(3u, Ear::Get().Of(5).size()) << "the loop still serves the window";
    api.UnregisterForDeviceNotification(Hear<5>, cls.w());
    EXPECT_TRUE(owner.EndLoop());
}

}  // namespace
