// Random devices: every WinUSB call that reaches one is answered from the device's own seeded
// generator, so that the host library meets what a broken or hostile device can make WinUSB
// report, and a seed replays it. What the platform itself guarantees stays true: a failure is
// FALSE with a nonzero last error, a transfer never reports or writes more than its buffer, a
// call with a null buffer and a nonzero length fails before it reaches the device, an
// overlapped transfer that is pending completes on the world's thread (or when aborted).
#include "random_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "interfaces.h"
#include "simworld_interfaces.h"
#include "simworld_random.h"
#include "simworld_rng.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// NTSTATUS values a pending transfer completes with; WinUsb_GetOverlappedResult maps them.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kCompletionFailures[] = {0xC0000120, 0xC00000B5, 0xC0000184, 0xC000009D, 0xC0000001};

// Win32 errors WinUSB reports for device trouble, and the odd ones a driver may pass up.
constexpr DWORD kDeviceErrors[] = {ERROR_GEN_FAILURE,       ERROR_SEM_TIMEOUT,         ERROR_BAD_COMMAND,
                                   ERROR_INVALID_PARAMETER, ERROR_IO_DEVICE,           ERROR_DEVICE_NOT_CONNECTED,
                                   ERROR_NOT_ENOUGH_MEMORY, ERROR_INSUFFICIENT_BUFFER, ERROR_OPERATION_ABORTED,
                                   ERROR_INVALID_HANDLE,    ERROR_ACCESS_DENIED,       ERROR_NO_MORE_ITEMS,
                                   ERROR_INVALID_FUNCTION,  ERROR_NOT_SUPPORTED,       ERROR_CRC,
                                   ERROR_FILE_NOT_FOUND,    ERROR_NO_SYSTEM_RESOURCES, ERROR_DEVICE_REMOVED};

using Rng = SimRng;

// How one device misbehaves: drawn once from its seed.
struct Persona {
    uint32_t failPercent = 0;       // a call fails
    uint32_t shortPercent = 0;      // a transfer moves less than asked
    uint32_t initFailPercent = 0;   // WinUsb_Initialize refuses
    uint32_t nowPercent = 0;        // an overlapped transfer completes at once
    uint32_t neverPercent = 0;      // of the pending ones: never, until aborted
    uint32_t lateMs = 0;            // longest delay of a later completion
};

struct RandomDevice {
    Rng rng;
    Persona persona;
};

enum class Fill { Random, NoZero, Zero, Repeat };

// An overlapped transfer that returned ERROR_IO_PENDING.
struct RandomTransfer {
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    UCHAR pipeId = 0;
    LPOVERLAPPED overlapped = nullptr;
    PUCHAR buffer = nullptr;   // IN data lands here at completion
    ULONG count = 0;
    ULONG_PTR status = kStatusSuccess;
    uint64_t dataSeed = 0;
    Fill fill = Fill::Random;
    Clock::time_point due = Clock::time_point::max();   // max: never, until aborted
};

// All guarded by the world mutex.
std::map<int, RandomDevice> randomDevices;   // by device id
std::vector<RandomTransfer> transfers;
std::condition_variable transfersChanged;
bool completerRunning = false;
SimRandomCounters counters{};
std::vector<std::pair<int, uint32_t>> announced;   // interfaces SimRandom_Announce added, with their path size

uint64_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

DWORD DrawError(Rng& rng) {
    if (rng.Percent(80)) return rng.Pick(kDeviceErrors);
    // Any system error code but the two an overlapped call owns.
    DWORD code = rng.Between(1, 15999);
    return code == ERROR_IO_PENDING || code == ERROR_IO_INCOMPLETE ? ERROR_GEN_FAILURE : code;
}

// A byte count from 0 to `limit`: mostly all of it for a device that does not cut transfers short.
ULONG DrawCount(RandomDevice& r, ULONG limit) {
    if (limit == 0 || !r.rng.Percent(r.persona.shortPercent)) return limit;
    switch (r.rng.Below(4)) {
    case 0: return 0;
    case 1: return limit - 1;
    case 2: return std::min<ULONG>(limit, r.rng.Below(16));
    default: return static_cast<ULONG>(r.rng.Next() % (uint64_t{limit} + 1));
    }
}

Fill DrawFill(Rng& rng) {
    switch (rng.Below(8)) {
    case 0: return Fill::NoZero;   // text without an end: shows any read past the data
    case 1: return Fill::Zero;
    case 2: return Fill::Repeat;
    default: return Fill::Random;
    }
}

void FillBytes(uint64_t seed, Fill fill, uint8_t* out, size_t n) {
    if (n == 0) return;
    Rng rng(seed);
    if (fill == Fill::Zero || fill == Fill::Repeat) {
        std::memset(out, fill == Fill::Zero ? 0 : static_cast<int>(rng.Between(1, 255)), n);
        return;
    }
    // Past 64 KiB the drawn bytes repeat: a large transfer costs a copy, not a draw per byte.
    constexpr size_t kDrawn = 65536;
    size_t drawn = std::min(n, kDrawn);
    size_t i = 0;
    while (i < drawn) {
        uint64_t word = rng.Next();
        for (int k = 0; k < 8 && i < n; ++k, word >>= 8) {
            uint8_t b = static_cast<uint8_t>(word);
            out[i++] = fill == Fill::NoZero && b == 0 ? 0x5A : b;
        }
    }
    for (; i < n; i += kDrawn) std::memcpy(out + i, out, std::min(kDrawn, n - i));
}

void StoreU32(uint8_t* out, uint32_t v) {
    for (int k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(v >> (8 * k));
}

// IN data of a control transfer. Short answers carry the values hosts act on: a one-byte
// version or status, a four-byte length around the bounds a host checks.
void FillControlData(Rng& rng, uint8_t* out, ULONG n) {
    if (n == 1 && rng.Percent(70)) {
        out[0] = static_cast<uint8_t>(rng.Percent(80) ? rng.Below(4) : rng.Below(256));
        return;
    }
    if (n == 4 && rng.Percent(70)) {
        const uint32_t bounds[] = {0,    1,     2,       3,       4,       63,         64,          65,         4095,
                                   4096, 65536, 4095999, 4096000, 4096001, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
        StoreU32(out, rng.Percent(50) ? rng.Pick(bounds) : rng.Below(rng.Percent(50) ? 300 : 70000));
        return;
    }
    FillBytes(rng.Next(), DrawFill(rng), out, n);
}

uint16_t DrawTextUnit(Rng& rng, uint32_t style) {
    switch (style == 0 ? rng.Below(7) + 1 : style) {
    case 1: return static_cast<uint16_t>(rng.Between(0x20, 0x7E));       // ASCII
    case 2: return static_cast<uint16_t>(rng.Between(0x80, 0xFF));       // Latin-1, C1 controls
    case 3: return static_cast<uint16_t>(rng.Between(0x4E00, 0x9FFF));   // CJK: no ANSI code page of ours
    case 4: return static_cast<uint16_t>(rng.Between(0xD800, 0xDFFF));   // surrogates, paired by chance only
    case 5: return rng.Percent(50) ? 0xFFFF : 0xFFFE;                    // noncharacters
    case 6: return static_cast<uint16_t>(rng.Between(0xE000, 0xF8FF));   // private use
    default: return static_cast<uint16_t>(rng.Between(1, 0xFFFF));
    }
}

// A string descriptor as a device may send it: the length byte may lie, the type may be wrong,
// the count may be odd, there may be no terminator or one in the middle.
void FillStringDescriptor(Rng& rng, uint8_t* out, ULONG n) {
    uint32_t style = rng.Below(8);
    for (ULONG at = 2; at + 1 < n; at += 2) {
        uint16_t unit = rng.Percent(2) ? 0 : DrawTextUnit(rng, style);
        out[at] = static_cast<uint8_t>(unit);
        out[at + 1] = static_cast<uint8_t>(unit >> 8);
    }
    if (n % 2 == 1 && n > 2) out[n - 1] = static_cast<uint8_t>(rng.Below(256));
    if (n >= 1) {
        const uint8_t lies[] = {0, 1, 2, 3, 0xFF, 0xFE};
        out[0] = rng.Percent(40)   ? static_cast<uint8_t>(std::min<ULONG>(n, 255))
                 : rng.Percent(50) ? rng.Pick(lies)
                                   : static_cast<uint8_t>(rng.Below(256));
    }
    if (n >= 2) out[1] = rng.Percent(80) ? USB_STRING_DESCRIPTOR_TYPE : static_cast<uint8_t>(rng.Below(256));
}

void FillDeviceDescriptor(Rng& rng, uint8_t* out, ULONG n) {
    FillBytes(rng.Next(), Fill::Random, out, n);
    if (n >= 1) out[0] = rng.Percent(60) ? 18 : static_cast<uint8_t>(rng.Below(256));
    if (n >= 2) out[1] = rng.Percent(80) ? USB_DEVICE_DESCRIPTOR_TYPE : static_cast<uint8_t>(rng.Below(256));
    for (ULONG at = 14; at <= 16 && at < n; ++at) {
        out[at] = static_cast<uint8_t>(rng.Percent(25) ? 0 : rng.Percent(70) ? rng.Between(1, 4) : rng.Below(256));
    }
}

// The device of a handle, when it is a present random device.
struct Target {
    Device* device = nullptr;
    RandomDevice* random = nullptr;
    explicit operator bool() const { return random != nullptr; }
};

Target Find(World& w, WINUSB_INTERFACE_HANDLE handle) {
    Target t;
    Device* d = w.ForInterface(handle);
    if (!d || !d->present) return t;
    auto it = randomDevices.find(d->id);
    if (it == randomDevices.end()) return t;
    t.device = d;
    t.random = &it->second;
    return t;
}

// The device's answer: TRUE for error 0, else FALSE with the error as the last error. The record
// keeps `data` as the world's record keeps it (a control transfer's setup packet and data).
BOOL Answer(World& w, const char* function, const Target& t, std::initializer_list<uint64_t> args, DWORD error,
            const void* data = nullptr, size_t length = 0) {
    ++counters.answers;
    w.Record(function, t.device->id, args, error == 0, error, data, length);
    if (error == 0) return TRUE;
    SetLastError(error);
    return FALSE;
}

// The platform refuses the call before it reaches the device: no draw.
BOOL Refuse(World& w, const char* function, const Target& t, std::initializer_list<uint64_t> args, DWORD error) {
    w.Record(function, t.device->id, args, FALSE, error, nullptr, 0);
    SetLastError(error);
    return FALSE;
}

void Complete(World& w, const RandomTransfer& t, ULONG_PTR status, ULONG count) {
    if (status == kStatusSuccess && count && t.buffer) FillBytes(t.dataSeed, t.fill, t.buffer, count);
    t.overlapped->InternalHigh = count;
    t.overlapped->Internal = status;
    if (t.overlapped->hEvent) SetEvent(t.overlapped->hEvent);
    --counters.pending;
    w.completed.notify_all();
}

// Completes the later transfers when they are due. One thread for the process: starting a
// thread costs milliseconds under Wine.
void Completer() {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    for (;;) {
        Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (size_t i = 0; i < transfers.size();) {
            if (transfers[i].due <= now) {
                Complete(w, transfers[i], transfers[i].status, transfers[i].count);
                transfers.erase(transfers.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                next = std::min(next, transfers[i].due);
                ++i;
            }
        }
        if (next == Clock::time_point::max())
            transfersChanged.wait(hold);
        else
            transfersChanged.wait_until(hold, next);
    }
}

void CancelLocked(World& w, WINUSB_INTERFACE_HANDLE handle, int pipeId) {
    for (size_t i = 0; i < transfers.size();) {
        const RandomTransfer& t = transfers[i];
        if (t.handle == handle && (pipeId < 0 || t.pipeId == pipeId)) {
            Complete(w, t, kStatusCancelled, 0);
            transfers.erase(transfers.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

// A transfer the device answers: synchronous, or overlapped completing now, later or never.
// `in` is where IN data goes (null for OUT); `limit` the most it may move.
BOOL Transfer(World& w, const char* function, const Target& t, std::initializer_list<uint64_t> args,
              WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, const WINUSB_SETUP_PACKET* setup, PUCHAR in,
              const uint8_t* out, ULONG limit, PULONG transferred, LPOVERLAPPED overlapped) {
    RandomDevice& r = *t.random;
    bool isControl = setup != nullptr;
    Bytes packet;
    if (setup && w.keepCalls)
        packet.assign(reinterpret_cast<const uint8_t*>(setup), reinterpret_cast<const uint8_t*>(setup) + 8);
    bool fails = r.rng.Percent(r.persona.failPercent);
    ULONG count = DrawCount(r, limit);
    if (out) {
        // The device takes the bytes it accepts: a source shorter than claimed faults here.
        volatile uint8_t sum = 0;
        for (ULONG i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + out[i]);
    }
    bool pending = overlapped && !fails && !r.rng.Percent(r.persona.nowPercent);
    if (pending) {
        RandomTransfer p;
        p.handle = handle;
        p.pipeId = pipeId;
        p.overlapped = overlapped;
        p.buffer = in;
        p.count = count;
        p.dataSeed = r.rng.Next();
        p.fill = DrawFill(r.rng);
        if (r.rng.Percent(25)) {
            p.status = r.rng.Pick(kCompletionFailures);
            p.count = 0;
        }
        if (!r.rng.Percent(r.persona.neverPercent))
            p.due = Clock::now() + std::chrono::milliseconds(r.rng.Below(r.persona.lateMs + 1));
        if (in) counters.bytes += p.count;
        overlapped->Internal = kStatusPending;
        overlapped->InternalHigh = 0;
        if (overlapped->hEvent) ResetEvent(overlapped->hEvent);
        if (transferred) *transferred = 0;
        transfers.push_back(p);
        ++counters.pending;
        if (!completerRunning) {
            // The thread's first wait comes when it gets to run: its semaphores are made now.
            MakeWaitable(transfersChanged);
            try {
                std::thread(Completer).detach();
                completerRunning = true;
            } catch (const std::system_error&) {
                // No thread: the transfer stays pending until it is aborted.
            }
        }
        transfersChanged.notify_all();
        return Answer(w, function, t, args, ERROR_IO_PENDING, packet.data(), packet.size());
    }
    if (fails) {
        // A failed IN transfer may leave part of its data; the count reported stays within the buffer.
        ULONG partial = r.rng.Percent(30) ? count : 0;
        if (in && partial) {
            FillBytes(r.rng.Next(), DrawFill(r.rng), in, partial);
            counters.bytes += partial;
        }
        if (transferred) *transferred = r.rng.Percent(50) ? 0 : partial;
        return Answer(w, function, t, args, DrawError(r.rng), packet.data(), packet.size());
    }
    if (in && count) {
        if (isControl)
            FillControlData(r.rng, in, count);
        else
            FillBytes(r.rng.Next(), DrawFill(r.rng), in, count);
        counters.bytes += count;
    }
    if (transferred) *transferred = count;
    if (overlapped) {
        // Completed at once: TRUE, and the OVERLAPPED reads as a finished transfer.
        overlapped->Internal = kStatusSuccess;
        overlapped->InternalHigh = count;
        if (overlapped->hEvent) SetEvent(overlapped->hEvent);
    }
    if (setup && w.keepCalls && w.keepData && count) {
        const uint8_t* moved = in ? in : out;
        packet.insert(packet.end(), moved, moved + count);
    }
    return Answer(w, function, t, args, 0, packet.data(), packet.size());
}

// Empty, short, around MAX_PATH, long, or far beyond what any path buffer expects.
size_t RandomPathLength(Rng& rng) {
    switch (rng.Below(10)) {
    case 0: return 0;
    case 1:
    case 2:
    case 3: return rng.Between(1, 40);
    case 4:
    case 5: return rng.Between(250, 270);   // around MAX_PATH
    case 6:
    case 7: return rng.Between(1000, 5000);
    default: return rng.Between(30000, 70000);
    }
}

std::string RandomNarrowPath(Rng& rng) {
    size_t length = RandomPathLength(rng);
    uint32_t style = rng.Below(3);
    std::string path(length, 'x');
    for (char& c : path) {
        uint32_t b = style == 0 ? rng.Between(0x20, 0x7E) : style == 1 ? rng.Between(0x80, 0xFF) : rng.Between(1, 0xFF);
        c = static_cast<char>(b);
    }
    return path;
}

std::wstring RandomWideLink(Rng& rng) {
    size_t length = RandomPathLength(rng);
    uint32_t style = rng.Below(8);
    std::wstring link(length, L'x');
    for (wchar_t& c : link) c = static_cast<wchar_t>(DrawTextUnit(rng, style));
    return link;
}

Persona DrawPersona(Rng& rng) {
    const uint32_t fail[] = {0, 2, 10, 30, 60, 95};
    const uint32_t shortened[] = {0, 10, 40, 90};
    const uint32_t initFail[] = {0, 0, 10, 50};
    const uint32_t now[] = {0, 30, 70, 100};
    const uint32_t never[] = {0, 20, 60};
    const uint32_t late[] = {0, 2, 20};
    Persona p;
    p.failPercent = rng.Pick(fail);
    p.shortPercent = rng.Pick(shortened);
    p.initFailPercent = rng.Pick(initFail);
    p.nowPercent = rng.Pick(now);
    p.neverPercent = rng.Pick(never);
    p.lateMs = rng.Pick(late);
    return p;
}

}  // namespace

std::optional<BOOL> RandomControlTransfer(WINUSB_INTERFACE_HANDLE handle, const WINUSB_SETUP_PACKET& setup,
                                          PUCHAR buffer, ULONG bufferLength, PULONG transferred,
                                          LPOVERLAPPED overlapped) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    auto args = {U(handle),
                 uint64_t{setup.RequestType},
                 uint64_t{setup.Request},
                 uint64_t{setup.Value},
                 uint64_t{setup.Index},
                 uint64_t{setup.Length},
                 uint64_t{bufferLength},
                 U(overlapped)};
    ULONG wanted = std::min<ULONG>(setup.Length, bufferLength);
    if (wanted && !buffer) return Refuse(w, "WinUsb_ControlTransfer", t, args, ERROR_NOACCESS);
    bool isIn = (setup.RequestType & 0x80) != 0;
    return Transfer(w, "WinUsb_ControlTransfer", t, args, handle, 0, &setup, isIn ? buffer : nullptr,
                    isIn ? nullptr : buffer, wanted, transferred, overlapped);
}

std::optional<BOOL> RandomPipeTransfer(bool isRead, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                       ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    const char* name = isRead ? "WinUsb_ReadPipe" : "WinUsb_WritePipe";
    auto args = {U(handle), uint64_t{pipeId}, U(buffer), uint64_t{bufferLength}, U(transferred), U(overlapped)};
    if (bufferLength && !buffer) return Refuse(w, name, t, args, ERROR_NOACCESS);
    return Transfer(w, name, t, args, handle, pipeId, nullptr, isRead ? buffer : nullptr, isRead ? nullptr : buffer,
                    bufferLength, transferred, overlapped);
}

std::optional<BOOL> RandomPipeOperation(int operation, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    const char* name = operation == SIM_OP_RESET_PIPE   ? "WinUsb_ResetPipe"
                       : operation == SIM_OP_FLUSH_PIPE ? "WinUsb_FlushPipe"
                                                        : "WinUsb_AbortPipe";
    RandomDevice& r = *t.random;
    DWORD error = r.rng.Percent(r.persona.failPercent) ? DrawError(r.rng) : 0;
    // Aborting ends the pipe's pending transfers before the call returns.
    if (error == 0 && operation == SIM_OP_ABORT_PIPE) CancelLocked(w, handle, pipeId);
    return Answer(w, name, t, {U(handle), uint64_t{pipeId}}, error);
}

std::optional<BOOL> RandomSetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type, ULONG length,
                                        PVOID value) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    auto args = {U(handle), uint64_t{pipeId}, uint64_t{type}, uint64_t{length}, U(value)};
    if (length && !value) return Refuse(w, "WinUsb_SetPipePolicy", t, args, ERROR_NOACCESS);
    // WinUSB copies the value it is given.
    volatile uint8_t sum = 0;
    for (ULONG i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + static_cast<const uint8_t*>(value)[i]);
    RandomDevice& r = *t.random;
    return Answer(w, "WinUsb_SetPipePolicy", t, args, r.rng.Percent(r.persona.failPercent) ? DrawError(r.rng) : 0);
}

std::optional<BOOL> RandomGetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type, PULONG length,
                                        PVOID value) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    ULONG offered = length ? *length : 0;
    auto args = {U(handle), uint64_t{pipeId}, uint64_t{type}, uint64_t{offered}, U(value)};
    if (!length) return Refuse(w, "WinUsb_GetPipePolicy", t, args, ERROR_INVALID_PARAMETER);
    if (offered && !value) return Refuse(w, "WinUsb_GetPipePolicy", t, args, ERROR_NOACCESS);
    RandomDevice& r = *t.random;
    if (r.rng.Percent(r.persona.failPercent)) {
        DWORD error = DrawError(r.rng);
        // Too small a buffer: the size the value needs comes back, nothing else is written.
        if (error == ERROR_INSUFFICIENT_BUFFER) *length = offered + 1 + r.rng.Below(64);
        return Answer(w, "WinUsb_GetPipePolicy", t, args, error);
    }
    ULONG count = DrawCount(r, offered);
    FillBytes(r.rng.Next(), DrawFill(r.rng), static_cast<uint8_t*>(value), count);
    counters.bytes += count;
    *length = count;
    return Answer(w, "WinUsb_GetPipePolicy", t, args, 0);
}

std::optional<BOOL> RandomQueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                                 PUSB_INTERFACE_DESCRIPTOR descriptor) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    auto args = {U(handle), uint64_t{alternate}, U(descriptor)};
    if (!descriptor) return Refuse(w, "WinUsb_QueryInterfaceSettings", t, args, ERROR_NOACCESS);
    RandomDevice& r = *t.random;
    if (r.rng.Percent(r.persona.failPercent))
        return Answer(w, "WinUsb_QueryInterfaceSettings", t, args, DrawError(r.rng));
    USB_INTERFACE_DESCRIPTOR u{};
    FillBytes(r.rng.Next(), Fill::Random, reinterpret_cast<uint8_t*>(&u), sizeof u);
    if (r.rng.Percent(70)) u.bLength = sizeof u;
    if (r.rng.Percent(70)) u.bDescriptorType = 4;
    if (r.rng.Percent(70)) u.bAlternateSetting = alternate;
    switch (r.rng.Below(5)) {
    case 0: u.bNumEndpoints = 0; break;
    case 1:
    case 2: u.bNumEndpoints = static_cast<UCHAR>(r.rng.Between(1, 4)); break;
    case 3: u.bNumEndpoints = static_cast<UCHAR>(r.rng.Between(5, 32)); break;
    default: u.bNumEndpoints = static_cast<UCHAR>(r.rng.Between(33, 255)); break;
    }
    *descriptor = u;
    counters.bytes += sizeof u;
    return Answer(w, "WinUsb_QueryInterfaceSettings", t, args, 0, &u, sizeof u);
}

std::optional<BOOL> RandomQueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index, bool extended,
                                    void* info) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    const char* name = extended ? "WinUsb_QueryPipeEx" : "WinUsb_QueryPipe";
    auto args = {U(handle), uint64_t{alternate}, uint64_t{index}, U(info)};
    if (!info) return Refuse(w, name, t, args, ERROR_NOACCESS);
    RandomDevice& r = *t.random;
    if (r.rng.Percent(r.persona.failPercent)) {
        return Answer(w, name, t, args, r.rng.Percent(50) ? ERROR_NO_MORE_ITEMS : DrawError(r.rng));
    }
    const USHORT sizes[] = {0, 8, 64, 512, 1024, 0xFFFF};
    WINUSB_PIPE_INFORMATION_EX pipe{};
    pipe.PipeType = static_cast<USBD_PIPE_TYPE>(r.rng.Below(4));
    switch (r.rng.Below(3)) {
    case 0: pipe.PipeId = static_cast<UCHAR>(0x80 | r.rng.Between(1, 15)); break;
    case 1: pipe.PipeId = static_cast<UCHAR>(r.rng.Between(1, 15)); break;
    default: pipe.PipeId = static_cast<UCHAR>(r.rng.Below(256)); break;
    }
    pipe.MaximumPacketSize = r.rng.Percent(60) ? r.rng.Pick(sizes) : static_cast<USHORT>(r.rng.Below(0x10000));
    pipe.Interval = static_cast<UCHAR>(r.rng.Below(256));
    pipe.MaximumBytesPerInterval = static_cast<ULONG>(r.rng.Next());
    if (extended) {
        *static_cast<PWINUSB_PIPE_INFORMATION_EX>(info) = pipe;
        counters.bytes += sizeof pipe;
    } else {
        auto plain = static_cast<PWINUSB_PIPE_INFORMATION>(info);
        plain->PipeType = pipe.PipeType;
        plain->PipeId = pipe.PipeId;
        plain->MaximumPacketSize = pipe.MaximumPacketSize;
        plain->Interval = pipe.Interval;
        counters.bytes += sizeof *plain;
    }
    return Answer(w, name, t, args, 0);
}

std::optional<BOOL> RandomGetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
                                        PUCHAR buffer, ULONG bufferLength, PULONG transferred) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Target t = Find(w, handle);
    if (!t) return std::nullopt;
    auto args = {U(handle), uint64_t{type},         uint64_t{index}, uint64_t{language},
                 U(buffer), uint64_t{bufferLength}, U(transferred)};
    if (bufferLength && !buffer) return Refuse(w, "WinUsb_GetDescriptor", t, args, ERROR_NOACCESS);
    RandomDevice& r = *t.random;
    if (r.rng.Percent(r.persona.failPercent)) {
        if (transferred) *transferred = 0;
        return Answer(w, "WinUsb_GetDescriptor", t, args, DrawError(r.rng));
    }
    ULONG count;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && bufferLength >= 18 && r.rng.Percent(70)) {
        count = 18;
    } else if (type == USB_STRING_DESCRIPTOR_TYPE && r.rng.Percent(50)) {
        const ULONG shapes[] = {0, 1, 2, 3, 4, 5, 254, 255, 256, 257, 1023, 1024};
        count = r.rng.Percent(50) ? std::min<ULONG>(bufferLength, r.rng.Pick(shapes)) : bufferLength;
    } else {
        count = DrawCount(r, bufferLength);
        if (r.rng.Percent(30)) count = static_cast<ULONG>(r.rng.Next() % (uint64_t{bufferLength} + 1));
    }
    if (type == USB_DEVICE_DESCRIPTOR_TYPE)
        FillDeviceDescriptor(r.rng, buffer, count);
    else if (type == USB_STRING_DESCRIPTOR_TYPE)
        FillStringDescriptor(r.rng, buffer, count);
    else
        FillBytes(r.rng.Next(), DrawFill(r.rng), buffer, count);
    counters.bytes += count;
    if (transferred) *transferred = count;
    return Answer(w, "WinUsb_GetDescriptor", t, args, 0);
}

bool RandomInitializeFailsLocked(const Device& d, DWORD& error) {
    auto it = randomDevices.find(d.id);
    if (it == randomDevices.end()) return false;
    RandomDevice& r = it->second;
    ++counters.answers;
    if (!r.rng.Percent(r.persona.initFailPercent)) return false;
    error = DrawError(r.rng);
    return true;
}

void CancelRandomTransfersLocked(WINUSB_INTERFACE_HANDLE handle) { CancelLocked(TheWorld(), handle, -1); }

void ResetRandomDevicesLocked() {
    randomDevices.clear();
    counters.pending -= transfers.size();
    transfers.clear();   // their OVERLAPPED records may be gone with the host that started them
    announced.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

SIMWORLD_API int SimRandom_AddDevice(uint64_t seed, char* path, size_t pathCapacity) {
    Rng rng(seed);
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.productId = static_cast<uint16_t>(0xF000 | rng.Below(0x1000));
    int id = SimWorld_AddDevice(&c, path, pathCapacity);
    if (id == 0) return 0;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    RandomDevice r;
    r.persona = DrawPersona(rng);
    r.rng = Rng(rng.Next());
    randomDevices[id] = r;
    return id;
}

SIMWORLD_API uint32_t SimRandom_Announce(uint64_t seed, const GUID* classGuid) {
    if (!classGuid) return 0;
    Rng rng(seed);
    World& w = TheWorld();
    uint32_t kind = rng.Below(10);
    if (kind >= 4 && kind <= 6) {
        // The removal of an interface an earlier event added.
        int id = 0;
        uint32_t size = 0;
        {
            std::lock_guard<std::mutex> hold(w.mutex);
            if (!announced.empty()) {
                size_t at = rng.Below(static_cast<uint32_t>(announced.size()));
                id = announced[at].first;
                size = announced[at].second;
                announced.erase(announced.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }
        if (id) {
            SimInterfaces_Remove(id);
            std::lock_guard<std::mutex> hold(w.mutex);
            counters.bytes += size;
            return size;
        }
        kind = 0;
    }
    if (kind <= 6) {
        std::string path = RandomNarrowPath(rng);
        int id = SimInterfaces_Add(classGuid, path.c_str());
        std::lock_guard<std::mutex> hold(w.mutex);
        if (id) announced.emplace_back(id, static_cast<uint32_t>(path.size()));
        counters.bytes += path.size();
        return static_cast<uint32_t>(path.size());
    }
    std::wstring link = RandomWideLink(rng);
    // Arrival, removal, and actions an interface filter never brings (a query-remove, an
    // instance started, values past the last one).
    const DWORD actions[] = {0, 1, 2, 8, 10, 0xFFFF};
    DWORD action = rng.Pick(actions);
    std::lock_guard<std::mutex> hold(w.mutex);
    QueueCmWideEventLocked(action, *classGuid, link);
    uint32_t size = static_cast<uint32_t>(link.size() * 2);
    counters.bytes += size;
    return size;
}

SIMWORLD_API void SimRandom_Counters(SimRandomCounters* out) {
    if (!out) return;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    *out = counters;
}

}  // extern "C"
