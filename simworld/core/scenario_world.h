// A scenario applied to the world (scenario_world.cpp) and the state report (report.cpp):
// what the environment of a process asks of the world that no code of the program drives.
//   VARKO_SIM_SCENARIO  a scenario file, loaded at the first call into the world
//   VARKO_SIM_REPORT    a file the world rewrites with its state whenever that changes
#pragma once
#include <string>

#include "world.h"

namespace sim {

// Every call into the world passes here (TheWorld): the first one of the process reads the
// environment and applies its scenario. Calls of other threads meanwhile wait for it.
void EnsureScenarioLoaded();
// The program builds a world of its own (SimWorld_Reset): the scenario's events and devices
// are forgotten, and the world's thread stops unless it writes a report. Without the world mutex.
void EndScenario();
// Caller holds the world mutex: the state the report shows changed (the world's thread rewrites it).
void NoteChangeLocked();
// Caller holds the world mutex: the world's thread announces this once the mutex is free.
void AnnounceLaterLocked(Announcement announcement);

// report.cpp
// Handles of this process open on the world's device files (CreateFile on a device path).
uint32_t CountOpenDeviceFiles();
// The report's text of the world now. Wait: under the world mutex. Try: false when the mutex could
// not be had in time. TryThenWithout (process exit): a thread that the exit ended may hold the
// mutex for ever, and nothing else runs, so the report is read without it then.
enum class ReportLock { Wait, Try, TryThenWithout };
// `text` must have been reserved (ReserveReportText): lines past its capacity are left out.
bool BuildReport(uint32_t openFiles, ReportLock how, std::string& text);
constexpr size_t kReportCapacity = 256 * 1024;
// Reserves a report's text, before the world's thread runs.
void ReserveReportText(std::string& text);
// The text the world's thread builds its report in; DllMain's once that thread has ended.
std::string& ReportScratch();
// Rewrites the report file in place (one handle, kept open); false when that failed.
bool WriteReportFile(const std::wstring& path, const std::string& text);
// DllMain, at detach (processExit: the process ends, not a FreeLibrary): the report once more, if
// one is asked for.
void WriteFinalReport(bool processExit);
// Whether a report is asked for, and the file.
const std::wstring& ReportPath();

// The live registrations of each notification mechanism (interfaces.cpp, cfgmgr.cpp).
uint32_t CmRegistrationCountLocked(const GUID* classGuid);
uint32_t WindowRegistrationCountLocked(const GUID* classGuid);

}  // namespace sim
