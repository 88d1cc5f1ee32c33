// What the real stack's host programs share: LinkWinUsb.dll loaded as a host loads it, the
// checks' output (one line each, "ok" or "FAIL"), and a few framed-message helpers.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "LinkWinUsb.h"
#include "host_library.h"
#include "linkwinusb_exports.h"

namespace host {

inline int& Failures() {
    static int failures = 0;
    return failures;
}

inline bool Check(bool ok, const std::string& what) {
    std::printf("  [%s] %s\n", ok ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++Failures();
    return ok;
}

inline void Say(const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

inline std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// A message whose bytes differ from one message to the next, so that an echo of an older
// message cannot pass for this one.
inline std::vector<uint8_t> Pattern(uint32_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed * 31u + i * 7u + (i >> 8));
    return bytes;
}

// The bulk pipes of an open session, as QueryDeviceEndpoints reports them.
struct Pipes {
    uint8_t in = 0;
    uint8_t out = 0;
    uint16_t inPacket = 0;
    uint16_t outPacket = 0;
    bool found = false;
};

inline Pipes QueryPipes(const LinkWinUsbExports& api, void* handle) {
    EndpointPair pair{};
    Pipes p;
    uint32_t ok = api.QueryDeviceEndpoints(handle, &pair);
    p.found = ok != 0 && pair.in.pipeType == 2 && pair.out.pipeType == 2;
    p.in = pair.in.pipeId;
    p.out = pair.out.pipeId;
    p.inPacket = pair.in.maxPacketSize;
    p.outPacket = pair.out.maxPacketSize;
    return p;
}

// Read's destination must hold LWU_MAX_MESSAGE bytes.
class ReadBuffer {
public:
    ReadBuffer() : bytes_(LWU_MAX_MESSAGE) {}
    uint8_t* data() { return bytes_.data(); }
    std::vector<uint8_t> Prefix(uint32_t n) const {
        return std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace host
