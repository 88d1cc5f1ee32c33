// Arrivals and removals: which entries hear them, through which mechanism's events, what the
// window ignores, and how entries are released.
#include <functional>

#include "notification_host.h"

namespace {

using Delivery = NotificationTest;

size_t CountOf(const std::vector<Heard>& heard, int32_t action) {
    size_t n = 0;
    for (const Heard& h : heard) n += h.action == action ? 1 : 0;
    return n;
}

TEST_F(Delivery, EveryEntryOfTheClassHearsEveryEventOfEitherMechanism) {
    WindowRegistration windowEntry(api(), Hear<1>, cls_);
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<2>, cls_.w()));
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<3>, other_.w()));

    int id = SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#arrives");
    Settle();
    // The window's event and the Configuration Manager's event each reach both entries.
    for (int who : {1, 2}) {
        std::vector<Heard> heard = Ear::Get().Of(who);
        ASSERT_EQ(2u, heard.size()) << "callback " << who;
        EXPECT_EQ(2u, CountOf(heard, LWU_DEVICE_ARRIVAL));
        int onWindowThread = 0;
        for (const Heard& h : heard) {
            EXPECT_TRUE(SamePath("\\\\?\\sim#arrives", h.path));
            EXPECT_NE(GetCurrentThreadId(), h.thread);
            onWindowThread += h.thread == ownerThread() ? 1 : 0;
        }
        EXPECT_EQ(1, onWindowThread) << "one call from the window's thread, one from a notification thread";
        EXPECT_NE(heard[0].path, heard[1].path) << "the window names the interface in capitals";
    }
    EXPECT_TRUE(Ear::Get().Of(3).empty()) << "other classes hear nothing";

    Ear::Get().Clear();
    SimInterfaces_Remove(id);
    Settle();
    EXPECT_EQ(2u, CountOf(Ear::Get().Of(1), LWU_DEVICE_REMOVAL));
    EXPECT_EQ(2u, CountOf(Ear::Get().Of(2), LWU_DEVICE_REMOVAL));
    EXPECT_EQ(4u, Ear::Get().All().size());

    api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<2>, cls_.w()));
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<3>, other_.w()));
}

TEST_F(Delivery, TheSameCallbackRegisteredTwiceIsCalledTwiceAndUnregistersOlderFirst) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    std::vector<SimCall> registered = CallsNamed("CM_Register_Notification");
    ASSERT_EQ(2u, registered.size());
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#twice");
    EXPECT_EQ(2u, Ear::Get().Of(1).size());

    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    std::vector<SimCall> released = CallsNamed("CM_Unregister_Notification");
    ASSERT_EQ(1u, released.size());
    EXPECT_EQ(registered[0].args[4], released[0].args[0]) << "the older registration goes first";
    Ear::Get().Clear();
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#once");
    EXPECT_EQ(1u, Ear::Get().Of(1).size());

    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    EXPECT_EQ(0u, SimInterfaces_CmRegistrationCount(&cls_.guid));
    Ear::Get().Clear();
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#none");
    EXPECT_TRUE(Ear::Get().All().empty());
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w())) << "nothing left to match is success";
}

TEST_F(Delivery, ALongConfigurationManagerPathArrivesWhole) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    std::string path = "\\\\?\\sim#" + std::string(251, 'a') + "#" + std::string(40, 'b');   // 300 characters
    ASSERT_EQ(300u, path.size());
    SimInterfaces_Add(&cls_.guid, path.c_str());
    Settle();
    ASSERT_EQ(1u, Ear::Get().Of(1).size());
    EXPECT_TRUE(SamePath(path, Ear::Get().Of(1)[0].path));
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
}

TEST_F(Delivery, AnUnknownConfigurationManagerActionIsWrittenAndCallsNothing) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    StdoutCapture out;
    SimInterfaces_NotifyAction(&cls_.guid, "\\\\?\\sim#odd", CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
    SimInterfaces_NotifyAction(&cls_.guid, "\\\\?\\sim#odder", 77);
    Settle();
    EXPECT_EQ("CmInterfaceNotification: Arrival unknown action   \\\\?\\sim#odd\n"
              "CmInterfaceNotification: Arrival unknown action   \\\\?\\sim#odder\n",
              out.Text());
    EXPECT_TRUE(Ear::Get().All().empty());
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
}

TEST_F(Delivery, TheWindowIgnoresOtherEventsAndDeviceTypes) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    EXPECT_EQ(0, Send(DBT_DEVICEQUERYREMOVE, cls_.guid, "\\\\?\\sim#a"));
    EXPECT_EQ(0, Send(DBT_DEVICEREMOVEPENDING, cls_.guid, "\\\\?\\sim#a"));
    EXPECT_EQ(0, Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#a", DBT_DEVTYP_VOLUME));
    EXPECT_EQ(0, Send(DBT_DEVICEREMOVECOMPLETE, cls_.guid, "\\\\?\\sim#a", DBT_DEVTYP_HANDLE));
    EXPECT_EQ(0, SendMessageA(window_, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0));
    EXPECT_EQ(0, SendMessageA(window_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
    EXPECT_TRUE(Ear::Get().All().empty());

    EXPECT_EQ(0, Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#in"));
    EXPECT_EQ(0, Send(DBT_DEVICEREMOVECOMPLETE, cls_.guid, "\\\\?\\sim#out"));
    std::vector<Heard> heard = Ear::Get().All();
    ASSERT_EQ(2u, heard.size());
    EXPECT_EQ(LWU_DEVICE_ARRIVAL, heard[0].action);
    EXPECT_TRUE(SamePath("\\\\?\\sim#in", heard[0].path));
    EXPECT_EQ(LWU_DEVICE_REMOVAL, heard[1].action);
    EXPECT_EQ(ownerThread(), heard[1].thread);
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
}

TEST_F(Delivery, TheWindowRegistersItsClassWithTheSystemAndReleasesItWhenUnregistered) {
    {
        WindowRegistration entry(api(), Hear<1>, cls_);
        std::vector<SimCall> registered = CallsNamed("RegisterDeviceNotificationA");
        ASSERT_EQ(1u, registered.size());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(window_), registered[0].args[0]) << "the message-only window receives";
        EXPECT_EQ(uint64_t{DEVICE_NOTIFY_WINDOW_HANDLE}, registered[0].args[2]);
        std::vector<uint8_t> filter = DataOfCall("RegisterDeviceNotificationA");
        ASSERT_EQ(32u, filter.size()) << "the filter is a DEV_BROADCAST_DEVICEINTERFACE_A of its own size";
        DEV_BROADCAST_DEVICEINTERFACE_A wanted{};
        std::memcpy(&wanted, filter.data(), sizeof wanted);
        EXPECT_EQ(32u, wanted.dbcc_size);
        EXPECT_EQ(static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE), wanted.dbcc_devicetype);
        EXPECT_EQ(0u, wanted.dbcc_reserved);
        EXPECT_TRUE(IsEqualGUID(cls_.guid, wanted.dbcc_classguid)) << "the class the host named";
        EXPECT_EQ(0, wanted.dbcc_name[0]);
        EXPECT_EQ(1u, SimInterfaces_WindowRegistrationCount(&cls_.guid));

        SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#arrives");
        ASSERT_EQ(1u, Ear::Get().Of(1).size()) << "the system's message for that registration";
        EXPECT_EQ(ownerThread(), Ear::Get().Of(1)[0].thread);

        api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
        std::vector<SimCall> released = CallsNamed("UnregisterDeviceNotification");
        ASSERT_EQ(1u, released.size());
        EXPECT_EQ(registered[0].args[3], released[0].args[0]) << "the handle the system handed out";
        EXPECT_NE(0u, released[0].result);
        EXPECT_EQ(0u, SimInterfaces_WindowRegistrationCount(&cls_.guid));
    }
    Ear::Get().Clear();
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#after");
    EXPECT_TRUE(Ear::Get().All().empty());
}

TEST_F(Delivery, TheWorldRefusesWindowRegistrationsAsTheSystemDoes) {
    HWND plain = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, plain);
    HANDLE notAWindow = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234));
    struct Row {
        const char* what;
        HANDLE recipient;
        DWORD size;
        DWORD type;
        DWORD flags;
        DWORD error;   // 0: registered
    } const rows[] = {
        {"a window and a class", plain, 32, DBT_DEVTYP_DEVICEINTERFACE, DEVICE_NOTIFY_WINDOW_HANDLE, 0},
        {"every class", plain, 32, DBT_DEVTYP_DEVICEINTERFACE, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES, 0},
        {"no recipient", nullptr, 32, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_PARAMETER},
        {"a recipient that is no window", notAWindow, 32, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_PARAMETER},
        {"a service status handle", plain, 32, DBT_DEVTYP_DEVICEINTERFACE, DEVICE_NOTIFY_SERVICE_HANDLE,
         ERROR_INVALID_PARAMETER},
        {"an unknown flag", plain, 32, DBT_DEVTYP_DEVICEINTERFACE, 0x100, ERROR_INVALID_FLAGS},
        {"a volume filter", plain, 32, DBT_DEVTYP_VOLUME, 0, ERROR_INVALID_DATA},
        {"a filter cut short", plain, 28, DBT_DEVTYP_DEVICEINTERFACE, 0, ERROR_INVALID_DATA},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = row.size;
        filter.dbcc_devicetype = row.type;
        filter.dbcc_classguid = cls_.guid;
        SetLastError(0);
        HDEVNOTIFY handle = WorldWindowNotifications::Register()(row.recipient, &filter, row.flags);
        EXPECT_EQ(row.error, handle ? 0 : GetLastError());
        EXPECT_EQ(row.error == 0, handle != nullptr);
        if (!handle) continue;
        EXPECT_TRUE(WorldWindowNotifications::Unregister()(handle));
        SetLastError(0);
        EXPECT_FALSE(WorldWindowNotifications::Unregister()(handle)) << "released already";
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
    DestroyWindow(plain);
}

// The window mechanism's user32 calls, each failing once: what the registration and its entry
// come to.
TEST_F(Delivery, AFailingWindowCallLeavesTheRegistrationAsDefined) {
    HMODULE lib = Library().module();
    InterfaceClass cls;   // a fresh one for each row
    struct Row {
        const char* what;
        std::function<void()> act;   // fails the call and checks its outcome
    };
    const Row rows[] = {
        {"RegisterDeviceNotificationA refuses: no entry, no report, no loop",
         [&] {
             SimInterfaces_FailCall(SIM_WINDOW_REGISTER, ERROR_NOT_ENOUGH_MEMORY, 1);
             StdoutCapture out;
             api().RegisterForDeviceNotification(Hear<1>, cls.w());   // returns at once on this thread
             EXPECT_EQ("Could not register for device notifications! \n", out.Text());
             EXPECT_TRUE(Ear::Get().All().empty()) << "nothing reported";
             EXPECT_EQ(0u, SimInterfaces_WindowRegistrationCount(&cls.guid));
             Send(DBT_DEVICEARRIVAL, cls.guid, "\\\\?\\sim#sent");
             EXPECT_TRUE(Ear::Get().All().empty()) << "no entry was made";
         }},
        {"UnregisterDeviceNotification fails: the entry goes all the same",
         [&] {
             WindowRegistration entry(api(), Hear<1>, cls);
             SimInterfaces_FailCall(SIM_WINDOW_UNREGISTER, ERROR_INVALID_HANDLE, 1);
             api().UnregisterForDeviceNotification(Hear<1>, cls.w());
             ASSERT_EQ(1u, CallsNamed("UnregisterDeviceNotification").size());
             EXPECT_EQ(0u, CallsNamed("UnregisterDeviceNotification")[0].result);
             EXPECT_EQ(1u, SimInterfaces_WindowRegistrationCount(&cls.guid)) << "the system kept its registration";
             Ear::Get().Clear();
             SimInterfaces_Add(&cls.guid, "\\\\?\\sim#still-sent");
             EXPECT_TRUE(Ear::Get().All().empty()) << "its messages reach no entry";
             auto handle = reinterpret_cast<HDEVNOTIFY>(CallsNamed("RegisterDeviceNotificationA")[0].args[3]);
             EXPECT_TRUE(WorldWindowNotifications::Unregister()(handle));
         }},
        {"GetMessageA fails: RegisterForDeviceNotification returns and its entry stays",
         [&] {
             // The registration's own loop: the window's runs on the thread that made it.
             auto fault = FAIL_IMPORT(lib, GetMessageA, -1, ERROR_INVALID_PARAMETER);
             WindowRegistration entry(api(), Hear<1>, cls);
             EXPECT_TRUE(WaitFor([&] { return entry.returned(); }));
             EXPECT_EQ(1, fault.failed());
             Send(DBT_DEVICEARRIVAL, cls.guid, "\\\\?\\sim#after-loop");
             ASSERT_EQ(1u, Ear::Get().Of(1).size());
             EXPECT_EQ(ownerThread(), Ear::Get().Of(1)[0].thread);
             api().UnregisterForDeviceNotification(Hear<1>, cls.w());
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        cls = InterfaceClass::Fresh();
        SimWorld_ClearCalls();
        Ear::Get().Clear();
        row.act();
    }
}

TEST_F(Delivery, AnEventWhosePathCannotBeConvertedIsDroppedAndTheNextArrives) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    {
        auto fault = FAIL_IMPORT(Library().module(), WideCharToMultiByte, 0, ERROR_NO_UNICODE_TRANSLATION);
        SimInterfaces_NotifyAction(&cls_.guid, "\\\\?\\sim#dropped", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
        Settle();
        EXPECT_EQ(1, fault.failed());
    }
    SimInterfaces_NotifyAction(&cls_.guid, "\\\\?\\sim#kept", CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
    Settle();
    ASSERT_EQ(1u, Ear::Get().Of(1).size());
    EXPECT_TRUE(SamePath("\\\\?\\sim#kept", Ear::Get().Of(1)[0].path));
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
}

TEST_F(Delivery, WmCloseLeavesTheWindowAndItsRegistrationsInPlace) {
    {
        CloseCount closes(ownerThread());
        ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
        EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
        // WM_CLOSE is not waited for: a message sent after it is handled after it.
        SendMessageA(window_, WM_NULL, 0, 0);
        EXPECT_EQ(0, closes.closes()) << "the Configuration Manager export sends no WM_CLOSE";

        WindowRegistration windowEntry(api(), Hear<2>, cls_);
        api().UnregisterForDeviceNotification(Hear<2>, cls_.w());   // the last entry: WM_CLOSE follows
        SendMessageA(window_, WM_NULL, 0, 0);
        EXPECT_EQ(1, closes.closes());
        api().UnregisterForDeviceNotification(Hear<2>, cls_.w());   // nothing matches, the list is still empty
        SendMessageA(window_, WM_NULL, 0, 0);
        EXPECT_EQ(2, closes.closes());
        EXPECT_EQ(0, SendMessageA(window_, WM_CLOSE, 0, 0));
    }
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_EQ(window_, FindNotificationWindow());

    WindowRegistration again(api(), Hear<3>, cls_);
    EXPECT_EQ(window_, FindNotificationWindow()) << "later registrations reuse the window";
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#after-close");
    ASSERT_EQ(1u, Ear::Get().Of(3).size());
    EXPECT_EQ(ownerThread(), Ear::Get().Of(3)[0].thread);
    api().UnregisterForDeviceNotification(Hear<3>, cls_.w());
}

TEST_F(Delivery, AWindowRegistrationReturnsOnWmQuitAndStaysRegistered) {
    WindowRegistration windowEntry(api(), Hear<1>, cls_);
    ASSERT_FALSE(windowEntry.returned());
    EXPECT_TRUE(windowEntry.Quit()) << "RegisterForDeviceNotification returns when its thread gets WM_QUIT";
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#after-quit");
    ASSERT_EQ(1u, Ear::Get().Of(1).size()) << "the entry stays: the window's thread dispatches it";
    EXPECT_EQ(ownerThread(), Ear::Get().Of(1)[0].thread);
    api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
    Ear::Get().Clear();
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#gone");
    EXPECT_TRUE(Ear::Get().All().empty());
}

TEST_F(Delivery, AWindowEntryFoundByTheConfigurationManagerExportIsReleasedByItsOwnCall) {
    WindowRegistration windowEntry(api(), Hear<1>, cls_);
    SimWorld_ClearCalls();
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    EXPECT_TRUE(CallsNamed("CM_Unregister_Notification").empty()) << "a window handle never reaches cfgmgr32";
    EXPECT_EQ(1u, CallsNamed("UnregisterDeviceNotification").size()) << "it goes back to user32";
    EXPECT_EQ(0u, SimInterfaces_WindowRegistrationCount(&cls_.guid));
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#x");
    EXPECT_TRUE(Ear::Get().All().empty()) << "the entry is gone";
}

TEST_F(Delivery, AConfigurationManagerEntryFoundByTheWindowExportIsReleasedByItsOwnCall) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    uintptr_t handle = CallsNamed("CM_Register_Notification").back().args[4];
    api().UnregisterForDeviceNotification(Hear<1>, cls_.w());   // UnregisterDeviceNotification would crash on this handle
    EXPECT_TRUE(CallsNamed("UnregisterDeviceNotification").empty());
    std::vector<SimCall> released = CallsNamed("CM_Unregister_Notification");
    ASSERT_EQ(1u, released.size());
    EXPECT_EQ(handle, released[0].args[0]);
    EXPECT_EQ(0u, SimInterfaces_CmRegistrationCount(&cls_.guid));
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#x");
    EXPECT_TRUE(Ear::Get().All().empty());
}

TEST_F(Delivery, AFailingReleaseKeepsTheEntryAndReturnsTheMappedCode) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    SimInterfaces_FailCall(SIM_CM_UNREGISTER, CR_ACCESS_DENIED, 1);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ACCESS_DENIED), api().CmUnregisterNotification(Hear<1>, cls_.w()));
    SimInterfaces_FailCall(SIM_CM_UNREGISTER, CR_FAILURE, 1);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_DATA), api().CmUnregisterNotification(Hear<1>, cls_.w())) << "no mapping: 13";
    SimInterfaces_FailCall(SIM_CM_UNREGISTER, CR_FAILURE, 1);
    api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#kept");
    EXPECT_EQ(1u, Ear::Get().Of(1).size()) << "the entry stays after each failure";
    EXPECT_EQ(1u, SimInterfaces_CmRegistrationCount(&cls_.guid));

    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    Ear::Get().Clear();
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#gone");
    EXPECT_TRUE(Ear::Get().All().empty());
}

TEST_F(Delivery, AFailingRegistrationAddsAndReportsNothing) {
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#present");
    SimInterfaces_FailCall(SIM_CM_REGISTER, CR_OUT_OF_MEMORY, 1);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY), api().CmRegisterNotification(Hear<1>, cls_.w()));
    SimInterfaces_FailCall(SIM_CM_REGISTER, CR_FAILURE, 1);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_DATA), api().CmRegisterNotification(Hear<1>, cls_.w()));
    EXPECT_TRUE(Ear::Get().All().empty());
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#x");
    EXPECT_TRUE(Ear::Get().All().empty());
    SimWorld_ClearCalls();
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    EXPECT_TRUE(CallsNamed("CM_Unregister_Notification").empty());
}

}  // namespace
