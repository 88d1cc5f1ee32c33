#include "service_host.h"

namespace {

ImportPatch* reportEventPatch = nullptr;
ImportPatch* registerSourcePatch = nullptr;
ImportPatch* sleepPatch = nullptr;
ImportPatch* createTimerPatch = nullptr;
ImportPatch* deleteTimerPatch = nullptr;

BOOL WINAPI FakeSetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    Recorder& r = Rec();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.statuses.push_back(StatusRecord{handle, *status, ++r.sequence});
    r.changed.notify_all();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegisterServiceCtrlHandlerW(LPCWSTR name, LPHANDLER_FUNCTION handler) {
    Recorder& r = Rec();
    std::lock_guard<std::mutex> hold(r.mutex);
    if (r.registerHandlerError) {
        SetLastError(r.registerHandlerError);
        return nullptr;
    }
    r.handler = handler;
    r.handlerName = name ? name : L"";
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<uintptr_t>(0x5EC0));
}

BOOL WINAPI FakeReportEventW(HANDLE source, WORD type, WORD category, DWORD id, PSID sid, WORD count, DWORD size,
                             LPCWSTR* strings, LPVOID data) {
    {
        Recorder& r = Rec();
        std::lock_guard<std::mutex> hold(r.mutex);
        EventRecord e{type, {}, ++r.sequence};
        for (WORD i = 0; i < count; ++i) e.strings.emplace_back(strings[i]);
        EXPECT_EQ(0, category);
        EXPECT_EQ(0u, id);
        EXPECT_EQ(nullptr, sid);
        EXPECT_EQ(0u, size);
        r.events.push_back(std::move(e));
        r.changed.notify_all();
    }
    if (Rec().onEvent && count == 2) Rec().onEvent(strings[1]);
    using F = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);
    return reportEventPatch->original<F>()(source, type, category, id, sid, count, size, strings, data);
}

HANDLE WINAPI FakeRegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
    if (Rec().eventSourceFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return registerSourcePatch->original<HANDLE(WINAPI*)(LPCWSTR, LPCWSTR)>()(server, source);
}

VOID WINAPI FakeSleep(DWORD milliseconds) {
    // Sleep(0) is the runtime's own yield, not a wait of the service.
    if (milliseconds != 0) {
        Recorder& r = Rec();
        std::lock_guard<std::mutex> hold(r.mutex);
        r.sleeps.push_back(SleepRecord{GetCurrentThreadId(), milliseconds});
        r.changed.notify_all();
    }
    sleepPatch->original<VOID(WINAPI*)(DWORD)>()(milliseconds);
}

BOOL WINAPI FakeCreateTimerQueueTimer(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID parameter,
                                      DWORD dueTime, DWORD period, ULONG flags) {
    DWORD error;
    {
        Recorder& r = Rec();
        std::lock_guard<std::mutex> hold(r.mutex);
        r.timersCreated.push_back(TimerRecord{queue, dueTime, period, flags});
        error = r.createTimerError;
        // What the service asked for is recorded; the test decides when the sweep comes.
        if (r.timerDueOverride >= 0) dueTime = static_cast<DWORD>(r.timerDueOverride);
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    using F = BOOL(WINAPI*)(PHANDLE, HANDLE, WAITORTIMERCALLBACK, PVOID, DWORD, DWORD, ULONG);
    return createTimerPatch->original<F>()(timer, queue, callback, parameter, dueTime, period, flags);
}

BOOL WINAPI FakeDeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent) {
    DWORD error;
    {
        Recorder& r = Rec();
        std::lock_guard<std::mutex> hold(r.mutex);
        r.deletionEvents.push_back(completionEvent);
        error = r.deleteTimerError;
        r.deleteTimerError = 0;
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return deleteTimerPatch->original<BOOL(WINAPI*)(HANDLE, HANDLE, HANDLE)>()(queue, timer, completionEvent);
}


}  // namespace

Recorder& Rec() {
    static Recorder r;
    return r;
}

void Recorder::Clear() {
    std::lock_guard<std::mutex> hold(mutex);
    events.clear();
    statuses.clear();
    sleeps.clear();
    timersCreated.clear();
    deletionEvents.clear();
    handler = nullptr;
    handlerName.clear();
    registerHandlerError = createTimerError = deleteTimerError = 0;
    eventSourceFails = false;
    timerDueOverride = -1;
    onEvent = nullptr;
}

std::vector<std::wstring> Recorder::Messages() {
    std::lock_guard<std::mutex> hold(mutex);
    std::vector<std::wstring> out;
    for (const auto& e : events) out.push_back(e.strings.size() == 2 ? e.strings[1] : L"<not two strings>");
    return out;
}

std::vector<StatusRecord> Recorder::Statuses() {
    std::lock_guard<std::mutex> hold(mutex);
    return statuses;
}

bool Recorder::WaitFor(const std::function<bool()>& done, int timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), done);
}

const std::wstring kStartText = L"VarkoNodeSweepService in OnStart in Version 0.9.4.0";
const std::wstring kStopText = L"VarkoNodeSweepService in OnStop";

std::wstring RemovalText(const std::wstring& id) { return L"NodeSweepService:  " + id + L" will be removed."; }

Texts RemovedNodes() {
    Texts out;
    for (uint32_t i = 0; i < SimDevNodes_RemovedCount(); ++i) {
        wchar_t id[256];
        SimDevNodes_GetRemoved(i, id, 256);
        out.push_back(id);
    }
    return out;
}

ServiceHost::ServiceHost()
    : setStatus_("SetServiceStatus", reinterpret_cast<void*>(&FakeSetServiceStatus)),
      registerHandler_("RegisterServiceCtrlHandlerW", reinterpret_cast<void*>(&FakeRegisterServiceCtrlHandlerW)),
      reportEvent_("ReportEventW", reinterpret_cast<void*>(&FakeReportEventW)),
      registerSource_("RegisterEventSourceW", reinterpret_cast<void*>(&FakeRegisterEventSourceW)),
      sleep_("Sleep", reinterpret_cast<void*>(&FakeSleep)),
      createTimer_("CreateTimerQueueTimer", reinterpret_cast<void*>(&FakeCreateTimerQueueTimer)),
      deleteTimer_("DeleteTimerQueueTimer", reinterpret_cast<void*>(&FakeDeleteTimerQueueTimer)) {
    reportEventPatch = &reportEvent_;
    registerSourcePatch = &registerSource_;
    sleepPatch = &sleep_;
    createTimerPatch = &createTimer_;
    deleteTimerPatch = &deleteTimer_;
}

void ServiceHost::SetUp() {
    Rec().Clear();
    SimDevNodes_Reset();
    SimWorld_SetRecording(1, 0);
    SimWorld_ClearCalls();
}

void ServiceHost::Start(CServiceBase& service) {
    ActiveService = &service;
    std::thread entry([] {
        wchar_t name[] = L"VarkoDevNodeService";
        LPWSTR argv[] = {name};
        CServiceBase::ServiceEntry(1, argv);
    });
    entry.join();
}

void ServiceHost::Control(DWORD code) {
    LPHANDLER_FUNCTION handler;
    {
        std::lock_guard<std::mutex> hold(Rec().mutex);
        handler = Rec().handler;
    }
    ASSERT_NE(nullptr, handler) << "no control handler registered";
    handler(code);
}

bool ServiceHost::WaitForSweeps(uint32_t listings, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (SimDevNodes_ListingCount() >= listings && SimDevNodes_OpenSets() == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<DWORD> ServiceHost::States() {
    std::vector<DWORD> out;
    for (const auto& s : Rec().Statuses()) out.push_back(s.status.dwCurrentState);
    return out;
}
