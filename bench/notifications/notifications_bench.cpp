// Cost of notification dispatch and of the present-interface report at registration.
//   build/x64/winerun build/x64/bin/notifications_bench.exe > bench.txt
// (print to a file or a pipe: output to /dev/null is slow under Wine)
// Dispatch: 10,000 arrivals, each one WM_DEVICECHANGE sent to the notification window as the
// system sends it, with 1, 10 and 100 registrations of the class and 100 of other classes.
// Registration: CmRegisterNotification for a class with 10, 100 and 1,000 present interfaces.
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LinkWinUsb.h"
#include "host_library.h"
#include "linkwinusb_exports.h"
#include "simworld.h"
#include "simworld_interfaces.h"

namespace {

std::atomic<uint64_t> calls{0};
void LWU_CALL Count(int32_t, const char*) { ++calls; }
void LWU_CALL Ignore(int32_t, const char*) {}

struct Class {
    GUID guid{};
    std::wstring text;
    Class() {
        CoCreateGuid(&guid);
        wchar_t buffer[64];
        StringFromGUID2(guid, buffer, 64);
        text = buffer;
    }
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Dispatch(const LinkWinUsbExports& api, HWND window, int registrations, const char* label) {
    Class cls;
    std::vector<Class> others(100);
    for (int i = 0; i < registrations; ++i) api.CmRegisterNotification(Count, cls.text.c_str());
    for (const Class& o : others) api.CmRegisterNotification(Ignore, o.text.c_str());
    const char path[] = "\\\\?\\sim#bench#{00000000-0000-0000-0000-000000000000}";
    std::vector<uint64_t> storage(16, 0);
    auto record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
    record->dbcc_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + sizeof path);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = cls.guid;
    std::memcpy(record->dbcc_name, path, sizeof path);
    const int events = 10000;
    calls = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < events; ++i) {
        SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(record));
    }
    double elapsed = Seconds(start);
    double perEvent = elapsed / events * 1e6;
    double perCall = elapsed / static_cast<double>(calls.load()) * 1e6;
    std::printf("dispatch%s %4d registrations of the class (+100 others): %d events, %llu calls, "
                "%.2f us per event, %.3f us per call\n",
                label, registrations, events, static_cast<unsigned long long>(calls.load()), perEvent, perCall);
    for (int i = 0; i < registrations; ++i) api.CmUnregisterNotification(Count, cls.text.c_str());
    for (const Class& o : others) api.CmUnregisterNotification(Ignore, o.text.c_str());
    return perEvent;
}

// The platform calls of one registration's report made by hand, without the library: what the
// world and the emulator cost per interface, against which the library's own share shows.
double ByHand(const GUID& guid) {
    auto start = std::chrono::steady_clock::now();
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA item{};
    item.cbSize = sizeof item;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &item); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &item, nullptr, 0, &required, nullptr);
        std::vector<char> buffer(required);
        auto detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &item, detail, required, nullptr, nullptr)) Count(0, detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return Seconds(start) * 1e6;
}

// Registrations for classes with each count of present interfaces, taken in turns so that a
// drift of the machine (the world's delivery thread, other work) weighs on every count alike.
std::vector<double> Registrations(const LinkWinUsbExports& api, const std::vector<int>& counts) {
    std::vector<Class> classes(counts.size());
    for (size_t c = 0; c < counts.size(); ++c) {
        for (int i = 0; i < counts[c]; ++i) {
            std::string path = "\\\\?\\sim#present#" + std::to_string(i) + "#{8f0a6c3e-5b1d-4c2a-9e7f-3d2b1a0c9e8d}";
            SimInterfaces_Add(&classes[c].guid, path.c_str());
        }
    }
    const int rounds = 100;
    std::vector<std::vector<double>> times(counts.size());
    std::vector<unsigned long long> reports(counts.size(), 0);
    std::vector<std::vector<double>> hand(counts.size());
    for (int r = 0; r < rounds; ++r) {
        for (size_t c = 0; c < counts.size(); ++c) {
            calls = 0;
            auto start = std::chrono::steady_clock::now();
            api.CmRegisterNotification(Count, classes[c].text.c_str());
            times[c].push_back(Seconds(start) * 1e6);
            reports[c] += calls.load();
            api.CmUnregisterNotification(Count, classes[c].text.c_str());
            hand[c].push_back(ByHand(classes[c].guid));
        }
    }
    std::vector<double> medians;
    for (size_t c = 0; c < counts.size(); ++c) {
        std::sort(times[c].begin(), times[c].end());
        std::sort(hand[c].begin(), hand[c].end());
        double median = times[c][times[c].size() / 2];
        double byHand = hand[c][hand[c].size() / 2];
        std::printf("registration  %4d present interfaces: %d registrations, %llu reports, median %.1f us per "
                    "registration, %.3f us per reported interface (the same platform calls by hand: %.1f us, "
                    "%.3f us)\n",
                    counts[c], rounds, reports[c], median, median / counts[c], byHand, byHand / counts[c]);
        medians.push_back(median);
    }
    return medians;
}

struct Run {
    const LinkWinUsbExports* api;
    HWND window = nullptr;
    bool done = false;
};
Run run;

void RunAll() {
    const LinkWinUsbExports& api = *run.api;
    HWND window = run.window;
    // One sent message from another thread, as the system sends it: Wine's cost of the send.
    std::printf("(cross-thread sends include Wine's message passing; the others run on the window's thread)\n");
    HANDLE sent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread sender([&] {
        Dispatch(api, window, 1, " (cross-thread)");
        SetEvent(sent);
    });
    // This thread owns the window: it serves the sent messages while it waits.
    while (MsgWaitForMultipleObjects(1, &sent, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
    sender.join();
    CloseHandle(sent);
    // On the window's own thread a sent message calls the window procedure directly: what
    // remains is the library's dispatch. Linear growth shows as the same added cost per
    // registration of the class from 1 to 10 and from 1 to 100.
    double e1 = Dispatch(api, window, 1, "              ");
    double e10 = Dispatch(api, window, 10, "              ");
    double e100 = Dispatch(api, window, 100, "              ");
    double add10 = (e10 - e1) / 9, add100 = (e100 - e1) / 99;
    std::printf("dispatch: added cost per registration %.3f us (1 to 10), %.3f us (1 to 100); ratio %.2f (target <= 1.2)\n",
                add10, add100, add100 / add10);

    std::vector<double> r = Registrations(api, {10, 100, 1000});
    double r10 = r[0], r100 = r[1], r1000 = r[2];
    double per100 = (r100 - r10) / 90, per1000 = (r1000 - r10) / 990;
    std::printf("registration: added cost per present interface %.3f us (10 to 100), %.3f us (10 to 1000); ratio %.2f "
                "(target <= 1.2)\n",
                per100, per1000, per1000 / per100);
}

// The present-interface report of the window registration runs on the window's thread before
// its message loop: the benchmark runs from there, then ends the loop.
void LWU_CALL Drive(int32_t, const char*) {
    if (run.done) return;
    run.done = true;
    run.window = FindWindowExA(HWND_MESSAGE, nullptr, "LinkWinUsb API", nullptr);
    if (run.window) RunAll();
    else std::printf("no notification window\n");
    PostQuitMessage(0);
}

}  // namespace

int main() {
    SimWorld_Reset();
    SimWorld_SetRecording(0, 0);
    HostLibrary library("LinkWinUsb.dll");
    const LinkWinUsbExports api(library);
    run.api = &api;
    Class owner;
    SimInterfaces_Add(&owner.guid, "\\\\?\\sim#bench-driver");
    api.RegisterForDeviceNotification(Drive, owner.text.c_str());
    api.UnregisterForDeviceNotification(Drive, owner.text.c_str());
    return run.done && run.window ? 0 : 1;
}
