// A device's identity (IDs and three strings), read by opening and closing it for the call.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "guard.h"
#include "handles.h"
#include "internal.h"

namespace lwu {

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kStringBufferLength = 1024;
constexpr size_t kStringHeaderLength = 2;   // bLength, bDescriptorType

uint16_t U16At(const uint8_t* bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// String descriptor `index` as narrow text in `text`; the descriptor request's result. Index 0
// is asked for like any other (the device answers with its language table). The text runs from
// the third byte to the first zero unit of the zeroed buffer, whatever count the device gave: an
// odd-length descriptor keeps its last half unit. The buffer's end bounds a descriptor that
// fills it.
BOOL ReadStringDescriptor(void* handle, uint8_t index, std::string& text) {
    text.clear();
    uint8_t buffer[kStringBufferLength] = {};
    ULONG received = 0;
    BOOL ok = WinUsb_GetDescriptor(handle, USB_STRING_DESCRIPTOR_TYPE, index, 0, buffer, kStringBufferLength, &received);
    if (!ok) return ok;
    std::wstring wide;
    for (size_t at = kStringHeaderLength; at + 1 < kStringBufferLength; at += 2) {
        wchar_t unit = static_cast<wchar_t>(U16At(buffer, at));
        if (unit == 0) break;
        wide.push_back(unit);
    }
    NarrowText(wide.c_str(), text);
    return ok;
}

char* Duplicate(const std::string& text) {
    char* copy = _strdup(text.c_str());
    if (!copy) throw std::bad_alloc();
    return copy;
}

int32_t ReadDetail(UsbDeviceDetail* detail, const char* path) {
    if (!detail) return 0;
    DeviceSession session{};
    uint32_t status = OpenDevice(&session, path);
    if (static_cast<int32_t>(status) < 0) {
        std::wprintf(L"Open device failed with error code 0x%X\n", status);
        return 0;
    }
    if (session.isOpen == 0) return 0;   // not an open failure the device reported: nothing to read
    OpenedSession opened(&session);   // closed on every way out after a successful open

    uint8_t descriptor[kDeviceDescriptorLength] = {};
    ULONG received = 0;
    if (!WinUsb_GetDescriptor(session.interfaceHandle, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor,
                              kDeviceDescriptorLength, &received)) {
        std::wprintf(L"Error among LastError %d or lengthReceived %d\n", static_cast<int>(GetLastError()),
                     static_cast<int>(received));
        return 0;
    }
    if (received != kDeviceDescriptorLength) {
        std::wprintf(L"Error among LastError %d or lengthReceived %d\n", 0, static_cast<int>(received));
        return 0;
    }
    detail->vendorId = U16At(descriptor, 8);
    detail->productId = U16At(descriptor, 10);
    const uint8_t manufacturerIndex = descriptor[14];
    const uint8_t productIndex = descriptor[15];
    const uint8_t serialIndex = descriptor[16];

    // Serial number first, then product, then manufacturer; a failure ends the walk, and its
    // own field still gets the (empty) text.
    std::string text;
    BOOL result = ReadStringDescriptor(session.interfaceHandle, serialIndex, text);
    detail->serialNumber = Duplicate(text);
    if (result) {
        result = ReadStringDescriptor(session.interfaceHandle, productIndex, text);
        detail->product = Duplicate(text);
    }
    if (result) {
        result = ReadStringDescriptor(session.interfaceHandle, manufacturerIndex, text);
        detail->manufacturer = Duplicate(text);
    }
    return static_cast<int32_t>(result);
}

}  // namespace
}  // namespace lwu

using namespace lwu;

extern "C" {

int32_t LWU_CALL GetUsbDeviceDetail(UsbDeviceDetail* detail, const char* path) {
    return Guarded<int32_t>(0, [&] { return ReadDetail(detail, path); });
}

void LWU_CALL FreeUsbDeviceDetail(UsbDeviceDetail* detail) {
    if (!detail) return;
    // The strings came from this library's C runtime heap: only its free may release them.
    std::free(detail->manufacturer);
    std::free(detail->product);
    std::free(detail->serialNumber);
    detail->manufacturer = nullptr;
    detail->product = nullptr;
    detail->serialNumber = nullptr;
}

}  // extern "C"
