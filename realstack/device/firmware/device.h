// The maker's firmware as the simulated world runs it (simworld/core/firmware.cpp): vendor
// requests 0x80 to 0x86 to the interface, messages received in packets and echoed back. Here the
// packets come from FunctionFS reads; this class holds the state both endpoint threads and the
// control thread share.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "options.h"

namespace fw {

using Bytes = std::vector<uint8_t>;

class Firmware {
public:
    explicit Firmware(const Options& options) : options_(options) {}

    // Whether an OUT request with this setup is taken. FunctionFS acknowledges an OUT request as
    // its data is read, so the decision comes before the data.
    bool AcceptsOut(uint8_t requestType, uint8_t request, uint16_t length) const;

    // A control request to the interface. Returns false when the device stalls it; for IN
    // requests fills `in` with the answer.
    bool Request(uint8_t requestType, uint8_t request, const Bytes& out, Bytes& in);

    // Bytes of one completed bulk OUT read; `ended` when a short or zero-length packet ended it.
    void Received(const uint8_t* data, size_t n, bool ended);
    // How much the next bulk OUT read asks for, so that it ends where a message may end.
    size_t NextReadSize(size_t maxPacket) const;

    // Waits for the next message to send, once 0x84 announced it; false when `stop` was set.
    bool NextMessage(Bytes& message, uint64_t& generation, const bool& stop);
    // The message NextMessage gave is sent: it leaves the queue (unless a reset came meanwhile).
    void MessageSent(uint64_t generation);

    // The host reset or unconfigured the device: what was half received or not yet sent is gone.
    void Reset();
    // Wakes NextMessage so that it sees `stop`.
    void Wake();

private:
    void CompleteIncoming();
    void CompleteMessage(Bytes message);

    const Options& options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Bytes incoming_;
    uint32_t expectedLength_ = 0;
    std::deque<Bytes> toHost_;
    bool headAnnounced_ = false;   // 0x84 has announced toHost_.front()
    uint64_t generation_ = 0;
};

}  // namespace fw
