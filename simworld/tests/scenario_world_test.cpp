// Scenarios applied to the world: the shipped files, SimWorld_LoadScenario with a device that
// leaves mid-exchange, and programs that are given a scenario and a report file in their
// environment and reach the world only through LinkWinUsb (scenario_child.cpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "linkwinusb_exports.h"
#include "scenario.h"
#include "simworld.h"

namespace {

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string ProgramFolder() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    return p.substr(0, p.find_last_of('\\'));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    std::string out;
    for (char c : text) {
        if (c != '\r') out += c;
    }
    return out;
}

// A file of this test's own in the temporary folder, deleted with the object.
class TempFile {
public:
    explicit TempFile(const std::string& name, const std::string& content = std::string()) {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path_ = std::string(dir) + "scn" + std::to_string(GetCurrentProcessId()) + "-" + name;
        DeleteFileA(path_.c_str());
        if (!content.empty()) std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() {
        DeleteFileA(path_.c_str());
        DeleteFileA((path_ + ".tmp").c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct ChildRun {
    DWORD exitCode = 0;
    std::vector<std::string> lines;   // its standard output
    std::string errors;               // its standard error
    // The lines that start with `word `.
    std::vector<std::string> Of(const std::string& word) const {
        std::vector<std::string> out;
        for (const std::string& l : lines) {
            if (l.compare(0, word.size() + 1, word + " ") == 0) out.push_back(l.substr(word.size() + 1));
        }
        return out;
    }
};

// Starts this program as the child with the scenario (and report) in its environment, which
// holds no other VARKO_SIM_ variable and no Wine debug channel, and waits for it.
ChildRun RunChild(const std::string& scenario, const std::string& report, const std::string& arguments) {
    std::wstring block;
    if (wchar_t* env = GetEnvironmentStringsW()) {
        for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
            if (_wcsnicmp(p, L"VARKO_SIM_", 10) != 0 && _wcsnicmp(p, L"WINEDEBUG=", 10) != 0) {
                block += std::wstring(p) + L'\0';
            }
        }
        FreeEnvironmentStringsW(env);
    }
    // Nobody judges a child's heap warnings, and with them on Wine's heap holds the last 1024
    // freed blocks back: a measure of the child's size would see its messages still there.
    block += L"WINEDEBUG=-all";
    block += L'\0';
    if (!scenario.empty()) block += L"VARKO_SIM_SCENARIO=" + Widen(scenario) + L'\0';
    if (!report.empty()) block += L"VARKO_SIM_REPORT=" + Widen(report) + L'\0';
    block += L'\0';
    TempFile out("child-out.txt"), err("child-err.txt");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    auto open = [&](const TempFile& f) {
        return CreateFileA(f.path().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE outFile = open(out), errFile = open(err);
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::wstring command = L"\"" + Widen(exe) + L"\" --child " + Widen(arguments);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = outFile;
    si.hStdError = errFile;
    PROCESS_INFORMATION pi{};
    ChildRun run;
    run.exitCode = 999;
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                                  nullptr, &si, &pi);
    CloseHandle(outFile);
    CloseHandle(errFile);
    EXPECT_TRUE(started) << GetLastError();
    if (!started) return run;
    if (WaitForSingleObject(pi.hProcess, 150000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the child did not end";
        TerminateProcess(pi.hProcess, 998);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    std::istringstream lines(ReadText(out.path()));
    for (std::string l; std::getline(lines, l);) run.lines.push_back(l);
    run.errors = ReadText(err.path());
    return run;
}

std::string Shipped(const char* name) { return ProgramFolder() + "\\scenarios\\" + name; }

// "<ms> <path>" of an arrival or removal line.
unsigned long TimeOf(const std::string& heard) { return std::stoul(heard.substr(0, heard.find(' '))); }

}  // namespace

TEST(ShippedScenarios, ParseAndHoldWhatTheirNamesSay) {
    const struct {
        const char* file;
        size_t devices;
        size_t present;
        size_t events;
    } rows[] = {{"default.scn", 3, 3, 0}, {"hotplug.scn", 4, 3, 2}, {"silent.scn", 1, 1, 0}, {"empty.scn", 0, 0, 0},
                {"unplug-mid-echo.scn", 1, 1, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        sim::Scenario s;
        sim::ScenarioError e;
        ASSERT_TRUE(sim::ParseScenario(ReadText(Shipped(row.file)), s, e)) << "line " << e.line << ": " << e.text;
        EXPECT_EQ(row.devices, s.devices.size());
        size_t present = 0;
        for (const auto& d : s.devices) present += d.present ? 1 : 0;
        EXPECT_EQ(row.present, present);
        EXPECT_EQ(row.events, s.events.size());
    }
    sim::Scenario s;
    sim::ScenarioError e;
    ASSERT_TRUE(sim::ParseScenario(ReadText(Shipped("default.scn")), s, e));
    for (uint8_t v = 0; v < 3; ++v) {   // SimWorld_LoadDefault's devices
        EXPECT_EQ(v, s.devices[v].config.protocolVersion);
        EXPECT_EQ(0x0100 + v, s.devices[v].config.productId);
        EXPECT_EQ(1, s.devices[v].config.echo);
    }
    ASSERT_TRUE(sim::ParseScenario(ReadText(Shipped("hotplug.scn")), s, e));
    EXPECT_EQ(2000u, s.events[0].atMs);
    EXPECT_TRUE(s.events[0].plug);
    EXPECT_EQ(4000u, s.events[1].atMs);
    EXPECT_FALSE(s.events[1].plug);
    ASSERT_TRUE(sim::ParseScenario(ReadText(Shipped("silent.scn")), s, e));
    EXPECT_EQ(0, s.devices[0].config.echo);
    ASSERT_TRUE(sim::ParseScenario(ReadText(Shipped("unplug-mid-echo.scn")), s, e));
    EXPECT_EQ(50u, s.devices[0].unplugAfterMessages);
}

TEST(LoadScenario, TheDeviceLeavesRightAfterItsNthMessage) {
    TempFile file("trigger.scn", "device t\n  serial TRIG1\n  unplug-after-messages 3\nend\n");
    char error[128] = "untouched";
    ASSERT_EQ(1, SimWorld_LoadScenario(file.path().c_str(), error, sizeof error));
    EXPECT_STREQ("", error);
    int id = 0;
    ASSERT_EQ(1, SimWorld_DeviceIds(&id, 1));
    char path[256];
    ASSERT_EQ(1, SimWorld_DevicePath(id, path, sizeof path));
    EXPECT_NE(nullptr, std::strstr(path, "#TRIG1#"));
    {
        HostLibrary library("LinkWinUsb.dll");
        LinkWinUsbExports api(library);
        DeviceSession session{};
        ASSERT_EQ(0u, api.OpenDevice(&session, path));
        uint8_t message[4] = {1, 2, 3, 4};
        for (int i = 1; i <= 3; ++i) EXPECT_EQ(1u, api.Write(session.interfaceHandle, 0x01, message, 4)) << i;
        EXPECT_EQ(0u, api.Write(session.interfaceHandle, 0x01, message, 4)) << "the device is gone";
        api.CloseDevice(&session);
        DeviceSession again{};
        EXPECT_NE(0u, api.OpenDevice(&again, path)) << "it does not open again";
        api.CloseDevice(&again);
    }
    EXPECT_EQ(3u, SimWorld_ReceivedCount(id));

    TempFile wrong("wrong.scn", "device a\n  colour red\nend\n");
    EXPECT_EQ(0, SimWorld_LoadScenario(wrong.path().c_str(), error, sizeof error));
    EXPECT_STREQ("line 2: unknown key \"colour\"", error);
    EXPECT_EQ(0, SimWorld_DeviceIds(nullptr, 0)) << "the world is left empty";
    EXPECT_EQ(0, SimWorld_LoadScenario((file.path() + ".none").c_str(), error, sizeof error));
    EXPECT_STREQ("line 0: cannot be read (error 2)", error);
    SimWorld_Reset();
}

TEST(ScenarioProgram, FindsTheDefaultScenariosDevicesThroughTheLibrary) {
    ChildRun run = RunChild(Shipped("default.scn"), "", "watch 100");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.errors);
    EXPECT_EQ(3u, run.Of("arrival").size());
    std::vector<std::string> identities = run.Of("identity");
    ASSERT_EQ(3u, identities.size());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(identities[i]);
        std::string tail = identities[i].substr(identities[i].find(' ') + 1);
        char want[64];
        std::snprintf(want, sizeof want, "1209 %04x SIM%04d|Simulated Link|Varko", 0x100 + i, i + 1);
        EXPECT_EQ(want, tail);
    }
}

TEST(ScenarioProgram, APlugAtHalfASecondIsHeardAsAnArrival) {
    TempFile file("hotplug.scn",
                  "device here\nend\n"
                  "device late\n  serial LATE1\n  product \"Late Link\"\n  present no\nend\n"
                  "at 0.5 plug late\nat 1.5 unplug late\n");
    ChildRun run = RunChild(file.path(), "", "watch 2500");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.errors);
    std::vector<std::string> arrivals = run.Of("arrival");
    std::vector<std::string> removals = run.Of("removal");
    ASSERT_EQ(2u, arrivals.size());
    EXPECT_EQ(std::string::npos, arrivals[0].find("LATE1")) << "present from the start";
    EXPECT_NE(std::string::npos, arrivals[1].find("#LATE1#"));
    EXPECT_GE(TimeOf(arrivals[1]), 480u) << "not before its time";
    ASSERT_EQ(1u, removals.size());
    EXPECT_NE(std::string::npos, removals[0].find("#LATE1#"));
    EXPECT_GE(TimeOf(removals[0]), 1480u);
    ASSERT_EQ(1u, run.Of("identity").size()) << "only the first one is left";
}

TEST(ScenarioProgram, AMistakeIsOneLineOnStandardErrorAndTheWorldIsEmpty) {
    TempFile wrong("wrong.scn", "device a\nend\n\ndevice b\n  colour red\nend\n");
    const struct {
        std::string scenario;
        std::string error;
    } rows[] = {{wrong.path(), "line 5: unknown key \"colour\""},
                {wrong.path() + ".none", "line 0: cannot be read (error 2)"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scenario);
        ChildRun run = RunChild(row.scenario, "", "watch 0");
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ("simworld: scenario " + row.scenario + " " + row.error + "\n", run.errors);
        EXPECT_TRUE(run.Of("arrival").empty());
    }
}

// The world's thread makes its first round (its first report) before the first call returns, so a
// program that ends at once cannot end the thread in the middle of it, inside the heap: the report
// in DllMain then waited for ever on the heap's lock (seen in about 1 of 100 short runs).
TEST(ScenarioProgram, TheFirstCallReturnsWithTheReportWritten) {
    for (int run = 0; run < 3; ++run) {
        TempFile report("first.txt");
        ChildRun child = RunChild(Shipped("empty.scn"), report.path(), "first");
        EXPECT_EQ(0u, child.exitCode);
        EXPECT_EQ((std::vector<std::string>{"ok"}), child.Of("report-at-once")) << "run " << run;
    }
}

TEST(ScenarioProgram, TheReportFollowsOpenAndCloseAndIsWrittenAtExit) {
    TempFile scenario("report.scn", "device only\n  serial REP1\nend\ndevice spare\n  present no\nend\n");
    {
        TempFile report("closed.txt");
        ChildRun run = RunChild(scenario.path(), report.path(), "open close");
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ((std::vector<std::string>{"ok"}), run.Of("exchange"));
        EXPECT_EQ((std::vector<std::string>{"ok"}), run.Of("report-open")) << "rewritten while the program runs";
        EXPECT_EQ((std::vector<std::string>{"ok"}), run.Of("report-closed"));
        EXPECT_EQ("open_files 0\nwinusb_handles 0\ncm_registrations 0\nwindow_registrations 0\n"
                  "device only present opens 1 received_messages 1\n"
                  "device spare absent opens 0 received_messages 0\n",
                  ReadText(report.path()));
    }
    {
        TempFile report("left-open.txt");
        ChildRun run = RunChild(scenario.path(), report.path(), "open leak");
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ((std::vector<std::string>{"ok"}), run.Of("report-open"));
        EXPECT_EQ("open_files 1\nwinusb_handles 1\ncm_registrations 1\nwindow_registrations 0\n"
                  "device only present opens 1 received_messages 1\n"
                  "device spare absent opens 0 received_messages 0\n",
                  ReadText(report.path()))
            << "what the program left open when it ended";
    }
}

TEST(ScenarioProgram, UnplugMidEchoEndsTheFiftiethExchangeWithARemoval) {
    ChildRun run = RunChild(Shipped("unplug-mid-echo.scn"), "", "echo");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((std::vector<std::string>{"49"}), run.Of("echoes"));
    ASSERT_EQ(1u, run.Of("removal").size());
    EXPECT_NE(std::string::npos, run.Of("removal")[0].find("#FLAKY001#"));
}

// A program run against a scenario from outside keeps going for as long as its user wants:
// the world keeps no record of its calls and bytes for it (64 MiB of messages went by here).
TEST(ScenarioProgram, AThousandLargeEchoesLeaveTheProcessNoLarger) {
    ChildRun run = RunChild(Shipped("default.scn"), "", "echo 65536");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((std::vector<std::string>{"1000"}), run.Of("echoes"));
    ASSERT_EQ(1u, run.Of("grown_kib").size());
    EXPECT_LT(std::stoll(run.Of("grown_kib")[0]), 8 * 1024) << "KiB the process grew by";
}
