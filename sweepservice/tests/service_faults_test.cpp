// The platform calls of the running service failing, one row per call, through the test program's
// import table (the service classes are linked into it), against the simulated device tree; and
// the program path of the install command at every length a path can have.
#include "service_host.h"

#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host_library.h"
#include "program.h"

namespace {

const std::wstring kDiskA = L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\A";
const std::wstring kDiskB = L"USBSTOR\\DISK&VEN_VARKO&PROD_CONSOLE_UNIT&REV_1.00\\B";
const std::wstring kVolume = L"STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_VARKO&PROD_KDX510#V";

struct Nodes {
    uint32_t a, b, volume;
};

// The module whose import table the faults change: the test program, which holds the service.
HMODULE Program() { return GetModuleHandleW(nullptr); }

// A fault in place: what its action shares, the fault, how often it struck, and (for a stop that
// no longer sleeps) how the story learns that the stop waits for the sweep.
struct Armed {
    std::shared_ptr<void> shared;   // destroyed after the fault, whose action uses it
    HeldFault fault;
    std::function<int()> hits;
    std::function<bool()> stopWaits;
};

Armed Holding(HeldFault fault) {
    Armed armed;
    armed.hits = [fault] { return fault.failed(); };
    armed.fault = std::move(fault);
    return armed;
}
#define ARM(function, ...) Holding(FAIL_IMPORT(Program(), function, __VA_ARGS__))

// SetupDiDestroyDeviceInfoList fails and the sets stay; the row releases them afterwards, once
// the fault is gone.
Armed SetsStay(const Nodes&) {
    struct Kept {
        std::mutex lock;
        std::vector<HDEVINFO> sets;
        ~Kept() {
            for (HDEVINFO set : sets) SetupDiDestroyDeviceInfoList(set);
        }
    };
    auto kept = std::make_shared<Kept>();
    Armed armed = Holding(REPLACE_IMPORT(
        Program(), SetupDiDestroyDeviceInfoList,
        [kept](auto, HDEVINFO set) {
            std::lock_guard<std::mutex> hold(kept->lock);
            kept->sets.push_back(set);
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        },
        -1));
    armed.shared = kept;
    return armed;
}

// Sleep left out: the stop polls for the sweep without pausing.
Armed NoSleep(const Nodes&) {
    auto pauses = std::make_shared<std::atomic<int>>(0);
    Armed armed;
    armed.fault = REPLACE_IMPORT(
        Program(), Sleep,
        [pauses](auto, DWORD milliseconds) {
            // Sleep(0) is the runtime's own yield, not a wait of the service.
            if (milliseconds == 0) {
                SwitchToThread();
                return;
            }
            ++*pauses;
            std::lock_guard<std::mutex> hold(Rec().mutex);
            Rec().changed.notify_all();
        },
        -1);
    armed.hits = [pauses] { return pauses->load(); };
    armed.stopWaits = [pauses] { return pauses->load() > 0; };
    armed.shared = pauses;
    return armed;
}

struct Outcome {
    Texts messages;
    Texts removed;
    std::vector<DWORD> states;
    bool reached = false;
    bool operator==(const Outcome& o) const {
        return messages == o.messages && removed == o.removed && states == o.states && reached == o.reached;
    }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    os << "{messages";
    for (const auto& m : o.messages) os << " [" << std::string(m.begin(), m.end()) << "]";
    os << ", removed";
    for (const auto& r : o.removed) os << " [" << std::string(r.begin(), r.end()) << "]";
    os << ", states";
    for (DWORD s : o.states) os << " " << s;
    return os << ", reached " << o.reached << "}";
}

struct Row {
    const char* call;
    std::function<Armed(const Nodes&)> arm;
    Outcome expected;
};

const std::vector<DWORD> kReported = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED};

Outcome Sweeps(Texts messages, Texts removed, std::vector<DWORD> states = kReported) {
    return Outcome{std::move(messages), std::move(removed), std::move(states), true};
}

class ServiceFaults : public ServiceHost {
protected:
    // The service starts; its first sweep is held at its start while a stop arrives, which waits
    // for the sweep; then the sweep goes on and the stop ends.
    Outcome Run(const Row& row) {
        Rec().Clear();
        SimDevNodes_Reset();
        SimWorld_ClearCalls();
        Nodes nodes{SimDevNodes_AddNode(&kDiskDrives, kDiskA.c_str(), SIM_NODE_PHANTOM),
                    SimDevNodes_AddNode(&kDiskDrives, kDiskB.c_str(), SIM_NODE_PHANTOM_NO_VALUE),
                    SimDevNodes_AddNode(&kVolumes, kVolume.c_str(), SIM_NODE_PHANTOM)};
        SimDevNodes_HoldListing(1);
        Outcome o;
        {
            CDevNodeService service(L"VarkoDevNodeService", 30, 3600000, 250);
            Armed armed = row.arm(nodes);
            Start(service);
            if (!SimDevNodes_WaitForHeldListing(5000)) ADD_FAILURE() << "no sweep";
            std::atomic<DWORD> stopper{0};
            std::thread stop([&] {
                stopper = GetCurrentThreadId();
                Control(SERVICE_CONTROL_STOP);
            });
            bool waits = Rec().WaitFor(
                [&] {
                    if (armed.stopWaits) return armed.stopWaits();
                    return std::any_of(Rec().sleeps.begin(), Rec().sleeps.end(),
                                       [&](const SleepRecord& s) { return s.thread == stopper; });
                },
                10000);
            EXPECT_TRUE(waits) << "the stop did not wait for the sweep";
            SimDevNodes_HoldListing(0);
            stop.join();
            o.messages = Rec().Messages();
            o.removed = RemovedNodes();
            o.states = States();
            o.reached = armed.hits() > 0;
        }
        return o;
    }
};

TEST_F(ServiceFaults, EveryPlatformCallOfTheRunningServiceFailing) {
    const Texts all = {kDiskA, kDiskB, kVolume};
    const Row rows[] = {
        // Results the service does not look at: it carries on.
        {"SetServiceStatus", [](const Nodes&) { return ARM(SetServiceStatus, FALSE, ERROR_INVALID_HANDLE, -1); },
         Sweeps({kStartText, kStopText, RemovalText(kDiskA), RemovalText(kDiskB), RemovalText(kVolume)}, all, {})},
        {"ReportEventW", [](const Nodes&) { return ARM(ReportEventW, FALSE, ERROR_LOG_FILE_FULL, -1); },
         Sweeps({}, all)},
        {"DeregisterEventSource", [](const Nodes&) { return ARM(DeregisterEventSource, FALSE, ERROR_INVALID_HANDLE, -1); },
         Sweeps({kStartText, kStopText, RemovalText(kDiskA), RemovalText(kDiskB), RemovalText(kVolume)}, all)},
        {"SetupDiDestroyDeviceInfoList", &SetsStay,
         Sweeps({kStartText, kStopText, RemovalText(kDiskA), RemovalText(kDiskB), RemovalText(kVolume)}, all)},
        // The stop polls for the running sweep without pausing, and still waits for its end.
        {"Sleep (left out)", &NoSleep, Sweeps({kStartText, kStopText, RemovalText(kDiskA), RemovalText(kDiskB), RemovalText(kVolume)}, all)},
        // No event source: the work goes on without events.
        {"RegisterEventSourceW", [](const Nodes&) { return ARM(RegisterEventSourceW, HANDLE{}, ERROR_ACCESS_DENIED, -1); },
         Sweeps({}, all)},
        // The disk drives cannot be listed: the volumes are swept all the same.
        {"SetupDiGetClassDevsW",
         [](const Nodes&) { return ARM(SetupDiGetClassDevsW, HDEVINFO(INVALID_HANDLE_VALUE), ERROR_ACCESS_DENIED); },
         Sweeps({kStartText, kStopText, RemovalText(kVolume)}, {kVolume})},
        // The walk of the disk drives ends at the failure; the volumes follow.
        {"SetupDiEnumDeviceInfo", [](const Nodes&) { return ARM(SetupDiEnumDeviceInfo, FALSE, ERROR_NOT_ENOUGH_MEMORY, 1, 1); },
         Sweeps({kStartText, kStopText, RemovalText(kDiskA), RemovalText(kVolume)}, {kDiskA, kVolume})},
        // A status that is not a phantom's leaves the node alone, at the first check and at the last.
        {"CM_Get_DevNode_Status", [](const Nodes&) { return ARM(CM_Get_DevNode_Status, CONFIGRET{CR_FAILURE}, 0); },
         Sweeps({kStartText, kStopText, RemovalText(kDiskB), RemovalText(kVolume)}, {kDiskB, kVolume})},
        {"CM_Get_DevNode_Status, just before the removal",
         [](const Nodes&) { return ARM(CM_Get_DevNode_Status, CONFIGRET{CR_FAILURE}, 0, 1, 1); },
         Sweeps({kStartText, kStopText, RemovalText(kDiskA), RemovalText(kDiskB), RemovalText(kVolume)}, {kDiskB, kVolume})},
        {"CM_Get_Device_IDW", [](const Nodes&) { return ARM(CM_Get_Device_IDW, CONFIGRET{CR_OUT_OF_MEMORY}, 0); },
         Sweeps({kStartText, kStopText, RemovalText(kDiskB), RemovalText(kVolume)}, {kDiskB, kVolume})},
        {"SetupDiCallClassInstaller", [](const Nodes&) { return ARM(SetupDiCallClassInstaller, FALSE, ERROR_ACCESS_DENIED); },
         Sweeps({kStartText, kStopText, RemovalText(kDiskA), L"NodeSweepService: Error 0x5 removing phantom.", RemovalText(kDiskB), RemovalText(kVolume)},
                {kDiskB, kVolume})},
        // A failure that left no code: reported all the same, with the code it has.
        {"GetLastError (reports no code)",
         [](const Nodes& n) {
             SimDevNodes_FailRemoval(n.a, ERROR_ACCESS_DENIED);
             return ARM(GetLastError, DWORD{0}, 0, -1);
         },
         Sweeps({kStartText, kStopText, RemovalText(kDiskA), L"NodeSweepService: Error 0x0 removing phantom.", RemovalText(kDiskB), RemovalText(kVolume)},
                {kDiskB, kVolume})},
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, Run(row)) << row.call;
}

// ---- the program path of the install command ----

// The platform as the install command meets it: a program path of a given length, and an SCM
// that records the path it is asked to register and refuses it.
struct LongPath {
    size_t length = 0;
    DWORD truncationCode = ERROR_INSUFFICIENT_BUFFER;   // the last error a truncation leaves
    std::vector<DWORD> sizes;
    std::wstring registered;

    std::wstring Path() const {
        const std::wstring name = L"\\VarkoNodeSweepService.exe";
        return L"C:\\" + std::wstring(length - 3 - name.size(), L'd') + name;
    }
    // As the platform does: a path that does not fit is cut to the buffer, terminated, and the
    // result is the buffer's size with the truncation's code.
    DWORD ModuleFileName(LPWSTR buffer, DWORD size) {
        sizes.push_back(size);
        std::wstring path = Path();
        if (path.size() < size) {
            std::copy(path.begin(), path.end(), buffer);
            buffer[path.size()] = L'\0';
            return static_cast<DWORD>(path.size());
        }
        std::copy_n(path.begin(), size - 1, buffer);
        buffer[size - 1] = L'\0';
        SetLastError(truncationCode);
        return size;
    }
};

TEST(InstallPath, GrowsToTheLongestPathThereCanBe) {
    LongPath platform;
    auto moduleFileName = REPLACE_IMPORT(
        Program(), GetModuleFileNameW,
        [&platform](auto, HMODULE, LPWSTR buffer, DWORD size) { return platform.ModuleFileName(buffer, size); }, -1);
    auto openManager = REPLACE_IMPORT(
        Program(), OpenSCManagerW,
        [](auto, LPCWSTR, LPCWSTR, DWORD) { return reinterpret_cast<SC_HANDLE>(uintptr_t{0x5C01}); }, -1);
    auto createService = REPLACE_IMPORT(
        Program(), CreateServiceW,
        [&platform](auto, SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR binaryPath, LPCWSTR,
                    LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
            platform.registered = binaryPath;
            SetLastError(ERROR_ACCESS_DENIED);
            return SC_HANDLE{};
        },
        -1);
    auto close = REPLACE_IMPORT(Program(), CloseServiceHandle, [](auto, SC_HANDLE) { return TRUE; }, -1);
    const std::vector<DWORD> doubling = {260, 520, 1040, 2080, 4160, 8320, 16640};
    auto thenLongest = [&] {
        std::vector<DWORD> sizes = doubling;
        sizes.push_back(32768);
        return sizes;
    };
    struct PathRow {
        size_t length;
        std::vector<DWORD> sizes;
        bool registered;   // else the command fails on the path
        DWORD truncationCode;
    };
    const PathRow rows[] = {
        {259, {260}, true, ERROR_INSUFFICIENT_BUFFER},
        {260, {260, 520}, true, ERROR_INSUFFICIENT_BUFFER},
        {16639, doubling, true, ERROR_INSUFFICIENT_BUFFER},
        {16640, thenLongest(), true, ERROR_INSUFFICIENT_BUFFER},
        // the longest path, and its terminator, fills the largest buffer
        {32767, thenLongest(), true, ERROR_INSUFFICIENT_BUFFER},
        {32768, thenLongest(), false, ERROR_INSUFFICIENT_BUFFER},
        // A platform whose truncation leaves no code (as Windows XP's did): the program
        // gives the path that does not fit its code itself.
        {32768, thenLongest(), false, ERROR_SUCCESS},
    };
    for (const PathRow& row : rows) {
        platform.length = row.length;
        platform.truncationCode = row.truncationCode;
        platform.sizes.clear();
        platform.registered.clear();
        std::string output;
        bool installed = true;
        {
            StdoutCapture capture;
            installed = InstallCommand();
            output = capture.Text();
        }
        EXPECT_FALSE(installed) << row.length;
        EXPECT_EQ(row.sizes, platform.sizes) << row.length;
        if (row.registered) {
            EXPECT_EQ("CreateService failed w/err 0x00000005\n", output) << row.length;
            EXPECT_TRUE(L"\"" + platform.Path() + L"\"" == platform.registered) << row.length << ": not the whole path";
        } else {
            EXPECT_EQ("GetModuleFileName failed w/err 0x0000007a\n", output) << row.length;
            EXPECT_TRUE(platform.registered.empty());
        }
    }
}

}  // namespace

// The program's first platform call restricts the DLL search to the system folder, on every path
// (a command, an unknown word, the dispatcher), before the calls each path makes first; when it
// fails the program goes on as before.
TEST(DllSearch, TheProgramRestrictsItToTheSystemFolderBeforeAnyOtherCall) {
    std::vector<std::string> calls;
    DWORD flags = 0;
    BOOL restrictResult = TRUE;
    // The test program's own search stays as it is: the restriction is recorded, not made.
    auto restrictSearch = REPLACE_IMPORT(
        Program(), SetDefaultDllDirectories,
        [&](auto, DWORD directories) {
            calls.push_back("SetDefaultDllDirectories");
            flags = directories;
            if (!restrictResult) SetLastError(ERROR_INVALID_PARAMETER);
            return restrictResult;
        },
        -1);
    auto moduleHandle = REPLACE_IMPORT(
        Program(), GetModuleHandleW,
        [&](auto platform, LPCWSTR name) {
            calls.push_back("GetModuleHandleW");
            return platform(name);
        },
        -1);
    auto procAddress = REPLACE_IMPORT(
        Program(), GetProcAddress,
        [&](auto platform, HMODULE module, LPCSTR name) {
            calls.push_back("GetProcAddress");
            return platform(module, name);
        },
        -1);
    auto openManager = REPLACE_IMPORT(
        Program(), OpenSCManagerW,
        [&](auto, LPCWSTR, LPCWSTR, DWORD) {
            calls.push_back("OpenSCManagerW");
            SetLastError(ERROR_ACCESS_DENIED);
            return SC_HANDLE{};
        },
        -1);
    auto dispatcher = REPLACE_IMPORT(
        Program(), StartServiceCtrlDispatcherW,
        [&](auto, const SERVICE_TABLE_ENTRYW*) {
            calls.push_back("StartServiceCtrlDispatcherW");
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        },
        -1);
    struct Row {
        std::vector<std::wstring> arguments;
        BOOL restrictResult;
        int exitCode;
        const char* pathCall;   // the call that shows the path ran after the restriction
    };
    const Row rows[] = {
        {{L"-version"}, TRUE, 0, "GetModuleHandleW"},
        {{L"-remove"}, TRUE, -1, "OpenSCManagerW"},
        {{L"-install"}, TRUE, -1, "OpenSCManagerW"},
        {{L"-unknown"}, TRUE, 0, "GetProcAddress"},
        {{}, TRUE, 0, "StartServiceCtrlDispatcherW"},
        {{L"-remove"}, FALSE, -1, "OpenSCManagerW"},
        {{}, FALSE, 0, "StartServiceCtrlDispatcherW"},
    };
    for (const Row& row : rows) {
        std::vector<std::wstring> words = {L"VarkoNodeSweepService.exe"};
        words.insert(words.end(), row.arguments.begin(), row.arguments.end());
        std::vector<wchar_t*> argv;
        for (std::wstring& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        calls.clear();
        flags = 0;
        restrictResult = row.restrictResult;
        std::string label = words.size() > 1 ? std::string(words[1].begin(), words[1].end()) : "(none)";
        int exitCode = RunProgram(static_cast<int>(words.size()), argv.data());
        EXPECT_EQ(row.exitCode, exitCode) << label;
        ASSERT_FALSE(calls.empty()) << label;
        EXPECT_EQ("SetDefaultDllDirectories", calls.front()) << label;
        EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "SetDefaultDllDirectories")) << label;
        EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), flags) << label;
        EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), row.pathCall)) << label;
    }
}
