#include "held_registration.h"

#include <thread>

#include "realstack_faces.h"

HeldRegistration::HeldRegistration()
    : holding_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), letGo_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

HeldRegistration::~HeldRegistration() {
    SetEvent(letGo_);
    if (handle_) TheFaces().CmUnregister(handle_);
    CloseHandle(holding_);
    CloseHandle(letGo_);
}

CONFIGRET HeldRegistration::Register() {
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = kMakerClass;
    return TheFaces().CmRegister(&filter, this, Callback, &handle_);
}

DWORD CALLBACK HeldRegistration::Callback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                          PCM_NOTIFY_EVENT_DATA data, DWORD) {
    auto self = static_cast<HeldRegistration*>(context);
    std::string path;
    if (data && data->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) {
        for (const WCHAR* c = data->u.DeviceInterface.SymbolicLink; *c; ++c) path.push_back(static_cast<char>(*c));
    }
    {
        std::lock_guard<std::mutex> hold(self->lock_);
        self->events_.push_back(Heard{action, path, GetCurrentThreadId()});
    }
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) {
        SetEvent(self->holding_);
        WaitForSingleObject(self->letGo_, 10000);
        self->returned_ = true;
    }
    return ERROR_SUCCESS;
}

bool HeldRegistration::WaitHolding(DWORD timeoutMs) { return WaitForSingleObject(holding_, timeoutMs) == WAIT_OBJECT_0; }

bool HeldRegistration::ReleaseWhileHeld(DWORD holdMs, ULONGLONG& tookMs) {
    std::thread later([this, holdMs] {
        Sleep(holdMs);
        SetEvent(letGo_);
    });
    ULONGLONG start = GetTickCount64();
    CONFIGRET result = TheFaces().CmUnregister(handle_);
    tookMs = GetTickCount64() - start;
    bool returnedFirst = returned_.load();
    later.join();
    handle_ = nullptr;
    return result == CR_SUCCESS && returnedFirst && tookMs + 20 >= holdMs;   // the tick's granularity
}

std::vector<HeldRegistration::Heard> HeldRegistration::Events() {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
}
