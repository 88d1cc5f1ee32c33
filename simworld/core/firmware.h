// The simulated devices' firmware: the vendor requests of the message protocol, the standard
// requests, and bulk data in packets of the pipe's maximum packet size. Callers hold the world mutex.
#pragma once
#include "world.h"

namespace sim {

// A control request to the device: 0 and the IN data in `in`, or the Win32 error of a stall.
DWORD DeviceRequest(Device& d, const WINUSB_SETUP_PACKET& s, const uint8_t* out, ULONG outLength, Bytes& in);

// The device's next IN packet of at most `maxPacket` bytes: false while it has none to send.
// A message ends with a short packet, or (when its length is a multiple of the packet size)
// with nothing or a zero-length packet, as the firmware chooses.
bool NextPacket(Device& d, ULONG maxPacket, Bytes& packet);
// Whether the device has an IN packet to send.
bool HasPacket(const Device& d);

// OUT data the device takes in, in packets of `maxPacket`; `zeroLengthAfter`: the host ends the
// transfer with a zero-length packet. A message ends at a short packet, at the length request
// 0x85 announced, or at request 0x86.
void ReceiveData(World& w, Device& d, const uint8_t* data, ULONG length, ULONG maxPacket, bool zeroLengthAfter);

}  // namespace sim
