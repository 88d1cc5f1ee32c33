// The host the fuzzer plays: the records, buffers and transfers it owns, the devices and
// registrations it knows of, and the bounds it draws from.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "LinkWinUsb.h"
#include "guarded_memory.h"
#include "simworld_rng.h"

namespace usbfuzz {

constexpr uint64_t kEpisodeLength = 5000;   // iterations; each episode starts from a fresh world
constexpr int kSessions = 3;
constexpr int kDetails = 2;
constexpr int kSlots = 4;   // overlapped transfers the host keeps at once
constexpr uint32_t kSlotCapacity = 65537;
constexpr uint32_t kScratchCapacity = 65537;
constexpr uint32_t kBigCapacity = LWU_MAX_MESSAGE + 1;
constexpr size_t kMaxRegistrations = 12;
constexpr uint8_t kDestinationByte = 0xA7;
constexpr uint8_t kRecordByte = 0xEE;

using Rng = SimRng;

// One 64-bit value from two: the seed of an episode, an iteration or a device.
inline uint64_t Mix(uint64_t a, uint64_t b) {
    Rng r(a ^ (b * 0xD1B54A32D192ED03ull));
    r.Next();
    return r.Next();
}

// Interface classes and the texts that name them.
inline constexpr GUID kDeviceClass = {0x8f0a6c3e, 0x5b1d, 0x4c2a, {0x9e, 0x7f, 0x3d, 0x2b, 0x1a, 0x0c, 0x9e, 0x8d}};
inline constexpr GUID kOtherClass = {0x5d7e2a10, 0x39c4, 0x4b8f, {0xa1, 0x62, 0x0e, 0x7b, 0x94, 0xd3, 0x28, 0x5f}};
inline constexpr wchar_t kDeviceClassText[] = L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}";
inline constexpr wchar_t kOtherClassText[] = L"{5D7E2A10-39C4-4B8F-A162-0E7B94D3285F}";
inline constexpr const GUID* kClasses[] = {&kDeviceClass, &kOtherClass};

// One registration as the host believes the library lists it.
struct Registration {
    int callback;
    int classIndex;
    bool window;
};

// Lengths at and around every bound the exports know.
inline constexpr uint32_t kLengthBounds[] = {
    0,   1,   2,   3,   4,   5,    7,    8,    9,    15,   16,   17,    18,    19,    63,      64,      65,     255,
    256, 257, 511, 512, 513, 1023, 1024, 1025, 4095, 4096, 4097, 65535, 65536, 65537, 4095999, 4096000, 4096001};

struct Device {
    int id = 0;
    std::string path;
    bool present = true;
};

struct Session {
    GuardedRegion* region = nullptr;
    DeviceSession* record = nullptr;
    bool everOpened = false;
    void* lastHandle = nullptr;   // stale once closed
};

struct Detail {
    GuardedRegion* region = nullptr;
    UsbDeviceDetail* record = nullptr;
    bool holdsStrings() const { return record->manufacturer || record->product || record->serialNumber; }
};

// One overlapped transfer the host may have outstanding: its OVERLAPPED and buffer stay put
// until the transfer is known to be over (started without pending, its pipe aborted, or its
// interface closed). Only those deterministic events free it, so a seed replays exactly.
struct Slot {
    GuardedRegion* ovRegion = nullptr;
    GuardedRegion* bufRegion = nullptr;
    OVERLAPPED* overlapped = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    HANDLE event = nullptr;
    bool outstanding = false;
    void* handle = nullptr;
    uint8_t pipe = 0;
};

}  // namespace usbfuzz
