// LinkWinUsb's discovery on the real stack: loads LinkWinUsb.dll as a host does, points its
// window registrations at the setupapi face (Wine's user32 hears nothing of sysfs), registers
// by both mechanisms, checks the present devices each reports (and their identity, through the
// WinUSB face, with --identity), then asks the driver outside for unplugs and plugs and checks
// that both mechanisms hear each removal and arrival, on the threads the contracts name.
//
//   discovery_check.exe --sync DIR --present N [--cycles K] [--identity] [--contracts] [--timeout-ms T]
//
// DIR is a folder shared with the driver (a shell script): the program writes DIR\request-<k>-unplug
// or DIR\request-<k>-plug and waits for the events; the driver acts and renames the file to
// *.done. DIR\finished marks the end. Exit code 0 when every check passed.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LinkWinUsb.h"
#include "face_contracts.h"
#include "held_registration.h"
#include "host_library.h"
#include "import_patch.h"
#include "linkwinusb_exports.h"
#include "realstack_faces.h"

namespace {

struct Event {
    int mechanism;   // 0 window, 1 Configuration Manager
    int action;
    std::string path;
    DWORD thread;
    ULONGLONG tick;
};

std::mutex heardLock;
std::vector<Event> heard;

void Note(int mechanism, int action, const char* path) {
    std::lock_guard<std::mutex> hold(heardLock);
    heard.push_back(Event{mechanism, action, path ? path : "", GetCurrentThreadId(), GetTickCount64()});
}
void __cdecl OnWindowEvent(int32_t action, const char* path) { Note(0, action, path); }
void __cdecl OnCmEvent(int32_t action, const char* path) { Note(1, action, path); }

std::vector<Event> Heard(size_t from = 0) {
    std::lock_guard<std::mutex> hold(heardLock);
    return std::vector<Event>(heard.begin() + static_cast<std::ptrdiff_t>(std::min(from, heard.size())), heard.end());
}

size_t Count(const std::vector<Event>& events, int mechanism, int action) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
        return e.mechanism == mechanism && e.action == action;
    }));
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const char* Who(int mechanism) { return mechanism == 0 ? "window" : "Configuration Manager"; }

int failures = 0;
void Check(bool ok, const std::string& what) {
    std::printf("  [%s] %s\n", ok ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

// Waits until `done` holds for the events heard since `from`, or the time runs out.
template <class Done>
bool WaitFor(size_t from, DWORD timeoutMs, Done done) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done(Heard(from))) {
        if (GetTickCount64() > end) return false;
        Sleep(5);
    }
    return true;
}

bool Opens(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

void ReadIdentity(const LinkWinUsbExports& api, const std::string& path) {
    UsbDeviceDetail detail{};
    int32_t ok = api.GetUsbDeviceDetail(&detail, path.c_str());
    std::printf("    identity of %s: vendor %04X product %04X, \"%s\" / \"%s\", serial \"%s\"\n", path.c_str(),
                detail.vendorId, detail.productId, detail.manufacturer ? detail.manufacturer : "",
                detail.product ? detail.product : "", detail.serialNumber ? detail.serialNumber : "");
    Check(ok != 0 && detail.vendorId == 0x1209, "GetUsbDeviceDetail reads the maker's device");
    api.FreeUsbDeviceDetail(&detail);
}

struct Options {
    std::string sync;
    unsigned present = 0;
    unsigned cycles = 1;
    bool identity = false;
    bool contracts = false;
    DWORD timeoutMs = 10000;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--sync" && more) o.sync = argv[++i];
        else if (a == "--present" && more) o.present = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--cycles" && more) o.cycles = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--timeout-ms" && more) o.timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--identity") o.identity = true;
        else if (a == "--contracts") o.contracts = true;
        else return false;
    }
    return !o.sync.empty();
}

void Touch(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

// One request to the driver and the event both mechanisms must hear for it.
void Step(const Options& o, const LinkWinUsbExports& api, int number, bool plug, std::vector<std::string>& present,
          DWORD windowThread) {
    const int action = plug ? LWU_DEVICE_ARRIVAL : LWU_DEVICE_REMOVAL;
    std::printf("== request %d: %s\n", number, plug ? "plug" : "unplug");
    std::fflush(stdout);
    size_t from = Heard().size();
    ULONGLONG asked = GetTickCount64();
    Touch(o.sync + "\\request-" + std::to_string(number) + (plug ? "-plug" : "-unplug"));
    bool both = WaitFor(from, o.timeoutMs, [&](const std::vector<Event>& e) {
        return Count(e, 0, action) >= 2 && Count(e, 1, action) >= 2;
    });
    Sleep(300);   // time for a second event that should not come
    std::vector<Event> events = Heard(from);
    for (const Event& e : events) {
        std::printf("    %s callback, thread %lu (%s), +%llu ms: %s %s\n", Who(e.mechanism), e.thread,
                    e.thread == windowThread ? "the window's" : "a notification thread", e.tick - asked,
                    e.action == LWU_DEVICE_ARRIVAL ? "arrival" : "removal", e.path.c_str());
    }
    // The library hands each event of either mechanism to every entry of the class: both
    // callbacks hear it once from the window's thread and once from a Configuration Manager thread.
    std::vector<const Event*> byWindow, byCm;
    for (const Event& e : events) (e.thread == windowThread ? byWindow : byCm).push_back(&e);
    Check(both, std::string("both callbacks hear the ") + (plug ? "arrival" : "removal"));
    Check(events.size() == 4 && Count(events, 0, action) == 2 && Count(events, 1, action) == 2,
          "each callback hears it exactly twice, once per mechanism (" + std::to_string(events.size()) + " events)");
    Check(byWindow.size() == 2, "the window mechanism delivers it on the window's thread, to both callbacks");
    bool ownThread = byCm.size() == 2;
    for (const Event* e : byCm) ownThread = ownThread && e->thread != GetCurrentThreadId() && e->thread == byCm[0]->thread;
    Check(ownThread, "the Configuration Manager delivers it on one thread of its own, to both callbacks");
    if (byWindow.empty() || byCm.empty()) return;
    std::string window = byWindow[0]->path, cm = byCm[0]->path;
    bool onePath = true;
    for (const Event* e : byWindow) onePath = onePath && e->path == window;
    for (const Event* e : byCm) onePath = onePath && e->path == cm;
    Check(onePath, "each mechanism names one path to both callbacks");
    Check(Lower(window) == Lower(cm) && window.find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos,
          "both name the same interface, the window mechanism in capitals");
    if (!plug) {
        auto it = std::find_if(present.begin(), present.end(), [&](const std::string& p) { return Lower(p) == Lower(cm); });
        Check(it != present.end(), "the removed interface was present");
        if (it != present.end()) present.erase(it);
        return;
    }
    Check(Opens(cm), "CreateFileA with OpenDevice's flags opens the arrived path " + cm);
    Check(Opens(window), "and the window's form of it " + window);
    present.push_back(cm);
    if (o.identity) ReadIdentity(api, cm);
}

int Run(const Options& o) {
    Faces& faces = TheFaces();
    faces.Bind();
    HostLibrary library("LinkWinUsb.dll");
    const LinkWinUsbExports api(library);
    // Wine's user32 keeps window registrations to itself: the library's go to the face.
    ImportPatch registerWindow(library.module(), "RegisterDeviceNotificationA",
                               reinterpret_cast<void*>(faces.RegisterWindow));
    ImportPatch unregisterWindow(library.module(), "UnregisterDeviceNotification",
                                 reinterpret_cast<void*>(faces.UnregisterWindow));

    if (o.contracts) {
        std::printf("== the faces' contracts\n");
        int failed = RunFaceContracts(o.present);
        failures += failed;
    }

    std::printf("== registering by the window mechanism (on a thread of its own)\n");
    std::fflush(stdout);
    ULONGLONG started = GetTickCount64();
    std::atomic<DWORD> windowThread{0};
    std::thread window([&] {
        windowThread = GetCurrentThreadId();
        api.RegisterForDeviceNotification(OnWindowEvent, MAKER_CLASS_TEXT);   // returns at WM_QUIT
    });
    bool reported = WaitFor(0, o.timeoutMs, [&](const std::vector<Event>& e) { return Count(e, 0, 1) >= o.present; });
    Sleep(300);
    std::vector<Event> events = Heard();
    std::vector<std::string> present;
    for (const Event& e : events) {
        std::printf("    window callback, thread %lu, +%llu ms: present %s\n", e.thread, e.tick - started, e.path.c_str());
        present.push_back(e.path);
        Check(e.thread == windowThread, "reported on the registering thread");
    }
    Check(reported && events.size() == o.present, "the window mechanism reports " + std::to_string(o.present) +
                                                      " present device(s), got " + std::to_string(events.size()));

    std::printf("== registering by the Configuration Manager mechanism\n");
    std::fflush(stdout);
    size_t from = Heard().size();
    started = GetTickCount64();
    uint32_t cm = api.CmRegisterNotification(OnCmEvent, MAKER_CLASS_TEXT);
    events = Heard(from);   // the present ones come before the call returns
    std::printf("    CmRegisterNotification: %u, %zu reports in %llu ms\n", cm, events.size(), GetTickCount64() - started);
    Check(cm == 0, "CmRegisterNotification succeeds");
    std::vector<std::string> cmPresent;
    for (const Event& e : events) {
        std::printf("    Configuration Manager callback, thread %lu: present %s\n", e.thread, e.path.c_str());
        Check(e.thread == GetCurrentThreadId(), "reported on the registering thread");
        cmPresent.push_back(Lower(e.path));
        Check(Opens(e.path), "CreateFileA with OpenDevice's flags opens " + e.path);
    }
    std::vector<std::string> windowPresent;
    for (const std::string& p : present) windowPresent.push_back(Lower(p));
    std::sort(cmPresent.begin(), cmPresent.end());
    std::sort(windowPresent.begin(), windowPresent.end());
    Check(cmPresent == windowPresent, "both mechanisms report the same present devices");
    if (o.identity) {
        for (const std::string& p : present) ReadIdentity(api, p);
    }

    // A registration of the test's own through the first cycle: it hears that cycle's removal
    // and arrival, holds the arrival while it is released, and hears nothing after.
    HeldRegistration held;
    Check(held.Register() == CR_SUCCESS, "a registration of the test's own, made with the face directly");
    int number = 0;
    for (unsigned k = 0; k < o.cycles; ++k) {
        Step(o, api, ++number, false, present, windowThread);
        Step(o, api, ++number, true, present, windowThread);
        if (k != 0) continue;
        std::vector<HeldRegistration::Heard> early = held.Events();
        bool holding = held.WaitHolding(o.timeoutMs);
        ULONGLONG took = 0;
        bool waited = holding && held.ReleaseWhileHeld(400, took);
        std::printf("    the test's registration heard %zu event(s); its release took %llu ms\n", early.size(), took);
        Check(early.size() == 2 && early[0].action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL &&
                  early[1].action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL && early[0].thread == early[1].thread &&
                  early[0].thread != windowThread && early[0].thread != GetCurrentThreadId(),
              "it heard the removal and the arrival, in order, on a thread of its own, and nothing present before it");
        Check(waited, "CM_Unregister_Notification returned only after the callback holding the arrival had returned");
    }
    std::vector<HeldRegistration::Heard> after = held.Events();
    Check(o.cycles < 2 || after.size() == 2, "after its release it heard nothing (" + std::to_string(after.size()) +
                                                 " events in all)");

    api.CmUnregisterNotification(OnCmEvent, MAKER_CLASS_TEXT);
    api.UnregisterForDeviceNotification(OnWindowEvent, MAKER_CLASS_TEXT);
    PostThreadMessageA(windowThread, WM_QUIT, 0, 0);
    window.join();
    std::printf("== unregistered; %d failed check(s)\n", failures);
    std::fflush(stdout);
    Touch(o.sync + "\\finished");
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::printf("usage: discovery_check --sync DIR --present N [--cycles K] [--identity] [--contracts] "
                    "[--timeout-ms T]\n");
        return 2;
    }
    try {
        return Run(o);
    } catch (const std::exception& e) {
        std::printf("discovery_check failed: %s\n", e.what());
        Touch(o.sync + "\\finished");
        return 1;
    }
}
