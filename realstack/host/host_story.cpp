// The demo's host story on the real stack: LinkWinUsb.dll as a host loads it, its window
// registrations pointed at the setupapi face (Wine's user32 hears nothing of sysfs), against the
// firmware behind the kernel's USB core. Registers by both mechanisms, then for each protocol
// version (the driver outside re-plugs the firmware speaking it) reads the identity, opens the
// device, finds its endpoints, sets and reads the time-out policy, exchanges a framed echo and
// closes it; last an unplug and a plug of the controller. Every request to the driver is a file
// DIR\request-<n>-<what> that the driver renames to *.done once it acted.
//
//   host_story.exe --sync DIR [--timeout-ms T]
//
// Exit code 0 when every check passed.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "host_run.h"
#include "import_patch.h"
#include "realstack_faces.h"

namespace {

using host::Check;
using host::Say;

struct Event {
    int mechanism;   // 0 window, 1 Configuration Manager
    int action;
    std::string path;
};

std::mutex heardLock;
std::vector<Event> heard;

void Note(int mechanism, int action, const char* path) {
    std::lock_guard<std::mutex> hold(heardLock);
    heard.push_back(Event{mechanism, action, path ? path : ""});
    std::printf("    %s callback: %s %s\n", mechanism == 0 ? "window" : "Configuration Manager",
                action == LWU_DEVICE_ARRIVAL ? "arrival" : "removal", path ? path : "(null)");
    std::fflush(stdout);
}
void __cdecl OnWindowEvent(int32_t action, const char* path) { Note(0, action, path); }
void __cdecl OnCmEvent(int32_t action, const char* path) { Note(1, action, path); }

size_t HeardCount() {
    std::lock_guard<std::mutex> hold(heardLock);
    return heard.size();
}

std::vector<Event> HeardSince(size_t from) {
    std::lock_guard<std::mutex> hold(heardLock);
    return std::vector<Event>(heard.begin() + static_cast<std::ptrdiff_t>(std::min(from, heard.size())), heard.end());
}

// Events of one action by one mechanism. Each callback of the class hears every event of either
// mechanism, so one change gives 2 per mechanism with both callbacks registered.
size_t Count(const std::vector<Event>& events, int mechanism, int action) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
        return e.mechanism == mechanism && e.action == action;
    }));
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool WaitEvents(size_t from, DWORD timeoutMs, int action, size_t each) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<Event> e = HeardSince(from);
        if (Count(e, 0, action) >= each && Count(e, 1, action) >= each) return true;
        if (GetTickCount64() > end) return false;
        Sleep(10);
    }
}

struct Options {
    std::string sync;
    DWORD timeoutMs = 20000;
};

class Driver {
public:
    explicit Driver(const Options& o) : o_(o) {}
    // Asks the driver outside for a change and waits until it says it is done.
    bool Ask(const std::string& what) {
        std::string request = o_.sync + "\\request-" + std::to_string(++number_) + "-" + what;
        HANDLE h = CreateFileA(request.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        std::string done = request + ".done";
        ULONGLONG end = GetTickCount64() + o_.timeoutMs;
        while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (GetTickCount64() > end) return false;
            Sleep(20);
        }
        return true;
    }

private:
    const Options& o_;
    int number_ = 0;
};

// A string descriptor in US English, read through the library's raw control export: the
// library's own identity asks in language 0, which the kernel's gadget framework refuses.
std::string EnglishString(const LinkWinUsbExports& api, void* handle, uint8_t index) {
    uint8_t buffer[255] = {};
    uint32_t r = api.ControlRead(handle, 0, 0, 6, static_cast<uint16_t>(0x0300 | index), 0x0409, buffer, sizeof buffer);
    if ((r != 0 && r != LWU_SHORT_READ) || buffer[0] < 2 || buffer[1] != 3) return "(refused: " + host::Hex(r) + ")";
    std::string text;
    for (unsigned i = 2; i + 1 < buffer[0] && i + 1 < sizeof buffer; i += 2) text += static_cast<char>(buffer[i]);
    return text;
}

void Identity(const LinkWinUsbExports& api, const std::string& path) {
    UsbDeviceDetail detail{};
    int32_t ok = api.GetUsbDeviceDetail(&detail, path.c_str());
    Say("    GetUsbDeviceDetail: " + std::to_string(ok) + ", vendor " + host::Hex(detail.vendorId) + " product " +
        host::Hex(detail.productId) + ", serial \"" + (detail.serialNumber ? detail.serialNumber : "(none)") +
        "\", product \"" + (detail.product ? detail.product : "(none)") + "\", manufacturer \"" +
        (detail.manufacturer ? detail.manufacturer : "(none)") + "\"");
    Check(detail.vendorId == 0x1209 && detail.productId == 0x0001, "the identity names the maker's IDs 1209:0001");
    // The library asks its strings in language 0; the kernel's gadget framework answers only the
    // languages it has tables for, so the serial number request stalls and nothing follows it.
    Check(ok == 0 && detail.serialNumber && detail.serialNumber[0] == 0 && !detail.product && !detail.manufacturer,
          "the strings in language 0 are refused: result 0, an empty serial number, nothing after it");
    api.FreeUsbDeviceDetail(&detail);
}

void Session(const LinkWinUsbExports& api, const std::string& path, uint8_t version) {
    DeviceSession session{};
    uint32_t open = api.OpenDevice(&session, path.c_str());
    Say("    OpenDevice: " + host::Hex(open) + ", isOpen " + std::to_string(session.isOpen));
    if (!Check(open == 0 && session.isOpen == 1, "OpenDevice opens " + path)) return;
    void* h = session.interfaceHandle;

    uint8_t descriptor[18] = {};
    uint32_t got = 0;
    uint32_t ok = api.GetDeviceDescriptor(h, descriptor, sizeof descriptor, &got);
    Check(ok && got == 18 && descriptor[1] == 1 && descriptor[8] == 0x09 && descriptor[9] == 0x12,
          "GetDeviceDescriptor: 18 bytes, idVendor 1209, bcdUSB " + host::Hex(descriptor[2] | descriptor[3] << 8u));
    Say("    strings in language 0x0409: manufacturer \"" + EnglishString(api, h, descriptor[14]) + "\", product \"" +
        EnglishString(api, h, descriptor[15]) + "\", serial \"" + EnglishString(api, h, descriptor[16]) + "\"");

    host::Pipes pipes = host::QueryPipes(api, h);
    Say("    endpoints: bulk IN " + host::Hex(pipes.in) + " (" + std::to_string(pipes.inPacket) + " bytes), bulk OUT " +
        host::Hex(pipes.out) + " (" + std::to_string(pipes.outPacket) + " bytes)");
    if (!Check(pipes.found && pipes.inPacket == 512 && pipes.outPacket == 512 && (pipes.in & 0x80) && !(pipes.out & 0x80),
               "QueryDeviceEndpoints finds a bulk IN and a bulk OUT pipe of 512 bytes")) {
        api.CloseDevice(&session);
        return;
    }

    for (uint8_t pipe : {pipes.in, pipes.out}) {
        uint32_t set = api.SetTransferTimeoutPolicy(h, pipe, 2000);
        uint8_t value[sizeof(void*)] = {};
        uint32_t get = api.GetTransferTimeoutPolicy(h, pipe, value);
        uint32_t ms = 0;
        std::memcpy(&ms, value, sizeof ms);
        Check(set == 0 && get == 0 && ms == 2000,
              "the time-out policy of pipe " + host::Hex(pipe) + " reads back " + std::to_string(ms) + " ms");
    }

    std::vector<uint8_t> message = host::Pattern(1000, version);
    Say("    -- framed echo in protocol version " + std::to_string(version) + ": Write, then Read");
    uint32_t wrote = api.Write(h, pipes.out, message.data(), static_cast<uint32_t>(message.size()));
    host::ReadBuffer buffer;
    uint32_t length = 0;
    uint32_t read = LWU_READ_EMPTY;
    // The echo is queued once the device has the whole message; an empty answer only means later.
    for (int tries = 0; tries < 50 && wrote == 1 && read == LWU_READ_EMPTY; ++tries) {
        read = api.Read(h, pipes.in, buffer.data(), &length);
        if (read == LWU_READ_EMPTY) Sleep(20);
    }
    Say("    -- Write " + std::to_string(wrote) + ", Read " + std::to_string(read) + " with " + std::to_string(length) +
        " bytes");
    Check(wrote == 1 && read == LWU_READ_OK && length == message.size() && buffer.Prefix(length) == message,
          "the echo of 1000 bytes in protocol version " + std::to_string(version) + " matches");

    api.CloseDevice(&session);
    Check(session.isOpen == 0, "CloseDevice closes the session");
}

int Run(const Options& o) {
    Faces& faces = TheFaces();
    faces.Bind();
    HostLibrary library("LinkWinUsb.dll");
    const LinkWinUsbExports api(library);
    ImportPatch registerWindow(library.module(), "RegisterDeviceNotificationA",
                               reinterpret_cast<void*>(faces.RegisterWindow));
    ImportPatch unregisterWindow(library.module(), "UnregisterDeviceNotification",
                                 reinterpret_cast<void*>(faces.UnregisterWindow));
    Driver driver(o);

    Say("== notifications: the window mechanism (on a thread of its own), then the Configuration Manager");
    std::atomic<DWORD> windowThread{0};
    std::thread window([&] {
        windowThread = GetCurrentThreadId();
        api.RegisterForDeviceNotification(OnWindowEvent, MAKER_CLASS_TEXT);   // returns at WM_QUIT
    });
    ULONGLONG end = GetTickCount64() + o.timeoutMs;
    while (Count(HeardSince(0), 0, LWU_DEVICE_ARRIVAL) < 1 && GetTickCount64() < end) Sleep(10);
    Sleep(300);   // time for a second report that should not come
    Check(Count(HeardSince(0), 0, LWU_DEVICE_ARRIVAL) == 1 && HeardCount() == 1,
          "the window mechanism reports the one present device");
    size_t from = HeardCount();
    uint32_t cm = api.CmRegisterNotification(OnCmEvent, MAKER_CLASS_TEXT);
    std::vector<Event> cmPresent = HeardSince(from);
    Check(cm == 0 && cmPresent.size() == 1 && cmPresent[0].mechanism == 1,
          "CmRegisterNotification returns 0 and reports the present device");
    std::vector<Event> all = HeardSince(0);
    std::string path = cmPresent.empty() ? std::string() : cmPresent[0].path;
    Check(!all.empty() && Lower(all[0].path) == Lower(path), "both mechanisms name the same path");

    for (uint8_t version = 0; version <= 2; ++version) {
        if (version > 0) {
            Say("== the driver re-plugs the firmware speaking protocol version " + std::to_string(version));
            size_t mark = HeardCount();
            Check(driver.Ask("protocol-" + std::to_string(version)), "the driver re-plugged the firmware");
            Check(WaitEvents(mark, o.timeoutMs, LWU_DEVICE_REMOVAL, 2) && WaitEvents(mark, o.timeoutMs, LWU_DEVICE_ARRIVAL, 2),
                  "both callbacks hear the removal and the arrival by both mechanisms");
            std::vector<Event> e = HeardSince(mark);
            auto arrival = std::find_if(e.begin(), e.end(), [](const Event& x) {
                return x.mechanism == 1 && x.action == LWU_DEVICE_ARRIVAL;
            });
            if (arrival != e.end()) path = arrival->path;
        }
        Say("== protocol version " + std::to_string(version) + " at " + path);
        Identity(api, path);
        Session(api, path, version);
    }

    Say("== unplug and plug of the controller");
    size_t mark = HeardCount();
    Check(driver.Ask("unplug"), "the driver unbound the UDC");
    Check(WaitEvents(mark, o.timeoutMs, LWU_DEVICE_REMOVAL, 2), "both callbacks hear the removal by both mechanisms");
    DeviceSession gone{};
    uint32_t reopen = api.OpenDevice(&gone, path.c_str());
    Check(reopen == 0x80070002u, "OpenDevice of the removed path returns " + host::Hex(reopen) + ", want 0x80070002");
    mark = HeardCount();
    Check(driver.Ask("plug"), "the driver bound the UDC");
    Check(WaitEvents(mark, o.timeoutMs, LWU_DEVICE_ARRIVAL, 2), "both callbacks hear the arrival by both mechanisms");
    std::vector<Event> e = HeardSince(mark);
    if (!e.empty()) {
        DeviceSession again{};
        uint32_t open = api.OpenDevice(&again, e.back().path.c_str());
        Check(open == 0, "the arrived path opens");
        if (open == 0) api.CloseDevice(&again);
    }

    api.CmUnregisterNotification(OnCmEvent, MAKER_CLASS_TEXT);
    api.UnregisterForDeviceNotification(OnWindowEvent, MAKER_CLASS_TEXT);
    PostThreadMessageA(windowThread, WM_QUIT, 0, 0);
    window.join();
    Say("== story ended; " + std::to_string(host::Failures()) + " failed check(s)");
    return host::Failures() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--sync") o.sync = argv[i + 1];
        else if (a == "--timeout-ms") o.timeoutMs = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    if (o.sync.empty()) {
        std::printf("usage: host_story --sync DIR [--timeout-ms T]\n");
        return 2;
    }
    try {
        return Run(o);
    } catch (const std::exception& e) {
        std::printf("host_story failed: %s\n", e.what());
        return 1;
    }
}
