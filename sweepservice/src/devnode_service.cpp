#include "devnode_service.h"

#include <setupapi.h>
#include <cfgmgr32.h>
#include <strsafe.h>

#include <cwchar>

#include "handles.h"
#include "program_constants.h"

namespace {

// Disk drives first, then storage volumes.
const GUID SweepClasses[] = {
    {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x71A27CDD, 0x812A, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}},
};

// Upper case, compared exactly: instance IDs of these products carry them in this form.
const wchar_t* const DeviceIdPatterns[] = {
    L"&VEN_VARKO&PROD_CONSOLE_UNIT",
    L"&VEN_VARKO&PROD_KDX310",
    L"&VEN_VARKO&PROD_KDX510",
};

// CM_Get_DevNode_Status answers these for a node whose device is not present.
bool IsPhantom(DEVINST node) {
    ULONG nodeStatus = 0;
    ULONG problem = 0;
    CONFIGRET presence = CM_Get_DevNode_Status(&nodeStatus, &problem, node, 0);
    return presence == CR_NO_SUCH_DEVINST || presence == CR_NO_SUCH_VALUE;
}

bool IsMakersDevice(const wchar_t* instanceId) {
    for (const wchar_t* pattern : DeviceIdPatterns) {
        if (std::wcsstr(instanceId, pattern)) return true;
    }
    return false;
}

}  // namespace

// Clears sweepRunning when a sweep ends, also when it ends by an exception, so that a
// waiting stop is never left waiting for a sweep that is gone.
class CDevNodeService::SweepMark {
public:
    explicit SweepMark(CDevNodeService& service) noexcept : service_(service) {}
    ~SweepMark() {
        try {
            std::lock_guard<std::mutex> hold(service_.flagMutex);
            service_.sweepRunning = false;
        } catch (...) {
        }
    }
    SweepMark(const SweepMark&) = delete;
    SweepMark& operator=(const SweepMark&) = delete;

private:
    CDevNodeService& service_;
};

CDevNodeService::CDevNodeService(const wchar_t* serviceName, DWORD firstSweepDelay, DWORD sweepPeriod,
                                 DWORD stopPoll) noexcept
    : CServiceBase(serviceName), firstSweepDelayMs(firstSweepDelay), sweepPeriodMs(sweepPeriod), stopPollMs(stopPoll) {}

CDevNodeService::~CDevNodeService() {
    // A shutdown ends the service without OnStop, so the timer may still be armed here. Keep
    // new callbacks from sweeping, then delete the timer waiting for one that is running: no
    // callback may reach this object once it is gone.
    try {
        std::lock_guard<std::mutex> hold(flagMutex);
        stopping = true;
    } catch (...) {
    }
    if (timer) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
}

void CDevNodeService::OnStart(DWORD, LPWSTR*) {
    {
        std::lock_guard<std::mutex> hold(flagMutex);
        sweepRunning = false;
        stopping = false;
    }
    wchar_t text[1024];
    StringCchPrintfW(text, 1024, L"VarkoNodeSweepService in OnStart in Version %ld.%ld.%ld.%ld",
                     static_cast<long>(sweep::kVersionMajor), static_cast<long>(sweep::kVersionMinor),
                     static_cast<long>(sweep::kVersionBuild), static_cast<long>(sweep::kVersionRevision));
    LogEvent(text, EVENTLOG_INFORMATION_TYPE);
    if (!CreateTimerQueueTimer(&timer, nullptr, SweepTimerCallback, this, firstSweepDelayMs, sweepPeriodMs,
                               WT_EXECUTEDEFAULT)) {
        DWORD error = GetLastError();
        timer = nullptr;
        StringCchPrintfW(text, 1024, L"NodeSweepService: Error 0x%x on creating timer queue timer.",
                         static_cast<unsigned>(error));
        LogEvent(text, EVENTLOG_ERROR_TYPE);
    }
}

void CDevNodeService::OnStop() {
    LogEvent(L"VarkoNodeSweepService in OnStop", EVENTLOG_INFORMATION_TYPE);
    {
        std::unique_lock<std::mutex> hold(flagMutex);
        stopping = true;
        while (sweepRunning) {
            hold.unlock();
            Sleep(stopPollMs);
            hold.lock();
        }
    }
    if (!timer) return;
    // Waiting for a callback that is just ending keeps it from outliving the object. The
    // deletion releases the handle; it is not closed separately.
    if (DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE)) {
        timer = nullptr;
    } else {
        wchar_t text[1024];
        StringCchPrintfW(text, 1024, L"NodeSweepService: Error 0x%x on deleting timer queue.",
                         static_cast<unsigned>(GetLastError()));
        LogEvent(text, EVENTLOG_ERROR_TYPE);
    }
}

VOID CALLBACK CDevNodeService::SweepTimerCallback(PVOID parameter, BOOLEAN) {
    auto* service = static_cast<CDevNodeService*>(parameter);
    // An exception leaving a thread-pool callback would end the process.
    try {
        service->SweepPhantoms();
    } catch (...) {
        service->LogEvent(L"NodeSweepService: Sweep abandoned after an internal failure.", EVENTLOG_ERROR_TYPE);
    }
}

void CDevNodeService::SweepPhantoms() {
    {
        std::lock_guard<std::mutex> hold(flagMutex);
        if (stopping) return;
        sweepRunning = true;
    }
    SweepMark mark(*this);
    wchar_t text[1024];
    for (const GUID& setupClass : SweepClasses) {
        sweep::DevInfoList set(SetupDiGetClassDevsW(&setupClass, nullptr, nullptr, 0));
        if (!set) continue;
        SP_DEVINFO_DATA element{};
        element.cbSize = sizeof element;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &element); ++index) {
            if (!IsPhantom(element.DevInst)) continue;
            wchar_t instanceId[MAX_DEVICE_ID_LEN];
            if (CM_Get_Device_IDW(element.DevInst, instanceId, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) continue;
            instanceId[MAX_DEVICE_ID_LEN - 1] = L'\0';
            if (!IsMakersDevice(instanceId)) continue;
            StringCchPrintfW(text, 1024, L"NodeSweepService:  %ls will be removed.", instanceId);
            LogEvent(text, EVENTLOG_INFORMATION_TYPE);
            // The device may have been plugged back in since its status was read, and removing a
            // present mass-storage device can lose its data: ask once more, as late as can be.
            if (!IsPhantom(element.DevInst)) continue;
            if (!SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &element)) {
                StringCchPrintfW(text, 1024, L"NodeSweepService: Error 0x%x removing phantom.",
                                 static_cast<unsigned>(GetLastError()));
                LogEvent(text, EVENTLOG_ERROR_TYPE);
            }
        }
    }
}
