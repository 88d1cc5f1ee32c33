#include "actions.h"

namespace usbfuzz {

LinkWinUsbExports api;

const char* ActionName(Action action) {
    return action < kExports     ? kLwuExportNames[action]
           : action == kAnnounce ? "InterfaceEvent"
           : action == kPlug     ? "Plug"
                                 : "Unplug";
}

}  // namespace usbfuzz
