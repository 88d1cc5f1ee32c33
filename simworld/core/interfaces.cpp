// Device interfaces: the interface enumeration of the substitute SetupAPI, the window
// registrations for device notifications and the delivery of WM_DEVICECHANGE to them.
// Contracts kept from the platform: a set holds the interfaces present when it was made;
// SetupDiEnumDeviceInterfaces ends with ERROR_NO_MORE_ITEMS; SetupDiGetDeviceInterfaceDetailA
// reports the required size and fails with ERROR_INSUFFICIENT_BUFFER without a buffer or with a
// small one, and with ERROR_INVALID_USER_BUFFER for a wrong cbSize; a window registration names
// a window and a filter of the interface type; each registration of the class gets its own
// message, in the ANSI form (dbcc_size covering the name), sent, not posted.
#include "interfaces.h"

#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <vector>

#include "devinfo_sets.h"
#include "scenario_world.h"
#include "simworld_interfaces.h"
#include "world.h"

namespace sim {

namespace {

struct InterfaceRecord {
    GUID classGuid{};
    std::string path;
    bool present = true;
};

struct InterfaceFault {
    int operation;
    DWORD error;
    uint32_t remaining;
};

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

struct WindowRegistration {
    HWND recipient = nullptr;
    GUID classGuid{};
    bool allClasses = false;
};

// All guarded by the world mutex.
std::map<int, InterfaceRecord> interfaces;   // ordered by id: arrival order
int nextInterfaceId = 1;
std::vector<InterfaceFault> faults;
std::map<uintptr_t, WindowRegistration> windowRegistrations;   // by handle: registration order
uintptr_t nextWindowRegistration = 0xD700;
std::map<GUID, uint32_t, GuidLess> enumerations;

// A snapshot of the present interfaces of one class.
struct InterfaceSet : DevInfoSet {
    GUID classGuid{};
    std::vector<std::string> paths;
    ~InterfaceSet() override { ++enumerations[classGuid]; }   // destroyed under the world mutex
};

uint64_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

const GUID& DeviceInterfaceClass() {
    static const GUID cls = {0x8f0a6c3e, 0x5b1d, 0x4c2a, {0x9e, 0x7f, 0x3d, 0x2b, 0x1a, 0x0c, 0x9e, 0x8d}};
    return cls;
}

int AddInterfaceLocked(const GUID& classGuid, const std::string& path) {
    int id = nextInterfaceId++;
    interfaces[id] = InterfaceRecord{classGuid, path, true};
    return id;
}

bool RemoveInterfaceLocked(int id, GUID& classGuid, std::string& path) {
    auto it = interfaces.find(id);
    if (it == interfaces.end() || !it->second.present) return false;
    it->second.present = false;
    classGuid = it->second.classGuid;
    path = it->second.path;
    return true;
}

void ResetInterfacesLocked() {
    interfaces.clear();
    faults.clear();
}

bool TakeInterfaceFault(int operation, DWORD& error) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->operation != operation) continue;
        error = it->error;
        if (it->remaining != SIM_FOREVER && --it->remaining == 0) faults.erase(it);
        return true;
    }
    return false;
}

void AnnounceInterface(bool arrival, const GUID& classGuid, const std::string& path) {
    World& w = TheWorld();
    std::vector<HWND> recipients;
    {
        std::lock_guard<std::mutex> hold(w.mutex);
        QueueCmEventLocked(arrival ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
                           classGuid, path);
        for (const auto& [handle, r] : windowRegistrations) {
            if (r.allClasses || SameGuid(r.classGuid, classGuid)) recipients.push_back(r.recipient);
        }
    }
    if (recipients.empty()) return;
    size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<uint64_t> storage((nameOffset + path.size() + 1 + 7) / 8 + 1, 0);   // 8-byte aligned record
    auto record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
    record->dbcc_size = static_cast<DWORD>(nameOffset + path.size() + 1);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_reserved = 0;
    record->dbcc_classguid = classGuid;
    // Windows may name the interface in other letter case here than through SetupAPI and the
    // Configuration Manager: the same path comes in capitals.
    std::memcpy(record->dbcc_name, path.c_str(), path.size() + 1);
    for (size_t i = 0; i < path.size(); ++i) {
        if (record->dbcc_name[i] >= 'a' && record->dbcc_name[i] <= 'z') record->dbcc_name[i] = static_cast<char>(record->dbcc_name[i] - 'a' + 'A');
    }
    WPARAM event = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    for (HWND window : recipients) {
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record), SMTO_ABORTIFHUNG, 5000,
                            &answer);
    }
}

uint32_t WindowRegistrationCountLocked(const GUID* classGuid) {
    uint32_t n = 0;
    for (const auto& [handle, r] : windowRegistrations) {
        if (!classGuid || SameGuid(r.classGuid, *classGuid)) ++n;
    }
    return n;
}

}  // namespace sim

using namespace sim;

extern "C" {

SIMWORLD_API int SimInterfaces_Add(const GUID* classGuid, const char* path) {
    if (!classGuid || !path) return 0;
    int id;
    {
        World& w = TheWorld();
        std::lock_guard<std::mutex> hold(w.mutex);
        id = AddInterfaceLocked(*classGuid, path);
    }
    AnnounceInterface(true, *classGuid, path);
    return id;
}

SIMWORLD_API int SimInterfaces_Remove(int id) {
    GUID classGuid{};
    std::string path;
    {
        World& w = TheWorld();
        std::lock_guard<std::mutex> hold(w.mutex);
        if (!RemoveInterfaceLocked(id, classGuid, path)) return 0;
    }
    AnnounceInterface(false, classGuid, path);
    return 1;
}

SIMWORLD_API void SimInterfaces_NotifyAction(const GUID* classGuid, const char* path, uint32_t action) {
    if (!classGuid || !path) return;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    QueueCmEventLocked(action, *classGuid, path);
}

static HDEVNOTIFY WINAPI RegisterDeviceNotificationForWorld(HANDLE recipient, LPVOID filter, DWORD flags) {
    World& w = TheWorld();
    auto header = static_cast<const DEV_BROADCAST_HDR*>(filter);
    auto wanted = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
    bool isWindow = recipient && IsWindow(static_cast<HWND>(recipient));   // user32, outside the world's lock
    std::lock_guard<std::mutex> hold(w.mutex);
    auto record = [&](uintptr_t handle, DWORD error) {
        DWORD size = header ? std::min<DWORD>(header->dbch_size, 1024) : 0;
        w.Record("RegisterDeviceNotificationA", 0, {U(recipient), U(filter), flags, handle}, handle != 0, error,
                 filter, size);
        if (!handle) SetLastError(error);
        return reinterpret_cast<HDEVNOTIFY>(handle);
    };
    constexpr DWORD kKnownFlags = DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
    if (flags & ~kKnownFlags) return record(0, ERROR_INVALID_FLAGS);
    if (flags & DEVICE_NOTIFY_SERVICE_HANDLE) return record(0, ERROR_INVALID_PARAMETER);   // no services here
    if (!isWindow || !filter) return record(0, ERROR_INVALID_PARAMETER);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return record(0, ERROR_INVALID_DATA);
    if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) return record(0, ERROR_INVALID_DATA);
    DWORD error = 0;
    if (TakeInterfaceFault(SIM_WINDOW_REGISTER, error)) return record(0, error);
    uintptr_t handle = nextWindowRegistration;
    nextWindowRegistration += 0x10;
    windowRegistrations[handle] = WindowRegistration{static_cast<HWND>(recipient), wanted->dbcc_classguid,
                                                     (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0};
    NoteChangeLocked();
    return record(handle, 0);
}

static BOOL WINAPI UnregisterDeviceNotificationForWorld(HDEVNOTIFY handle) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto it = windowRegistrations.find(reinterpret_cast<uintptr_t>(handle));
    DWORD error = ERROR_INVALID_HANDLE;
    bool released = it != windowRegistrations.end() && !TakeInterfaceFault(SIM_WINDOW_UNREGISTER, error);
    if (released) {
        windowRegistrations.erase(it);
        NoteChangeLocked();
    }
    w.Record("UnregisterDeviceNotification", 0, {U(handle)}, released, error, nullptr, 0);
    return released ? TRUE : Fail(error);
}

SIMWORLD_API void* SimInterfaces_WindowNotificationFunction(const char* name) {
    // Reached through pointers only: in the 32-bit build their stdcall names would not link.
    if (!name) return nullptr;
    if (std::strcmp(name, "RegisterDeviceNotificationA") == 0)
        return reinterpret_cast<void*>(&RegisterDeviceNotificationForWorld);
    if (std::strcmp(name, "UnregisterDeviceNotification") == 0)
        return reinterpret_cast<void*>(&UnregisterDeviceNotificationForWorld);
    return nullptr;
}

SIMWORLD_API uint32_t SimInterfaces_WindowRegistrationCount(const GUID* classGuid) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return WindowRegistrationCountLocked(classGuid);
}

SIMWORLD_API uint32_t SimInterfaces_EnumerationCount(const GUID* classGuid) {
    if (!classGuid) return 0;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto it = enumerations.find(*classGuid);
    return it == enumerations.end() ? 0 : it->second;
}

SIMWORLD_API void SimInterfaces_FailCall(int operation, uint32_t error, uint32_t times) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    faults.push_back(InterfaceFault{operation, error, times});
}

SIMWORLD_API void SimInterfaces_ClearFaults(void) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    faults.clear();
}

__declspec(dllexport) HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                                            DWORD flags) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto record = [&](HDEVINFO result, DWORD error) {
        BOOL ok = result != INVALID_HANDLE_VALUE;
        w.Record("SetupDiGetClassDevsA", 0, {U(classGuid), U(enumerator), U(parent), flags, U(result)}, ok, error,
                 classGuid, classGuid ? sizeof(GUID) : 0);
        if (!ok) SetLastError(error);
        return result;
    };
    DWORD error = 0;
    if (TakeInterfaceFault(SIM_IF_GET_CLASS_DEVS, error)) return record(INVALID_HANDLE_VALUE, error);
    // Device-node sets of setup classes are not made here: only interface sets of one class.
    if (!(flags & DIGCF_DEVICEINTERFACE)) return record(INVALID_HANDLE_VALUE, ERROR_INVALID_FLAGS);
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) return record(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    auto set = std::make_unique<InterfaceSet>();
    if (classGuid) set->classGuid = *classGuid;
    for (const auto& [id, i] : interfaces) {
        if ((flags & DIGCF_PRESENT) && !i.present) continue;
        if (classGuid && !SameGuid(i.classGuid, *classGuid)) continue;
        set->paths.push_back(i.path);
    }
    return record(AddDevInfoSet(std::move(set)), 0);
}

__declspec(dllexport) BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device,
                                                              const GUID* classGuid, DWORD index,
                                                              PSP_DEVICE_INTERFACE_DATA data) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto record = [&](BOOL ok, DWORD error) {
        w.Record("SetupDiEnumDeviceInterfaces", 0, {U(handle), U(device), U(classGuid), index, U(data)}, ok, error,
                 nullptr, 0);
        return ok ? TRUE : Fail(error);
    };
    InterfaceSet* set = FindDevInfoSetAs<InterfaceSet>(handle);
    if (!set) return record(FALSE, ERROR_INVALID_HANDLE);
    if (!classGuid) return record(FALSE, ERROR_INVALID_PARAMETER);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return record(FALSE, ERROR_INVALID_USER_BUFFER);
    DWORD error = 0;
    if (TakeInterfaceFault(SIM_IF_ENUM_INTERFACES, error)) return record(FALSE, error);
    // The set holds one class; interfaces of another class asked for are none.
    if (!SameGuid(*classGuid, set->classGuid) || index >= set->paths.size()) return record(FALSE, ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = *classGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return record(TRUE, 0);
}

__declspec(dllexport) BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                                   DWORD detailSize, PDWORD requiredSize,
                                                                   PSP_DEVINFO_DATA device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto record = [&](BOOL ok, DWORD error) {
        w.Record("SetupDiGetDeviceInterfaceDetailA", 0,
                 {U(handle), U(data), U(detail), detailSize, U(requiredSize), U(device)}, ok, error, nullptr, 0);
        return ok ? TRUE : Fail(error);
    };
    InterfaceSet* set = FindDevInfoSetAs<InterfaceSet>(handle);
    if (!set) return record(FALSE, ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return record(FALSE, ERROR_INVALID_USER_BUFFER);
    if (data->Reserved == 0 || data->Reserved > set->paths.size()) return record(FALSE, ERROR_INVALID_PARAMETER);
    const std::string& path = set->paths[data->Reserved - 1];
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    DWORD error = 0;
    if (!detail) {
        if (TakeInterfaceFault(SIM_IF_DETAIL_SIZE, error)) {
            if (error == 0 && requiredSize) *requiredSize = 0;
            return record(FALSE, error == 0 ? ERROR_INSUFFICIENT_BUFFER : error);
        }
        if (requiredSize) *requiredSize = needed;
        return record(FALSE, detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    }
    if (requiredSize) *requiredSize = needed;
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return record(FALSE, ERROR_INVALID_USER_BUFFER);
    if (detailSize < needed) return record(FALSE, ERROR_INSUFFICIENT_BUFFER);
    if (TakeInterfaceFault(SIM_IF_DETAIL, error)) return record(FALSE, error);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (device && device->cbSize == sizeof(SP_DEVINFO_DATA)) device->DevInst = static_cast<DEVINST>(data->Reserved);
    return record(TRUE, 0);
}

}  // extern "C"
