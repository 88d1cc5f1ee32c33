// The host sequences of CServiceBase around a service whose operations fail on request.
#include "service_host.h"

#include <stdexcept>

namespace {

using Texts = std::vector<std::wstring>;

enum class Throw { Nothing, Code, UnsignedCode, Other };

class ScriptedService : public CServiceBase {
public:
    ScriptedService() : CServiceBase(L"VarkoDevNodeService") {}
    Throw onStart = Throw::Nothing, onStop = Throw::Nothing, onPause = Throw::Nothing, onContinue = Throw::Nothing,
          onShutdown = Throw::Nothing;
    DWORD code = ERROR_ACCESS_DENIED;
    std::vector<std::wstring> startArgs;

protected:
    void OnStart(DWORD argc, LPWSTR* argv) override {
        for (DWORD i = 0; i < argc; ++i) startArgs.emplace_back(argv[i]);
        Act(onStart);
    }
    void OnStop() override { Act(onStop); }
    void OnPause() override { Act(onPause); }
    void OnContinue() override { Act(onContinue); }
    void OnShutdown() override { Act(onShutdown); }

private:
    void Act(Throw what) {
        switch (what) {
        case Throw::Nothing: return;
        case Throw::Code: throw code;
        case Throw::UnsignedCode: throw static_cast<unsigned int>(code);
        case Throw::Other: throw std::runtime_error("failed");
        }
    }
};

class HostSequences : public ServiceHost {
protected:
    ScriptedService service_;
    DWORD LastExitCode() { return Rec().Statuses().back().status.dwWin32ExitCode; }
};

TEST_F(HostSequences, StartFailuresStopTheServiceWithTheirCode) {
    service_.onStart = Throw::Code;
    Start(service_);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}), States());
    EXPECT_EQ(5u, LastExitCode());
    EXPECT_EQ((Texts{L"Service Start failed w/err 0x00000005"}), Rec().Messages());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, Rec().events.at(0).type);
    EXPECT_EQ((Texts{L"VarkoDevNodeService"}), service_.startArgs) << "the SCM's arguments reach OnStart";

    Rec().Clear();
    ScriptedService other;
    other.onStart = Throw::Other;
    Start(other);
    EXPECT_EQ((Texts{L"Service failed to start."}), Rec().Messages());
    EXPECT_EQ(SERVICE_STOPPED, States().back());
    EXPECT_EQ(0u, LastExitCode());

    Rec().Clear();
    ScriptedService plain;
    plain.onStart = Throw::UnsignedCode;
    plain.code = 0x1F;
    Start(plain);
    EXPECT_EQ((Texts{L"Service Start failed w/err 0x0000001f"}), Rec().Messages());
    EXPECT_EQ(0x1Fu, LastExitCode());
}

TEST_F(HostSequences, FailedStopRestoresTheStateHeldBefore) {
    Start(service_);
    service_.onStop = Throw::Code;
    Control(SERVICE_CONTROL_STOP);
    service_.onStop = Throw::Other;
    Control(SERVICE_CONTROL_STOP);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_RUNNING,
                                  SERVICE_STOP_PENDING, SERVICE_RUNNING}),
              States());
    EXPECT_EQ((Texts{L"Service Stop failed w/err 0x00000005", L"Service failed to stop."}), Rec().Messages());
    auto reports = Rec().Statuses();
    EXPECT_EQ(reports[2].status.dwCheckPoint + 1, reports[4].status.dwCheckPoint) << "each pending report advances";
}

TEST_F(HostSequences, PauseAndContinueSequences) {
    Start(service_);
    Control(SERVICE_CONTROL_PAUSE);
    Control(SERVICE_CONTROL_CONTINUE);
    service_.onPause = Throw::Code;
    Control(SERVICE_CONTROL_PAUSE);
    service_.onPause = Throw::Other;
    Control(SERVICE_CONTROL_PAUSE);
    service_.onContinue = Throw::Code;
    Control(SERVICE_CONTROL_CONTINUE);
    service_.onContinue = Throw::Other;
    Control(SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                  SERVICE_PAUSE_PENDING, SERVICE_PAUSED, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING,
                                  SERVICE_PAUSE_PENDING, SERVICE_RUNNING, SERVICE_PAUSE_PENDING, SERVICE_RUNNING,
                                  SERVICE_CONTINUE_PENDING, SERVICE_PAUSED, SERVICE_CONTINUE_PENDING, SERVICE_PAUSED}),
              States());
    EXPECT_EQ((Texts{L"Service Pause failed w/err 0x00000005", L"Service failed to pause.",
                     L"Service Continue failed w/err 0x00000005", L"Service failed to resume."}),
              Rec().Messages());
    for (const auto& r : Rec().Statuses()) {
        DWORD s = r.status.dwCurrentState;
        bool settled = s == SERVICE_RUNNING || s == SERVICE_STOPPED;
        EXPECT_EQ(settled, r.status.dwCheckPoint == 0) << "state " << s;
    }
}

TEST_F(HostSequences, ShutdownReportsStoppedOrOnlyItsFailure) {
    Start(service_);
    service_.onShutdown = Throw::Code;
    Control(SERVICE_CONTROL_SHUTDOWN);
    service_.onShutdown = Throw::Other;
    Control(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}), States());
    EXPECT_EQ((Texts{L"Service Shutdown failed w/err 0x00000005", L"Service failed to shut down."}), Rec().Messages());
    service_.onShutdown = Throw::Nothing;
    Control(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}), States());
}

TEST_F(HostSequences, NoStartWithoutAControlHandler) {
    Rec().registerHandlerError = ERROR_SERVICE_NOT_IN_EXE;
    Start(service_);
    EXPECT_TRUE(States().empty()) << "nothing can be reported without a status handle";
    EXPECT_TRUE(service_.startArgs.empty()) << "OnStart must not run";
    EXPECT_EQ((Texts{L"RegisterServiceCtrlHandler failed w/err 0x0000043b"}), Rec().Messages());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, Rec().events.at(0).type);
}

TEST_F(HostSequences, WithoutAnEventSourceOperationsGoOnSilently) {
    Rec().eventSourceFails = true;
    service_.onStop = Throw::Code;
    Start(service_);
    Control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(Rec().Messages().empty());
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_RUNNING}), States());
}

TEST_F(HostSequences, LongErrorTextsAreCutToTheBuffer) {
    std::wstring operation(300, L'x');
    service_.LogError(operation.c_str(), 5);
    ASSERT_EQ(1u, Rec().Messages().size());
    EXPECT_EQ(std::wstring(259, L'x'), Rec().Messages()[0]);
}

}  // namespace
