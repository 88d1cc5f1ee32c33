// Wine's user32 keeps window registrations for device notifications to itself and knows nothing
// of the simulated world's devices. For the lifetime of this object the given module's calls of
// RegisterDeviceNotificationA and UnregisterDeviceNotification go to the world's own, which
// checks them as the system does and sends each registration its class's arrivals and removals.
#pragma once
#include <windows.h>

#include "import_patch.h"
#include "simworld_interfaces.h"

class WorldWindowNotifications {
public:
    explicit WorldWindowNotifications(HMODULE module)
        : register_(module, "RegisterDeviceNotificationA",
                    SimInterfaces_WindowNotificationFunction("RegisterDeviceNotificationA")),
          unregister_(module, "UnregisterDeviceNotification",
                      SimInterfaces_WindowNotificationFunction("UnregisterDeviceNotification")) {}

    // The world's own two, to call them as the system's.
    static decltype(&::RegisterDeviceNotificationA) Register() {
        return reinterpret_cast<decltype(&::RegisterDeviceNotificationA)>(
            SimInterfaces_WindowNotificationFunction("RegisterDeviceNotificationA"));
    }
    static decltype(&::UnregisterDeviceNotification) Unregister() {
        return reinterpret_cast<decltype(&::UnregisterDeviceNotification)>(
            SimInterfaces_WindowNotificationFunction("UnregisterDeviceNotification"));
    }

private:
    ImportPatch register_;
    ImportPatch unregister_;
};
