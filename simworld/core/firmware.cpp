// The simulated devices' firmware: vendor requests 0x80 to 0x86 to the interface, the standard
// descriptor request, and bulk data as packets.
#include "firmware.h"

#include "scenario_world.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kVendorInterfaceIn = 0xC1;
constexpr uint8_t kVendorInterfaceOut = 0x41;

void PutU32(Bytes& b, uint32_t v) {
    b = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
         static_cast<uint8_t>(v >> 24)};
}

// The device has the whole message: it keeps it and, as an echo device, sends it back.
void CompleteMessage(World& w, Device& d, Bytes message) {
    d.expectedLength = 0;
    if (d.config.echo) {
        OutMessage m;
        m.data = message;
        d.toHost.push_back(std::move(m));
        w.changed.notify_all();
    }
    if (w.keepData) d.received.push_back(std::move(message));
    ++d.messagesReceived;
    // A scenario's device that leaves in the middle of an exchange: gone right after this
    // message, which it did receive (the transfer that carried it succeeds).
    if (d.unplugAfterMessages && d.messagesReceived == d.unplugAfterMessages) {
        Announcement removal;
        if (UnplugLocked(w, d, removal)) AnnounceLaterLocked(std::move(removal));
    }
}

void CompleteIncoming(World& w, Device& d) {
    if (d.incoming.empty()) return;
    CompleteMessage(w, d, std::move(d.incoming));
    d.incoming.clear();
}

// Bytes of one OUT packet.
void TakePacket(World& w, Device& d, const uint8_t* data, size_t n, ULONG maxPacket) {
    d.incoming.insert(d.incoming.end(), data, data + n);
    while (d.expectedLength && d.incoming.size() >= d.expectedLength) {
        Bytes rest(d.incoming.begin() + d.expectedLength, d.incoming.end());
        d.incoming.resize(d.expectedLength);
        CompleteIncoming(w, d);
        d.incoming = std::move(rest);
    }
    if (n < maxPacket) CompleteIncoming(w, d);   // a short packet ends the message
}

DWORD VendorRequest(Device& d, const WINUSB_SETUP_PACKET& s, const uint8_t* out, ULONG outLength, Bytes& in) {
    World& w = TheWorld();
    bool isIn = (s.RequestType & 0x80) != 0;
    uint8_t expected = isIn ? kVendorInterfaceIn : kVendorInterfaceOut;
    if (s.RequestType != expected) return ERROR_GEN_FAILURE;
    switch (s.Request) {
    case 0x80:
        return isIn ? ERROR_GEN_FAILURE : 0;
    case 0x86:
        if (isIn) return ERROR_GEN_FAILURE;
        CompleteIncoming(w, d);   // the message written before it is whole
        return 0;
    case 0x81:
        if (!isIn || !d.config.answersHandshake) return ERROR_GEN_FAILURE;
        in = {d.config.protocolVersion};
        return 0;
    case 0x82:
        if (!isIn) return ERROR_GEN_FAILURE;
        in = {d.config.statusByte};
        return 0;
    case 0x83:
        if (!isIn || !d.config.answersHandshake) return ERROR_GEN_FAILURE;
        PutU32(in, d.config.handshakeValue);
        return 0;
    case 0x84: {
        if (!isIn) return ERROR_GEN_FAILURE;
        // The length of the next message whose data is still to be sent.
        uint32_t length = 0;
        for (const OutMessage& m : d.toHost) {
            if (m.sent < m.data.size()) {
                length = static_cast<uint32_t>(m.data.size() - m.sent);
                break;
            }
        }
        PutU32(in, d.announceOverride != UINT32_MAX ? d.announceOverride : length);
        return 0;
    }
    case 0x85:
        if (isIn || outLength < 4 || !out) return ERROR_GEN_FAILURE;
        std::memcpy(&d.expectedLength, out, 4);
        return 0;
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD StandardRequest(Device& d, const WINUSB_SETUP_PACKET& s, Bytes& in) {
    if (s.RequestType == 0x80 && s.Request == 6) {   // GET_DESCRIPTOR
        auto it = d.descriptors.find(s.Value);
        if (it == d.descriptors.end()) return ERROR_GEN_FAILURE;
        in = it->second;
        return 0;
    }
    return ERROR_GEN_FAILURE;
}

}  // namespace

DWORD DeviceRequest(Device& d, const WINUSB_SETUP_PACKET& s, const uint8_t* out, ULONG outLength, Bytes& in) {
    bool vendor = (s.RequestType & 0x60) == 0x40;
    return vendor ? VendorRequest(d, s, out, outLength, in) : StandardRequest(d, s, in);
}

bool HasPacket(const Device& d) { return !d.toHost.empty(); }

bool NextPacket(Device& d, ULONG maxPacket, Bytes& packet) {
    if (d.toHost.empty()) return false;
    if (maxPacket == 0) maxPacket = 64;
    OutMessage& m = d.toHost.front();
    size_t rest = m.data.size() - m.sent;
    if (rest == 0) {   // whole packets sent: a zero-length packet ends it
        packet.clear();
        d.toHost.pop_front();
        return true;
    }
    size_t n = std::min<size_t>(rest, maxPacket);
    packet.assign(m.data.begin() + static_cast<std::ptrdiff_t>(m.sent),
                  m.data.begin() + static_cast<std::ptrdiff_t>(m.sent + n));
    m.sent += n;
    // A short packet ends the message; after a last full one the firmware sends a zero-length
    // packet only when it is made to.
    if (m.sent == m.data.size() && (n < maxPacket || !d.config.zeroLengthPacket)) d.toHost.pop_front();
    return true;
}

void ReceiveData(World& w, Device& d, const uint8_t* data, ULONG length, ULONG maxPacket, bool zeroLengthAfter) {
    if (maxPacket == 0) maxPacket = 64;
    for (ULONG at = 0; at < length; at += maxPacket) {
        TakePacket(w, d, data + at, std::min<ULONG>(maxPacket, length - at), maxPacket);
    }
    if (length == 0 || zeroLengthAfter) CompleteIncoming(w, d);   // a zero-length packet
}

}  // namespace sim
