#include "device.h"

#include <algorithm>
#include <cstring>

namespace fw {

namespace {

constexpr uint8_t kVendorInterfaceIn = 0xC1;
constexpr uint8_t kVendorInterfaceOut = 0x41;
constexpr size_t kLargestRead = 64 * 1024;

Bytes U32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

}  // namespace

bool Firmware::AcceptsOut(uint8_t requestType, uint8_t request, uint16_t length) const {
    if (requestType != kVendorInterfaceOut || options_.Stalls(request)) return false;
    return request == 0x80 || request == 0x86 || (request == 0x85 && length >= 4);
}

bool Firmware::Request(uint8_t requestType, uint8_t request, const Bytes& out, Bytes& in) {
    in.clear();
    bool isIn = (requestType & 0x80) != 0;
    if (requestType != (isIn ? kVendorInterfaceIn : kVendorInterfaceOut)) return false;
    if (options_.Stalls(request)) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    switch (request) {
    case 0x80:
        return !isIn;
    case 0x86:
        if (isIn) return false;
        CompleteIncoming();   // the message written before it is whole
        return true;
    case 0x81:
        if (!isIn) return false;
        in = {options_.protocolVersion};
        return true;
    case 0x82:
        if (!isIn) return false;
        in = {options_.statusByte};
        return true;
    case 0x83:
        if (!isIn) return false;
        in = U32(options_.identity);
        return true;
    case 0x84:
        if (!isIn) return false;
        // The length of the next message still to be sent (the one being sent counts whole).
        in = U32(toHost_.empty() ? 0u : static_cast<uint32_t>(toHost_.front().size()));
        if (!toHost_.empty() && !headAnnounced_) {
            headAnnounced_ = true;   // now the host reads it: the IN endpoint may take it
            changed_.notify_all();
        }
        return true;
    case 0x85:
        if (isIn || out.size() < 4) return false;
        std::memcpy(&expectedLength_, out.data(), 4);
        return true;
    default:
        return false;
    }
}

void Firmware::CompleteMessage(Bytes message) {
    expectedLength_ = 0;
    if (options_.echo) {
        toHost_.push_back(std::move(message));
        changed_.notify_all();
    }
}

void Firmware::CompleteIncoming() {
    if (incoming_.empty()) return;
    Bytes message;
    message.swap(incoming_);
    CompleteMessage(std::move(message));
}

void Firmware::Received(const uint8_t* data, size_t n, bool ended) {
    std::lock_guard<std::mutex> hold(mutex_);
    incoming_.insert(incoming_.end(), data, data + n);
    while (expectedLength_ && incoming_.size() >= expectedLength_) {
        Bytes rest(incoming_.begin() + expectedLength_, incoming_.end());
        incoming_.resize(expectedLength_);
        CompleteIncoming();
        incoming_ = std::move(rest);
    }
    if (ended) CompleteIncoming();   // a short packet ends the message
}

size_t Firmware::NextReadSize(size_t maxPacket) const {
    std::lock_guard<std::mutex> hold(mutex_);
    // Protocol 2 messages end only at a short packet, so a large read ends where they do. Where
    // 0x85 announced a length, a read of the rest ends there. Otherwise (protocol 0's 0x86, a
    // fault that counts bytes) one packet at a time, so that no data waits inside an open read.
    if (options_.unplugAfterBytes) return maxPacket;
    if (expectedLength_ > incoming_.size()) {
        size_t rest = expectedLength_ - incoming_.size();
        rest = (rest + maxPacket - 1) / maxPacket * maxPacket;
        return std::min(rest, kLargestRead);
    }
    return options_.protocolVersion == 2 ? kLargestRead : maxPacket;
}

bool Firmware::NextMessage(Bytes& message, uint64_t& generation, const bool& stop) {
    std::unique_lock<std::mutex> hold(mutex_);
    // A message goes to the IN endpoint only once 0x84 announced it. A device controller may
    // complete a write as soon as its FIFO holds the data (dummy_hcd does for 64 bytes or less),
    // long before the host reads it; a message that left the queue then would be announced as 0.
    changed_.wait(hold, [&] { return stop || (!toHost_.empty() && headAnnounced_); });
    if (stop) return false;
    message = toHost_.front();
    generation = generation_;
    return true;
}

void Firmware::MessageSent(uint64_t generation) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (generation == generation_ && !toHost_.empty()) {
        toHost_.pop_front();
        headAnnounced_ = false;
    }
}

void Firmware::Reset() {
    std::lock_guard<std::mutex> hold(mutex_);
    incoming_.clear();
    expectedLength_ = 0;
    toHost_.clear();
    headAnnounced_ = false;
    ++generation_;
    changed_.notify_all();
}

void Firmware::Wake() {
    std::lock_guard<std::mutex> hold(mutex_);
    changed_.notify_all();
}

}  // namespace fw
