// Runs VarkoNodeSweepService.exe as a console user does, and reads what reached the event log.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

struct ProgramRun {
    DWORD exitCode;
    std::string output;   // standard output, as the C runtime wrote it (text mode: CR LF)
    std::string errors;   // standard error (also passed on to this program's own)
};

// The program beside this test program.
std::wstring ProgramPath(const wchar_t* name = L"VarkoNodeSweepService.exe");
// Runs `program` with the arguments (already quoted where needed) and collects its output.
// `faults`, when given, fails platform calls of the program as it runs (the simulated world's
// SIMWORLD_FAIL_IMPORTS, see simworld/core/program_faults.cpp).
ProgramRun RunProgram(const std::wstring& arguments, const std::wstring& program = ProgramPath(),
                      const std::wstring& faults = L"");

// One ReportEventW of any service of the prefix, as Wine traces it under WINEDEBUG=+eventlog.
struct TracedEvent {
    std::wstring source;
    std::wstring message;
};
// Events in the trace file named by the environment variable SWEEP_EVENT_LOG.
std::vector<TracedEvent> TracedEvents();
// Waits until `count` events of the sweep service carry the message; false after the time-out.
bool WaitForEvent(const std::wstring& message, size_t count = 1, DWORD timeoutMs = 15000);
size_t CountEvents(const std::wstring& message);

// Service state as the SCM reports it; 0 when the service does not exist.
DWORD ServiceState();
bool WaitForState(DWORD state, DWORD timeoutMs = 15000);
// Running and its dispatcher answers the SCM: a stop request will be taken.
bool WaitUntilAnsweringControls(DWORD timeoutMs = 15000);
