// Write+Read round trips through LinkWinUsb against the same platform calls made by hand.
// Usage: bench_transfer.exe [output-file]   (the transfer lines go to that file, default a temp file)
#include <windows.h>
#include <winusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LinkWinUsb.h"
#include "bench_support.h"
#include "clock.h"
#include "host_library.h"
#include "linkwinusb_exports.h"
#include "simworld.h"

namespace {

bool Vendor(WINUSB_INTERFACE_HANDLE h, bool in, UCHAR request, void* data, USHORT length) {
    WINUSB_SETUP_PACKET s{};
    s.RequestType = in ? 0xC1 : 0x41;
    s.Request = request;
    s.Length = length;
    ULONG n = 0;
    return WinUsb_ControlTransfer(h, s, static_cast<PUCHAR>(data), length, &n, nullptr) && n == length;
}

// The library's version-0 exchange, written out by hand with the same platform calls.
bool HandWrite(WINUSB_INTERFACE_HANDLE h, const uint8_t* msg, ULONG length) {
    if (!Vendor(h, false, 0x80, nullptr, 0)) return false;
    ULONG n = 0;
    BOOL ok = WinUsb_WritePipe(h, 0x01, const_cast<PUCHAR>(msg), length, &n, nullptr);
    std::printf("Wrote to pipe %d: %d bytes\nActual data transferred: %d.\n", 1, static_cast<int>(length),
                static_cast<int>(n));
    WinUsb_ResetPipe(h, 0x01);
    if (!ok || n != length) return false;
    return Vendor(h, false, 0x86, nullptr, 0);
}

bool HandRead(WINUSB_INTERFACE_HANDLE h, uint8_t* dest, uint32_t* length) {
    uint8_t status = 3;
    if (!Vendor(h, true, 0x82, &status, 1) || status > 2) return false;
    uint32_t announced = 0;
    if (!Vendor(h, true, 0x84, &announced, 4) || announced == 0 || announced > LWU_MAX_MESSAGE) return false;
    auto* temp = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, announced));
    ULONG n = 0;
    BOOL ok = WinUsb_ReadPipe(h, 0x81, temp, announced, &n, nullptr);
    const void* end = std::memchr(temp, 0, announced);
    int shown = end ? static_cast<int>(static_cast<const uint8_t*>(end) - temp) : static_cast<int>(announced);
    std::printf("Read from pipe %d: %.*s \nActual data read: %d.\n", 0x81, shown, reinterpret_cast<char*>(temp),
                static_cast<int>(n));
    WinUsb_ResetPipe(h, 0x81);
    if (ok && n == announced) {
        std::memcpy(dest, temp, announced);
        *length = announced;
    }
    LocalFree(temp);
    return ok && n == announced;
}

struct Rates {
    double library = 0, baseline = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::string sink = argc > 1 ? argv[1] : "";
    if (sink.empty()) {
        char dir[MAX_PATH], file[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        GetTempFileNameA(dir, "bt", 0, file);
        sink = file;
    }
    FILE* report = stderr;   // figures go to standard error; the transfer lines to the sink file
    SimWorld_Reset();
    SimWorld_SetRecording(0, 0);
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.protocolVersion = 0;
    c.echo = 1;
    char path[512];
    int device = SimWorld_AddDevice(&c, path, sizeof path);
    HostLibrary lib("LinkWinUsb.dll");
    const LinkWinUsbExports lwu(lib);
    DeviceSession s{};
    if (lwu.OpenDevice(&s, path) != 0) {
        std::fprintf(report, "cannot open the simulated device\n");
        return 1;
    }
    if (!std::freopen(sink.c_str(), "w", stdout)) return 1;
    std::vector<uint8_t> dest(LWU_MAX_MESSAGE);
    std::vector<uint8_t> msg(LWU_MAX_MESSAGE);
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(i % 251);   // zero bytes, as real data has
    std::fill(dest.begin(), dest.end(), 1);

    // Peak memory of one largest Read: the message waits in the device, the destination is committed.
    SimWorld_QueueMessage(device, msg.data(), LWU_MAX_MESSAGE);
    // Everything so far only grew, so the peak is where we stand; one Read then lifts it by
    // what Read itself holds at its height.
    MemoryFigures before = MemoryNow();
    uint32_t got = 0;
    uint32_t result = lwu.Read(s.interfaceHandle, 0x81, dest.data(), &got);
    MemoryFigures after = MemoryNow();
    long long rise = after.residentPeak - std::max(before.resident, before.residentPeak);

    struct Size {
        uint32_t bytes;
        int rounds;
    } sizes[] = {{64, 3000}, {65536, 400}, {LWU_MAX_MESSAGE, 12}};
    std::fprintf(report, "Write+Read round trips, protocol version 0, simulated echo device\n");
    std::fprintf(report, "%10s %14s %14s %8s\n", "bytes", "library msg/s", "by hand msg/s", "ratio");
    bool allOk = result == LWU_READ_OK && got == LWU_MAX_MESSAGE;
    double worst = 0;
    for (const Size& size : sizes) {
        Rates best;
        for (int pass = 0; pass < 3; ++pass) {
            double t0 = SecondsNow();
            for (int i = 0; i < size.rounds; ++i) {
                allOk &= lwu.Write(s.interfaceHandle, 0x01, msg.data(), size.bytes) == 1;
                allOk &= lwu.Read(s.interfaceHandle, 0x81, dest.data(), &got) == LWU_READ_OK && got == size.bytes;
            }
            double t1 = SecondsNow();
            for (int i = 0; i < size.rounds; ++i) {
                allOk &= HandWrite(s.interfaceHandle, msg.data(), size.bytes);
                allOk &= HandRead(s.interfaceHandle, dest.data(), &got) && got == size.bytes;
            }
            double t2 = SecondsNow();
            best.library = std::max(best.library, size.rounds / (t1 - t0));
            best.baseline = std::max(best.baseline, size.rounds / (t2 - t1));
        }
        double ratio = best.baseline / best.library;   // time of the library over time by hand
        worst = std::max(worst, ratio);
        std::fprintf(report, "%10u %14.0f %14.0f %8.3f\n", size.bytes, best.library, best.baseline, ratio);
    }
    std::fprintf(report, "worst ratio library/by hand (time): %.3f (target <= 1.05)\n", worst);
    std::fprintf(report, "peak working set rise during one %u-byte Read: %lld bytes (%.2f x the message)\n",
                 LWU_MAX_MESSAGE, rise, static_cast<double>(rise) / LWU_MAX_MESSAGE);
    std::fflush(stdout);
    lwu.CloseDevice(&s);
    SimWorld_Reset();
    if (!allOk) std::fprintf(report, "some exchange failed\n");
    return allOk ? 0 : 1;
}
