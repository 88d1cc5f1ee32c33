// Window registrations for device notifications, served by the setupapi face. Wine's user32
// keeps its registrations to itself and hears nothing of sysfs, so a program points the
// imports of RegisterDeviceNotificationA and UnregisterDeviceNotification of the module it
// wants served at these two (VarkoRealstack_WindowNotificationFunction), as the simulated
// world's programs do. Contracts kept from the platform, as the world keeps them: a
// registration names a window and a filter of the interface type; each registration of the
// class gets its own WM_DEVICECHANGE, DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE, in the
// ANSI form (dbcc_size covering the name), sent, not posted, from the watcher's thread; the
// name comes in capitals, as Windows may name an interface in other letter case here than
// through SetupAPI and the Configuration Manager (Wine opens the node by either).
#include <windows.h>
#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sync.h"
#include "sysfs.h"
#include "watcher.h"

namespace rs {

namespace {

SrwLock windowsLock;
std::map<uintptr_t, uint64_t> windowRegistrations;   // handle → its subscription (0: another class)
uintptr_t nextWindowRegistration = 0xD700;

void SendDeviceChange(HWND window, bool arrival, const std::string& path) {
    size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<uint64_t> storage((nameOffset + path.size() + 1 + 7) / 8 + 1, 0);   // 8-byte aligned record
    auto record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
    record->dbcc_size = static_cast<DWORD>(nameOffset + path.size() + 1);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_reserved = 0;
    record->dbcc_classguid = MakerInterfaceClass();
    std::memcpy(record->dbcc_name, path.c_str(), path.size() + 1);
    for (size_t i = 0; i < path.size(); ++i) {
        char& c = record->dbcc_name[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(window, WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(record), SMTO_ABORTIFHUNG, 5000, &answer);
}

HDEVNOTIFY Refuse(DWORD error) {
    SetLastError(error);
    return nullptr;
}

HDEVNOTIFY Register(HANDLE recipient, LPVOID filter, DWORD flags) {
    auto header = static_cast<const DEV_BROADCAST_HDR*>(filter);
    auto wanted = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
    constexpr DWORD kKnownFlags = DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
    if (flags & ~kKnownFlags) return Refuse(ERROR_INVALID_FLAGS);
    if (flags & DEVICE_NOTIFY_SERVICE_HANDLE) return Refuse(ERROR_INVALID_PARAMETER);   // windows only here
    if (!recipient || !IsWindow(static_cast<HWND>(recipient)) || !filter) return Refuse(ERROR_INVALID_PARAMETER);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return Refuse(ERROR_INVALID_DATA);
    if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) return Refuse(ERROR_INVALID_DATA);
    bool allClasses = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    uint64_t subscription = 0;
    if (allClasses || SameGuid(wanted->dbcc_classguid, MakerInterfaceClass())) {
        HWND window = static_cast<HWND>(recipient);
        subscription = InterfaceWatcher::Instance().Subscribe(
            [window](bool arrival, const std::string& path) { SendDeviceChange(window, arrival, path); });
        if (subscription == 0) return Refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
    try {
        LockHold hold(windowsLock);
        uintptr_t handle = nextWindowRegistration;
        nextWindowRegistration += 0x10;
        windowRegistrations[handle] = subscription;
        return reinterpret_cast<HDEVNOTIFY>(handle);
    } catch (...) {
        InterfaceWatcher::Instance().Unsubscribe(subscription);
        throw;
    }
}

BOOL Unregister(HDEVNOTIFY handle) {
    uint64_t subscription = 0;
    {
        LockHold hold(windowsLock);
        auto it = windowRegistrations.find(reinterpret_cast<uintptr_t>(handle));
        if (it == windowRegistrations.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        subscription = it->second;
        windowRegistrations.erase(it);
    }
    if (subscription) InterfaceWatcher::Instance().Unsubscribe(subscription);
    return TRUE;
}

HDEVNOTIFY WINAPI RegisterDeviceNotificationForRealstack(HANDLE recipient, LPVOID filter, DWORD flags) {
    try {
        return Register(recipient, filter, flags);
    } catch (...) {
        return Refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL WINAPI UnregisterDeviceNotificationForRealstack(HDEVNOTIFY handle) {
    try {
        return Unregister(handle);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

}  // namespace
}  // namespace rs

extern "C" __declspec(dllexport) void* VarkoRealstack_WindowNotificationFunction(const char* name) {
    if (!name) return nullptr;
    if (std::strcmp(name, "RegisterDeviceNotificationA") == 0)
        return reinterpret_cast<void*>(&rs::RegisterDeviceNotificationForRealstack);
    if (std::strcmp(name, "UnregisterDeviceNotification") == 0)
        return reinterpret_cast<void*>(&rs::UnregisterDeviceNotificationForRealstack);
    return nullptr;
}
