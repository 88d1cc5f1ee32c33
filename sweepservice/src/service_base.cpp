#include "service_base.h"

#include <strsafe.h>

#include "handles.h"

CServiceBase* ActiveService = nullptr;
DWORD checkPointCounter = 1;

CServiceBase::CServiceBase(const wchar_t* serviceName) noexcept : name(serviceName), status(), statusHandle(nullptr) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_START_PENDING;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
}

void CServiceBase::OnStart(DWORD, LPWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}

void WINAPI CServiceBase::ServiceEntry(DWORD argc, LPWSTR* argv) {
    CServiceBase* service = ActiveService;
    if (!service) return;
    service->statusHandle = RegisterServiceCtrlHandlerW(service->name, ControlHandler);
    if (!service->statusHandle) {
        // Without a status handle nothing can be reported to the SCM, so the service must not start.
        service->LogError(L"RegisterServiceCtrlHandler", GetLastError());
        return;
    }
    service->HandleStart(argc, argv);
}

void WINAPI CServiceBase::ControlHandler(DWORD control) {
    CServiceBase* service = ActiveService;
    if (!service) return;
    switch (control) {
    case SERVICE_CONTROL_STOP: service->HandleStop(); break;
    case SERVICE_CONTROL_PAUSE: service->HandlePause(); break;
    case SERVICE_CONTROL_CONTINUE: service->HandleContinue(); break;
    case SERVICE_CONTROL_SHUTDOWN: service->HandleShutdown(); break;
    default: break;
    }
}

void CServiceBase::ReportStatus(DWORD state, DWORD exitCode) noexcept {
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = 0;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        status.dwCheckPoint = 0;
    } else {
        status.dwCheckPoint = checkPointCounter++;
    }
    SetServiceStatus(statusHandle, &status);
}

// A Win32 error code may be thrown as DWORD or as a plain unsigned int; both are 32 bits.
void CServiceBase::HandleStart(DWORD argc, LPWSTR* argv) noexcept {
    try {
        ReportStatus(SERVICE_START_PENDING);
        OnStart(argc, argv);
        ReportStatus(SERVICE_RUNNING);
    } catch (DWORD e) {
        LogError(L"Service Start", e);
        ReportStatus(SERVICE_STOPPED, e);
    } catch (unsigned int e) {
        LogError(L"Service Start", e);
        ReportStatus(SERVICE_STOPPED, e);
    } catch (...) {
        LogEvent(L"Service failed to start.", EVENTLOG_ERROR_TYPE);
        ReportStatus(SERVICE_STOPPED);
    }
}

void CServiceBase::HandleStop() noexcept {
    DWORD original = status.dwCurrentState;
    try {
        ReportStatus(SERVICE_STOP_PENDING);
        OnStop();
        ReportStatus(SERVICE_STOPPED);
    } catch (DWORD e) {
        LogError(L"Service Stop", e);
        ReportStatus(original);
    } catch (unsigned int e) {
        LogError(L"Service Stop", e);
        ReportStatus(original);
    } catch (...) {
        LogEvent(L"Service failed to stop.", EVENTLOG_ERROR_TYPE);
        ReportStatus(original);
    }
}

void CServiceBase::HandlePause() noexcept {
    try {
        ReportStatus(SERVICE_PAUSE_PENDING);
        OnPause();
        ReportStatus(SERVICE_PAUSED);
    } catch (DWORD e) {
        LogError(L"Service Pause", e);
        ReportStatus(SERVICE_RUNNING);
    } catch (unsigned int e) {
        LogError(L"Service Pause", e);
        ReportStatus(SERVICE_RUNNING);
    } catch (...) {
        LogEvent(L"Service failed to pause.", EVENTLOG_ERROR_TYPE);
        ReportStatus(SERVICE_RUNNING);
    }
}

void CServiceBase::HandleContinue() noexcept {
    try {
        ReportStatus(SERVICE_CONTINUE_PENDING);
        OnContinue();
        ReportStatus(SERVICE_RUNNING);
    } catch (DWORD e) {
        LogError(L"Service Continue", e);
        ReportStatus(SERVICE_PAUSED);
    } catch (unsigned int e) {
        LogError(L"Service Continue", e);
        ReportStatus(SERVICE_PAUSED);
    } catch (...) {
        LogEvent(L"Service failed to resume.", EVENTLOG_ERROR_TYPE);
        ReportStatus(SERVICE_PAUSED);
    }
}

void CServiceBase::HandleShutdown() noexcept {
    try {
        OnShutdown();
        ReportStatus(SERVICE_STOPPED);
    } catch (DWORD e) {
        LogError(L"Service Shutdown", e);
    } catch (unsigned int e) {
        LogError(L"Service Shutdown", e);
    } catch (...) {
        LogEvent(L"Service failed to shut down.", EVENTLOG_ERROR_TYPE);
    }
}

void CServiceBase::LogEvent(const wchar_t* message, WORD type) noexcept {
    // A source is registered for every single event; none is held open.
    sweep::EventSource source(name);
    if (!source) return;
    const wchar_t* strings[2] = {name, message};
    ReportEventW(source.get(), type, 0, 0, nullptr, 2, 0, strings, nullptr);
}

void CServiceBase::LogError(const wchar_t* operation, DWORD error) noexcept {
    wchar_t text[260];
    // A text longer than the buffer is cut; StringCchPrintfW always terminates it.
    StringCchPrintfW(text, 260, L"%ls failed w/err 0x%08lx", operation, error);
    LogEvent(text, EVENTLOG_ERROR_TYPE);
}
