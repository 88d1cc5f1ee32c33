// Names, version and timing of the sweep service. Nothing is configurable at run time.
#pragma once
#include <windows.h>

#include "varko_version.h"

namespace sweep {

constexpr const wchar_t* kServiceName = L"VarkoDevNodeService";
constexpr const wchar_t* kDisplayName = L"Varko Device Node Cleaner Service";
constexpr const wchar_t* kDescription = L"Varko Device Node Cleaner Service removing unplugged mass storage devices";

// The project's one version, as in the version resource.
constexpr int kVersionMajor = VARKO_VERSION_MAJOR;
constexpr int kVersionMinor = VARKO_VERSION_MINOR;
constexpr int kVersionBuild = VARKO_VERSION_BUILD;
constexpr int kVersionRevision = VARKO_VERSION_REVISION;

constexpr DWORD kFirstSweepDelayMs = 300000;   // 5 minutes after the start
constexpr DWORD kSweepPeriodMs = 3600000;      // then every hour
constexpr DWORD kStopPollMs = 250;             // a stop waits for a running sweep in these steps

}  // namespace sweep
