// Fixture for the pipe, endpoint and identity exports: devices with a chosen set of pipes.
#pragma once
#include <chrono>
#include <initializer_list>
#include <thread>

#include "usb_host.h"

// Runs `action` on another thread after `delayMs`; joins on destruction.
class Later {
public:
    template <class F>
    Later(int delayMs, F action)
        : thread_([delayMs, action] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
              action();
          }) {}
    ~Later() { thread_.join(); }
    Later(const Later&) = delete;
    Later& operator=(const Later&) = delete;

private:
    std::thread thread_;
};

constexpr uint32_t kControl = 0, kIsochronous = 1, kBulk = 2, kInterrupt = 3;
constexpr uint32_t kRawIo = 0x07;   // a one-byte pipe policy of WinUSB

inline SimPipe Pipe(uint32_t type, uint8_t id, uint16_t maxPacketSize = 512, uint8_t interval = 0) {
    SimPipe p{};
    p.type = type;
    p.pipeId = id;
    p.maxPacketSize = maxPacketSize;
    p.interval = interval;
    return p;
}

// The pipe IDs that the recorded calls of one WinUSB function named.
inline std::vector<int> PipeIdsOf(const char* function) {
    std::vector<int> ids;
    for (const Call& c : RecordedCalls()) {
        if (c.name() == function) ids.push_back(static_cast<int>(c.call.args[1]));
    }
    return ids;
}

class PipeHostTest : public UsbHostTest {
protected:
    LinkWinUsbApi& lwu() { return api(); }

    // A device (protocol version 2) whose interface has exactly these pipes.
    int AddDeviceWithPipes(std::initializer_list<SimPipe> list, std::string* path) {
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        int id = AddDevice(c, path);
        std::vector<SimPipe> v(list);
        EXPECT_EQ(1, SimWorld_SetInterfacePipes(id, 0, v.data(), static_cast<uint32_t>(v.size())));
        return id;
    }
    // Opens such a device into session_; the call record starts empty afterwards.
    void* OpenWithPipes(std::initializer_list<SimPipe> list, int* device = nullptr) {
        std::string path;
        int id = AddDeviceWithPipes(list, &path);
        if (device) *device = id;
        EXPECT_EQ(0u, api().OpenDevice(&session_, path.c_str()));
        SimWorld_ClearCalls();
        return session_.interfaceHandle;
    }
};
