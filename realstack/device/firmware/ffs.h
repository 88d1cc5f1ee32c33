// FunctionFS for one interface with a bulk OUT and a bulk IN endpoint: the descriptors written
// to ep0, and small owners of the endpoint files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace fw {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    ~Fd();
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Opens DIR/ep0 and writes the descriptors (full and high speed: interface 0, vendor class,
// bulk OUT 0x01 and bulk IN 0x81) and an empty string table. On failure says why in `error`.
Fd OpenControl(const std::string& dir, std::string& error);
Fd OpenEndpoint(const std::string& dir, int number, std::string& error);

// The endpoint's address and packet size as the controller gave them (valid once enabled).
bool EndpointInfo(int fd, uint8_t& address, uint16_t& maxPacket);

// Ends the data stage of a pending setup request on ep0 by stalling it.
void StallControl(int ep0, bool isIn);

}  // namespace fw
