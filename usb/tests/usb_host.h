// Test fixture: LinkWinUsb loaded as a host loads it, a fresh simulated world per test.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LinkWinUsb.h"
#include "host_library.h"
#include "linkwinusb_api.h"
#include "simworld.h"

// The size of a pointer in this build, stated per width rather than measured with sizeof.
#if defined(_WIN64)
constexpr uint64_t kPointerBytes = 8;
#else
constexpr uint64_t kPointerBytes = 4;
#endif

// One recorded platform call with its data.
struct Call {
    SimCall call;
    std::vector<uint8_t> data;
    std::string name() const { return call.function; }
    // For control transfers: the setup packet's fields.
    uint8_t requestType() const { return static_cast<uint8_t>(call.args[1]); }
    uint8_t request() const { return static_cast<uint8_t>(call.args[2]); }
    uint16_t length() const { return static_cast<uint16_t>(call.args[5]); }
    // Data moved after the 8-byte setup packet.
    std::vector<uint8_t> payload() const {
        return data.size() > 8 ? std::vector<uint8_t>(data.begin() + 8, data.end()) : std::vector<uint8_t>();
    }
};

inline std::vector<Call> RecordedCalls() {
    std::vector<Call> out;
    uint32_t n = SimWorld_CallCount();
    for (uint32_t i = 0; i < n; ++i) {
        Call c{};
        SimWorld_GetCall(i, &c.call);
        c.data.resize(SimWorld_GetCallData(i, nullptr, 0));
        if (!c.data.empty()) SimWorld_GetCallData(i, c.data.data(), static_cast<uint32_t>(c.data.size()));
        out.push_back(std::move(c));
    }
    return out;
}

// Compact trace of the calls: "WinUsb_ControlTransfer 41/80" for control transfers, else the name.
inline std::vector<std::string> CallTrace() {
    std::vector<std::string> out;
    for (const Call& c : RecordedCalls()) {
        if (c.name() == "WinUsb_ControlTransfer") {
            char b[64];
            std::snprintf(b, sizeof b, "Control %02X/%02X", c.requestType(), c.request());
            out.push_back(b);
        } else {
            out.push_back(c.name().substr(c.name().find('_') + 1));
        }
    }
    return out;
}

// The system's text for a Win32 error, as the library prints it.
inline std::string SystemMessage(DWORD code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                             nullptr);
    std::string s(text ? text : "", n);
    if (text) LocalFree(text);
    return s;
}

// The contract violations the world recorded (calls with a handle WinUSB never issued), which
// are then forgotten: a test that makes one on purpose takes it.
inline uint32_t TakeViolations() {
    uint32_t n = SimWorld_ContractViolations(nullptr, 0);
    SimWorld_ClearViolations();
    return n;
}

class UsbHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimWorld_Reset();
        library_ = std::make_unique<HostLibrary>("LinkWinUsb.dll");
        api_ = std::make_unique<LinkWinUsbApi>(*library_);
    }
    void TearDown() override {
        // Every WinUSB call must name a live handle: WinUSB checks only for null, and anything
        // else would be a pointer into freed or foreign memory on Windows.
        char violation[200] = {};
        EXPECT_EQ(0u, SimWorld_ContractViolations(violation, sizeof violation)) << violation;
        api_.reset();
        library_.reset();   // each test starts with a freshly loaded library: protocol state at 0
        SimWorld_Reset();
    }

    int AddDevice(uint8_t version, std::string* path = nullptr, bool echo = false) {
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        c.protocolVersion = version;
        c.echo = echo ? 1 : 0;
        return AddDevice(c, path);
    }
    int AddDevice(const SimUsbDeviceConfig& c, std::string* path) {
        char p[512];
        int id = SimWorld_AddDevice(&c, p, sizeof p);
        EXPECT_GT(id, 0);
        if (path) *path = p;
        return id;
    }
    // Opens a fresh device of the given protocol version; the record starts empty afterwards.
    void* OpenFresh(uint8_t version, int* device = nullptr, bool echo = false) {
        std::string path;
        int id = AddDevice(version, &path, echo);
        if (device) *device = id;
        EXPECT_EQ(0u, api_->OpenDevice(&session_, path.c_str()));
        SimWorld_ClearCalls();
        return session_.interfaceHandle;
    }

    LinkWinUsbApi& api() { return *api_; }
    const HostLibrary& library() const { return *library_; }
    DeviceSession session_{};

private:
    std::unique_ptr<HostLibrary> library_;
    std::unique_ptr<LinkWinUsbApi> api_;
};
