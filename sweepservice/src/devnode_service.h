// The sweep service: on a timer-queue timer it removes the phantom disk-drive and volume
// device nodes that the maker's USB mass-storage products leave behind.
#pragma once
#include <windows.h>

#include <mutex>

#include "service_base.h"

class CDevNodeService : public CServiceBase {
public:
    // The program passes the fixed timing (5 minutes, 1 hour, 250 ms); tests pass their own.
    CDevNodeService(const wchar_t* serviceName, DWORD firstSweepDelayMs, DWORD sweepPeriodMs, DWORD stopPollMs) noexcept;
    ~CDevNodeService() override;

    static VOID CALLBACK SweepTimerCallback(PVOID parameter, BOOLEAN timerFired);
    void SweepPhantoms();

protected:
    void OnStart(DWORD argc, LPWSTR* argv) override;
    void OnStop() override;

private:
    class SweepMark;

    HANDLE timer = nullptr;
    std::mutex flagMutex;       // guards sweepRunning and stopping, nothing else
    bool sweepRunning = false;
    bool stopping = false;
    const DWORD firstSweepDelayMs;
    const DWORD sweepPeriodMs;
    const DWORD stopPollMs;
};
