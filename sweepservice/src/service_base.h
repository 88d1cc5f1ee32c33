// Host side of a Windows service: the dispatch entry, the control handler, status reports to
// the SCM and event-log reporting. A derived service overrides the On* operations and reports
// failure by throwing a Win32 error code (DWORD) or any other exception.
#pragma once
#include <windows.h>

class CServiceBase {
public:
    explicit CServiceBase(const wchar_t* serviceName) noexcept;
    virtual ~CServiceBase() = default;
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    // The service main routine named in the dispatch table.
    static void WINAPI ServiceEntry(DWORD argc, LPWSTR* argv);
    // The handler registered with RegisterServiceCtrlHandlerW.
    static void WINAPI ControlHandler(DWORD control);

    // One event-log entry: the service name, then the message.
    void LogEvent(const wchar_t* message, WORD type) noexcept;
    // An error entry "<operation> failed w/err 0x<code>".
    void LogError(const wchar_t* operation, DWORD error) noexcept;

protected:
    virtual void OnStart(DWORD argc, LPWSTR* argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();

    void HandleStart(DWORD argc, LPWSTR* argv) noexcept;
    void HandleStop() noexcept;
    void HandlePause() noexcept;
    void HandleContinue() noexcept;
    void HandleShutdown() noexcept;
    void ReportStatus(DWORD state, DWORD exitCode = 0) noexcept;

    const wchar_t* name;
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle;
};

// The one service of the process; ServiceEntry and ControlHandler reach it through this.
extern CServiceBase* ActiveService;
// Check point of the next pending report; advanced only by ReportStatus.
extern DWORD checkPointCounter;
