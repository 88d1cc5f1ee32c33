/* Control interface of the simulated world's device interfaces and their notifications.
   Device interfaces belong to interface classes and have paths (narrow, any length; they need
   not be openable files). The devices of SimWorld_AddDevice are interfaces of class
   SIM_DEVICE_CLASS_TEXT with their own paths. Every arrival and removal (SimWorld_AddDevice,
   SimWorld_RemoveDevice, SimInterfaces_Add, SimInterfaces_Remove) reaches:
   - each Configuration Manager registration of the class, on that registration's own thread,
     one event at a time in order (CM_Register_Notification of the substitute cfgmgr32.dll);
   - each window registration of the class (SimInterfaces_WindowNotificationFunction below): its
     window is sent WM_DEVICECHANGE with a DEV_BROADCAST_DEVICEINTERFACE_A (SendMessageTimeoutA;
     the call returns once the window's thread has handled it), one message per registration.
   Events are delivered outside the world's lock, so callbacks may call back into the world.
   SimWorld_Reset clears the interfaces and their faults; the registrations of both mechanisms
   stay, since they belong to the program that made them. */
#ifndef SIMWORLD_INTERFACES_H
#define SIMWORLD_INTERFACES_H

#include <windows.h>

#include "simworld.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_DEVICE_CLASS_TEXT L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}"

/* Calls that faults can be injected into (SimInterfaces_FailCall). */
enum SimInterfaceOperation {
    SIM_IF_GET_CLASS_DEVS = 1, /* SetupDiGetClassDevsA fails: error is a Win32 code */
    SIM_IF_ENUM_INTERFACES,    /* SetupDiEnumDeviceInterfaces fails: Win32 code */
    SIM_IF_DETAIL_SIZE,        /* SetupDiGetDeviceInterfaceDetailA without a buffer: Win32 code;
                                  0 reports a required size of 0 */
    SIM_IF_DETAIL,             /* SetupDiGetDeviceInterfaceDetailA with a buffer: Win32 code */
    SIM_CM_REGISTER,           /* CM_Register_Notification returns this CONFIGRET */
    SIM_CM_UNREGISTER,         /* CM_Unregister_Notification returns this CONFIGRET */
    SIM_IF_DESTROY_LIST,       /* SetupDiDestroyDeviceInfoList fails: Win32 code; the set stays */
    SIM_WINDOW_REGISTER,       /* the world's RegisterDeviceNotificationA fails: Win32 code */
    SIM_WINDOW_UNREGISTER      /* its UnregisterDeviceNotification fails: Win32 code; it stays */
};

/* An interface arrives; returns its id (>0), 0 for a null class or path. */
SIMWORLD_API int SimInterfaces_Add(const GUID* classGuid, const char* path);
/* The interface is removed; 0 if it was not present. */
SIMWORLD_API int SimInterfaces_Remove(int id);
/* Configuration Manager registrations of the class receive `action` (a CM_NOTIFY_ACTION) for
   the path; no interface changes. */
SIMWORLD_API void SimInterfaces_NotifyAction(const GUID* classGuid, const char* path, uint32_t action);
/* The system's device notifications to windows, as the world makes them. Wine's user32 keeps
   its registrations to itself and knows nothing of the world's devices, so a program points the
   imports of RegisterDeviceNotificationA and UnregisterDeviceNotification of the module it wants
   served at the world's two (the import seam, tests/support/import_patch.h). This gives them by
   name, with the system's signature and calling convention; NULL for any other name. Contracts
   kept: the recipient is a window (else ERROR_INVALID_PARAMETER, as Wine answers); the filter is a
   DEV_BROADCAST_DEVICEINTERFACE_A whose dbcc_size covers the structure (else ERROR_INVALID_DATA);
   the flags are DEVICE_NOTIFY_WINDOW_HANDLE, with DEVICE_NOTIFY_ALL_INTERFACE_CLASSES ignoring the
   class (service handles are not modelled: ERROR_INVALID_PARAMETER; other bits ERROR_INVALID_FLAGS);
   a handle not handed out, or released already, fails with ERROR_INVALID_HANDLE. Both calls are
   recorded: recipient, filter, flags and the handle handed out (register), the handle (release);
   the filter's bytes are the call's data. */
SIMWORLD_API void* SimInterfaces_WindowNotificationFunction(const char* name);
/* Live window registrations of the class (NULL: of all classes). */
SIMWORLD_API uint32_t SimInterfaces_WindowRegistrationCount(const GUID* classGuid);
/* Waits until every Configuration Manager registration has delivered what it was given and
   every delivery thread started has begun; 1 when idle, 0 on time-out. */
SIMWORLD_API int SimInterfaces_WaitIdle(uint32_t timeoutMs);
/* Live Configuration Manager registrations of the class (NULL: of all classes). */
SIMWORLD_API uint32_t SimInterfaces_CmRegistrationCount(const GUID* classGuid);
/* Interface sets of the class destroyed so far: an enumeration of present interfaces is over. */
SIMWORLD_API uint32_t SimInterfaces_EnumerationCount(const GUID* classGuid);
/* The next `times` calls (SIM_FOREVER: all) of the operation fail with `error`. */
SIMWORLD_API void SimInterfaces_FailCall(int operation, uint32_t error, uint32_t times);
SIMWORLD_API void SimInterfaces_ClearFaults(void);

#ifdef __cplusplus
}
#endif
#endif
