#include "ffs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace fw {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0) close(fd_);
}

namespace {

void PutLe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutLe32At(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void PutInterface(std::vector<uint8_t>& b, uint16_t maxPacket) {
    const uint8_t interface[] = {9, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_VENDOR_SPEC, 0, 0, 0};
    b.insert(b.end(), interface, interface + sizeof interface);
    for (uint8_t address : {uint8_t{0x01}, uint8_t{0x81}}) {
        const uint8_t endpoint[] = {7, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK,
                                    static_cast<uint8_t>(maxPacket), static_cast<uint8_t>(maxPacket >> 8), 0};
        b.insert(b.end(), endpoint, endpoint + sizeof endpoint);
    }
}

bool WriteAll(int fd, const std::vector<uint8_t>& b) {
    ssize_t n = write(fd, b.data(), b.size());
    return n == static_cast<ssize_t>(b.size());
}

}  // namespace

Fd OpenControl(const std::string& dir, std::string& error) {
    Fd ep0(open((dir + "/ep0").c_str(), O_RDWR));
    if (!ep0.valid()) {
        error = "cannot open " + dir + "/ep0: " + std::strerror(errno);
        return Fd();
    }
    std::vector<uint8_t> d;
    PutLe32(d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    PutLe32(d, 0);   // length, filled in below
    PutLe32(d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    PutLe32(d, 3);   // full-speed descriptors
    PutLe32(d, 3);   // high-speed descriptors
    PutInterface(d, 64);
    PutInterface(d, 512);
    PutLe32At(d, 4, static_cast<uint32_t>(d.size()));
    if (!WriteAll(ep0.get(), d)) {
        error = std::string("writing the descriptors failed: ") + std::strerror(errno);
        return Fd();
    }
    std::vector<uint8_t> s;
    PutLe32(s, FUNCTIONFS_STRINGS_MAGIC);
    PutLe32(s, 16);
    PutLe32(s, 0);   // no strings of the function's own: the gadget's come from configfs
    PutLe32(s, 0);
    if (!WriteAll(ep0.get(), s)) {
        error = std::string("writing the strings failed: ") + std::strerror(errno);
        return Fd();
    }
    return ep0;
}

Fd OpenEndpoint(const std::string& dir, int number, std::string& error) {
    std::string path = dir + "/ep" + std::to_string(number);
    Fd ep(open(path.c_str(), O_RDWR));
    if (!ep.valid()) error = "cannot open " + path + ": " + std::strerror(errno);
    return ep;
}

bool EndpointInfo(int fd, uint8_t& address, uint16_t& maxPacket) {
    usb_endpoint_descriptor desc{};
    if (ioctl(fd, FUNCTIONFS_ENDPOINT_DESC, &desc) < 0) return false;
    address = desc.bEndpointAddress;
    maxPacket = desc.wMaxPacketSize;   // little-endian, as is this machine
    return true;
}

void StallControl(int ep0, bool isIn) {
    // FunctionFS stalls a pending request on I/O in the wrong direction.
    char none = 0;
    ssize_t ignored = isIn ? read(ep0, &none, 0) : write(ep0, &none, 0);
    (void)ignored;
}

}  // namespace fw
