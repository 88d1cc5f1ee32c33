// WinUSB as the simulated devices answer it. Contracts kept from the platform: failures
// return FALSE with the thread's last error set; a stalled endpoint fails with
// ERROR_GEN_FAILURE until its pipe is reset; an IN transfer moves at most what the device
// holds (a short transfer succeeds with a smaller count); overlapped transfers return
// FALSE with ERROR_IO_PENDING and complete later on another thread.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "world.h"

using namespace sim;

namespace {

constexpr uint8_t kVendorInterfaceIn = 0xC1;
constexpr uint8_t kVendorInterfaceOut = 0x41;
constexpr DWORD kDeviceGone = ERROR_BAD_COMMAND;   // what WinUSB reports after a surprise removal
// A read with no data and no time-out would block for ever; the world gives up after this.
constexpr DWORD kPatienceMs = 3000;

uint64_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

PipeState* FindPipe(Device& d, UCHAR pipeId) {
    for (auto& p : d.pipes) {
        if (p.info.pipeId == pipeId) return &p;
    }
    return nullptr;
}

DWORD TimeoutOf(const PipeState& p) {
    auto it = p.policies.find(PIPE_TRANSFER_TIMEOUT);
    if (it == p.policies.end() || it->second.size() < 4) return 0;
    DWORD v;
    std::memcpy(&v, it->second.data(), 4);
    return v;
}

void PutU32(Bytes& b, uint32_t v) {
    b = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
         static_cast<uint8_t>(v >> 24)};
}

// Completes an overlapped transfer the way the I/O manager does: status and count in the
// OVERLAPPED, then the event is signalled, from a thread other than the caller's.
void CompleteLater(LPOVERLAPPED ov, DWORD error, DWORD count) {
    std::thread([ov, error, count] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ov->InternalHigh = count;
        ov->Internal = error == 0 ? 0 : static_cast<ULONG_PTR>(0xC0000001);   // STATUS_UNSUCCESSFUL
        ov->Offset = error;   // the Win32 code, read back by WinUsb_GetOverlappedResult
        if (ov->hEvent) SetEvent(ov->hEvent);
    }).detach();
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
    DWORD n = (file && file != INVALID_HANDLE_VALUE)
                  ? GetFinalPathNameByHandleW(file, name, 1024, FILE_NAME_NORMALIZED) : 0;
    std::lock_guard<std::mutex> hold(w.mutex);
    auto record = [&](int dev, BOOL ok, DWORD err) {
        w.Record("WinUsb_Initialize", dev, {U(file), U(handle)}, ok, err, nullptr, 0);
        if (!ok) SetLastError(err);
        return ok;
    };
    if (!file || file == INVALID_HANDLE_VALUE) return record(0, FALSE, ERROR_INVALID_HANDLE);
    if (!handle) return record(0, FALSE, ERROR_NOACCESS);
    Device* d = n ? w.FindByFile(name) : nullptr;
    if (!d) return record(0, FALSE, ERROR_INVALID_FUNCTION);   // not a WinUSB device
    Fault f;
    if (d->config.winusbError) return record(d->id, FALSE, d->config.winusbError);
    if (w.TakeFault(*d, SIM_OP_INITIALIZE, SIM_ANY, f)) return record(d->id, FALSE, f.value);
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
    BOOL ok = it != w.interfaces.end();
    if (ok) w.interfaces.erase(it);
    w.Record("WinUsb_Free", dev, {U(handle)}, ok, ERROR_INVALID_HANDLE, nullptr, 0);
    return ok ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

__declspec(dllexport) BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                                         PUCHAR buffer, ULONG bufferLength, PULONG transferred,
                                                         LPOVERLAPPED overlapped) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Bytes packet(8);
    std::memcpy(packet.data(), &setup, 8);
    Device* d = w.ForInterface(handle);
    DWORD error = 0;
    ULONG moved = 0;
    bool isIn = (setup.RequestType & 0x80) != 0;
    ULONG wanted = std::min<ULONG>(setup.Length, bufferLength);
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!d->present) error = kDeviceGone;
    else if (wanted && !buffer) error = ERROR_NOACCESS;
    else {
        Fault f;
        bool faulted = w.TakeFault(*d, SIM_OP_CONTROL_TRANSFER, setup.Request, f);
        if (faulted && f.kind != FaultKind::Short) {
            error = f.value;
        } else {
            Bytes in;
            bool vendor = (setup.RequestType & 0x60) == 0x40;
            error = vendor ? Firmware(*d, setup, buffer, wanted, in) : StandardRequest(*d, setup, in);
            if (!error) {
                if (isIn) {
                    moved = std::min<ULONG>(wanted, static_cast<ULONG>(in.size()));
                } else {
                    moved = wanted;
                }
                if (faulted) moved = std::min<ULONG>(moved, f.value);
                if (isIn && moved) std::memcpy(buffer, in.data(), moved);
            }
        }
    }
    if (transferred) *transferred = moved;
    if (!error && buffer && moved) packet.insert(packet.end(), buffer, buffer + moved);
    w.Record("WinUsb_ControlTransfer", d ? d->id : 0,
             {U(handle), setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length, bufferLength,
              U(overlapped)},
             error == 0, error, packet.data(), packet.size());
    if (error) return Fail(error);
    if (overlapped) {
        CompleteLater(overlapped, 0, moved);
        return Fail(ERROR_IO_PENDING);
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                  ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    World& w = TheWorld();
    std::unique_lock<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    DWORD error = 0;
    ULONG moved = 0;
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    Fault f;
    bool shortFault = false;
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!d->present) error = kDeviceGone;
    else if (!pipe || !(pipeId & 0x80)) error = ERROR_INVALID_PARAMETER;
    else if (pipe->stalled) error = ERROR_GEN_FAILURE;
    else if (bufferLength && !buffer) error = ERROR_NOACCESS;
    else if (w.TakeFault(*d, SIM_OP_READ_PIPE, pipeId, f)) {
        if (f.kind == FaultKind::Short) shortFault = true;
        else {
            error = f.value;
            if (f.kind == FaultKind::Stall) pipe->stalled = true;
        }
    }
    if (!error && !overlapped) {
        int id = d->id;
        DWORD timeout = TimeoutOf(*pipe);
        auto limit = std::chrono::milliseconds(timeout ? timeout : kPatienceMs);
        bool ready = w.changed.wait_for(hold, limit, [&] {
            Device* now = w.Find(id);
            return !now || !now->present || !now->toHost.empty();
        });
        d = w.Find(id);
        if (!d) error = ERROR_INVALID_HANDLE;
        else if (!d->present) error = kDeviceGone;
        else if (!ready) error = ERROR_SEM_TIMEOUT;
    }
    Bytes data;
    if (!error && d && !d->toHost.empty()) {
        Bytes& head = d->toHost.front();
        moved = std::min<ULONG>(bufferLength, static_cast<ULONG>(head.size()));
        if (shortFault) moved = std::min<ULONG>(moved, f.value);
        if (moved) std::memcpy(buffer, head.data(), moved);
        if (w.keepCalls && w.keepData) data.assign(head.begin(), head.begin() + moved);
        // A message is one transfer: what did not fit the buffer is lost, as with a babbling device.
        d->toHost.pop_front();
    }
    if (transferred) *transferred = overlapped ? 0 : moved;
    w.Record("WinUsb_ReadPipe", d ? d->id : 0, {U(handle), pipeId, U(buffer), bufferLength, U(transferred), U(overlapped)},
             error == 0, error, data.data(), data.size());
    if (error) return Fail(error);
    if (overlapped) {
        CompleteLater(overlapped, 0, moved);
        return Fail(ERROR_IO_PENDING);
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                   ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    DWORD error = 0;
    ULONG moved = bufferLength;
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    Fault f;
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!d->present) error = kDeviceGone;
    else if (!pipe || (pipeId & 0x80)) error = ERROR_INVALID_PARAMETER;
    else if (pipe->stalled) error = ERROR_GEN_FAILURE;
    else if (bufferLength && !buffer) error = ERROR_NOACCESS;
    else if (w.TakeFault(*d, SIM_OP_WRITE_PIPE, pipeId, f)) {
        if (f.kind == FaultKind::Short) moved = std::min<ULONG>(bufferLength, f.value);
        else {
            error = f.value;
            if (f.kind == FaultKind::Stall) pipe->stalled = true;
        }
    }
    if (error) moved = 0;
    if (!error) {
        Bytes message(buffer, buffer + moved);
        if (d->config.echo) {
            d->toHost.push_back(message);
            w.changed.notify_all();
        }
        if (w.keepData) d->received.push_back(std::move(message));
    }
    if (transferred) *transferred = overlapped ? 0 : moved;
    w.Record("WinUsb_WritePipe", d ? d->id : 0, {U(handle), pipeId, U(buffer), bufferLength, U(transferred), U(overlapped)},
             error == 0, error, buffer, moved);
    if (error) return Fail(error);
    if (overlapped) {
        CompleteLater(overlapped, 0, moved);
        return Fail(ERROR_IO_PENDING);
    }
    return TRUE;
}

// Reset, flush and abort share one shape: a valid handle and pipe, then the pipe's effect.
static BOOL PipeOperation(const char* name, int operation, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    DWORD error = 0;
    Fault f;
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!d->present) error = kDeviceGone;
    else if (!pipe) error = ERROR_INVALID_PARAMETER;
    else if (w.TakeFault(*d, operation, pipeId, f)) error = f.value;
    else if (operation == SIM_OP_RESET_PIPE) pipe->stalled = false;
    w.Record(name, d ? d->id : 0, {U(handle), pipeId}, error == 0, error, nullptr, 0);
    return error ? Fail(error) : TRUE;
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

// Value sizes of the documented pipe policies: booleans are one byte, the rest ULONG.
static ULONG PolicySize(ULONG type) {
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

__declspec(dllexport) BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type,
                                                       ULONG length, PVOID value) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    DWORD error = 0;
    Fault f;
    ULONG size = PolicySize(type);
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!pipe || !size || type == MAXIMUM_TRANSFER_SIZE || length < size) error = ERROR_INVALID_PARAMETER;
    else if (!value) error = ERROR_NOACCESS;
    else if (w.TakeFault(*d, SIM_OP_SET_PIPE_POLICY, pipeId, f)) error = f.value;
    else {
        auto p = static_cast<const uint8_t*>(value);
        pipe->policies[type] = Bytes(p, p + size);
    }
    w.Record("WinUsb_SetPipePolicy", d ? d->id : 0, {U(handle), pipeId, type, length, U(value)}, error == 0, error,
             value, value && !error ? size : 0);
    return error ? Fail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type,
                                                       PULONG length, PVOID value) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    DWORD error = 0;
    Fault f;
    ULONG size = PolicySize(type);
    ULONG offered = length ? *length : 0;
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!pipe || !size || !length) error = ERROR_INVALID_PARAMETER;
    else if (offered < size) {
        error = ERROR_INSUFFICIENT_BUFFER;
        *length = size;
    } else if (!value) error = ERROR_NOACCESS;
    else if (w.TakeFault(*d, SIM_OP_GET_PIPE_POLICY, pipeId, f)) error = f.value;
    else {
        Bytes v(size, 0);
        auto it = pipe->policies.find(type);
        if (it != pipe->policies.end()) v = it->second;
        else if (type == MAXIMUM_TRANSFER_SIZE) PutU32(v, 0x400000);
        std::memcpy(value, v.data(), size);
        *length = size;
    }
    w.Record("WinUsb_GetPipePolicy", d ? d->id : 0, {U(handle), pipeId, type, offered, U(value)}, error == 0, error,
             value, value && !error ? size : 0);
    return error ? Fail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                                                PUSB_INTERFACE_DESCRIPTOR descriptor) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    DWORD error = 0;
    Fault f;
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!d->present) error = kDeviceGone;
    else if (alternate != 0) error = ERROR_NO_MORE_ITEMS;
    else if (!descriptor) error = ERROR_NOACCESS;
    else if (w.TakeFault(*d, SIM_OP_QUERY_INTERFACE, alternate, f)) error = f.value;
    else {
        USB_INTERFACE_DESCRIPTOR u{};
        u.bLength = sizeof u;
        u.bDescriptorType = 4;
        u.bNumEndpoints = static_cast<UCHAR>(d->pipes.size());
        u.bInterfaceClass = 0xFF;
        *descriptor = u;
    }
    w.Record("WinUsb_QueryInterfaceSettings", d ? d->id : 0, {U(handle), alternate, U(descriptor)}, error == 0, error,
             nullptr, 0);
    return error ? Fail(error) : TRUE;
}

static DWORD QueryPipe(Device* d, UCHAR alternate, UCHAR index, WINUSB_PIPE_INFORMATION_EX& out) {
    World& w = TheWorld();
    Fault f;
    if (!d) return ERROR_INVALID_HANDLE;
    if (!d->present) return kDeviceGone;
    if (alternate != 0 || index >= d->pipes.size()) return ERROR_NO_MORE_ITEMS;
    if (w.TakeFault(*d, SIM_OP_QUERY_PIPE, index, f)) return f.value;
    const SimPipe& p = d->pipes[index].info;
    out = WINUSB_PIPE_INFORMATION_EX{};
    out.PipeType = static_cast<USBD_PIPE_TYPE>(p.type);
    out.PipeId = p.pipeId;
    out.MaximumPacketSize = p.maxPacketSize;
    out.Interval = p.interval;
    out.MaximumBytesPerInterval = p.maxPacketSize;
    return 0;
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryPipeEx(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                                     PWINUSB_PIPE_INFORMATION_EX info) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    WINUSB_PIPE_INFORMATION_EX out{};
    DWORD error = info ? QueryPipe(d, alternate, index, out) : ERROR_NOACCESS;
    if (!error) *info = out;
    w.Record("WinUsb_QueryPipeEx", d ? d->id : 0, {U(handle), alternate, index, U(info)}, error == 0, error, nullptr, 0);
    return error ? Fail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                                   PWINUSB_PIPE_INFORMATION info) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    WINUSB_PIPE_INFORMATION_EX out{};
    DWORD error = info ? QueryPipe(d, alternate, index, out) : ERROR_NOACCESS;
    if (!error) {
        info->PipeType = out.PipeType;
        info->PipeId = out.PipeId;
        info->MaximumPacketSize = out.MaximumPacketSize;
        info->Interval = out.Interval;
    }
    w.Record("WinUsb_QueryPipe", d ? d->id : 0, {U(handle), alternate, index, U(info)}, error == 0, error, nullptr, 0);
    return error ? Fail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index,
                                                       USHORT language, PUCHAR buffer, ULONG bufferLength,
                                                       PULONG transferred) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.ForInterface(handle);
    DWORD error = 0;
    ULONG moved = 0;
    Fault f;
    if (!d) error = ERROR_INVALID_HANDLE;
    else if (!d->present) error = kDeviceGone;
    else if (bufferLength && !buffer) error = ERROR_NOACCESS;
    else if (w.TakeFault(*d, SIM_OP_GET_DESCRIPTOR, index, f) && f.kind != FaultKind::Short) error = f.value;
    else {
        auto it = d->descriptors.find((uint32_t{type} << 8) | index);
        if (it == d->descriptors.end()) error = ERROR_GEN_FAILURE;   // the device stalls the request
        else {
            moved = std::min<ULONG>(bufferLength, static_cast<ULONG>(it->second.size()));
            if (f.kind == FaultKind::Short && f.operation == SIM_OP_GET_DESCRIPTOR) moved = std::min<ULONG>(moved, f.value);
            if (moved) std::memcpy(buffer, it->second.data(), moved);
        }
    }
    if (transferred) *transferred = moved;
    w.Record("WinUsb_GetDescriptor", d ? d->id : 0, {U(handle), type, index, language, U(buffer), bufferLength, U(transferred)},
             error == 0, error, buffer, error ? 0 : moved);
    return error ? Fail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                                             LPDWORD transferred, BOOL wait) {
    World& w = TheWorld();
    {
        std::lock_guard<std::mutex> hold(w.mutex);
        Device* d = w.ForInterface(handle);
        w.Record("WinUsb_GetOverlappedResult", d ? d->id : 0, {U(handle), U(overlapped), U(transferred), static_cast<uint64_t>(wait)}, TRUE, 0,
                 nullptr, 0);
        if (!d) return Fail(ERROR_INVALID_HANDLE);
    }
    if (!overlapped || !transferred) return Fail(ERROR_NOACCESS);
    if (!overlapped->hEvent) return Fail(ERROR_INVALID_PARAMETER);
    DWORD r = WaitForSingleObject(overlapped->hEvent, wait ? INFINITE : 0);
    if (r != WAIT_OBJECT_0) return Fail(ERROR_IO_INCOMPLETE);
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != 0) return Fail(overlapped->Offset);
    return TRUE;
}

}  // extern "C"
