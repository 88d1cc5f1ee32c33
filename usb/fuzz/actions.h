// The library's exports as the fuzzer draws them: bound from the one list of exports
// (linkwinusb_exports.h), one action per export and three of the world's events, and how often
// each is drawn.
#pragma once
#include <cstdint>

#include "linkwinusb_exports.h"

namespace usbfuzz {

extern LinkWinUsbExports api;   // main binds it as a host binds the exports

// One action per export, in the list's order, then the world's events.
enum Action {
#define LWU_FUZZ_ACTION(name) k##name,
    LWU_EXPORTS(LWU_FUZZ_ACTION)
#undef LWU_FUZZ_ACTION
    kAnnounce,
    kPlug,
    kUnplug,
    kActions
};
constexpr int kExports = kAnnounce;
static_assert(kExports == kLwuExportCount, "one action per export");

// The export's name, or the world event's: what reports, --only and --profile use.
const char* ActionName(Action action);

// How often each action is drawn. Plugging and unplugging cost the most (files, announcements).
struct ActionWeight {
    Action action;
    uint32_t weight;
};
constexpr ActionWeight kWeights[] = {
    {kOpenDevice, 12},
    {kCloseDevice, 8},
    {kRead, 12},
    {kWrite, 10},
    {kControlRead, 10},
    {kControlWrite, 8},
    {kPipeRead, 12},
    {kPipeWrite, 10},
    {kGetPipeOverlappedResult, 10},
    {kPipeAbort, 6},
    {kPipeFlush, 6},
    {kPipeReset, 6},
    {kSetPipePolicy, 6},
    {kGetPipePolicy, 6},
    {kSetTransferTimeoutPolicy, 6},
    {kGetTransferTimeoutPolicy, 6},
    {kQueryDeviceEndpoints, 8},
    {kGetDeviceDescriptor, 8},
    {kRegisterForDeviceNotification, 4},
    {kUnregisterForDeviceNotification, 4},
    {kCmRegisterNotification, 4},
    {kCmUnregisterNotification, 4},
    {kGetUsbDeviceDetail, 10},
    {kFreeUsbDeviceDetail, 6},
    {kAnnounce, 4},
    {kPlug, 1},
    {kUnplug, 1},
};

constexpr bool EveryActionWeighedOnce() {
    for (int a = 0; a < kActions; ++a) {
        int entries = 0;
        for (const ActionWeight& w : kWeights) entries += w.action == a ? 1 : 0;
        if (entries != 1) return false;
    }
    return true;
}
static_assert(EveryActionWeighedOnce(), "every action needs exactly one entry in kWeights");

constexpr uint32_t WeightOf(Action action) {
    for (const ActionWeight& w : kWeights) {
        if (w.action == action) return w.weight;
    }
    return 0;
}

}  // namespace usbfuzz
