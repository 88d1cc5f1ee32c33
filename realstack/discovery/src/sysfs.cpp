// Reads the USB devices of sysfs with the Win32 file functions, as Wine shows the guest's
// files on Z:. Attribute files are read whole in one call (sysfs hands out an attribute's
// text in one read); a missing or unreadable one makes the device not (or no longer) present.
#include "sysfs.h"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sync.h"

namespace rs {

namespace {

constexpr uint16_t kMakerVendor = 0x1209;
// The product IDs of the maker's devices, as the simulated world gives them: the default
// device, the three echo devices of the default world (one per protocol version) and the
// device the demo plugs in.
constexpr uint16_t kMakerProducts[] = {0x0001, 0x0100, 0x0101, 0x0102, 0x0200};

bool ReadAttribute(const std::string& path, std::string& text) {
    Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buffer[64];
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer - 1, &got, nullptr)) return false;
    buffer[got] = '\0';
    text.assign(buffer, got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return !text.empty();
}

bool ReadNumber(const std::string& folder, const char* name, int base, unsigned long limit, unsigned long& value) {
    std::string text;
    if (!ReadAttribute(folder + "\\" + name, text)) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, base);
    return end && *end == '\0' && value <= limit;
}

// Wine gives a character device no attributes (GetFileAttributesA fails with
// ERROR_INVALID_PARAMETER), but lists it in its folder.
bool Exists(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

}  // namespace

const GUID& MakerInterfaceClass() {
    static const GUID cls = {0x8f0a6c3e, 0x5b1d, 0x4c2a, {0x9e, 0x7f, 0x3d, 0x2b, 0x1a, 0x0c, 0x9e, 0x8d}};
    return cls;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool IsMakerDevice(uint16_t vendorId, uint16_t productId) {
    if (vendorId != kMakerVendor) return false;
    return std::find(std::begin(kMakerProducts), std::end(kMakerProducts), productId) != std::end(kMakerProducts);
}

std::string RootFolder() {
    char buffer[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("VARKO_REALSTACK_ROOT", buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return "Z:";
    std::string root(buffer, n);
    while (!root.empty() && root.back() == '\\') root.pop_back();
    return root;
}

std::vector<UsbInterface> ScanInterfaces() {
    std::vector<UsbInterface> out;
    const std::string root = RootFolder();
    const std::string devices = root + "\\sys\\bus\\usb\\devices";
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((devices + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return out;
    std::vector<std::string> names;
    do {
        // Interfaces (1-1:1.0) have no IDs of their own; "." and ".." are no devices.
        if (entry.cFileName[0] == '.' || std::strchr(entry.cFileName, ':')) continue;
        names.emplace_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    for (const std::string& name : names) {
        const std::string folder = devices + "\\" + name;
        unsigned long vendor = 0, product = 0, bus = 0, device = 0;
        if (!ReadNumber(folder, "idVendor", 16, 0xFFFF, vendor) || !ReadNumber(folder, "idProduct", 16, 0xFFFF, product))
            continue;
        if (!IsMakerDevice(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product))) continue;
        if (!ReadNumber(folder, "busnum", 10, 999, bus) || !ReadNumber(folder, "devnum", 10, 999, device)) continue;
        char node[64];
        std::snprintf(node, sizeof node, "\\dev\\bus\\usb\\%03lu\\%03lu", bus, device);
        const std::string nodePath = root + node;
        if (!Exists(nodePath)) continue;   // the kernel names the device before its node is there
        UsbInterface found;
        found.path = "\\\\?\\" + nodePath;
        found.sysName = name;
        found.vendorId = static_cast<uint16_t>(vendor);
        found.productId = static_cast<uint16_t>(product);
        out.push_back(std::move(found));
    }
    std::sort(out.begin(), out.end(), [](const UsbInterface& a, const UsbInterface& b) { return a.path < b.path; });
    return out;
}

}  // namespace rs
