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
                    reinterpret_cast<void*>(&SimUser32_RegisterDeviceNotificationA)),
          unregister_(module, "UnregisterDeviceNotification",
                      reinterpret_cast<void*>(&SimUser32_UnregisterDeviceNotification)) {}

private:
    ImportPatch register_;
    ImportPatch unregister_;
};
