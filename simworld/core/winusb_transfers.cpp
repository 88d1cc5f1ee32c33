// WinUSB's transfers as the simulated devices answer them. Contracts kept from the platform (see
// docs/platform-contracts.md): a transfer waits until it is complete, its pipe's time-out runs
// out (PIPE_TRANSFER_TIMEOUT: none on a bulk pipe by default, 5 s on the control pipe; then
// ERROR_SEM_TIMEOUT with the bytes moved so far), its pipe is aborted or its interface freed
// (ERROR_OPERATION_ABORTED), or its device is unplugged (also ERROR_OPERATION_ABORTED); later
// calls on an unplugged device fail with the device's removal code. Bulk data moves in packets of
// the pipe's maximum packet size: a read ends on a short packet, a zero-length packet or a full
// buffer; a packet beyond the read's length is kept for the next read (ALLOW_PARTIAL_READS, the
// default) or fails the read; AUTO_FLUSH drops the rest, IGNORE_SHORT_PACKETS reads on past short
// packets, RAW_IO takes only whole packets up to MAXIMUM_TRANSFER_SIZE, SHORT_PACKET_TERMINATE ends
// a write of whole packets with a zero-length one, AUTO_CLEAR_STALL fails a stalled transfer
// without halting the pipe. A control transfer moves at most 4 KB, and WinUSB puts the interface
// number in the low byte of wIndex for requests to the interface. An overlapped transfer returns
// FALSE with ERROR_IO_PENDING (OVERLAPPED reading STATUS_PENDING, its event reset) and completes on
// the world's completion thread, or may finish at once (SimWorld_CompleteAtOnce): TRUE, the
// OVERLAPPED complete and its event set; the count WinUSB stores beside an OVERLAPPED means nothing
// (the world stores 0), WinUsb_GetOverlappedResult gives it.
#include <algorithm>
#include <system_error>
#include <thread>

#include "firmware.h"
#include "random_device.h"
#include "winusb_model.h"

using namespace sim;

namespace {

bool Done(PendingTransfer& t, ULONG_PTR status) {
    t.done = true;
    t.status = status;
    return true;
}

ULONG PacketSize(const PipeState& pipe) { return pipe.info.maxPacketSize ? pipe.info.maxPacketSize : 64; }

bool ReadProgress(Device& d, PipeState& pipe, PendingTransfer& t) {
    const ULONG packetSize = PacketSize(pipe);
    const bool ignoreShort = PolicyOn(pipe, IGNORE_SHORT_PACKETS);
    if (!pipe.cached.empty()) {   // the rest of a packet an earlier read could not hold
        ULONG n = std::min<ULONG>(t.length - t.moved, static_cast<ULONG>(pipe.cached.size()));
        std::memcpy(t.buffer + t.moved, pipe.cached.data(), n);
        pipe.cached.erase(pipe.cached.begin(), pipe.cached.begin() + n);
        t.moved += n;
        if (pipe.cached.empty() && pipe.cachedShort && !ignoreShort) return Done(t, kStatusSuccess);
    }
    Bytes packet;   // one buffer for every packet of the read: a large read takes thousands
    while (t.moved < t.length) {
        if (t.moved >= t.hangAfter) return false;
        if (!NextPacket(d, packetSize, packet)) return false;
        ULONG room = t.length - t.moved;
        ULONG n = std::min<ULONG>(room, static_cast<ULONG>(packet.size()));
        if (n) std::memcpy(t.buffer + t.moved, packet.data(), n);
        t.moved += n;
        bool isShort = packet.size() < packetSize;
        if (packet.size() > room) {
            if (!PolicyOn(pipe, ALLOW_PARTIAL_READS)) return Done(t, kStatusBufferOverflow);
            if (!PolicyOn(pipe, AUTO_FLUSH)) {
                pipe.cached.assign(packet.begin() + room, packet.end());
                pipe.cachedShort = isShort;
            }
            return Done(t, kStatusSuccess);
        }
        if (isShort && !ignoreShort) return Done(t, kStatusSuccess);
    }
    return Done(t, kStatusSuccess);
}

bool WriteProgress(World& w, Device& d, PipeState& pipe, PendingTransfer& t) {
    const ULONG packetSize = PacketSize(pipe);
    ULONG limit = t.length;
    if (t.hangAfter < limit) limit = t.hangAfter / packetSize * packetSize;   // whole packets, then NAKs
    if (t.moved < limit || t.length == 0) {
        bool whole = limit == t.length;
        bool terminate = whole && t.length % packetSize == 0 && PolicyOn(pipe, SHORT_PACKET_TERMINATE);
        ReceiveData(w, d, t.buffer + t.moved, limit - t.moved, packetSize, terminate);
        t.moved = limit;
    }
    if (t.moved == t.length) return Done(t, kStatusSuccess);
    return false;
}

// Moves what the device can move for the transfer; true once it is finished (status set).
bool Progress(World& w, PendingTransfer& t) {
    if (t.done) return true;
    Device* d = w.Find(t.device);
    if (!d || !d->present) return Done(t, kStatusCancelled);   // surprise removal ends it
    if (t.kind == TransferKind::Control) return false;       // only a device that stopped answering waits
    PipeState* pipe = FindPipe(*d, t.pipeId);
    if (!pipe) return Done(t, kStatusCancelled);   // the interface's pipes were replaced under it
    return t.kind == TransferKind::Read ? ReadProgress(*d, *pipe, t) : WriteProgress(w, *d, *pipe, t);
}

// The completion thread: runs while overlapped transfers are pending, woken by data, removals
// and new transfers.
void CompletionThread() {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    while (!w.pending.empty()) {
        Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (size_t i = 0; i < w.pending.size();) {
            PendingTransfer& p = w.pending[i];
            if (!Progress(w, p) && now >= p.deadline) Done(p, kStatusIoTimeout);
            if (p.done) {
                Signal(w, p, p.status, p.moved);
                w.pending.erase(w.pending.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                next = std::min(next, p.deadline);
                ++i;
            }
        }
        if (w.pending.empty()) break;
        if (next == Clock::time_point::max()) w.changed.wait(hold);
        else w.changed.wait_until(hold, next);
    }
    w.completing = false;
}

// Marks the OVERLAPPED pending and hands the transfer to the completion thread.
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

// A synchronous transfer: the caller waits until it is finished or its time-out runs out.
void WaitFor(World& w, std::unique_lock<std::mutex>& hold, PendingTransfer& t, DWORD timeoutMs) {
    if (timeoutMs) t.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    w.waiting.push_back(&t);
    while (!Progress(w, t)) {
        if (Clock::now() >= t.deadline) {
            Done(t, kStatusIoTimeout);
            break;
        }
        if (t.deadline == Clock::time_point::max()) w.changed.wait(hold);
        else w.changed.wait_until(hold, t.deadline);
    }
    w.waiting.erase(std::remove(w.waiting.begin(), w.waiting.end(), &t), w.waiting.end());
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

// Runs a transfer: synchronously, or overlapped (at once when it may, else pending). The outcome
// of a synchronous one, or ERROR_IO_PENDING.
Outcome Run(World& w, std::unique_lock<std::mutex>& hold, Device& d, PendingTransfer t, int operation,
            DWORD timeoutMs, ULONG* moved) {
    Outcome o;
    if (!t.overlapped) {
        WaitFor(w, hold, t, timeoutMs);
        *moved = t.moved;
        if (DWORD error = Win32FromStatus(t.status)) o.Fail(error);
        return o;
    }
    *moved = 0;   // beside an OVERLAPPED the count means nothing
    if (Progress(w, t) && t.status == kStatusSuccess && TakeAtOnce(d, operation)) {
        CompleteAtOnce(t.overlapped, t.moved);
        return o;
    }
    if (timeoutMs) t.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    StartPending(w, t);
    o.Fail(ERROR_IO_PENDING);
    return o;
}

// A call that waited is recorded where it began, before the calls made while it waited.
void RecordWhereItBegan(World& w, size_t at) {
    if (w.calls.size() > at + 1) {
        std::rotate(w.calls.begin() + static_cast<std::ptrdiff_t>(at), w.calls.end() - 1, w.calls.end());
    }
}

PendingTransfer NewTransfer(Device& d, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, TransferKind kind,
                            LPOVERLAPPED ov, PUCHAR buffer, ULONG length) {
    PendingTransfer p;
    p.device = d.id;
    p.handle = handle;
    p.pipeId = pipeId;
    p.kind = kind;
    p.overlapped = ov;
    p.buffer = buffer;
    p.length = length;
    return p;
}

// A stall: the transfer fails; the pipe stays halted until it is reset, unless AUTO_CLEAR_STALL
// clears it at once.
void StallPipe(PipeState& pipe) {
    if (!PolicyOn(pipe, AUTO_CLEAR_STALL)) pipe.stalled = true;
}

// The checks WinUSB makes of a bulk transfer before it reaches the device.
Outcome CheckPipeTransfer(const Device* d, const PipeState* pipe, bool isRead, UCHAR pipeId, PUCHAR buffer,
                          ULONG length) {
    Outcome o;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(d->goneError);
    else if (!pipe || ((pipeId & 0x80) != 0) != isRead) o.Fail(ERROR_INVALID_PARAMETER);
    else if (pipe->stalled) o.Fail(ERROR_GEN_FAILURE);
    else if (length && !buffer) o.Fail(ERROR_NOACCESS);
    else if (PolicyOn(*pipe, RAW_IO) && (length % PacketSize(*pipe) != 0 || length > kMaximumTransferSize))
        o.Fail(ERROR_INVALID_PARAMETER);   // raw I/O moves whole packets, at most the maximum transfer size
    return o;
}

BOOL PipeTransfer(bool isRead, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG bufferLength,
                  PULONG transferred, LPOVERLAPPED overlapped) {
    const char* name = isRead ? "WinUsb_ReadPipe" : "WinUsb_WritePipe";
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Device* d = w.CheckHandle(name, handle) ? w.ForInterface(handle) : nullptr;
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    Outcome o = CheckPipeTransfer(d, pipe, isRead, pipeId, buffer, bufferLength);
    const int operation = isRead ? SIM_OP_READ_PIPE : SIM_OP_WRITE_PIPE;
    PendingTransfer t;
    Fault f;
    if (o.ok) {
        t = NewTransfer(*d, handle, pipeId, isRead ? TransferKind::Read : TransferKind::Write, overlapped, buffer,
                        bufferLength);
        if (w.TakeFault(*d, operation, pipeId, f)) {
            if (f.kind == FaultKind::Fail) o.Fail(f.value);
            else if (f.kind == FaultKind::Stall) {
                o.Fail(f.value);
                StallPipe(*pipe);
            } else if (f.kind == FaultKind::Hang) t.hangAfter = f.value;
            else if (isRead) {   // the device ends its message after f.value bytes
                if (!d->toHost.empty()) {
                    OutMessage& m = d->toHost.front();
                    m.data.resize(std::min(m.data.size(), m.sent + f.value));
                }
            } else {
                t.length = std::min<ULONG>(bufferLength, f.value);   // the device takes only these
            }
        }
    }
    ULONG moved = 0;
    size_t recordAt = w.calls.size();
    if (o.ok) o = Run(w, hold, *d, t, operation, TimeoutOf(*pipe), &moved);
    if (transferred) *transferred = moved;
    // A synchronous read's data is what it moved; an overlapped one's arrives later.
    const void* data = isRead ? (overlapped ? nullptr : buffer) : buffer;
    size_t dataLength = isRead ? (overlapped ? 0 : moved) : (o.ok || o.error == ERROR_IO_PENDING ? t.length : moved);
    d = w.ForInterface(handle);
    w.Record(name, d ? d->id : 0, {U(handle), pipeId, U(buffer), bufferLength, U(transferred), U(overlapped)},
             o.ok, o.error, w.keepData ? data : nullptr, w.keepData ? dataLength : 0);
    RecordWhereItBegan(w, recordAt);
    return Finish(o);
}

}  // namespace

namespace sim {

DWORD Win32FromStatus(ULONG_PTR status) {
    switch (status) {
    case kStatusSuccess:
    case kStatusPending:
        return 0;
    case kStatusCancelled:
        return ERROR_OPERATION_ABORTED;
    case kStatusIoTimeout:
        return ERROR_SEM_TIMEOUT;
    default:
        return ERROR_GEN_FAILURE;
    }
}

void Signal(World& w, const PendingTransfer& p, ULONG_PTR status, ULONG moved) {
    p.overlapped->InternalHigh = moved;
    p.overlapped->Internal = status;
    if (p.overlapped->hEvent) SetEvent(p.overlapped->hEvent);
    w.completed.notify_all();
}

void CancelTransfers(World& w, WINUSB_INTERFACE_HANDLE handle, int pipeId) {
    for (size_t i = 0; i < w.pending.size();) {
        const PendingTransfer& p = w.pending[i];
        if (p.handle == handle && (pipeId < 0 || p.pipeId == pipeId)) {
            Signal(w, p, kStatusCancelled, p.moved);
            w.pending.erase(w.pending.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    for (PendingTransfer* t : w.waiting) {
        if (t->handle == handle && (pipeId < 0 || t->pipeId == pipeId) && !t->done) Done(*t, kStatusCancelled);
    }
    w.changed.notify_all();
}

}  // namespace sim

extern "C" {

__declspec(dllexport) BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                                         PUCHAR buffer, ULONG bufferLength, PULONG transferred,
                                                         LPOVERLAPPED overlapped) {
    if (auto answer = RandomControlTransfer(handle, setup, buffer, bufferLength, transferred, overlapped)) return *answer;
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Device* d = w.CheckHandle("WinUsb_ControlTransfer", handle) ? w.ForInterface(handle) : nullptr;
    Outcome o;
    ULONG moved = 0;
    bool isIn = (setup.RequestType & 0x80) != 0;
    ULONG wanted = std::min<ULONG>(setup.Length, bufferLength);
    WINUSB_SETUP_PACKET wire = setup;
    if (d && (setup.RequestType & 0x1F) == 1) {   // to the interface: WinUSB names its own
        wire.Index = static_cast<USHORT>((setup.Index & 0xFF00) | d->config.interfaceNumber);
    }
    Bytes packet(8);
    std::memcpy(packet.data(), &wire, 8);
    size_t recordAt = w.calls.size();
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(d->goneError);
    else if (wanted && !buffer) o.Fail(ERROR_NOACCESS);
    else if (wanted > kMaxControlTransfer) o.Fail(ERROR_INVALID_PARAMETER);
    else {
        Fault f;
        bool faulted = w.TakeFault(*d, SIM_OP_CONTROL_TRANSFER, setup.Request, f);
        Bytes in;
        if (faulted && (f.kind == FaultKind::Fail || f.kind == FaultKind::Stall)) {
            o.Fail(f.value);   // also with a last error of 0, as an odd driver can leave it
        } else if (DWORD error = DeviceRequest(*d, wire, buffer, wanted, in)) {
            o.Fail(error);
        } else {
            moved = isIn ? std::min<ULONG>(wanted, static_cast<ULONG>(in.size())) : wanted;
            if (faulted && f.kind != FaultKind::Fail) moved = std::min<ULONG>(moved, f.value);
            if (isIn && moved) std::memcpy(buffer, in.data(), moved);
            if (faulted && f.kind == FaultKind::Hang) {   // part of the data stage, then no answer
                PendingTransfer t = NewTransfer(*d, handle, 0, TransferKind::Control, overlapped, buffer, wanted);
                t.moved = moved;
                ULONG got = 0;
                o = Run(w, hold, *d, t, SIM_OP_CONTROL_TRANSFER, TimeoutOf(d->controlPipe), &got);
                moved = overlapped ? 0 : got;
                d = w.ForInterface(handle);
            }
        }
    }
    if (transferred) *transferred = overlapped ? 0 : moved;
    if (o.ok && buffer && moved) packet.insert(packet.end(), buffer, buffer + moved);
    w.Record("WinUsb_ControlTransfer", d ? d->id : 0,
             {U(handle), setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length, bufferLength,
              U(overlapped)},
             o.ok, o.error, packet.data(), packet.size());
    RecordWhereItBegan(w, recordAt);
    if (o.ok && overlapped && d) {
        PendingTransfer t = NewTransfer(*d, handle, 0, TransferKind::Control, overlapped, buffer, wanted);
        t.moved = moved;
        Done(t, kStatusSuccess);
        ULONG ignored = 0;
        o = Run(w, hold, *d, t, SIM_OP_CONTROL_TRANSFER, 0, &ignored);
    }
    return Finish(o);
}

__declspec(dllexport) BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                  ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    if (auto answer = RandomPipeTransfer(true, handle, pipeId, buffer, bufferLength, transferred, overlapped)) return *answer;
    return PipeTransfer(true, handle, pipeId, buffer, bufferLength, transferred, overlapped);
}

__declspec(dllexport) BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                   ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    if (auto answer = RandomPipeTransfer(false, handle, pipeId, buffer, bufferLength, transferred, overlapped)) return *answer;
    return PipeTransfer(false, handle, pipeId, buffer, bufferLength, transferred, overlapped);
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                                             LPDWORD transferred, BOOL wait) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Device* d = w.CheckHandle("WinUsb_GetOverlappedResult", handle) ? w.ForInterface(handle) : nullptr;
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

}  // extern "C"

extern "C" SIMWORLD_API uint32_t SimWorld_WaitingTransfers(int device) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    return static_cast<uint32_t>(
        std::count_if(w.waiting.begin(), w.waiting.end(), [&](const PendingTransfer* t) { return t->device == device; }));
}
