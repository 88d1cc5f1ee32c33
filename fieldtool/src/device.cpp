#include "device.h"

#include <algorithm>

namespace fieldtool {

bool Device::Open(const std::string& path, Failure& failure) {
    std::lock_guard<std::mutex> hold(mutex_);
    session_ = DeviceSession{};
    uint32_t status = api_.OpenDevice(&session_, path.c_str());
    if (status != 0 || !session_.isOpen) {
        failure = FailWith(kExitFailed, "cannot open " + path + ": OpenDevice returned",
                           CodeKind::HResult, status);
        return false;
    }
    return true;
}

void Device::Close() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (session_.isOpen) api_.CloseDevice(&session_);
    pipes_.clear();
}

bool Device::Endpoints(EndpointPair& pair, bool needBoth, Failure& failure) {
    pair = EndpointPair{};
    if (api_.QueryDeviceEndpoints(session_.interfaceHandle, &pair) == 0) {
        failure = FailWith(kExitFailed, "QueryDeviceEndpoints failed", CodeKind::Win32, GetLastError());
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (pair.in.pipeType != 0) pipes_.push_back(pair.in.pipeId);
        if (pair.out.pipeType != 0) pipes_.push_back(pair.out.pipeId);
    }
    if (needBoth && (pair.in.pipeType == 0 || pair.out.pipeType == 0)) {
        failure = Fail(kExitFailed, std::string("the device has no ") + (pair.in.pipeType == 0 ? "IN" : "OUT") +
                                        " pipe of bulk, interrupt or isochronous type");
        return false;
    }
    return true;
}

void Device::AddAbortPipe(uint8_t pipeId) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (std::find(pipes_.begin(), pipes_.end(), pipeId) == pipes_.end()) pipes_.push_back(pipeId);
}

void Device::AbortPipes() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!session_.isOpen) return;
    for (uint8_t pipe : pipes_) api_.PipeAbort(session_.interfaceHandle, pipe);
}

uint32_t Device::Probe() {
    uint32_t length = 0;
    // Vendor request to the interface (type 2, recipient 1), device to host.
    return api_.ControlRead(session_.interfaceHandle, 2, 1, 0x84, 0, 0, &length, sizeof length);
}

std::string ProbeText(uint32_t status) {
    return status == 0 ? std::string() : DescribeCode(StatusKind(status), status);
}

}  // namespace fieldtool
