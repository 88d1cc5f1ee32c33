// A host in miniature: loads LinkWinUsb like the application does and runs its whole story
// against the default simulated world (one echo device for each protocol version 0, 1 and 2):
// discover the devices by both notification mechanisms, read their identity, open each, find
// its endpoints, set and read the transfer time-out, exchange a framed message and check the
// echo byte for byte, close, then hear one arrival and one removal.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LinkWinUsb.h"
#include "host_library.h"
#include "linkwinusb_exports.h"
#include "simworld.h"
#include "simworld_interfaces.h"
#include "world_window_notifications.h"

namespace {

// What the two callbacks heard: the callbacks get no context, so the host keeps it globally.
struct Heard {
    std::mutex mutex;
    std::vector<std::string> present;   // paths reported to the Configuration Manager callback
    int arrivals[2] = {};               // per callback: 0 window, 1 Configuration Manager
    int removals[2] = {};
};
Heard heard;

void Note(int callback, int action, const char* path) {
    std::lock_guard<std::mutex> hold(heard.mutex);
    const char* who = callback == 0 ? "window callback" : "Configuration Manager callback";
    std::printf("   [%s, thread %lu] %s %s\n", who, GetCurrentThreadId(),
                action == LWU_DEVICE_ARRIVAL ? "arrival" : "removal", path);
    (action == LWU_DEVICE_ARRIVAL ? heard.arrivals : heard.removals)[callback]++;
    if (callback == 1 && action == LWU_DEVICE_ARRIVAL) heard.present.push_back(path);
}
void __cdecl OnWindowEvent(int action, const char* path) { Note(0, action, path); }
void __cdecl OnCmEvent(int action, const char* path) { Note(1, action, path); }

int Count(const int (&counts)[2]) {
    std::lock_guard<std::mutex> hold(heard.mutex);
    return counts[0] + counts[1];
}

// Open, endpoints, time-out, one echoed message, close; true when everything matched.
bool Exchange(const LinkWinUsbExports& api, const std::string& path, std::vector<uint8_t>& inbox) {
    std::printf("\n== %s\n", path.c_str());
    UsbDeviceDetail detail{};
    if (api.GetUsbDeviceDetail(&detail, path.c_str()) != 0) {
        std::printf("   identity: vendor %04X product %04X, \"%s\" / \"%s\", serial \"%s\"\n", detail.vendorId,
                    detail.productId, detail.manufacturer, detail.product, detail.serialNumber);
    } else {
        std::printf("   identity could not be read\n");
    }
    api.FreeUsbDeviceDetail(&detail);

    DeviceSession session{};
    uint32_t status = api.OpenDevice(&session, path.c_str());
    if (status != 0) {
        std::printf("   open failed: 0x%08X\n", status);
        return false;
    }
    std::printf("   opened\n");
    void* h = session.interfaceHandle;
    EndpointPair pair{};
    bool ok = api.QueryDeviceEndpoints(h, &pair) != 0 && pair.in.pipeType != 0 && pair.out.pipeType != 0;
    std::printf("   endpoints: IN 0x%02X, OUT 0x%02X%s\n", pair.in.pipeId, pair.out.pipeId, ok ? "" : " (NOT FOUND)");

    uint64_t timeout = 0;   // pointer-sized room: the library offers the length of a pointer
    ok = ok && api.SetTransferTimeoutPolicy(h, pair.in.pipeId, 2000) == 0 &&
         api.GetTransferTimeoutPolicy(h, pair.in.pipeId, &timeout) == 0 && static_cast<uint32_t>(timeout) == 2000;
    std::printf("   transfer time-out of the IN pipe: %u ms\n", static_cast<uint32_t>(timeout));

    char text[96];
    // The device's name from its path: the part after its last '#'-separated class, in whatever
    // letter case the system reported it.
    std::string lower = path;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find("pid_");
    uint32_t length = static_cast<uint32_t>(std::snprintf(text, sizeof text, "hello from the host to %s",
                                                          at == std::string::npos ? path.c_str() : path.c_str() + at));
    bool wrote = api.Write(h, pair.out.pipeId, text, length) == 1;
    std::printf("   wrote %u bytes: %s\n", length, wrote ? "ok" : "FAILED");
    uint32_t received = 0;
    uint32_t result = api.Read(h, pair.in.pipeId, inbox.data(), &received);
    bool match = wrote && result == LWU_READ_OK && received == length && std::memcmp(inbox.data(), text, length) == 0;
    std::printf("   read result %u, %u bytes: %s\n", result, received, match ? "echo matches" : "MISMATCH");
    api.CloseDevice(&session);
    std::printf("   closed\n");
    return ok && match;
}

}  // namespace

int main() {
    try {
        if (SimWorld_LoadDefault() != 3) {
            std::printf("could not build the simulated world\n");
            return 1;
        }
        HostLibrary library("LinkWinUsb.dll");
        WorldWindowNotifications served(library.module());   // the world sees the window's registrations
        const LinkWinUsbExports api(library);

        std::printf("== registering by the window mechanism (on a thread of its own)\n");
        std::atomic<DWORD> windowThread{0};
        std::thread window([&] {
            windowThread = GetCurrentThreadId();
            api.RegisterForDeviceNotification(OnWindowEvent, SIM_DEVICE_CLASS_TEXT);   // returns at WM_QUIT
        });
        while (Count(heard.arrivals) < 3) Sleep(5);   // the present devices, reported on that thread

        std::printf("== registering by the Configuration Manager mechanism\n");
        uint32_t cm = api.CmRegisterNotification(OnCmEvent, SIM_DEVICE_CLASS_TEXT);
        std::printf("   CmRegisterNotification: %u\n", cm);

        std::vector<std::string> paths;
        {
            std::lock_guard<std::mutex> hold(heard.mutex);
            paths = heard.present;
        }
        std::vector<uint8_t> inbox(LWU_MAX_MESSAGE);   // Read needs room for the largest message
        int matched = 0;
        for (const std::string& path : paths) matched += Exchange(api, path, inbox) ? 1 : 0;
        std::printf("\n%d of %zu exchanges matched\n", matched, paths.size());

        std::printf("\n== the world plugs in a device and unplugs the first one\n");
        int before = Count(heard.arrivals);
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        c.productId = 0x0200;
        SimWorld_AddDevice(&c, nullptr, 0);
        SimInterfaces_WaitIdle(5000);
        int ids[8];
        SimWorld_DeviceIds(ids, 8);
        SimWorld_RemoveDevice(ids[0]);
        SimInterfaces_WaitIdle(5000);
        for (int i = 0; i < 200 && (Count(heard.arrivals) < before + 4 || Count(heard.removals) < 4); ++i) Sleep(10);
        // Each event reaches both callbacks once per mechanism: the window and the Configuration Manager.
        bool events = Count(heard.arrivals) == before + 4 && Count(heard.removals) == 4;
        std::printf("   arrival and removal heard by both mechanisms: %s\n", events ? "yes" : "NO");

        api.CmUnregisterNotification(OnCmEvent, SIM_DEVICE_CLASS_TEXT);
        api.UnregisterForDeviceNotification(OnWindowEvent, SIM_DEVICE_CLASS_TEXT);
        PostThreadMessageA(windowThread, WM_QUIT, 0, 0);
        window.join();
        std::printf("   unregistered\n");
        std::fflush(stdout);
        SimWorld_Reset();
        return matched == 3 && paths.size() == 3 && cm == 0 && events ? 0 : 1;
    } catch (const std::exception& e) {
        std::printf("demo failed: %s\n", e.what());
        return 1;
    }
}
