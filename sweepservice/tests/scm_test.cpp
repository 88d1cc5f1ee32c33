// The real program under Wine's SCM: installation, the service's own process and its events,
// removal. Run by scm-run.sh in a prefix of their own, whose services trace their events.
#include <regex>

#include "program_runner.h"

namespace {

const std::wstring kStartText = L"VarkoNodeSweepService in OnStart in Version 0.9.4.0";
const std::wstring kStopText = L"VarkoNodeSweepService in OnStop";
const char* kRemoveRunning =
    "Stopping VarkoDevNodeService\\.+\r\n"   // one dot per second while the stop is pending
    "VarkoDevNodeService is stopped\\.\r\n"
    "VarkoDevNodeService is removed\\.\r\n";

struct ServiceConfig {
    DWORD type = 0, start = 0, errorControl = 0;
    std::wstring binaryPath, account, displayName, group, dependencies, description;
};

bool ReadConfig(ServiceConfig& c) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceW(manager, L"VarkoDevNodeService", SERVICE_QUERY_CONFIG);
    bool ok = false;
    if (service) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
            c.type = config->dwServiceType;
            c.start = config->dwStartType;
            c.errorControl = config->dwErrorControl;
            c.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
            c.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
            c.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
            c.group = config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L"";
            c.dependencies = config->lpDependencies ? config->lpDependencies : L"";
            ok = true;
        }
        auto description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
        if (ok && QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                       static_cast<DWORD>(buffer.size()), &needed)) {
            c.description = description->lpDescription ? description->lpDescription : L"";
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ok;
}

bool StopService() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"VarkoDevNodeService", SERVICE_STOP) : nullptr;
    SERVICE_STATUS status{};
    bool ok = service && ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return ok;
}

void WriteScenario(const std::string& text) {
    CreateDirectoryW(L"C:\\simworld", nullptr);
    HANDLE f = CreateFileW(L"C:\\simworld\\devnodes.scenario", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
}

class Scm : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Right after the prefix is made, its first-run setup may still hold the service database.
        for (int i = 0; i < 60; ++i) {
            SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
            SC_LOCK lock = manager ? LockServiceDatabase(manager) : nullptr;
            if (lock) UnlockServiceDatabase(lock);
            if (manager) CloseServiceHandle(manager);
            if (lock) break;
            Sleep(500);
        }
    }
    void SetUp() override {
        WriteScenario("# no device nodes\n");
        RunProgram(L"-remove");
        ASSERT_TRUE(WaitForState(0)) << "the service of an earlier test is still there";
    }
    void TearDown() override { RunProgram(L"-remove"); }
};

TEST_F(Scm, InstallRegistersTheServiceStartsItAndItReportsItsStart) {
    size_t starts = CountEvents(kStartText);
    ProgramRun run = RunProgram(L"-install");
    EXPECT_EQ("VarkoDevNodeService is installed.\r\n", run.output);
    EXPECT_EQ(0u, run.exitCode);
    ServiceConfig c;
    ASSERT_TRUE(ReadConfig(c));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), c.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), c.start);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), c.errorControl);
    EXPECT_EQ(L"\"" + ProgramPath() + L"\"", c.binaryPath) << "the full path, quoted";
    EXPECT_EQ(L"LocalSystem", c.account);
    EXPECT_EQ(L"Varko Device Node Cleaner Service", c.displayName);
    EXPECT_EQ(L"", c.group);
    EXPECT_EQ(L"", c.dependencies);
    EXPECT_EQ(L"Varko Device Node Cleaner Service removing unplugged mass storage devices", c.description);
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(WaitForEvent(kStartText, starts + 1)) << "the start event reaches the event log";
}

TEST_F(Scm, RemoveStopsTheRunningServiceAndDeletesIt) {
    ASSERT_EQ(0u, RunProgram(L"-install").exitCode);
    ASSERT_TRUE(WaitUntilAnsweringControls());
    size_t stops = CountEvents(kStopText);
    ProgramRun run = RunProgram(L"-remove");
    EXPECT_TRUE(std::regex_match(run.output, std::regex(kRemoveRunning))) << run.output;
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(0u, ServiceState()) << "the service is gone";
    EXPECT_TRUE(WaitForEvent(kStopText, stops + 1));
}

TEST_F(Scm, InstallOverARunningServiceRemovesItFirstAndStartsTheNewOne) {
    ASSERT_EQ(0u, RunProgram(L"-install").exitCode);
    ASSERT_TRUE(WaitUntilAnsweringControls());
    size_t starts = CountEvents(kStartText);
    ProgramRun run = RunProgram(L"/INSTALL");
    EXPECT_TRUE(std::regex_match(run.output, std::regex(std::string(kRemoveRunning) + "VarkoDevNodeService is installed\\.\r\n")))
        << run.output;
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_TRUE(WaitForEvent(kStartText, starts + 1));
}

TEST_F(Scm, RemoveOfAStoppedServiceOnlyDeletesIt) {
    ASSERT_EQ(0u, RunProgram(L"-install").exitCode);
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    ASSERT_TRUE(StopService());
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    ProgramRun run = RunProgram(L"-Remove");
    EXPECT_EQ("VarkoDevNodeService is removed.\r\n", run.output);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(0u, ServiceState());
}

TEST_F(Scm, RemoveWithoutTheServicePrintsNothingAndSucceeds) {
    ProgramRun run = RunProgram(L"/remove");
    EXPECT_EQ("", run.output);
    EXPECT_EQ(0u, run.exitCode);
}

TEST_F(Scm, APathWithBlanksIsRegisteredQuotedAndStarts) {
    const std::wstring dir = L"C:\\Sweep Service Test\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    for (const wchar_t* file : {L"VarkoNodeSweepService.exe", L"setupapi.dll", L"simworld.dll"}) {
        ASSERT_TRUE(CopyFileW(ProgramPath(file).c_str(), (dir + file).c_str(), FALSE));
    }
    // Unquoted, "C:\Sweep.exe" would be started in place of the service.
    ProgramRun run = RunProgram(L"-install", dir + L"VarkoNodeSweepService.exe");
    EXPECT_EQ("VarkoDevNodeService is installed.\r\n", run.output);
    ServiceConfig c;
    ASSERT_TRUE(ReadConfig(c));
    EXPECT_EQ(L"\"" + dir + L"VarkoNodeSweepService.exe\"", c.binaryPath);
    EXPECT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(0u, RunProgram(L"-remove").exitCode);
}

}  // namespace
