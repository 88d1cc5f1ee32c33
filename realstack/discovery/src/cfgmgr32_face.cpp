// cfgmgr32.dll for the real stack: the Configuration Manager's interface notifications on the
// interfaces the watcher reads from sysfs. Contracts kept from the platform, as the simulated
// world keeps them (docs/platform-contracts.md): each registration's callback runs on a thread
// of the face's own, never on the caller's, one event at a time and in order; interfaces
// present before the registration are not announced; CM_Unregister_Notification returns once
// a callback of the registration in progress has returned, so calling it from inside that
// callback deadlocks, as the system's does; CM_MapCrToWin32Err maps the codes that have a
// system error equivalent and returns the default for the others.
#include <windows.h>
#include <cfgmgr32.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sync.h"
#include "sysfs.h"
#include "watcher.h"

namespace rs {

namespace {

struct PendingEvent {
    CM_NOTIFY_ACTION action;
    std::wstring link;
};

struct CmRegistration {
    HCMNOTIFICATION handle = nullptr;
    PVOID context = nullptr;
    PCM_NOTIFY_CALLBACK callback = nullptr;
    uint64_t subscription = 0;
    SrwLock lock;
    Condition changed;
    std::deque<PendingEvent> queue;   // guarded by lock
    bool closing = false;             // guarded by lock
    Handle thread;
    DWORD threadId = 0;
};

SrwLock registrationsLock;
std::map<HCMNOTIFICATION, std::shared_ptr<CmRegistration>> registrations;   // guarded by registrationsLock
uintptr_t nextHandle = 0xC300;

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

void Call(CmRegistration& r, const PendingEvent& event) {
    size_t linkOffset = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink);
    size_t size = linkOffset + (event.link.size() + 1) * sizeof(WCHAR);
    std::vector<uint64_t> storage(size / 8 + 1, 0);   // 8-byte aligned, as the system's record
    auto data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(storage.data());
    data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    data->Reserved = 0;
    data->u.DeviceInterface.ClassGuid = MakerInterfaceClass();
    std::memcpy(data->u.DeviceInterface.SymbolicLink, event.link.c_str(), (event.link.size() + 1) * sizeof(WCHAR));
    r.callback(r.handle, r.context, event.action, data, static_cast<DWORD>(size));
}

DWORD WINAPI DeliveryThread(LPVOID parameter) {
    CmRegistration& r = *static_cast<CmRegistration*>(parameter);
    LockHold hold(r.lock);
    for (;;) {
        while (!r.closing && r.queue.empty()) r.changed.Wait(hold);
        if (r.closing) return 0;
        PendingEvent event = std::move(r.queue.front());
        r.queue.pop_front();
        r.lock.unlock();
        try {
            Call(r, event);
        } catch (...) {
            // No memory for the event's record: that event is lost, the registration goes on.
        }
        r.lock.lock();
    }
}

void Enqueue(const std::shared_ptr<CmRegistration>& r, bool arrival, const std::string& path) {
    PendingEvent event{arrival ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
                       Widen(path)};
    LockHold hold(r->lock);
    if (r->closing) return;
    r->queue.push_back(std::move(event));
    r->changed.WakeAll();
}

CONFIGRET Register(PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                   PHCMNOTIFICATION notifyContext) {
    if (!filter || !callback || !notifyContext) return CR_INVALID_POINTER;
    if (filter->cbSize != sizeof(CM_NOTIFY_FILTER)) return CR_INVALID_DATA;
    if (filter->Flags & ~static_cast<DWORD>(CM_NOTIFY_FILTER_VALID_FLAGS)) return CR_INVALID_FLAG;
    // Only interface notifications: sysfs gives no device handles or instances to watch here.
    if (filter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE || filter->Reserved != 0) return CR_INVALID_DATA;
    auto r = std::make_shared<CmRegistration>();
    {
        LockHold hold(registrationsLock);   // named before its first event can be delivered
        r->handle = reinterpret_cast<HCMNOTIFICATION>(nextHandle);
        nextHandle += 0x10;
    }
    r->context = context;
    r->callback = callback;
    HANDLE thread = CreateThread(nullptr, 256 * 1024, DeliveryThread, r.get(), STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 &r->threadId);
    if (!thread) return CR_OUT_OF_MEMORY;
    r->thread = Handle(thread);
    PinModuleOf(reinterpret_cast<const void*>(&DeliveryThread));
    auto stop = [&] {
        {
            LockHold hold(r->lock);
            r->closing = true;
            r->changed.WakeAll();
        }
        WaitForSingleObject(r->thread.get(), INFINITE);
    };
    bool allClasses = (filter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0;
    // Registrations of another class hear nothing: every interface here is of the maker's class.
    if (allClasses || SameGuid(filter->u.DeviceInterface.ClassGuid, MakerInterfaceClass())) {
        try {
            std::shared_ptr<CmRegistration> held = r;
            r->subscription = InterfaceWatcher::Instance().Subscribe(
                [held](bool arrival, const std::string& path) { Enqueue(held, arrival, path); });
        } catch (...) {
            r->subscription = 0;
        }
        if (r->subscription == 0) {
            stop();
            return CR_OUT_OF_MEMORY;
        }
    }
    try {
        LockHold hold(registrationsLock);
        registrations[r->handle] = r;
    } catch (...) {
        InterfaceWatcher::Instance().Unsubscribe(r->subscription);
        stop();
        return CR_OUT_OF_MEMORY;
    }
    *notifyContext = r->handle;
    return CR_SUCCESS;
}

CONFIGRET Unregister(HCMNOTIFICATION handle) {
    std::shared_ptr<CmRegistration> r;
    {
        LockHold hold(registrationsLock);
        auto it = registrations.find(handle);
        if (it == registrations.end()) return CR_INVALID_POINTER;
        r = it->second;
        registrations.erase(it);
    }
    if (r->subscription) InterfaceWatcher::Instance().Unsubscribe(r->subscription);
    {
        LockHold hold(r->lock);
        r->closing = true;
        r->queue.clear();
        r->changed.WakeAll();
    }
    if (GetCurrentThreadId() == r->threadId) {
        std::fprintf(stderr, "realstack cfgmgr32: CM_Unregister_Notification called from inside its own callback "
                             "waits for that callback: deadlock, as on Windows\n");
        std::fflush(stderr);
    }
    WaitForSingleObject(r->thread.get(), INFINITE);   // a callback in progress returns first
    return CR_SUCCESS;
}

}  // namespace
}  // namespace rs

using namespace rs;

extern "C" {

__declspec(dllexport) CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                                               PCM_NOTIFY_CALLBACK callback,
                                                               PHCMNOTIFICATION notifyContext) {
    try {
        return Register(filter, context, callback, notifyContext);
    } catch (...) {
        return CR_OUT_OF_MEMORY;
    }
}

__declspec(dllexport) CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION handle) {
    try {
        return Unregister(handle);
    } catch (...) {
        return CR_OUT_OF_MEMORY;
    }
}

__declspec(dllexport) DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET code, DWORD defaultError) {
    switch (code) {
    case CR_SUCCESS: return ERROR_SUCCESS;
    case CR_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CR_INVALID_POINTER: return ERROR_INVALID_USER_BUFFER;
    case CR_INVALID_FLAG: return ERROR_INVALID_FLAGS;
    case CR_INVALID_DEVNODE:
    case CR_INVALID_DEVICE_ID:
    case CR_INVALID_MACHINENAME:
    case CR_INVALID_PROPERTY:
    case CR_INVALID_REFERENCE_STRING:
    case CR_INVALID_DATA: return ERROR_INVALID_DATA;
    case CR_NO_SUCH_DEVNODE:
    case CR_NO_SUCH_VALUE:
    case CR_NO_SUCH_DEVICE_INTERFACE: return ERROR_NOT_FOUND;
    case CR_ALREADY_SUCH_DEVNODE: return ERROR_ALREADY_EXISTS;
    case CR_BUFFER_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case CR_NO_REGISTRY_HANDLE: return ERROR_INVALID_HANDLE;
    case CR_REGISTRY_ERROR: return ERROR_REGISTRY_CORRUPT;
    case CR_NO_SUCH_REGISTRY_KEY: return ERROR_FILE_NOT_FOUND;
    case CR_REMOTE_COMM_FAILURE:
    case CR_MACHINE_UNAVAILABLE:
    case CR_NO_CM_SERVICES: return ERROR_SERVICE_NOT_ACTIVE;
    case CR_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case CR_CALL_NOT_IMPLEMENTED: return ERROR_CALL_NOT_IMPLEMENTED;
    default: return defaultError;
    }
}

}  // extern "C"
