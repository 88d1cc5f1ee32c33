// A host in miniature: loads LinkWinUsb like the application does and exchanges framed
// messages with every device of the default simulated world, checking each echo byte for byte.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LinkWinUsb.h"
#include "host_library.h"
#include "simworld.h"

namespace {

struct Api {
    explicit Api(const HostLibrary& lib)
        : OpenDevice(lib.Get<decltype(&::OpenDevice)>("OpenDevice")),
          CloseDevice(lib.Get<decltype(&::CloseDevice)>("CloseDevice")),
          Read(lib.Get<decltype(&::Read)>("Read")),
          Write(lib.Get<decltype(&::Write)>("Write")) {}
    decltype(&::OpenDevice) OpenDevice;
    decltype(&::CloseDevice) CloseDevice;
    decltype(&::Read) Read;
    decltype(&::Write) Write;
};

constexpr uint8_t kBulkOut = 0x01;
constexpr uint8_t kBulkIn = 0x81;

// One open, write, read-back and close; true when the echo matched.
bool Exchange(const Api& api, int device, std::vector<uint8_t>& inbox) {
    char path[512];
    SimWorld_DevicePath(device, path, sizeof path);
    std::printf("\n== device %d: %s\n", device, path);
    DeviceSession session{};
    uint32_t status = api.OpenDevice(&session, path);
    if (status != 0) {
        std::printf("   open failed: 0x%08X\n", status);
        return false;
    }
    std::printf("   opened\n");
    char text[64];
    int n = std::snprintf(text, sizeof text, "hello from the host to device %d", device);
    uint32_t length = static_cast<uint32_t>(n);
    bool ok = api.Write(session.interfaceHandle, kBulkOut, text, length) == 1;
    std::printf("   wrote %u bytes: %s\n", length, ok ? "ok" : "FAILED");
    uint32_t received = 0;
    uint32_t result = api.Read(session.interfaceHandle, kBulkIn, inbox.data(), &received);
    bool match = ok && result == LWU_READ_OK && received == length && std::memcmp(inbox.data(), text, length) == 0;
    std::printf("   read result %u, %u bytes: %s\n", result, received, match ? "echo matches" : "MISMATCH");
    api.CloseDevice(&session);
    std::printf("   closed\n");
    return match;
}

}  // namespace

int main() {
    try {
        if (SimWorld_LoadDefault() != 3) {
            std::printf("could not build the simulated world\n");
            return 1;
        }
        HostLibrary library("LinkWinUsb.dll");
        Api api(library);
        std::vector<uint8_t> inbox(LWU_MAX_MESSAGE);   // Read needs room for the largest message
        int ids[8];
        int count = SimWorld_DeviceIds(ids, 8);
        int matched = 0;
        for (int i = 0; i < count && i < 8; ++i) matched += Exchange(api, ids[i], inbox) ? 1 : 0;
        std::printf("\n%d of %d exchanges matched\n", matched, count);
        std::fflush(stdout);
        SimWorld_Reset();
        return matched == count ? 0 : 1;
    } catch (const std::exception& e) {
        std::printf("demo failed: %s\n", e.what());
        return 1;
    }
}
