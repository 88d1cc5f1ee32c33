// The Configuration Manager's interface notifications, as the substitute cfgmgr32.dll offers
// them. Contracts kept from the platform: each registration's callback runs on a thread of
// the system's, never on the caller's, one event at a time and in order; events are not
// delivered for interfaces present before the registration; CM_Unregister_Notification
// waits for a callback of the registration in progress, so calling it from inside that
// callback deadlocks, as the system's does (and returns once the delivery thread has let the
// registration go); CM_MapCrToWin32Err maps the codes that have a
// system error equivalent and returns the default for the others.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "interfaces.h"
#include "scenario_world.h"
#include "simworld_interfaces.h"
#include "world.h"

namespace sim {

namespace {

struct PendingEvent {
    DWORD action;
    GUID classGuid;
    std::wstring link;
};

struct CmRegistration {
    HCMNOTIFICATION handle = nullptr;
    GUID classGuid{};
    bool allClasses = false;
    PVOID context = nullptr;
    PCM_NOTIFY_CALLBACK callback = nullptr;
    std::deque<PendingEvent> queue;
    bool closing = false;
    bool inCallback = false;
    DWORD threadId = 0;
    std::condition_variable* wake = nullptr;   // its delivery thread: work queued or closing
    bool released = false;                     // its delivery thread has let it go
};

// Guarded by the world mutex.
std::map<HCMNOTIFICATION, std::shared_ptr<CmRegistration>> registrations;
uintptr_t nextHandle = 0xC300;
std::condition_variable cmChanged;       // a callback returned: for WaitIdle and CM_Unregister_Notification
std::condition_variable workAvailable;   // a registration waits for a delivery thread
// Registrations waiting for a delivery thread, and the threads idle between registrations
// (a thread costs milliseconds to start under Wine: the world reuses them, as a pool would).
std::deque<std::shared_ptr<CmRegistration>> unassigned;
int idleWorkers = 0;
int startingWorkers = 0;   // started, and not yet given their record of winpthreads (see Worker)
// The delivery threads' wake-ups, reused from registration to registration: each holds two
// semaphores, and a host that checks its handles must not see them come and go with the
// registrations it makes.
std::deque<std::condition_variable> wakes;
std::vector<std::condition_variable*> idleWakes;

std::condition_variable* NewWake() {
    wakes.emplace_back();
    // Its semaphores belong to the world for good rather than appear in the middle of a host's run.
    MakeWaitable(wakes.back());
    return &wakes.back();
}

uint64_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// Serves one registration until it is closed. Called and returns with the world mutex held.
void Deliver(std::unique_lock<std::mutex>& hold, const std::shared_ptr<CmRegistration>& r) {
    r->threadId = GetCurrentThreadId();
    for (;;) {
        r->wake->wait(hold, [&] { return r->closing || !r->queue.empty(); });
        if (r->closing) break;
        PendingEvent event = std::move(r->queue.front());
        r->queue.pop_front();
        r->inCallback = true;
        hold.unlock();
        size_t linkOffset = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink);
        size_t size = linkOffset + (event.link.size() + 1) * sizeof(WCHAR);
        std::vector<uint64_t> storage(size / 8 + 1, 0);
        auto data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(storage.data());
        data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        data->Reserved = 0;
        data->u.DeviceInterface.ClassGuid = event.classGuid;
        std::memcpy(data->u.DeviceInterface.SymbolicLink, event.link.c_str(), (event.link.size() + 1) * sizeof(WCHAR));
        r->callback(r->handle, r->context, static_cast<CM_NOTIFY_ACTION>(event.action), data, static_cast<DWORD>(size));
        hold.lock();
        r->inCallback = false;
        cmChanged.notify_all();
    }
    idleWakes.push_back(r->wake);
    r->released = true;
    cmChanged.notify_all();
}

void Worker() {
    // winpthreads gives a thread it did not start a record (an event and a handle of the thread)
    // at the thread's first wait, which may come late or never: the thread asks for it at once,
    // and WaitIdle waits for it, so that the record is there once the world is idle.
    std::this_thread::get_id();
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    --startingWorkers;
    cmChanged.notify_all();
    for (;;) {
        ++idleWorkers;
        workAvailable.wait(hold, [] { return !unassigned.empty(); });
        --idleWorkers;
        std::shared_ptr<CmRegistration> r = std::move(unassigned.front());
        unassigned.pop_front();
        Deliver(hold, r);
    }
}

// A delivery thread per registration: with hundreds of registrations a 32-bit process runs out
// of address space for default 2 MB stacks, so each reserves a small one. False when none starts.
DWORD WINAPI WorkerThread(LPVOID) {
    Worker();
    return 0;
}

bool StartWorker() {
    HANDLE thread = CreateThread(nullptr, 256 * 1024, WorkerThread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    ++startingWorkers;
    return true;
}

}  // namespace

void QueueCmEventLocked(DWORD action, const GUID& classGuid, const std::string& path) {
    QueueCmWideEventLocked(action, classGuid, Widen(path));
}

void QueueCmWideEventLocked(DWORD action, const GUID& classGuid, const std::wstring& link) {
    for (auto& [handle, r] : registrations) {
        if (r->closing) continue;
        if (!r->allClasses && std::memcmp(&r->classGuid, &classGuid, sizeof classGuid) != 0) continue;
        r->queue.push_back(PendingEvent{action, classGuid, link});
        r->wake->notify_one();
    }
}

uint32_t CmRegistrationCountLocked(const GUID* classGuid) {
    uint32_t n = 0;
    for (auto& [handle, r] : registrations) {
        if (r->closing) continue;
        if (!classGuid || std::memcmp(&r->classGuid, classGuid, sizeof(GUID)) == 0) ++n;
    }
    return n;
}

}  // namespace sim

using namespace sim;

extern "C" {

SIMWORLD_API int SimInterfaces_WaitIdle(uint32_t timeoutMs) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    return cmChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs), [] {
        if (startingWorkers > 0) return false;
        for (auto& [handle, r] : registrations) {
            if (!r->queue.empty() || r->inCallback) return false;
        }
        return true;
    }) ? 1 : 0;
}

SIMWORLD_API uint32_t SimInterfaces_CmRegistrationCount(const GUID* classGuid) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return CmRegistrationCountLocked(classGuid);
}

__declspec(dllexport) CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                                               PCM_NOTIFY_CALLBACK callback,
                                                               PHCMNOTIFICATION notifyContext) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    // args: filter, context, callback, handle pointer, the handle handed out (0 on failure)
    auto record = [&](CONFIGRET result, HCMNOTIFICATION handle = nullptr) {
        w.Record("CM_Register_Notification", 0,
                 {U(filter), U(context), reinterpret_cast<uintptr_t>(callback), U(notifyContext), U(handle)}, result, 0,
                 filter, filter ? sizeof *filter : 0);
        return result;
    };
    if (!filter || !callback || !notifyContext) return record(CR_INVALID_POINTER);
    if (filter->cbSize != sizeof(CM_NOTIFY_FILTER)) return record(CR_INVALID_DATA);
    if (filter->Flags & ~static_cast<DWORD>(CM_NOTIFY_FILTER_VALID_FLAGS)) return record(CR_INVALID_FLAG);
    // Only interface notifications are modelled: the world has no device handles or instances to watch.
    if (filter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE || filter->Reserved != 0) return record(CR_INVALID_DATA);
    DWORD fault = 0;
    if (TakeInterfaceFault(SIM_CM_REGISTER, fault)) {
        *notifyContext = nullptr;
        return record(static_cast<CONFIGRET>(fault));
    }
    auto r = std::make_shared<CmRegistration>();
    r->handle = reinterpret_cast<HCMNOTIFICATION>(nextHandle);
    nextHandle += 0x10;
    r->classGuid = filter->u.DeviceInterface.ClassGuid;
    r->allClasses = (filter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0;
    r->context = context;
    r->callback = callback;
    if (idleWakes.empty()) {
        r->wake = NewWake();
    } else {
        r->wake = idleWakes.back();
        idleWakes.pop_back();
    }
    unassigned.push_back(r);
    if (idleWorkers < static_cast<int>(unassigned.size()) && !StartWorker()) {
        // No thread to deliver its events: the registration is refused, as the system refuses one
        // it has no resources for.
        unassigned.pop_back();
        idleWakes.push_back(r->wake);
        *notifyContext = nullptr;
        return record(CR_OUT_OF_MEMORY);
    }
    workAvailable.notify_one();
    registrations[r->handle] = r;
    NoteChangeLocked();
    *notifyContext = r->handle;
    return record(CR_SUCCESS, r->handle);
}

__declspec(dllexport) CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION handle) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    auto it = registrations.find(handle);
    CONFIGRET result = CR_SUCCESS;
    DWORD fault = 0;
    if (it == registrations.end() || it->second->closing) result = CR_INVALID_POINTER;
    else if (TakeInterfaceFault(SIM_CM_UNREGISTER, fault)) result = static_cast<CONFIGRET>(fault);
    w.Record("CM_Unregister_Notification", 0, {U(handle)}, result, 0, nullptr, 0);   // result: the CONFIGRET
    if (result != CR_SUCCESS) return result;
    std::shared_ptr<CmRegistration> r = it->second;
    r->closing = true;   // listed until its callback has returned, so that WaitIdle waits for it
    r->queue.clear();
    r->wake->notify_one();
    if (r->inCallback && r->threadId == GetCurrentThreadId()) {
        std::fprintf(stderr, "simworld: CM_Unregister_Notification called from inside its own callback waits for "
                             "that callback: deadlock, as on Windows\n");
        std::fflush(stderr);
    }
    // Returns once the delivery thread has let the registration go, so that a registration made
    // next finds it idle: the world's delivery threads and their wake-ups do not grow beyond the
    // registrations that live at once.
    cmChanged.wait(hold, [&] { return !r->inCallback && r->released; });
    registrations.erase(handle);
    NoteChangeLocked();
    cmChanged.notify_all();
    return CR_SUCCESS;
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
