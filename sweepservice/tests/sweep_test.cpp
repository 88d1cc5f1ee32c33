// The sweep through CDevNodeService as the SCM drives it, against the simulated device tree.
#include "service_host.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "host_library.h"
#include "program.h"

namespace {

class Sweep : public ServiceHost {
protected:
    // First sweep soon, then hourly: the period never comes round within a test.
    CDevNodeService service_{L"VarkoDevNodeService", 50, 3600000, 250};
};

TEST_F(Sweep, RemovesEachPatternInBothClassesDisksFirst) {
    const std::wstring vol1 = L"STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_VARKO&PROD_KDX510&REV_2.0#7&1#{53F56307}";
    const std::wstring disk1 = L"USBSTOR\\DISK&VEN_VARKO&PROD_CONSOLE_UNIT&REV_1.00\\0001";
    const std::wstring disk2 = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\0002";
    const std::wstring disk3 = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX510&REV_1.00\\0003";
    // Added volume first: the class order of the sweep decides, not the order in the tree.
    SimDevNodes_AddNode(&kVolumes, vol1.c_str(), SIM_NODE_PHANTOM_NO_VALUE);
    SimDevNodes_AddNode(&kDiskDrives, disk1.c_str(), SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kDiskDrives, disk2.c_str(), SIM_NODE_PHANTOM_NO_VALUE);
    SimDevNodes_AddNode(&kDiskDrives, disk3.c_str(), SIM_NODE_PHANTOM);
    Start(service_);
    ASSERT_TRUE(WaitForSweeps(2));
    Control(SERVICE_CONTROL_STOP);

    EXPECT_EQ((Texts{kStartText, RemovalText(disk1), RemovalText(disk2), RemovalText(disk3), RemovalText(vol1), kStopText}),
              Rec().Messages());
    EXPECT_EQ((Texts{disk1, disk2, disk3, vol1}), RemovedNodes());
    EXPECT_EQ(0u, SimDevNodes_NodeCount());
    for (const auto& e : Rec().events) {
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, e.type);
        ASSERT_EQ(2u, e.strings.size());
        EXPECT_EQ(L"VarkoDevNodeService", e.strings[0]);
    }
    // Listed with flags 0 (phantoms included), no enumerator, disks then volumes; the ID read
    // into a buffer of 200 characters.
    std::vector<uint64_t> listed;
    for (uint32_t i = 0; i < SimWorld_CallCount(); ++i) {
        SimCall c;
        SimWorld_GetCall(i, &c);
        std::string f = c.function;
        if (f == "SetupDiGetClassDevsW") {
            listed.push_back(c.args[0]);
            EXPECT_EQ(0u, c.args[1]);
            EXPECT_EQ(0u, c.args[3]);
        }
        if (f == "CM_Get_Device_IDW") {
            EXPECT_EQ(200u, c.args[2]);
        }
        if (f == "SetupDiCallClassInstaller") {
            EXPECT_EQ(5u, c.args[0]) << "DIF_REMOVE";
        }
    }
    EXPECT_EQ((std::vector<uint64_t>{0x4D36E967, 0x71A27CDD}), listed);
}

TEST_F(Sweep, LeavesPresentForeignLowerCaseAndOtherStatesAlone) {
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\PRESENT", SIM_NODE_PRESENT);
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_OTHER&PROD_KDX310&REV_1.00\\1", SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX999&REV_1.00\\2", SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&ven_varko&prod_kdx310&REV_1.00\\3", SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kVolumes, L"STORAGE\\VOLUME\\&VEN_VARKO&PROD_KDX510\\4", 0x13 /* CR_FAILURE */);
    SimDevNodes_AddNode(&kVolumes, L"STORAGE\\VOLUME\\&VEN_VARKO&PROD_KDX510\\5", 0x05 /* CR_INVALID_DEVNODE */);
    Start(service_);
    ASSERT_TRUE(WaitForSweeps(2));
    Control(SERVICE_CONTROL_STOP);
    EXPECT_EQ((Texts{kStartText, kStopText}), Rec().Messages());
    EXPECT_EQ(6u, SimDevNodes_NodeCount());
}

TEST_F(Sweep, FailedRemovalIsReportedAndTheWalkGoesOn) {
    const std::wstring a = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\A";
    const std::wstring b = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\B";
    const std::wstring c = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX510&REV_1.00\\C";
    uint32_t nodeA = SimDevNodes_AddNode(&kDiskDrives, a.c_str(), SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kDiskDrives, b.c_str(), SIM_NODE_PHANTOM);
    uint32_t nodeC = SimDevNodes_AddNode(&kDiskDrives, c.c_str(), SIM_NODE_PHANTOM);
    SimDevNodes_FailRemoval(nodeA, ERROR_ACCESS_DENIED);
    SimDevNodes_FailRemoval(nodeC, 0xE000020B);   // ERROR_NO_SUCH_DEVINST
    Start(service_);
    ASSERT_TRUE(WaitForSweeps(2));
    Control(SERVICE_CONTROL_STOP);
    EXPECT_EQ((Texts{kStartText, RemovalText(a), L"NodeSweepService: Error 0x5 removing phantom.", RemovalText(b), RemovalText(c),
                     L"NodeSweepService: Error 0xe000020b removing phantom.", kStopText}),
              Rec().Messages());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, Rec().events.at(2).type);
    EXPECT_EQ((Texts{b}), RemovedNodes());
    EXPECT_TRUE(SimDevNodes_InTree(nodeA));
}

TEST_F(Sweep, UnreadableIdsAndUnlistableClassesAreSkippedSilently) {
    const std::wstring vol = L"STORAGE\\VOLUME\\&VEN_VARKO&PROD_KDX310\\1";
    uint32_t unreadable = SimDevNodes_AddNode(&kVolumes, L"STORAGE\\VOLUME\\&VEN_VARKO&PROD_KDX510\\0", SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kVolumes, vol.c_str(), SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\2", SIM_NODE_PHANTOM);
    SimDevNodes_FailDeviceId(unreadable, 0x1A /* CR_BUFFER_SMALL */);
    SimDevNodes_FailClassList(&kDiskDrives, ERROR_ACCESS_DENIED);
    Start(service_);
    ASSERT_TRUE(WaitForSweeps(1));
    Control(SERVICE_CONTROL_STOP);
    EXPECT_EQ((Texts{kStartText, RemovalText(vol), kStopText}), Rec().Messages());
    EXPECT_EQ((Texts{vol}), RemovedNodes());
}

TEST_F(Sweep, ADevicePluggedBackInBeforeItsRemovalStays) {
    // Plugged in again between the sweep's status check and its removal: removing a present
    // mass-storage device could lose its data.
    const std::wstring back = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\BACK";
    const std::wstring gone = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX510&REV_1.00\\GONE";
    uint32_t backNode = SimDevNodes_AddNode(&kDiskDrives, back.c_str(), SIM_NODE_PHANTOM);
    SimDevNodes_AddNode(&kDiskDrives, gone.c_str(), SIM_NODE_PHANTOM);
    Rec().onEvent = [&](const std::wstring& message) {
        if (message == RemovalText(back)) SimDevNodes_SetStatus(backNode, SIM_NODE_PRESENT);
    };
    Start(service_);
    ASSERT_TRUE(WaitForSweeps(2));
    Control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(SimDevNodes_InTree(backNode)) << "the device present again was removed";
    EXPECT_EQ((Texts{gone}), RemovedNodes());
    EXPECT_EQ((Texts{kStartText, RemovalText(back), RemovalText(gone), kStopText}), Rec().Messages());
}

// The SCM's part for the program's own entry: the service starts on a thread of its own, the
// first sweep is held at its start, and the stop comes on the dispatcher's thread meanwhile.
BOOL WINAPI DispatchOneStopDuringTheFirstSweep(const SERVICE_TABLE_ENTRYW* table) {
    std::wstring name = table[0].lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW entry = table[0].lpServiceProc;
    EXPECT_EQ(L"VarkoDevNodeService", name);
    EXPECT_EQ(nullptr, table[1].lpServiceName);
    EXPECT_EQ(nullptr, table[1].lpServiceProc);
    std::thread start([&] {
        std::vector<wchar_t> argument(name.begin(), name.end());
        argument.push_back(L'\0');
        LPWSTR argv[] = {argument.data()};
        entry(1, argv);
    });
    start.join();
    if (!SimDevNodes_WaitForHeldListing(5000)) {
        ADD_FAILURE() << "no sweep";
        SimDevNodes_HoldListing(0);
    }
    // Let the sweep go on once the stop has waited one step for it.
    DWORD dispatcher = GetCurrentThreadId();
    std::thread release([dispatcher] {
        Rec().WaitFor(
            [dispatcher] {
                return std::any_of(Rec().sleeps.begin(), Rec().sleeps.end(),
                                   [dispatcher](const SleepRecord& s) { return s.thread == dispatcher; });
            },
            10000);
        SimDevNodes_HoldListing(0);
    });
    LPHANDLER_FUNCTION handler;
    {
        std::lock_guard<std::mutex> hold(Rec().mutex);
        handler = Rec().handler;
    }
    if (handler) handler(SERVICE_CONTROL_STOP);
    release.join();
    return TRUE;
}

TEST_F(Sweep, TheProgramSweepsFiveMinutesAfterItsStartThenHourlyAndStopsInQuarterSecondSteps) {
    // The program's own entry with its own constants; only the timer's due time is the test's.
    ImportPatch dispatcher("StartServiceCtrlDispatcherW", reinterpret_cast<void*>(&DispatchOneStopDuringTheFirstSweep));
    Rec().timerDueOverride = 0;
    const std::wstring id = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\HELD";
    SimDevNodes_AddNode(&kDiskDrives, id.c_str(), SIM_NODE_PHANTOM);
    SimDevNodes_HoldListing(1);
    wchar_t program[] = L"VarkoNodeSweepService.exe";
    wchar_t* argv[] = {program, nullptr};
    int exitCode = -2;
    std::string output;
    {
        StdoutCapture capture;
        exitCode = RunProgram(1, argv);
        output = capture.Text();
    }
    SimDevNodes_HoldListing(0);
    EXPECT_EQ(0, exitCode);
    EXPECT_EQ(0u, output.find("Parameters:\n")) << output;
    ASSERT_EQ(1u, Rec().timersCreated.size());
    EXPECT_EQ(300000u, Rec().timersCreated[0].dueTime) << "the first sweep 5 minutes after the start";
    EXPECT_EQ(3600000u, Rec().timersCreated[0].period) << "then every hour";
    EXPECT_EQ(static_cast<ULONG>(WT_EXECUTEDEFAULT), Rec().timersCreated[0].flags);
    EXPECT_EQ(nullptr, Rec().timersCreated[0].queue);
    std::vector<DWORD> steps;
    for (const auto& s : Rec().sleeps) {
        if (s.thread == GetCurrentThreadId()) steps.push_back(s.milliseconds);
    }
    ASSERT_FALSE(steps.empty()) << "the stop did not wait for the sweep";
    for (DWORD ms : steps) EXPECT_EQ(250u, ms) << "the stop waits for a sweep in steps of 250 ms";
    EXPECT_EQ((Texts{kStartText, kStopText, RemovalText(id)}), Rec().Messages());
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}), States());
}

TEST_F(Sweep, LaterSweepsFollowThePeriodAndFindAFailedNodeAgain) {
    CDevNodeService fast(L"VarkoDevNodeService", 30, 150, 250);
    uint32_t node = SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\X", SIM_NODE_PHANTOM);
    SimDevNodes_FailRemoval(node, ERROR_ACCESS_DENIED);
    Start(fast);
    ASSERT_TRUE(WaitForSweeps(6));   // three sweeps of two classes
    SimDevNodes_FailRemoval(node, 0);
    ASSERT_TRUE(Rec().WaitFor([] { return SimDevNodes_RemovedCount() == 1; }));
    Control(SERVICE_CONTROL_STOP);
    auto texts = Rec().Messages();
    EXPECT_GE(std::count(texts.begin(), texts.end(), L"NodeSweepService: Error 0x5 removing phantom."), 3);
    ASSERT_EQ(1u, Rec().timersCreated.size());
    EXPECT_EQ(30u, Rec().timersCreated[0].dueTime);
    EXPECT_EQ(150u, Rec().timersCreated[0].period);
    EXPECT_EQ(static_cast<ULONG>(WT_EXECUTEDEFAULT), Rec().timersCreated[0].flags);
    EXPECT_EQ(nullptr, Rec().timersCreated[0].queue);
}

TEST_F(Sweep, StatusReportsAndCheckPointsOfAStartAndAStop) {
    Start(service_);
    Control(SERVICE_CONTROL_INTERROGATE);   // ignored: no report
    Control(SERVICE_CONTROL_STOP);
    auto reports = Rec().Statuses();
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}), States());
    EXPECT_NE(0u, reports[0].status.dwCheckPoint);
    EXPECT_EQ(0u, reports[1].status.dwCheckPoint);
    EXPECT_EQ(reports[0].status.dwCheckPoint + 1, reports[2].status.dwCheckPoint);
    EXPECT_EQ(0u, reports[3].status.dwCheckPoint);
    for (const auto& r : reports) {
        EXPECT_EQ(reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<uintptr_t>(0x5EC0)), r.handle);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), r.status.dwServiceType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), r.status.dwControlsAccepted);
        EXPECT_EQ(0u, r.status.dwWaitHint);
        EXPECT_EQ(0u, r.status.dwWin32ExitCode);
    }
    EXPECT_EQ(L"VarkoDevNodeService", Rec().handlerName);
}

TEST_F(Sweep, StopDuringASweepWaitsInQuarterSecondStepsUntilItEnds) {
    const std::wstring id = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\HELD";
    SimDevNodes_AddNode(&kDiskDrives, id.c_str(), SIM_NODE_PHANTOM);
    SimDevNodes_HoldListing(1);
    Start(service_);
    ASSERT_TRUE(SimDevNodes_WaitForHeldListing(5000));
    DWORD dispatcher = 0;
    std::thread stop([&] {
        dispatcher = GetCurrentThreadId();
        Control(SERVICE_CONTROL_STOP);
    });
    // The stop event is written at once; the SCM sees the pending stop, not yet the stopped state.
    EXPECT_TRUE(Rec().WaitFor([] { return !Rec().events.empty() && Rec().events.back().message() == kStopText; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING}), States());
    SimDevNodes_HoldListing(0);
    stop.join();
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}), States());
    // The sweep that was under way finished its work before the SCM heard of the stop.
    EXPECT_EQ((Texts{kStartText, kStopText, RemovalText(id)}), Rec().Messages());
    EXPECT_LT(Rec().events.back().sequence, Rec().statuses.back().sequence);
    std::vector<DWORD> steps;
    for (const auto& s : Rec().sleeps) {
        if (s.thread == dispatcher && s.milliseconds != 0) steps.push_back(s.milliseconds);
    }
    EXPECT_GE(steps.size(), 3u);
    for (DWORD ms : steps) EXPECT_EQ(250u, ms);
    ASSERT_EQ(1u, Rec().deletionEvents.size());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Rec().deletionEvents[0]) << "the deletion waits for a running callback";
}

TEST_F(Sweep, StopBeforeTheFirstSweepDeletesTheTimerAndNoSweepRuns) {
    CDevNodeService later(L"VarkoDevNodeService", 300, 3600000, 250);
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\1", SIM_NODE_PHANTOM);
    Start(later);
    Control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(Rec().sleeps.empty()) << "a stop without a sweep does not wait";
    EXPECT_EQ(1u, Rec().deletionEvents.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(0u, SimDevNodes_ListingCount());
    EXPECT_EQ((Texts{kStartText, kStopText}), Rec().Messages());
    EXPECT_EQ(SERVICE_STOPPED, States().back());
}

TEST_F(Sweep, FailedTimerCreationLeavesARunningServiceThatNeverSweeps) {
    Rec().createTimerError = ERROR_NOT_ENOUGH_MEMORY;
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\1", SIM_NODE_PHANTOM);
    Start(service_);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}), States());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Control(SERVICE_CONTROL_STOP);
    EXPECT_EQ((Texts{kStartText, L"NodeSweepService: Error 0x8 on creating timer queue timer.", kStopText}),
              Rec().Messages());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, Rec().events.at(1).type);
    EXPECT_TRUE(Rec().deletionEvents.empty()) << "no timer, nothing deleted";
    EXPECT_EQ(0u, SimDevNodes_ListingCount());
    EXPECT_EQ(SERVICE_STOPPED, States().back());
}

TEST_F(Sweep, FailedTimerDeletionIsReportedAndTheStopGoesOn) {
    CDevNodeService later(L"VarkoDevNodeService", 400, 3600000, 250);
    Start(later);
    Rec().deleteTimerError = ERROR_INVALID_HANDLE;
    Control(SERVICE_CONTROL_STOP);
    EXPECT_EQ((Texts{kStartText, kStopText, L"NodeSweepService: Error 0x6 on deleting timer queue."}), Rec().Messages());
    EXPECT_EQ(SERVICE_STOPPED, States().back());
}

TEST_F(Sweep, ShutdownReportsStoppedAtOnceAndDestructionDisarmsTheTimer) {
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\1", SIM_NODE_PHANTOM);
    {
        CDevNodeService later(L"VarkoDevNodeService", 300, 3600000, 250);
        Start(later);
        Control(SERVICE_CONTROL_SHUTDOWN);
        EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}), States());
        EXPECT_EQ((Texts{kStartText}), Rec().Messages()) << "no stop event on shutdown";
    }
    // The object is gone before its first sweep was due; the timer went with it.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(0u, SimDevNodes_ListingCount());
}

TEST_F(Sweep, DestructionWaitsForARunningSweep) {
    SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310\\1", SIM_NODE_PHANTOM);
    SimDevNodes_HoldListing(1);
    auto doomed = std::make_unique<CDevNodeService>(L"VarkoDevNodeService", 30, 3600000, 250);
    Start(*doomed);
    ASSERT_TRUE(SimDevNodes_WaitForHeldListing(5000));
    Control(SERVICE_CONTROL_SHUTDOWN);
    std::atomic<bool> destroyed{false};
    std::thread end([&] {
        doomed.reset();
        destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(destroyed) << "the object went while its callback was still sweeping";
    SimDevNodes_HoldListing(0);
    end.join();
    EXPECT_EQ(1u, SimDevNodes_RemovedCount());
}

}  // namespace
