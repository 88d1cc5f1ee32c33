// The maker's USB devices as the guest's kernel lists them in sysfs, read through Wine's Z:
// drive. Each one is a present interface of the maker's interface class; its path is the
// device's usbfs node, which CreateFileA opens and the WinUSB face turns back into the
// kernel's file.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rs {

// The interface class of the maker's devices (the one the host application registers for).
const GUID& MakerInterfaceClass();
bool SameGuid(const GUID& a, const GUID& b);

struct UsbInterface {
    std::string path;      // \\?\Z:\dev\bus\usb\BBB\DDD
    std::string sysName;   // the kernel's name of the device, e.g. 1-1
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// True for the maker's vendor ID with one of its devices' product IDs.
bool IsMakerDevice(uint16_t vendorId, uint16_t productId);

// The folder that stands for the guest's root ("Z:" normally). Tests point it at a tree of
// their own with VARKO_REALSTACK_ROOT (a Windows path such as Z:\tmp\fakeroot); the interface
// paths then lie in that tree too.
std::string RootFolder();

// The maker's devices present now, ordered by path. A device counts once its IDs, bus and
// device numbers read and its usbfs node exists; one that vanishes while being read is left out.
std::vector<UsbInterface> ScanInterfaces();

}  // namespace rs
