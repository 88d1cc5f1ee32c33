// Calls per second of GetUsbDeviceDetail against one simulated device, next to the same
// platform calls made by hand (open, handshake, four descriptors, conversions, close).
// The two run in alternating rounds; each figure is the best round. Ratio target: <= 1.05.
#include <windows.h>
#include <winusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LinkWinUsb.h"
#include "host_library.h"
#include "linkwinusb_exports.h"
#include "simworld.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 7;
constexpr int kCallsPerRound = 400;

bool Vendor(WINUSB_INTERFACE_HANDLE h, UCHAR type, UCHAR request, void* data, USHORT length) {
    WINUSB_SETUP_PACKET s{};
    s.RequestType = type;
    s.Request = request;
    s.Length = length;
    ULONG moved = 0;
    return WinUsb_ControlTransfer(h, s, static_cast<PUCHAR>(data), length, &moved, nullptr) && moved == length;
}

char* StringByHand(WINUSB_INTERFACE_HANDLE h, UCHAR index) {
    UCHAR buffer[1024] = {};
    ULONG received = 0;
    if (!WinUsb_GetDescriptor(h, USB_STRING_DESCRIPTOR_TYPE, index, 0, buffer, sizeof buffer, &received)) return nullptr;
    wchar_t text[512] = {};
    size_t units = 0;
    for (size_t at = 2; at + 1 < received && units < 511; at += 2) {
        wchar_t unit = static_cast<wchar_t>(buffer[at] | (buffer[at + 1] << 8));
        if (!unit) break;
        text[units++] = unit;
    }
    char narrow[64];
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    return n > 0 ? _strdup(narrow) : nullptr;
}

// The platform calls GetUsbDeviceDetail makes, for a device whose two pipes are recorded.
bool DetailByHand(const char* path, UsbDeviceDetail& d) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    WINUSB_INTERFACE_HANDLE h = nullptr;
    if (!WinUsb_Initialize(file, &h)) {
        CloseHandle(file);
        return false;
    }
    uint8_t version = 0;
    uint32_t identity = 0;
    if (Vendor(h, 0xC1, 0x81, &version, 1) && Vendor(h, 0xC1, 0x83, &identity, 4)) Vendor(h, 0x41, 0x80, nullptr, 0);
    UCHAR descriptor[18] = {};
    ULONG received = 0;
    bool ok = WinUsb_GetDescriptor(h, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, 18, &received) && received == 18;
    if (ok) {
        d.vendorId = static_cast<uint16_t>(descriptor[8] | descriptor[9] << 8);
        d.productId = static_cast<uint16_t>(descriptor[10] | descriptor[11] << 8);
        ok = (d.serialNumber = StringByHand(h, descriptor[16])) && (d.product = StringByHand(h, descriptor[15])) &&
             (d.manufacturer = StringByHand(h, descriptor[14]));
    }
    Vendor(h, 0x41, 0x80, nullptr, 0);
    for (UCHAR pipe : {UCHAR{0x01}, UCHAR{0x81}}) {
        WinUsb_FlushPipe(h, pipe);
        WinUsb_ResetPipe(h, pipe);
    }
    WinUsb_Free(h);
    CloseHandle(file);
    return ok;
}

void Release(UsbDeviceDetail& d) {
    std::free(d.manufacturer);
    std::free(d.product);
    std::free(d.serialNumber);
    d = UsbDeviceDetail{};
}

template <class F>
double CallsPerSecond(F call) {
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kCallsPerRound; ++i) {
        if (!call()) {
            std::fprintf(stderr, "a call failed\n");
            std::exit(1);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return kCallsPerRound / seconds;
}

}  // namespace

int main() {
    SimWorld_Reset();
    SimUsbDeviceConfig config;
    SimWorld_DefaultConfig(&config);
    char path[512];
    if (!SimWorld_AddDevice(&config, path, sizeof path)) return 1;
    SimWorld_SetRecording(0, 0);   // a long run must not grow the call record

    HostLibrary library("LinkWinUsb.dll");
    const LinkWinUsbExports lwu(library);

    // As a host does: the device's pipes are recorded once, so each close flushes those two.
    DeviceSession session{};
    EndpointPair pair{};
    if (lwu.OpenDevice(&session, path) != 0 || !lwu.QueryDeviceEndpoints(session.interfaceHandle, &pair)) return 1;
    lwu.CloseDevice(&session);

    UsbDeviceDetail detail{};
    auto viaLibrary = [&] {
        bool ok = lwu.GetUsbDeviceDetail(&detail, path) != 0;
        lwu.FreeUsbDeviceDetail(&detail);
        return ok;
    };
    auto byHand = [&] {
        bool ok = DetailByHand(path, detail);
        Release(detail);
        return ok;
    };
    viaLibrary();   // warm both paths up
    byHand();
    double bestLibrary = 0, bestHand = 0;
    for (int round = 0; round < kRounds; ++round) {
        bestLibrary = std::max(bestLibrary, CallsPerSecond(viaLibrary));
        bestHand = std::max(bestHand, CallsPerSecond(byHand));
    }
    std::printf("GetUsbDeviceDetail: %.0f calls/s (best of %d rounds of %d)\n", bestLibrary, kRounds, kCallsPerRound);
    std::printf("same platform calls by hand: %.0f calls/s\n", bestHand);
    std::printf("time ratio library/by hand: %.3f (target <= 1.05)\n", bestHand / bestLibrary);
    return 0;
}
