// The program the scenario tests start: it knows nothing of the simulated world and reaches
// devices only through LinkWinUsb's exports, as a host does. Its world comes from its
// environment (VARKO_SIM_SCENARIO); it prints what it finds, one fact a line:
//   arrival|removal <ms since start> <path>     as its notification callback hears them
//   identity <path> <vid> <pid> <serial>|<product>|<manufacturer>
//   echoes <n>                                   whole exchanges until the first failure
//   grown_kib <n>                                what its private bytes grew by over the last 500
//   report-open <ok|text>, report-closed <ok|text>   what VARKO_SIM_REPORT showed meanwhile
//   report-at-once ok|missing                    whether it was there as soon as the first call returned
#include "scenario_child.h"

#include <windows.h>
#include <psapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "linkwinusb_exports.h"

namespace {

constexpr wchar_t kClass[] = L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}";

std::mutex heardMutex;
std::vector<std::string> presentPaths;
DWORD startTicks = 0;

void Say(const char* format, ...) {
    std::lock_guard<std::mutex> hold(heardMutex);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

void LWU_CALL Heard(int32_t action, const char* path) {
    {
        std::lock_guard<std::mutex> hold(heardMutex);
        if (action == LWU_DEVICE_ARRIVAL) {
            presentPaths.push_back(path);
        } else {
            for (auto it = presentPaths.begin(); it != presentPaths.end(); ++it) {
                if (_stricmp(it->c_str(), path) == 0) {
                    presentPaths.erase(it);
                    break;
                }
            }
        }
    }
    Say("%s %lu %s\n", action == LWU_DEVICE_ARRIVAL ? "arrival" : "removal",
        static_cast<unsigned long>(GetTickCount() - startTicks), path);
}

std::vector<std::string> Present() {
    std::lock_guard<std::mutex> hold(heardMutex);
    return presentPaths;
}

std::string ReadReport() {
    char path[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("VARKO_SIM_REPORT", path, MAX_PATH)) return "(no VARKO_SIM_REPORT)";
    std::string text;
    if (FILE* f = std::fopen(path, "rb")) {
        char chunk[1024];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        std::fclose(f);
    }
    return text;
}

// Waits until the report holds every line wanted; prints `ok` or what it held last, on one line.
void AwaitReport(const char* label, const std::vector<std::string>& wanted) {
    std::string text;
    for (int i = 0; i < 100; ++i) {
        text = ReadReport();
        bool all = true;
        for (const std::string& w : wanted) all = all && text.find(w + "\n") != std::string::npos;
        if (all) {
            Say("%s ok\n", label);
            return;
        }
        Sleep(50);
    }
    for (char& c : text) {
        if (c == '\n') c = '|';
    }
    Say("%s %s\n", label, text.c_str());
}

void Identify(const LinkWinUsbExports& api, const std::string& path) {
    UsbDeviceDetail detail{};
    if (!api.GetUsbDeviceDetail(&detail, path.c_str())) {
        Say("identity %s failed\n", path.c_str());
        return;
    }
    Say("identity %s %04x %04x %s|%s|%s\n", path.c_str(), detail.vendorId, detail.productId, detail.serialNumber,
        detail.product, detail.manufacturer);
    api.FreeUsbDeviceDetail(&detail);
}

// One message out (`echo`, its number, then zeros to its size) and its echo back: whether both
// went through and the echo matched.
bool Exchange(const LinkWinUsbExports& api, const DeviceSession& session, uint32_t number, std::vector<uint8_t>& out,
              std::vector<uint8_t>& in) {
    std::memcpy(out.data(), "echo", 4);
    std::memcpy(out.data() + 4, &number, 4);
    const auto size = static_cast<uint32_t>(out.size());
    if (api.Write(session.interfaceHandle, 0x01, out.data(), size) != 1) return false;
    uint32_t length = 0;
    if (api.Read(session.interfaceHandle, 0x81, in.data(), &length) != LWU_READ_OK) return false;
    return length == size && std::memcmp(in.data(), out.data(), size) == 0;
}

long long PrivateBytes() {
    PROCESS_MEMORY_COUNTERS m{};
    m.cb = sizeof m;
    return GetProcessMemoryInfo(GetCurrentProcess(), &m, sizeof m) ? static_cast<long long>(m.PagefileUsage) : 0;
}

void AwaitNoDevice(DWORD ms) {
    for (DWORD waited = 0; waited < ms && !Present().empty(); waited += 20) Sleep(20);
}

}  // namespace

int RunScenarioChild(int argc, char** argv) {
    startTicks = GetTickCount();
    std::string mode = argc > 0 ? argv[0] : "";
    HostLibrary library("LinkWinUsb.dll");
    LinkWinUsbExports api(library);
    if (uint32_t status = api.CmRegisterNotification(Heard, kClass)) {
        Say("register failed %u\n", status);
        return 2;
    }
    if (mode == "first") {   // the report as it stands right after the first call into the world
        const std::string report = ReadReport();
        Say("report-at-once %s\n", report.compare(0, 13, "open_files 0\n") == 0 ? "ok" : "missing");
    } else if (mode == "watch") {   // watch <ms>: what arrives and leaves meanwhile, then who is there
        Sleep(argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 0);
        for (const std::string& path : Present()) Identify(api, path);
    } else if (mode == "echo") {   // echo [bytes]: exchanges with the first device until one fails
        std::vector<std::string> present = Present();
        if (present.empty()) return 3;
        DeviceSession session{};
        if (api.OpenDevice(&session, present[0].c_str()) != 0) return 4;
        std::vector<uint8_t> in(LWU_MAX_MESSAGE);
        std::vector<uint8_t> out(argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8);
        if (out.size() < 8 || out.size() > LWU_MAX_MESSAGE) return 2;
        uint32_t echoes = 0;
        long long before = 0;
        while (echoes < 1000 && Exchange(api, session, echoes, out, in)) {
            if (++echoes == 500) before = PrivateBytes();
        }
        Say("echoes %u\n", echoes);
        Say("grown_kib %lld\n", (PrivateBytes() - before) / 1024);
        api.CloseDevice(&session);
        if (echoes < 1000) AwaitNoDevice(5000);   // a device that left: its removal is heard too
    } else if (mode == "open") {   // open close|leak: one exchange, then close or leave it open
        std::vector<std::string> present = Present();
        if (present.empty()) return 3;
        DeviceSession session{};
        if (api.OpenDevice(&session, present[0].c_str()) != 0) return 4;
        std::vector<uint8_t> in(LWU_MAX_MESSAGE), out(8);
        Say("exchange %s\n", Exchange(api, session, 1, out, in) ? "ok" : "failed");
        AwaitReport("report-open", {"open_files 1", "winusb_handles 1", "cm_registrations 1"});
        if (argc > 1 && std::strcmp(argv[1], "leak") == 0) return 0;   // the process ends with both open
        api.CloseDevice(&session);
        AwaitReport("report-closed", {"open_files 0", "winusb_handles 0"});
    } else {
        Say("unknown mode %s\n", mode.c_str());
        return 2;
    }
    api.CmUnregisterNotification(Heard, kClass);
    return 0;
}
