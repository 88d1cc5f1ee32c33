// The firmware program's command line: the protocol it speaks and the faults of this run.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fw {

struct Options {
    std::string ffsDir = "/dev/ffs-varko";   // the mounted FunctionFS instance
    std::string udcFile;                     // the gadget's UDC attribute, for unplug-after-bytes
    uint8_t protocolVersion = 2;             // answer of 0x81
    uint8_t statusByte = 0;                  // answer of 0x82
    uint32_t identity = 0x01020304;          // answer of 0x83
    bool echo = true;                        // every message received is queued back to the host
    bool quiet = false;                      // no line per control request

    // Faults. Each is off unless named on the command line.
    std::vector<uint8_t> stalledRequests;    // stall-request=0xRR (repeatable)
    bool haltIn = false;                     // halt-in: bulk IN halted once, at the first enable
    bool haltOut = false;                    // halt-out: bulk OUT halted once, at the first enable
    uint32_t shortPackets = 0;               // short-packets=N: IN messages go out in pieces of N bytes
    bool noZlp = false;                      // no-zlp: a zero-length packet from the host ends nothing
    bool extraZlp = false;                   // extra-zlp: a ZLP follows each IN message of whole packets
    uint32_t bulkDelayMs = 0;                // delay-ms=N: IN messages held N ms after they are ready
    uint8_t delayedRequest = 0;              // delay-request=0xRR:N: that request answered N ms late
    uint32_t requestDelayMs = 0;
    bool stringsNeedLanguage = false;        // strings-need-language (what the gadget framework does anyway)
    uint64_t unplugAfterBytes = 0;           // unplug-after-bytes=N: the UDC unbound after N bulk bytes

    bool Stalls(uint8_t request) const;
};

// Fills `out` from argv; on a wrong argument writes why to `error` and returns false.
bool ParseOptions(int argc, char** argv, Options& out, std::string& error);
const char* Usage();

}  // namespace fw
