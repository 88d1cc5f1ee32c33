// Discovery: the present interfaces reported at registration, by both mechanisms, and the
// rejection of bad arguments.
#include <functional>

#include "notification_host.h"

namespace {

using Discovery = NotificationTest;

TEST_F(Discovery, ConfigurationManagerReportsEachPresentInterfaceToTheNewCallbackBeforeItReturns) {
    std::string longPath = "\\\\?\\sim#long#" + std::string(300, 'x');
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#one");
    SimInterfaces_Add(&other_.guid, "\\\\?\\sim#other-class");
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#two");
    SimInterfaces_Add(&cls_.guid, longPath.c_str());
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<2>, cls_.w()));
    ASSERT_EQ(3u, Ear::Get().Of(2).size()) << "an earlier entry hears its own reports";
    Ear::Get().Clear();

    StdoutCapture out;
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    std::vector<Heard> heard = Ear::Get().All();   // as the call returned
    ASSERT_EQ(3u, heard.size()) << "only the registering callback hears the reports";
    const char* expected[] = {"\\\\?\\sim#one", "\\\\?\\sim#two", longPath.c_str()};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(1, heard[i].who);
        EXPECT_EQ(LWU_DEVICE_ARRIVAL, heard[i].action);
        EXPECT_TRUE(SamePath(expected[i], heard[i].path)) << "paths from the enumeration come whole";
        EXPECT_EQ(GetCurrentThreadId(), heard[i].thread) << "reports run on the registering thread";
    }
    EXPECT_EQ("", out.Text());
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<2>, cls_.w()));
}

TEST_F(Discovery, WindowMechanismReportsOnTheRegisteringThreadBeforeItsLoop) {
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#one");
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#two");
    StdoutCapture out;
    WindowRegistration registration(api(), Hear<1>, cls_);
    std::vector<Heard> heard = Ear::Get().All();
    ASSERT_EQ(2u, heard.size());
    EXPECT_TRUE(SamePath("\\\\?\\sim#one", heard[0].path));
    EXPECT_TRUE(SamePath("\\\\?\\sim#two", heard[1].path));
    for (const Heard& h : heard) {
        EXPECT_EQ(registration.thread(), h.thread);
        EXPECT_EQ(LWU_DEVICE_ARRIVAL, h.action);
    }
    EXPECT_FALSE(registration.returned()) << "the call runs its message loop";
    EXPECT_EQ("Registered for USB device notification...\n", out.Text());
    api().UnregisterForDeviceNotification(Hear<1>, cls_.w());
    EXPECT_TRUE(registration.Quit());
}

TEST_F(Discovery, AClassWithNothingPresentReportsNothing) {
    SimInterfaces_Add(&other_.guid, "\\\\?\\sim#other-class");
    EXPECT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    WindowRegistration registration(api(), Hear<2>, cls_);
    EXPECT_TRUE(Ear::Get().All().empty());
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    api().UnregisterForDeviceNotification(Hear<2>, cls_.w());
}

TEST_F(Discovery, NoDeviceInformationSetWritesItsMessageAndTheRegistrationStands) {
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#one");
    SimInterfaces_FailCall(SIM_IF_GET_CLASS_DEVS, ERROR_INVALID_PARAMETER, 1);
    {
        StdoutCapture out;
        EXPECT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
        EXPECT_EQ("Failed getting device information\n", out.Text());
    }
    EXPECT_TRUE(Ear::Get().All().empty());
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#later");
    Settle();
    ASSERT_EQ(1u, Ear::Get().Of(1).size());
    EXPECT_TRUE(SamePath("\\\\?\\sim#later", Ear::Get().Of(1)[0].path));
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
}

TEST_F(Discovery, AnInterfaceWhoseDetailFailsIsSkippedAndTheOthersReported) {
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#size-zero");
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#detail-fails");
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#fine");
    SimInterfaces_FailCall(SIM_IF_DETAIL_SIZE, 0, 1);                 // first: required size 0
    SimInterfaces_FailCall(SIM_IF_DETAIL, ERROR_GEN_FAILURE, 1);      // second: the filling call fails
    uint32_t setsBefore = SimInterfaces_EnumerationCount(&cls_.guid);
    EXPECT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    std::vector<Heard> heard = Ear::Get().All();
    ASSERT_EQ(1u, heard.size());
    EXPECT_TRUE(SamePath("\\\\?\\sim#fine", heard[0].path));
    EXPECT_EQ(setsBefore + 1, SimInterfaces_EnumerationCount(&cls_.guid)) << "the set is destroyed";
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
}

// The enumeration behind the present-interface reports, each of its calls failing once.
TEST_F(Discovery, ReportsCarryOnPastEachFailingCall) {
    HMODULE lib = Library().module();
    struct Row {
        const char* what;
        std::function<void()> register_;   // fails the call while the registration reports
        std::vector<std::string> reported;
        uint32_t setsDestroyed;
    };
    const std::string one = "\\\\?\\sim#one", two = "\\\\?\\sim#two", three = "\\\\?\\sim#three";
    auto registerOnce = [&](auto& fault) {
        EXPECT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
        EXPECT_EQ(1, fault.failed());
    };
    const Row rows[] = {
        {"LocalAlloc fails for the second interface: it is skipped",
         [&] {
             auto fault = FAIL_IMPORT(lib, LocalAlloc, HLOCAL{}, ERROR_NOT_ENOUGH_MEMORY, 1, 1);
             registerOnce(fault);
         },
         {one, three}, 1},
        {"SetupDiEnumDeviceInterfaces fails: the walk ends",
         [&] {
             SimInterfaces_FailCall(SIM_IF_ENUM_INTERFACES, ERROR_NOT_ENOUGH_MEMORY, 1);
             EXPECT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
         },
         {}, 1},
        {"SetupDiDestroyDeviceInfoList fails: the reports stand",
         [&] {
             SimInterfaces_FailCall(SIM_IF_DESTROY_LIST, ERROR_INVALID_HANDLE, 1);
             EXPECT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
         },
         {one, two, three}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        InterfaceClass cls = InterfaceClass::Fresh();
        cls_ = cls;
        for (const std::string& path : {one, two, three}) SimInterfaces_Add(&cls_.guid, path.c_str());
        Ear::Get().Clear();
        uint32_t setsBefore = SimInterfaces_EnumerationCount(&cls_.guid);
        row.register_();
        std::vector<std::string> heard;
        for (const Heard& h : Ear::Get().Of(1)) heard.push_back(h.path);
        EXPECT_EQ(row.reported, heard);
        EXPECT_EQ(setsBefore + row.setsDestroyed, SimInterfaces_EnumerationCount(&cls_.guid));
        SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#later");
        Settle();
        EXPECT_TRUE(SamePath("\\\\?\\sim#later", Ear::Get().Of(1).back().path)) << "the registration stands";
        EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
    }
}

// CLSIDFromString refusing a class text, at each export that parses one.
TEST_F(Discovery, AClassTextTheSystemCannotParseRegistersAndReleasesNothing) {
    HMODULE lib = Library().module();
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<2>, cls_.w()));
    SimWorld_ClearCalls();
    {
        auto fault = FAIL_IMPORT(lib, CLSIDFromString, HRESULT{CO_E_CLASSSTRING}, 0, -1);
        EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), api().CmRegisterNotification(Hear<1>, cls_.w()));
        {
            StdoutCapture out;
            api().RegisterForDeviceNotification(Hear<1>, cls_.w());   // returns at once on this thread
            EXPECT_EQ("Could not register for device notifications! \n", out.Text());
        }
        EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), api().CmUnregisterNotification(Hear<2>, cls_.w()));
        api().UnregisterForDeviceNotification(Hear<2>, cls_.w());
        EXPECT_EQ(4, fault.failed());
    }
    EXPECT_EQ(0u, SimWorld_CallCount()) << "the system was asked nothing";
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#sent");
    EXPECT_EQ((std::vector<int>{2}), Ear::Get().Callers()) << "no entry made, none released";
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<2>, cls_.w()));
}

TEST_F(Discovery, BadClassTextOrNullCallbackRegistersNothing) {
    SimInterfaces_Add(&cls_.guid, "\\\\?\\sim#present");
    uint32_t registrationsBefore = SimInterfaces_CmRegistrationCount(nullptr);
    const wchar_t* badTexts[] = {L"not-a-guid", L"{8F0A6C3E-5B1D-4C2A-9E7F}", L"", nullptr};
    for (const wchar_t* text : badTexts) {
        EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), api().CmRegisterNotification(Hear<1>, text));
    }
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), api().CmRegisterNotification(nullptr, cls_.w()));
    EXPECT_EQ(registrationsBefore, SimInterfaces_CmRegistrationCount(nullptr)) << "the system was not asked";

    for (const wchar_t* text : badTexts) {
        StdoutCapture out;
        api().RegisterForDeviceNotification(Hear<2>, text);   // returns at once on this thread: no message loop
        EXPECT_EQ("Could not register for device notifications! \n", out.Text());
    }
    {
        StdoutCapture out;
        api().RegisterForDeviceNotification(nullptr, cls_.w());
        EXPECT_EQ("Could not register for device notifications! \n", out.Text());
    }
    EXPECT_EQ(0, Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#sent"));
    EXPECT_TRUE(Ear::Get().All().empty()) << "no entry was made, no report given";
}

TEST_F(Discovery, UnregisteringWithBadArgumentsChangesNothing) {
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, cls_.w()));
    api().UnregisterForDeviceNotification(Hear<1>, L"not-a-guid");
    api().UnregisterForDeviceNotification(nullptr, cls_.w());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), api().CmUnregisterNotification(Hear<1>, L"not-a-guid"));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), api().CmUnregisterNotification(nullptr, cls_.w()));
    EXPECT_EQ(1u, SimInterfaces_CmRegistrationCount(&cls_.guid));
    Send(DBT_DEVICEARRIVAL, cls_.guid, "\\\\?\\sim#sent");
    EXPECT_EQ(1u, Ear::Get().Of(1).size());
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, cls_.w()));
}

TEST_F(Discovery, ADeviceOfTheWorldArrivesWithAPathThatOpens) {
    SimUsbDeviceConfig config;
    SimWorld_DefaultConfig(&config);
    char present[512];
    int first = SimWorld_AddDevice(&config, present, sizeof present);
    ASSERT_EQ(0u, api().CmRegisterNotification(Hear<1>, SIM_DEVICE_CLASS_TEXT));
    ASSERT_EQ(1u, Ear::Get().Of(1).size());
    EXPECT_TRUE(SamePath(present, Ear::Get().Of(1)[0].path));

    char arrived[512];
    int second = SimWorld_AddDevice(&config, arrived, sizeof arrived);
    Settle();
    ASSERT_EQ(2u, Ear::Get().Of(1).size());
    Heard arrival = Ear::Get().Of(1)[1];
    EXPECT_EQ(LWU_DEVICE_ARRIVAL, arrival.action);
    EXPECT_TRUE(SamePath(arrived, arrival.path));
    DeviceSession session{};
    EXPECT_EQ(0u, api().OpenDevice(&session, arrival.path.c_str()));
    api().CloseDevice(&session);

    SimWorld_RemoveDevice(second);
    Settle();
    ASSERT_EQ(3u, Ear::Get().Of(1).size());
    EXPECT_EQ(LWU_DEVICE_REMOVAL, Ear::Get().Of(1)[2].action);
    EXPECT_TRUE(SamePath(arrived, Ear::Get().Of(1)[2].path));
    EXPECT_EQ(0u, api().CmUnregisterNotification(Hear<1>, SIM_DEVICE_CLASS_TEXT));
    SimWorld_RemoveDevice(first);
}

}  // namespace
