// Names, version and timing of the sweep service. Nothing is configurable at run time.
#pragma once
#include <windows.h>

namespace sweep {

constexpr const wchar_t* kServiceName = L"VarkoDevNodeService";
constexpr const wchar_t* kDisplayName = L"Varko Device Node Cleaner Service";
constexpr const wchar_t* kDescription = L"Varko Device Node Cleaner Service removing unplugged mass storage devices";

constexpr int kVersionMajor = 0;
constexpr int kVersionMinor = 9;
constexpr int kVersionBuild = 4;
constexpr int kVersionRevision = 0;

constexpr DWORD kFirstSweepDelayMs = 300000;   // 5 minutes after the start
constexpr DWORD kSweepPeriodMs = 3600000;      // then every hour
constexpr DWORD kStopPollMs = 250;             // a stop waits for a running sweep in these steps

}  // namespace sweep
