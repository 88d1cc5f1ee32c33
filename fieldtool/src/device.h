// One opened device for the subcommands that open one (info, echo, raw): closed with the object,
// and its bulk pipes can be aborted from the interrupt handler's thread while a transfer waits.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "library.h"

namespace fieldtool {

class Device {
public:
    explicit Device(const LinkWinUsbApi& api) : api_(api) {}
    ~Device() { Close(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // OpenDevice; false with the failure filled (the HRESULT it returned).
    bool Open(const std::string& path, Failure& failure);
    void Close();
    void* handle() const { return session_.interfaceHandle; }

    // QueryDeviceEndpoints; false with the failure filled when it fails or finds no IN or no OUT
    // pipe (the pair is filled either way). Its pipes become the ones AbortPipes aborts.
    bool Endpoints(EndpointPair& pair, bool needBoth, Failure& failure);
    // A pipe that AbortPipes aborts too (raw transfers on a pipe of the caller's choice).
    void AddAbortPipe(uint8_t pipeId);
    // Aborts the pipes' waiting transfers; nothing when the device is closed. Any thread.
    void AbortPipes();
    // After a failed transfer: what a harmless control request (the message length, 0x84) gives
    // now; 0 when the device still answers.
    uint32_t Probe();

private:
    const LinkWinUsbApi& api_;
    std::mutex mutex_;   // Close against AbortPipes
    DeviceSession session_{};
    std::vector<uint8_t> pipes_;
};

// "Win32 error 1167 (The device is not connected.)" for a probe's status, "" for 0.
std::string ProbeText(uint32_t status);

}  // namespace fieldtool
