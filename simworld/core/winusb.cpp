// WinUSB as the simulated devices answer it. Contracts kept from the platform: failures
// return FALSE with the thread's last error set; WinUsb_Initialize takes only a file handle
// opened with FILE_FLAG_OVERLAPPED (else ERROR_INVALID_HANDLE) and resets the interface's pipe
// policies to their defaults; a stalled endpoint fails with ERROR_GEN_FAILURE until its pipe is
// reset; an IN transfer moves at most what the device holds (a short transfer succeeds with a
// smaller count), and what the device sent beyond the read's length stays for the next read
// (ALLOW_PARTIAL_READS, the default) until WinUsb_FlushPipe discards it (AUTO_FLUSH drops it at
// once). An overlapped transfer returns FALSE with ERROR_IO_PENDING, its OVERLAPPED reading
// STATUS_PENDING and its event reset; it completes on the world's completion thread (a read
// once the device has data or its pipe's time-out ran out), or at once with
// ERROR_OPERATION_ABORTED on the caller's thread when its pipe is aborted or its interface
// freed. One may also finish at once (SimWorld_CompleteAtOnce): TRUE, the OVERLAPPED complete
// and its event set; the count WinUSB stores beside an OVERLAPPED means nothing (the world
// stores 0), WinUsb_GetOverlappedResult gives it. Pipe policies are kept per pipe.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <system_error>
#include <thread>

#include "random_device.h"
#include "world.h"

using namespace sim;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kVendorInterfaceIn = 0xC1;
constexpr uint8_t kVendorInterfaceOut = 0x41;
constexpr DWORD kDeviceGone = ERROR_BAD_COMMAND;   // what WinUSB reports after a surprise removal
// A synchronous read with no data and no time-out would block for ever; the world gives up after this.
constexpr DWORD kPatienceMs = 3000;

// NTSTATUS values an overlapped transfer completes with (OVERLAPPED.Internal).
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusIoTimeout = 0xC00000B5;
constexpr ULONG_PTR kStatusInvalidDeviceState = 0xC0000184;

// The Win32 code GetOverlappedResult reads back for a status; 0 for success codes.
DWORD Win32FromStatus(ULONG_PTR status) {
    switch (status) {
    case kStatusSuccess:
    case kStatusPending:
        return 0;
    case kStatusCancelled:
        return ERROR_OPERATION_ABORTED;
    case kStatusIoTimeout:
        return ERROR_SEM_TIMEOUT;
    case kStatusInvalidDeviceState:
        return kDeviceGone;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// What a call comes to: a failure may carry a last error of 0, as an odd driver can leave it.
struct Outcome {
    bool ok = true;
    DWORD error = 0;
    void Fail(DWORD e) {
        ok = false;
        error = e;
    }
};

BOOL Finish(const Outcome& o) {
    if (o.ok) return TRUE;
    SetLastError(o.error);
    return FALSE;
}

uint64_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

PipeState* FindPipe(Device& d, UCHAR pipeId) {
    for (auto& p : d.pipes) {
        if (p.info.pipeId == pipeId) return &p;
    }
    return nullptr;
}

// Policies also exist for the default control pipe, pipe 0.
PipeState* PolicyPipe(Device& d, UCHAR pipeId) { return pipeId == 0 ? &d.controlPipe : FindPipe(d, pipeId); }

void PutU32(Bytes& b, uint32_t v) {
    b = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
         static_cast<uint8_t>(v >> 24)};
}

// Value sizes of the documented pipe policies: booleans are one byte, the rest ULONG.
ULONG PolicySize(ULONG type) {
    switch (type) {
    case SHORT_PACKET_TERMINATE: case AUTO_CLEAR_STALL: case IGNORE_SHORT_PACKETS:
    case ALLOW_PARTIAL_READS: case AUTO_FLUSH: case RAW_IO: case RESET_PIPE_ON_RESUME:
        return 1;
    case PIPE_TRANSFER_TIMEOUT: case MAXIMUM_TRANSFER_SIZE:
        return 4;
    default:
        return 0;
    }
}

// The documented defaults: partial reads allowed, 5 s time-out on the control pipe only.
Bytes PolicyValue(const PipeState& pipe, ULONG type) {
    auto it = pipe.policies.find(type);
    if (it != pipe.policies.end()) return it->second;
    Bytes v(PolicySize(type), 0);
    if (type == ALLOW_PARTIAL_READS) v[0] = 1;
    else if (type == PIPE_TRANSFER_TIMEOUT && pipe.info.pipeId == 0) PutU32(v, 5000);
    else if (type == MAXIMUM_TRANSFER_SIZE) PutU32(v, 0x400000);
    return v;
}

DWORD TimeoutOf(const PipeState& p) {
    Bytes v = PolicyValue(p, PIPE_TRANSFER_TIMEOUT);
    DWORD t;
    std::memcpy(&t, v.data(), 4);
    return t;
}

// The pipes an alternate setting reports; null for settings the interface lacks.
bool SettingPipes(const Device& d, UCHAR alternate, std::vector<SimPipe>& out) {
    out.clear();
    if (alternate == 0) {
        for (const auto& p : d.pipes) out.push_back(p.info);
        return true;
    }
    auto it = d.alternates.find(alternate);
    if (it == d.alternates.end()) return false;
    out = it->second;
    return true;
}

// Whether a read of the pipe has data: what WinUSB kept from an earlier read, or the device's next message.
bool HasInData(const Device& d, const PipeState& pipe) { return !pipe.cached.empty() || !d.toHost.empty(); }

// Moves the pipe's next data into `buffer`, at most `room` bytes: what WinUSB kept from an
// earlier read first, else the device's next message, which is one transfer of at most `sent`
// bytes (a short packet ends it). What the device sent beyond the room stays for the next
// read, unless the pipe's AUTO_FLUSH policy drops it. Appends the bytes moved to `copy`.
ULONG TakeInData(Device& d, PipeState& pipe, PUCHAR buffer, ULONG room, ULONG sent, Bytes* copy) {
    Bytes* source = &pipe.cached;
    Bytes message;
    if (pipe.cached.empty()) {
        message = std::move(d.toHost.front());
        d.toHost.pop_front();
        if (message.size() > sent) message.resize(sent);
        source = &message;
    }
    ULONG moved = std::min<ULONG>(room, static_cast<ULONG>(source->size()));
    if (moved) std::memcpy(buffer, source->data(), moved);
    if (copy) copy->insert(copy->end(), source->begin(), source->begin() + moved);
    source->erase(source->begin(), source->begin() + moved);
    if (source == &message && !message.empty()) {
        bool autoFlush = PolicyValue(pipe, AUTO_FLUSH)[0] != 0;
        if (!autoFlush) pipe.cached = std::move(message);
    }
    return moved;
}

// Takes one of the device's finish-at-once grants for the operation.
bool TakeAtOnce(Device& d, int operation) {
    auto it = d.atOnce.find(operation);
    if (it == d.atOnce.end()) return false;
    if (it->second != SIM_FOREVER && --it->second == 0) d.atOnce.erase(it);
    return true;
}

// An overlapped transfer that finished at once: its OVERLAPPED complete and its event set.
void CompleteAtOnce(LPOVERLAPPED overlapped, ULONG moved) {
    overlapped->Internal = kStatusSuccess;
    overlapped->InternalHigh = moved;
    if (overlapped->hEvent) SetEvent(overlapped->hEvent);
}

// True when the handle was opened with FILE_FLAG_OVERLAPPED: its file mode holds neither of
// the synchronous-I/O flags (FILE_SYNCHRONOUS_IO_ALERT, FILE_SYNCHRONOUS_IO_NONALERT).
bool OpenedForOverlappedIo(HANDLE file) {
    struct IoStatus {
        ULONG_PTR status;
        ULONG_PTR information;
    };
    using Query = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
    constexpr int kFileModeInformation = 16;
    constexpr ULONG kSynchronousIo = 0x10 | 0x20;
    static const Query query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    IoStatus io{};
    ULONG mode = 0;
    if (!query || query(file, &io, &mode, sizeof mode, kFileModeInformation) != 0) return true;   // not judged
    return (mode & kSynchronousIo) == 0;
}

// Completes a pending transfer as the I/O manager does: count and status into the OVERLAPPED,
// then its event. Caller holds the world mutex.
void Signal(World& w, const PendingTransfer& p, ULONG_PTR status, ULONG moved) {
    p.overlapped->InternalHigh = moved;
    p.overlapped->Internal = status;
    if (p.overlapped->hEvent) SetEvent(p.overlapped->hEvent);
    w.completed.notify_all();
}

// Finishes a pending transfer if it can; false while a read still waits for data.
bool TryComplete(World& w, const PendingTransfer& p, Clock::time_point now) {
    Device* d = w.Find(p.device);
    if (!d) {
        Signal(w, p, kStatusCancelled, 0);
        return true;
    }
    if (!d->present) {
        Signal(w, p, kStatusInvalidDeviceState, 0);
        return true;
    }
    if (!p.isRead) {
        Signal(w, p, kStatusSuccess, p.moved);
        return true;
    }
    PipeState* pipe = FindPipe(*d, p.pipeId);
    if (!pipe) {   // the interface's pipes were replaced under it
        Signal(w, p, kStatusCancelled, 0);
        return true;
    }
    if (HasInData(*d, *pipe)) {
        Signal(w, p, kStatusSuccess, TakeInData(*d, *pipe, p.buffer, p.length, p.shortLimit, nullptr));
        return true;
    }
    if (now >= p.deadline) {
        Signal(w, p, kStatusIoTimeout, 0);
        return true;
    }
    return false;
}

// The completion thread: runs while transfers are pending, woken by data, removals and new transfers.
void CompletionThread() {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    while (!w.pending.empty()) {
        Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (size_t i = 0; i < w.pending.size();) {
            if (TryComplete(w, w.pending[i], now)) {
                w.pending.erase(w.pending.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                next = std::min(next, w.pending[i].deadline);
                ++i;
            }
        }
        if (w.pending.empty()) break;
        if (next == Clock::time_point::max()) w.changed.wait(hold);
        else w.changed.wait_until(hold, next);
    }
    w.completing = false;
}

// Marks the OVERLAPPED pending and hands the transfer to the completion thread. Caller holds the mutex.
void StartPending(World& w, const PendingTransfer& p) {
    p.overlapped->Internal = kStatusPending;
    p.overlapped->InternalHigh = 0;
    if (p.overlapped->hEvent) ResetEvent(p.overlapped->hEvent);
    w.pending.push_back(p);
    w.changed.notify_all();
    if (w.completing) return;
    try {
        std::thread(CompletionThread).detach();
        w.completing = true;
    } catch (const std::system_error&) {
        // No thread: the transfer stays pending until it is aborted.
    }
}

// Aborts the pending transfers of an interface (pipe -1: all of its pipes) on the caller's thread.
void CancelPending(World& w, WINUSB_INTERFACE_HANDLE handle, int pipeId) {
    for (size_t i = 0; i < w.pending.size();) {
        const PendingTransfer& p = w.pending[i];
        if (p.handle == handle && (pipeId < 0 || p.pipeId == pipeId)) {
            Signal(w, p, kStatusCancelled, 0);
            w.pending.erase(w.pending.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

PendingTransfer DoneTransfer(Device& d, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, LPOVERLAPPED ov, ULONG moved) {
    PendingTransfer p;
    p.device = d.id;
    p.handle = handle;
    p.pipeId = pipeId;
    p.overlapped = ov;
    p.moved = moved;
    return p;
}

Bytes StringDescriptorBytes(const wchar_t* text) {
    size_t n = std::wcslen(text);
    Bytes b(2 + n * 2);
    b[0] = static_cast<uint8_t>(std::min<size_t>(b.size(), 255));
    b[1] = 3;
    for (size_t i = 0; i < n; ++i) {
        b[2 + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        b[3 + 2 * i] = static_cast<uint8_t>((text[i] >> 8) & 0xFF);
    }
    return b;
}

// The firmware: vendor requests 0x80 to 0x86 to the interface.
// Returns 0 and fills `in` for IN requests, or a Win32 error (stall) for requests it refuses.
DWORD Firmware(Device& d, const WINUSB_SETUP_PACKET& s, const uint8_t* out, ULONG outLength, Bytes& in) {
    bool isIn = (s.RequestType & 0x80) != 0;
    uint8_t expected = isIn ? kVendorInterfaceIn : kVendorInterfaceOut;
    if (s.RequestType != expected) return ERROR_GEN_FAILURE;
    switch (s.Request) {
    case 0x80:
    case 0x86:
        return isIn ? ERROR_GEN_FAILURE : 0;
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
        uint32_t length = d.announceOverride != UINT32_MAX ? d.announceOverride
                          : d.toHost.empty() ? 0 : static_cast<uint32_t>(d.toHost.front().size());
        PutU32(in, length);
        return 0;
    }
    case 0x85:
        if (isIn || outLength < 4 || !out) return ERROR_GEN_FAILURE;
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

extern "C" {

__declspec(dllexport) BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    World& w = TheWorld();
    wchar_t name[1024] = {};
    bool usable = file && file != INVALID_HANDLE_VALUE;
    DWORD n = usable ? GetFinalPathNameByHandleW(file, name, 1024, FILE_NAME_NORMALIZED) : 0;
    bool overlapped = usable && OpenedForOverlappedIo(file);
    std::lock_guard<std::mutex> hold(w.mutex);
    auto record = [&](int dev, BOOL ok, DWORD err) {
        w.Record("WinUsb_Initialize", dev, {U(file), U(handle)}, ok, err, nullptr, 0);
        if (!ok) SetLastError(err);
        return ok;
    };
    if (!usable) return record(0, FALSE, ERROR_INVALID_HANDLE);
    if (!handle) return record(0, FALSE, ERROR_NOACCESS);
    Device* d = n ? w.FindByFile(name) : nullptr;
    if (!d) return record(0, FALSE, ERROR_INVALID_FUNCTION);   // not a WinUSB device
    if (!overlapped) return record(d->id, FALSE, ERROR_INVALID_HANDLE);   // WinUSB works with overlapped I/O only
    DWORD refusal = 0;
    if (RandomInitializeFailsLocked(*d, refusal)) return record(d->id, FALSE, refusal);
    Fault f;
    if (d->config.winusbError) return record(d->id, FALSE, d->config.winusbError);
    if (w.TakeFault(*d, SIM_OP_INITIALIZE, SIM_ANY, f)) return record(d->id, FALSE, f.value);
    for (PipeState& pipe : d->pipes) pipe.policies.clear();   // every policy back to its default
    d->controlPipe.policies.clear();
    auto h = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(w.nextInterface);
    w.nextInterface += 0x10;
    w.interfaces[h] = Interface{d->id};
    *handle = h;
    return record(d->id, TRUE, 0);
}

__declspec(dllexport) BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    auto it = w.interfaces.find(handle);
    int dev = it == w.interfaces.end() ? 0 : it->second.device;
    Device* d = w.ForInterface(handle);
    Outcome o;
    Fault f;
    if (it == w.interfaces.end()) o.Fail(ERROR_INVALID_HANDLE);
    else if (d && w.TakeFault(*d, SIM_OP_FREE, SIM_ANY, f)) o.Fail(f.value);   // the interface stays
    else {
        CancelPending(w, handle, -1);   // what is still pending on the interface ends with it
        CancelRandomTransfersLocked(handle);
        w.interfaces.erase(it);
    }
    w.Record("WinUsb_Free", dev, {U(handle)}, o.ok, o.error, nullptr, 0);
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                                         PUCHAR buffer, ULONG bufferLength, PULONG transferred,
                                                         LPOVERLAPPED overlapped) {
    if (auto answer = RandomControlTransfer(handle, setup, buffer, bufferLength, transferred, overlapped)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Bytes packet(8);
    std::memcpy(packet.data(), &setup, 8);
    Device* d = w.ForInterface(handle);
    Outcome o;
    ULONG moved = 0;
    bool isIn = (setup.RequestType & 0x80) != 0;
    ULONG wanted = std::min<ULONG>(setup.Length, bufferLength);
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(kDeviceGone);
    else if (wanted && !buffer) o.Fail(ERROR_NOACCESS);
    else {
        Fault f;
        bool faulted = w.TakeFault(*d, SIM_OP_CONTROL_TRANSFER, setup.Request, f);
        if (faulted && f.kind != FaultKind::Short) {
            o.Fail(f.value);
        } else {
            Bytes in;
            bool vendor = (setup.RequestType & 0x60) == 0x40;
            DWORD error = vendor ? Firmware(*d, setup, buffer, wanted, in) : StandardRequest(*d, setup, in);
            if (error) {
                o.Fail(error);
            } else {
                moved = isIn ? std::min<ULONG>(wanted, static_cast<ULONG>(in.size())) : wanted;
                if (faulted) moved = std::min<ULONG>(moved, f.value);
                if (isIn && moved) std::memcpy(buffer, in.data(), moved);
            }
        }
    }
    if (transferred) *transferred = overlapped ? 0 : moved;
    if (o.ok && buffer && moved) packet.insert(packet.end(), buffer, buffer + moved);
    w.Record("WinUsb_ControlTransfer", d ? d->id : 0,
             {U(handle), setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length, bufferLength,
              U(overlapped)},
             o.ok, o.error, packet.data(), packet.size());
    if (o.ok && overlapped) {
        if (TakeAtOnce(*d, SIM_OP_CONTROL_TRANSFER)) {
            CompleteAtOnce(overlapped, moved);
        } else {
            StartPending(w, DoneTransfer(*d, handle, 0, overlapped, moved));
            o.Fail(ERROR_IO_PENDING);
        }
    }
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                  ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    if (auto answer = RandomPipeTransfer(true, handle, pipeId, buffer, bufferLength, transferred, overlapped)) return *answer;
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    Outcome o;
    ULONG moved = 0;
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    Fault f;
    bool shortFault = false;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(kDeviceGone);
    else if (!pipe || !(pipeId & 0x80)) o.Fail(ERROR_INVALID_PARAMETER);
    else if (pipe->stalled) o.Fail(ERROR_GEN_FAILURE);
    else if (bufferLength && !buffer) o.Fail(ERROR_NOACCESS);
    else if (w.TakeFault(*d, SIM_OP_READ_PIPE, pipeId, f)) {
        if (f.kind == FaultKind::Short) shortFault = true;
        else {
            o.Fail(f.value);
            if (f.kind == FaultKind::Stall) pipe->stalled = true;
        }
    }
    DWORD timeout = o.ok ? TimeoutOf(*pipe) : 0;
    ULONG sent = shortFault ? f.value : ~ULONG{0};
    if (o.ok && overlapped && HasInData(*d, *pipe) && TakeAtOnce(*d, SIM_OP_READ_PIPE)) {
        Bytes data;
        moved = TakeInData(*d, *pipe, buffer, bufferLength, sent, w.keepCalls && w.keepData ? &data : nullptr);
        CompleteAtOnce(overlapped, moved);
        if (transferred) *transferred = 0;   // beside an OVERLAPPED the count means nothing
        w.Record("WinUsb_ReadPipe", d->id, {U(handle), pipeId, U(buffer), bufferLength, U(transferred), U(overlapped)},
                 TRUE, 0, data.data(), data.size());
        return TRUE;
    }
    if (o.ok && overlapped) {
        PendingTransfer p = DoneTransfer(*d, handle, pipeId, overlapped, 0);
        p.isRead = true;
        p.buffer = buffer;
        p.length = bufferLength;
        if (shortFault) p.shortLimit = f.value;
        if (timeout) p.deadline = Clock::now() + std::chrono::milliseconds(timeout);
        if (transferred) *transferred = 0;
        w.Record("WinUsb_ReadPipe", d->id, {U(handle), pipeId, U(buffer), bufferLength, U(transferred), U(overlapped)},
                 FALSE, ERROR_IO_PENDING, nullptr, 0);
        StartPending(w, p);
        return Fail(ERROR_IO_PENDING);
    }
    if (o.ok) {
        int id = d->id;
        auto limit = std::chrono::milliseconds(timeout ? timeout : kPatienceMs);
        bool ready = w.changed.wait_for(hold, limit, [&] {
            Device* now = w.Find(id);
            PipeState* p = now ? FindPipe(*now, pipeId) : nullptr;
            return !now || !now->present || !p || HasInData(*now, *p);
        });
        d = w.Find(id);
        pipe = d ? FindPipe(*d, pipeId) : nullptr;
        if (!d) o.Fail(ERROR_INVALID_HANDLE);
        else if (!d->present) o.Fail(kDeviceGone);
        else if (!pipe) o.Fail(ERROR_INVALID_PARAMETER);
        else if (!ready) o.Fail(ERROR_SEM_TIMEOUT);
    }
    Bytes data;
    if (o.ok && HasInData(*d, *pipe)) {
        moved = TakeInData(*d, *pipe, buffer, bufferLength, sent, w.keepCalls && w.keepData ? &data : nullptr);
    }
    if (transferred) *transferred = moved;
    w.Record("WinUsb_ReadPipe", d ? d->id : 0, {U(handle), pipeId, U(buffer), bufferLength, U(transferred), U(overlapped)},
             o.ok, o.error, data.data(), data.size());
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                   ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    if (auto answer = RandomPipeTransfer(false, handle, pipeId, buffer, bufferLength, transferred, overlapped)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    Outcome o;
    ULONG moved = bufferLength;
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    Fault f;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(kDeviceGone);
    else if (!pipe || (pipeId & 0x80)) o.Fail(ERROR_INVALID_PARAMETER);
    else if (pipe->stalled) o.Fail(ERROR_GEN_FAILURE);
    else if (bufferLength && !buffer) o.Fail(ERROR_NOACCESS);
    else if (w.TakeFault(*d, SIM_OP_WRITE_PIPE, pipeId, f)) {
        if (f.kind == FaultKind::Short) moved = std::min<ULONG>(bufferLength, f.value);
        else {
            o.Fail(f.value);
            if (f.kind == FaultKind::Stall) pipe->stalled = true;
        }
    }
    if (!o.ok) moved = 0;
    if (o.ok) {
        Bytes message(buffer, buffer + moved);
        if (d->config.echo) {
            d->toHost.push_back(message);
            w.changed.notify_all();
        }
        if (w.keepData) d->received.push_back(std::move(message));
    }
    if (transferred) *transferred = overlapped ? 0 : moved;
    w.Record("WinUsb_WritePipe", d ? d->id : 0, {U(handle), pipeId, U(buffer), bufferLength, U(transferred), U(overlapped)},
             o.ok, o.error, buffer, moved);
    if (o.ok && overlapped) {
        if (TakeAtOnce(*d, SIM_OP_WRITE_PIPE)) {
            CompleteAtOnce(overlapped, moved);
        } else {
            StartPending(w, DoneTransfer(*d, handle, pipeId, overlapped, moved));
            o.Fail(ERROR_IO_PENDING);
        }
    }
    return Finish(o);
}

// Reset, flush and abort share one shape: a valid handle and pipe, then the pipe's effect.
static BOOL PipeOperation(const char* name, int operation, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    if (auto answer = RandomPipeOperation(operation, handle, pipeId)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    Outcome o;
    Fault f;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(kDeviceGone);
    else if (!pipe) o.Fail(ERROR_INVALID_PARAMETER);
    else if (w.TakeFault(*d, operation, pipeId, f)) o.Fail(f.value);
    else if (operation == SIM_OP_RESET_PIPE) pipe->stalled = false;
    else if (operation == SIM_OP_ABORT_PIPE) CancelPending(w, handle, pipeId);
    else if (operation == SIM_OP_FLUSH_PIPE) pipe->cached.clear();   // what an earlier read left
    w.Record(name, d ? d->id : 0, {U(handle), pipeId}, o.ok, o.error, nullptr, 0);
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    return PipeOperation("WinUsb_ResetPipe", SIM_OP_RESET_PIPE, handle, pipeId);
}

__declspec(dllexport) BOOL WINAPI WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    return PipeOperation("WinUsb_FlushPipe", SIM_OP_FLUSH_PIPE, handle, pipeId);
}

__declspec(dllexport) BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    return PipeOperation("WinUsb_AbortPipe", SIM_OP_ABORT_PIPE, handle, pipeId);
}

__declspec(dllexport) BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type,
                                                       ULONG length, PVOID value) {
    if (auto answer = RandomSetPipePolicy(handle, pipeId, type, length, value)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    PipeState* pipe = d ? PolicyPipe(*d, pipeId) : nullptr;
    Outcome o;
    Fault f;
    ULONG size = PolicySize(type);
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!pipe || !size || type == MAXIMUM_TRANSFER_SIZE || length < size) o.Fail(ERROR_INVALID_PARAMETER);
    else if (!value) o.Fail(ERROR_NOACCESS);
    else if (w.TakeFault(*d, SIM_OP_SET_PIPE_POLICY, pipeId, f)) o.Fail(f.value);
    else {
        auto p = static_cast<const uint8_t*>(value);
        pipe->policies[type] = Bytes(p, p + size);
    }
    w.Record("WinUsb_SetPipePolicy", d ? d->id : 0, {U(handle), pipeId, type, length, U(value)}, o.ok, o.error,
             value, value && o.ok ? size : 0);
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type,
                                                       PULONG length, PVOID value) {
    if (auto answer = RandomGetPipePolicy(handle, pipeId, type, length, value)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    PipeState* pipe = d ? PolicyPipe(*d, pipeId) : nullptr;
    Outcome o;
    Fault f;
    ULONG size = PolicySize(type);
    ULONG offered = length ? *length : 0;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!pipe || !size || !length) o.Fail(ERROR_INVALID_PARAMETER);
    else if (offered < size) {
        o.Fail(ERROR_INSUFFICIENT_BUFFER);
        *length = size;
    } else if (!value) o.Fail(ERROR_NOACCESS);
    else if (w.TakeFault(*d, SIM_OP_GET_PIPE_POLICY, pipeId, f)) o.Fail(f.value);
    else {
        Bytes v = PolicyValue(*pipe, type);
        std::memcpy(value, v.data(), size);   // only the value's own size: the rest of the buffer stays
        *length = size;
    }
    w.Record("WinUsb_GetPipePolicy", d ? d->id : 0, {U(handle), pipeId, type, offered, U(value)}, o.ok, o.error,
             value, value && o.ok ? size : 0);
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                                                PUSB_INTERFACE_DESCRIPTOR descriptor) {
    if (auto answer = RandomQueryInterfaceSettings(handle, alternate, descriptor)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    Outcome o;
    Fault f;
    std::vector<SimPipe> pipes;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(kDeviceGone);
    else if (!SettingPipes(*d, alternate, pipes)) o.Fail(ERROR_NO_MORE_ITEMS);
    else if (!descriptor) o.Fail(ERROR_NOACCESS);
    else if (w.TakeFault(*d, SIM_OP_QUERY_INTERFACE, alternate, f)) o.Fail(f.value);
    else {
        USB_INTERFACE_DESCRIPTOR u{};
        u.bLength = sizeof u;
        u.bDescriptorType = 4;
        u.bAlternateSetting = alternate;
        u.bNumEndpoints = static_cast<UCHAR>(pipes.size());
        u.bInterfaceClass = 0xFF;
        *descriptor = u;
    }
    w.Record("WinUsb_QueryInterfaceSettings", d ? d->id : 0, {U(handle), alternate, U(descriptor)}, o.ok, o.error,
             nullptr, 0);
    return Finish(o);
}

static Outcome QueryPipe(Device* d, UCHAR alternate, UCHAR index, WINUSB_PIPE_INFORMATION_EX& out) {
    World& w = TheWorld();
    Outcome o;
    Fault f;
    std::vector<SimPipe> pipes;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(kDeviceGone);
    else if (!SettingPipes(*d, alternate, pipes) || index >= pipes.size()) o.Fail(ERROR_NO_MORE_ITEMS);
    else if (w.TakeFault(*d, SIM_OP_QUERY_PIPE, index, f)) o.Fail(f.value);
    else {
        const SimPipe& p = pipes[index];
        out = WINUSB_PIPE_INFORMATION_EX{};
        out.PipeType = static_cast<USBD_PIPE_TYPE>(p.type);
        out.PipeId = p.pipeId;
        out.MaximumPacketSize = p.maxPacketSize;
        out.Interval = p.interval;
        // Periodic pipes reserve bytes per service interval; bulk and control pipes none.
        bool periodic = p.type == UsbdPipeTypeIsochronous || p.type == UsbdPipeTypeInterrupt;
        out.MaximumBytesPerInterval = periodic ? p.maxPacketSize : 0;
    }
    return o;
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryPipeEx(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                                     PWINUSB_PIPE_INFORMATION_EX info) {
    if (auto answer = RandomQueryPipe(handle, alternate, index, true, info)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    WINUSB_PIPE_INFORMATION_EX out{};
    Outcome o;
    if (info) o = QueryPipe(d, alternate, index, out);
    else o.Fail(ERROR_NOACCESS);
    if (o.ok) *info = out;
    w.Record("WinUsb_QueryPipeEx", d ? d->id : 0, {U(handle), alternate, index, U(info)}, o.ok, o.error, nullptr, 0);
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                                   PWINUSB_PIPE_INFORMATION info) {
    if (auto answer = RandomQueryPipe(handle, alternate, index, false, info)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    WINUSB_PIPE_INFORMATION_EX out{};
    Outcome o;
    if (info) o = QueryPipe(d, alternate, index, out);
    else o.Fail(ERROR_NOACCESS);
    if (o.ok) {
        info->PipeType = out.PipeType;
        info->PipeId = out.PipeId;
        info->MaximumPacketSize = out.MaximumPacketSize;
        info->Interval = out.Interval;
    }
    w.Record("WinUsb_QueryPipe", d ? d->id : 0, {U(handle), alternate, index, U(info)}, o.ok, o.error, nullptr, 0);
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index,
                                                       USHORT language, PUCHAR buffer, ULONG bufferLength,
                                                       PULONG transferred) {
    if (auto answer = RandomGetDescriptor(handle, type, index, language, buffer, bufferLength, transferred)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    Outcome o;
    ULONG moved = 0;
    Fault f;
    bool faulted = false;
    if (d && d->present) {
        faulted = w.TakeFault(*d, SIM_OP_GET_DESCRIPTOR, index, f) ||
                  (type == USB_STRING_DESCRIPTOR_TYPE && w.TakeFault(*d, SIM_OP_GET_STRING_DESCRIPTOR, index, f));
    }
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(kDeviceGone);
    else if (bufferLength && !buffer) o.Fail(ERROR_NOACCESS);
    else if (faulted && f.kind != FaultKind::Short) o.Fail(f.value);
    else {
        auto it = d->descriptors.find((uint32_t{type} << 8) | index);
        if (it == d->descriptors.end()) o.Fail(ERROR_GEN_FAILURE);   // the device stalls the request
        else {
            moved = std::min<ULONG>(bufferLength, static_cast<ULONG>(it->second.size()));
            if (faulted) moved = std::min<ULONG>(moved, f.value);
            if (moved) std::memcpy(buffer, it->second.data(), moved);
        }
    }
    if (transferred) *transferred = moved;
    w.Record("WinUsb_GetDescriptor", d ? d->id : 0,
             {U(handle), type, index, language, U(buffer), bufferLength, U(transferred)}, o.ok, o.error, buffer,
             o.ok ? moved : 0);
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                                             LPDWORD transferred, BOOL wait) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    int dev = d ? d->id : 0;
    Outcome o;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!overlapped || !transferred) o.Fail(ERROR_INVALID_PARAMETER);
    else if (overlapped->Internal == kStatusPending) {
        if (!wait) {
            o.Fail(ERROR_IO_INCOMPLETE);
        } else if (overlapped->hEvent) {
            // As GetOverlappedResult does: one wait on the caller's event, then the status is read.
            HANDLE event = overlapped->hEvent;
            hold.unlock();
            WaitForSingleObject(event, INFINITE);
            hold.lock();
        } else {
            w.completed.wait(hold, [&] { return overlapped->Internal != kStatusPending; });
        }
    }
    if (o.ok) {
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
        if (DWORD error = Win32FromStatus(overlapped->Internal)) o.Fail(error);
    }
    w.Record("WinUsb_GetOverlappedResult", dev, {U(handle), U(overlapped), U(transferred), static_cast<uint64_t>(wait)},
             o.ok, o.error, nullptr, 0);
    return Finish(o);
}

// Control interface of the parts of the world this file models.

SIMWORLD_API void SimWorld_SetStringDescriptor(int device, uint8_t index, const wchar_t* text) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    if (!d) return;
    uint32_t key = (uint32_t{USB_STRING_DESCRIPTOR_TYPE} << 8) | index;
    if (!text) d->descriptors.erase(key);
    else d->descriptors[key] = StringDescriptorBytes(text);
}

SIMWORLD_API int SimWorld_SetInterfacePipes(int device, uint8_t alternate, const SimPipe* pipes, uint32_t count) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    if (!d || count > SIM_MAX_PIPES || (count && !pipes)) return 0;
    std::vector<SimPipe> list(pipes, pipes + count);
    if (alternate == 0) {
        d->pipes.clear();
        for (const SimPipe& p : list) d->pipes.push_back(PipeState(p));
    } else {
        d->alternates[alternate] = list;
    }
    return 1;
}

SIMWORLD_API uint32_t SimWorld_GetPipePolicyValue(int device, uint8_t pipeId, uint32_t type, void* value,
                                                  uint32_t capacity) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    PipeState* pipe = d ? PolicyPipe(*d, pipeId) : nullptr;
    ULONG size = PolicySize(type);
    if (!pipe || !size) return 0;
    Bytes v = PolicyValue(*pipe, type);
    if (value) std::memcpy(value, v.data(), std::min<size_t>(capacity, v.size()));
    return size;
}

SIMWORLD_API void SimWorld_CompleteAtOnce(int device, int operation, uint32_t times) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    if (Device* d = w.Find(device)) d->atOnce[operation] = times;
}

SIMWORLD_API uint32_t SimWorld_PipeCachedBytes(int device, uint8_t pipeId) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.Find(device);
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    return pipe ? static_cast<uint32_t>(pipe->cached.size()) : 0;
}

SIMWORLD_API uint32_t SimWorld_PendingTransfers(int device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return static_cast<uint32_t>(std::count_if(w.pending.begin(), w.pending.end(),
                                               [&](const PendingTransfer& p) { return p.device == device; }));
}

}  // extern "C"
