// The framing in force. The world records the platform calls of each iteration; a handshake's
// request 0x81 that came back with its byte sets the protocol version, nothing else does, and
// Read and Write must frame by it.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "checks.h"
#include "fuzzer.h"
#include "report.h"

namespace usbfuzz {

namespace {

// The first control or bulk transfer the call made; false when it made none.
bool FirstTransfer(SimCall& first, uint8_t* data, uint32_t capacity, uint32_t& dataLength) {
    for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (std::strcmp(c.function, "WinUsb_ControlTransfer") != 0 &&
            std::strcmp(c.function, "WinUsb_WritePipe") != 0 && std::strcmp(c.function, "WinUsb_ReadPipe") != 0) {
            continue;
        }
        first = c;
        dataLength = SimWorld_GetCallData(i, data, capacity);
        return true;
    }
    return false;
}

bool IsControl(const SimCall& c, uint8_t requestType, uint8_t request) {
    return std::strcmp(c.function, "WinUsb_ControlTransfer") == 0 && c.args[1] == requestType && c.args[2] == request;
}


}  // namespace

void Fuzzer::NoteHandshake() {
    for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (!IsControl(c, 0xC1, 0x81)) continue;
        uint8_t data[16] = {};
        // Setup packet and the bytes moved: the version byte came back only with 9.
        uint32_t recorded = SimWorld_GetCallData(i, data, sizeof data);
        if (c.result && recorded == 9) version_ = data[8];
        if (options_.verbose) {
            Say("    handshake: request 0x81 %s, %u bytes recorded, version %d\n", c.result ? "succeeded" : "failed",
                recorded, version_);
        }
        return;
    }
}

void Fuzzer::CheckWriteFraming(void* handle, const void* source, uint32_t length, uint32_t result) {
    if (version_ < 0 || handle == INVALID_HANDLE_VALUE) return;   // no transfer is attempted on that value
    SimCall first{};
    uint8_t data[16];
    uint32_t dataLength = 0;
    int seen;   // the framing the call used; 3 for "none", -1 when it cannot tell 2 from 3
    if (!FirstTransfer(first, data, sizeof data, dataLength)) {
        seen = result == 1 ? 2 : (!source && length) ? -1 : 3;
    } else if (IsControl(first, 0x41, 0x80)) {
        seen = 0;
    } else if (IsControl(first, 0x41, 0x85)) {
        seen = 1;
    } else if (std::strcmp(first.function, "WinUsb_WritePipe") == 0) {
        seen = 2;
    } else {
        Broken(1, "Write began with %s, request 0x%02X", first.function, static_cast<unsigned>(first.args[2]));
    }
    int expected = std::min(version_, 3);
    if (seen >= 0 ? seen != expected : expected < 2) {
        Broken(1, "Write framed for protocol version %d; the last version byte the library received was %d", seen,
               version_);
    }
}

void Fuzzer::CheckReadFraming(void* handle) {
    if (version_ < 0 || handle == INVALID_HANDLE_VALUE) return;
    SimCall first{};
    uint8_t data[16];
    uint32_t dataLength = 0;
    if (!FirstTransfer(first, data, sizeof data, dataLength)) Broken(1, "Read made no request");
    bool statusFirst = IsControl(first, 0xC1, 0x82);
    if (!statusFirst && !IsControl(first, 0xC1, 0x84))
        Broken(1, "Read began with request 0x%02X", static_cast<unsigned>(first.args[2]));
    if (statusFirst != (version_ == 0)) {
        Broken(1, "Read framed %s the status request; the last version byte the library received was %d",
               statusFirst ? "with" : "without", version_);
    }
}

}  // namespace usbfuzz
