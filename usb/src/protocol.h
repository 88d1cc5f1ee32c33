// The vendor requests of the devices' message protocol (control transfers to the interface,
// value and index 0), in one place for every source file that speaks it.
#pragma once
#include <cstdint>

namespace lwu {

// Out, no data: ends the open's handshake, comes before each version-0 message written, and
// is the first step of a close.
constexpr uint8_t kRequestSession = 0x80;
// In, 1 byte: the protocol version, which selects the framing of Read and Write.
constexpr uint8_t kRequestVersion = 0x81;
// In, 1 byte: a version-0 device's status before a read; above 2 the read fails.
constexpr uint8_t kRequestStatus = 0x82;
// In, 4 bytes: the firmware's identity, read during the handshake and not interpreted.
constexpr uint8_t kRequestIdentify = 0x83;
// In, 4 bytes: the length of the message the device has ready.
constexpr uint8_t kRequestLength = 0x84;
// Out, 4 bytes: a version-1 write announces its length.
constexpr uint8_t kRequestWriteLength = 0x85;
// Out, no data: a version-0 write is complete.
constexpr uint8_t kRequestWriteDone = 0x86;

}  // namespace lwu
