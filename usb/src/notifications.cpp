// Discovery of present device interfaces and arrival/removal notifications, by a hidden
// message-only window (WM_DEVICECHANGE) and by the Configuration Manager.
#include <windows.h>
#include <dbt.h>
#include <objbase.h>
#include <setupapi.h>

#include <atomic>
#include <string>

#include "../platform/cfgmgr_notify.h"
#include "guard.h"
#include "handles.h"
#include "internal.h"
#include "registration_list.h"

namespace lwu {

namespace {

const char kWindowClass[] = "LinkWinUsb API";
const char kWindowName[] = "DevNotifWnd";
const char kNotRegistered[] = "Could not register for device notifications! \n";

std::atomic<HWND> notificationWindow{nullptr};
Lock windowCreation;   // two first registrations must not both make the window

void WriteText(const char* text) { WriteDiagnostic(text, std::string()); }

// The braced registry form, as CLSIDFromString reads it. A null text would parse as GUID_NULL.
bool ParseClass(const wchar_t* text, GUID& out) {
    if (!text) return false;
    return SUCCEEDED(CLSIDFromString(text, &out));
}

// The window procedure and the Configuration Manager callback live in this module: once it
// has handed either to the system it stays loaded, so no FreeLibrary leaves the system
// calling into unloaded code.
void KeepLoaded() {
    static Lock pinning;
    static bool pinned = false;
    LockHold hold(pinning);
    if (pinned) return;
    static const char marker = 0;
    HMODULE self = nullptr;
    pinned = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN, &marker,
                                &self) != 0;
}

LRESULT CALLBACK NotificationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DWORD CALLBACK CmInterfaceNotification(HCMNOTIFICATION notification, PVOID context, CM_NOTIFY_ACTION action,
                                       PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize);

void DispatchInterfaceEvent(int32_t action, const GUID& classGuid, const char* path) {
    Registrations().Dispatch(action, classGuid, path);
}

// Every present interface of the class, to the registering entry only, on this thread. Each
// report is a callback call like a dispatched event's; the reports end once the entry is gone.
void ReportPresentInterfaces(const EntryRef& entry) {
    const GUID& classGuid = entry->classGuid;
    HDEVINFO set = SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        WriteText("Failed getting device information\n");
        return;
    }
    DeviceInfoList owner(set);
    SP_DEVICE_INTERFACE_DATA item{};
    item.cbSize = sizeof item;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &classGuid, index, &item); ++index) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &item, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        LocalMemory buffer(LocalAlloc(LMEM_FIXED, required));
        if (!buffer) continue;   // no memory for this one: skip it, report the others
        auto detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &item, detail, required, nullptr, nullptr)) continue;
        // A host's exception ends neither the report nor the registration.
        if (!Registrations().Call(entry, LWU_DEVICE_ARRIVAL, detail->DevicePath)) return;
    }
}

HWND EnsureNotificationWindow() {
    LockHold hold(windowCreation);
    HWND window = notificationWindow.load();
    if (window) return window;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = NotificationWindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW));
    windowClass.lpszClassName = kWindowClass;
    // A class that an earlier call registered before its window could not be made serves as well:
    // one failed window must not leave the process without one for good.
    if (RegisterClassExA(&windowClass) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        window = CreateWindowExA(0, kWindowClass, kWindowName, WS_MINIMIZE, 0, 0, CW_USEDEFAULT, 0, HWND_MESSAGE,
                                 nullptr, instance, nullptr);
        notificationWindow.store(window);
    }
    return window;
}

void RegisterByWindow(DeviceNotificationCallback callback, const wchar_t* classText) {
    GUID classGuid{};
    if (!callback || !ParseClass(classText, classGuid)) {
        WriteText(kNotRegistered);
        return;
    }
    KeepLoaded();
    HWND window = EnsureNotificationWindow();
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = classGuid;
    HDEVNOTIFY handle = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!handle) {
        WriteText(kNotRegistered);
        return;
    }
    WriteText("Registered for USB device notification...\n");
    EntryRef entry;
    try {
        entry = Registrations().Append(callback, classGuid, handle, Mechanism::Window);
    } catch (...) {
        UnregisterDeviceNotification(handle);   // no entry: leave no system registration either
        WriteText(kNotRegistered);
        return;
    }
    ReportPresentInterfaces(entry);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

uint32_t RegisterByConfigurationManager(DeviceNotificationCallback callback, const wchar_t* classText) {
    GUID classGuid{};
    if (!callback || !ParseClass(classText, classGuid)) return ERROR_INVALID_PARAMETER;
    KeepLoaded();
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.Flags = 0;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.Reserved = 0;
    filter.u.DeviceInterface.ClassGuid = classGuid;
    HCMNOTIFICATION handle = nullptr;
    CONFIGRET result = CM_Register_Notification(&filter, nullptr, CmInterfaceNotification, &handle);
    if (result != CR_SUCCESS) return CM_MapCrToWin32Err(result, ERROR_INVALID_DATA);
    EntryRef entry;
    try {
        entry = Registrations().Append(callback, classGuid, handle, Mechanism::ConfigurationManager);
    } catch (...) {
        CM_Unregister_Notification(handle);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    ReportPresentInterfaces(entry);
    return 0;
}

DWORD WINAPI ReleaseLater(LPVOID handle) {
    CM_Unregister_Notification(static_cast<HCMNOTIFICATION>(handle));
    return 0;
}

// Releases a claimed entry with its own mechanism's call, whichever export found it.
uint32_t Release(const EntryRef& entry) {
    RegistrationList& list = Registrations();
    if (entry->mechanism == Mechanism::Window) {
        UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(entry->registrationHandle));
        list.Remove(entry);
        list.WaitUntilIdle(entry);
        return 0;
    }
    auto handle = static_cast<HCMNOTIFICATION>(entry->registrationHandle);
    if (list.InsideCallback()) {
        // CM_Unregister_Notification waits for callbacks in progress, this one among them:
        // the system registration goes on a pool thread and the entry leaves the list now.
        // With no pool thread to take it, the entry stays as a refused release leaves it.
        if (!QueueUserWorkItem(ReleaseLater, handle, WT_EXECUTEDEFAULT)) {
            DWORD error = GetLastError();
            list.Unclaim(entry);
            return error != 0 ? error : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
        }
        list.Remove(entry);
        return 0;
    }
    CONFIGRET result = CM_Unregister_Notification(handle);
    if (result != CR_SUCCESS) {
        list.Unclaim(entry);
        return CM_MapCrToWin32Err(result, ERROR_INVALID_DATA);
    }
    list.Remove(entry);
    list.WaitUntilIdle(entry);
    return 0;
}

uint32_t Unregister(DeviceNotificationCallback callback, const wchar_t* classText, bool windowExport) {
    GUID classGuid{};
    if (!callback || !ParseClass(classText, classGuid)) return ERROR_INVALID_PARAMETER;
    uint32_t result = 0;
    if (EntryRef entry = Registrations().Claim(callback, classGuid)) result = Release(entry);
    if (windowExport && Registrations().Count() == 0) {
        // Answered with no treatment: the window and its message loop stay for later registrations.
        // Not waited for: a callback on another thread may be what the window's thread waits for.
        if (HWND window = notificationWindow.load()) SendNotifyMessageA(window, WM_CLOSE, 0, 0);
    }
    return result;
}

LRESULT CALLBACK NotificationWindowProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) return TRUE;
    if (message != WM_DEVICECHANGE || lParam == 0) return 0;
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) return 0;
    auto header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return 0;
    auto record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
    GuardedVoid([&] {
        DispatchInterfaceEvent(wParam == DBT_DEVICEARRIVAL ? LWU_DEVICE_ARRIVAL : LWU_DEVICE_REMOVAL,
                               record->dbcc_classguid, record->dbcc_name);
    });
    return 0;
}

DWORD CALLBACK CmInterfaceNotification(HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION action,
                                       PCM_NOTIFY_EVENT_DATA eventData, DWORD) {
    if (!eventData || eventData->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) return ERROR_SUCCESS;
    GuardedVoid([&] {
        std::string path;   // the whole link: a cut one would name another device or none
        if (!NarrowText(eventData->u.DeviceInterface.SymbolicLink, path)) return;
        const GUID& classGuid = eventData->u.DeviceInterface.ClassGuid;
        switch (action) {
        case CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL:
            DispatchInterfaceEvent(LWU_DEVICE_ARRIVAL, classGuid, path.c_str());
            break;
        case CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL:
            DispatchInterfaceEvent(LWU_DEVICE_REMOVAL, classGuid, path.c_str());
            break;
        default:
            WriteDiagnostic("CmInterfaceNotification: Arrival unknown action   ", path + "\n");
            break;
        }
    });
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace lwu

using namespace lwu;

extern "C" {

void LWU_CALL RegisterForDeviceNotification(DeviceNotificationCallback callback, const wchar_t* classGuid) {
    GuardedVoid([&] { RegisterByWindow(callback, classGuid); });
}

void LWU_CALL UnregisterForDeviceNotification(DeviceNotificationCallback callback, const wchar_t* classGuid) {
    GuardedVoid([&] { Unregister(callback, classGuid, true); });
}

uint32_t LWU_CALL CmRegisterNotification(DeviceNotificationCallback callback, const wchar_t* classGuid) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] { return RegisterByConfigurationManager(callback, classGuid); });
}

uint32_t LWU_CALL CmUnregisterNotification(DeviceNotificationCallback callback, const wchar_t* classGuid) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] { return Unregister(callback, classGuid, false); });
}

}  // extern "C"
