// WinUSB's interfaces, pipe operations, policies, queries and descriptors as the simulated
// devices answer them (the transfers are in winusb_transfers.cpp). Contracts kept from the
// platform (see docs/platform-contracts.md): failures return FALSE with the thread's last error
// set; only a null interface handle is checked, any other handle WinUSB never issued is the
// caller's violation; WinUsb_Initialize takes only a file handle opened with
// FILE_FLAG_OVERLAPPED (else ERROR_INVALID_HANDLE), refuses a device another handle holds
// (ERROR_ACCESS_DENIED: one owner per device) and resets the interface's pipe policies to their
// defaults; a stalled endpoint fails with ERROR_GEN_FAILURE until its pipe is reset; aborting a
// pipe ends its transfers under way; WinUsb_GetDescriptor copies nothing into a buffer too small
// for the descriptor. Pipe policies are kept per pipe.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "random_device.h"
#include "scenario_world.h"
#include "winusb_model.h"

using namespace sim;

namespace sim {

PipeState* FindPipe(Device& d, UCHAR pipeId) {
    for (auto& p : d.pipes) {
        if (p.info.pipeId == pipeId) return &p;
    }
    return nullptr;
}

PipeState* PolicyPipe(Device& d, UCHAR pipeId) { return pipeId == 0 ? &d.controlPipe : FindPipe(d, pipeId); }

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
    ULONG value = 0;
    if (type == ALLOW_PARTIAL_READS) v[0] = 1;
    else if (type == PIPE_TRANSFER_TIMEOUT && pipe.info.pipeId == 0) value = 5000;
    else if (type == MAXIMUM_TRANSFER_SIZE) value = kMaximumTransferSize;
    if (v.size() == 4) std::memcpy(v.data(), &value, 4);
    return v;
}

DWORD TimeoutOf(const PipeState& p) {
    Bytes v = PolicyValue(p, PIPE_TRANSFER_TIMEOUT);
    DWORD t;
    std::memcpy(&t, v.data(), 4);
    return t;
}

}  // namespace sim

namespace {

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
    // One owner per device: Windows refuses a second CreateFile of an open WinUSB device with
    // ERROR_ACCESS_DENIED. The world cannot refuse Wine's own CreateFile, so it refuses here, as
    // long as the owner's file handle is still open on the device.
    auto stillOwns = [&](const Device& dev) {
        if (!dev.ownerFile || dev.ownerFile == file) return false;
        wchar_t owned[1024] = {};
        DWORD m = GetFinalPathNameByHandleW(dev.ownerFile, owned, 1024, FILE_NAME_NORMALIZED);
        return m && w.FindByFile(owned) == &dev;
    };
    if (!handle) return record(0, FALSE, ERROR_NOACCESS);
    Device* d = n ? w.FindByFile(name) : nullptr;
    // The file of an unplugged device outlives it while a handle was open on it at the removal
    // (Windows' interface path goes with the device). Windows fails the reopen's CreateFile with
    // ERROR_FILE_NOT_FOUND; the world cannot refuse Wine's CreateFile, so it refuses here.
    if (!d && n && w.FindUnpluggedByFile(name)) return record(0, FALSE, ERROR_FILE_NOT_FOUND);
    if (!d) return record(0, FALSE, ERROR_INVALID_FUNCTION);   // not a WinUSB device
    if (!overlapped) return record(d->id, FALSE, ERROR_INVALID_HANDLE);   // WinUSB works with overlapped I/O only
    DWORD refusal = 0;
    if (RandomInitializeFailsLocked(*d, refusal)) return record(d->id, FALSE, refusal);
    Fault f;
    if (d->config.winusbError) return record(d->id, FALSE, d->config.winusbError);
    if (w.TakeFault(*d, SIM_OP_INITIALIZE, SIM_ANY, f)) return record(d->id, FALSE, f.value);
    if (stillOwns(*d)) return record(d->id, FALSE, ERROR_ACCESS_DENIED);
    d->ownerFile = file;
    for (PipeState& pipe : d->pipes) pipe.policies.clear();   // every policy back to its default
    d->controlPipe.policies.clear();
    auto h = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(w.nextInterface);
    w.nextInterface += 0x10;
    w.interfaces[h] = Interface{d->id};
    *handle = h;
    ++d->opens;
    NoteChangeLocked();
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
    if (!w.CheckHandle("WinUsb_Free", handle)) o.Fail(ERROR_INVALID_HANDLE);
    else if (d && w.TakeFault(*d, SIM_OP_FREE, SIM_ANY, f)) o.Fail(f.value);   // the interface stays
    else {
        CancelTransfers(w, handle, -1);   // what is still pending on the interface ends with it
        CancelRandomTransfersLocked(handle);
        w.interfaces.erase(it);
        NoteChangeLocked();
    }
    w.Record("WinUsb_Free", dev, {U(handle)}, o.ok, o.error, nullptr, 0);
    return Finish(o);
}

// Reset, flush and abort share one shape: a valid handle and pipe, then the pipe's effect.
static BOOL PipeOperation(const char* name, int operation, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    if (auto answer = RandomPipeOperation(operation, handle, pipeId)) return *answer;
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    Device* d = w.CheckHandle(name, handle) ? w.ForInterface(handle) : nullptr;
    PipeState* pipe = d ? FindPipe(*d, pipeId) : nullptr;
    Outcome o;
    Fault f;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(d->goneError);
    else if (!pipe) o.Fail(ERROR_INVALID_PARAMETER);
    else if (w.TakeFault(*d, operation, pipeId, f)) o.Fail(f.value);
    else if (operation == SIM_OP_RESET_PIPE) pipe->stalled = false;
    else if (operation == SIM_OP_ABORT_PIPE) CancelTransfers(w, handle, pipeId);
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
    Device* d = w.CheckHandle("WinUsb_SetPipePolicy", handle) ? w.ForInterface(handle) : nullptr;
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
    Device* d = w.CheckHandle("WinUsb_GetPipePolicy", handle) ? w.ForInterface(handle) : nullptr;
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
    Device* d = w.CheckHandle("WinUsb_QueryInterfaceSettings", handle) ? w.ForInterface(handle) : nullptr;
    Outcome o;
    Fault f;
    std::vector<SimPipe> pipes;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(d->goneError);
    else if (!SettingPipes(*d, alternate, pipes)) o.Fail(ERROR_NO_MORE_ITEMS);
    else if (!descriptor) o.Fail(ERROR_NOACCESS);
    else if (w.TakeFault(*d, SIM_OP_QUERY_INTERFACE, alternate, f)) o.Fail(f.value);
    else {
        USB_INTERFACE_DESCRIPTOR u{};
        u.bLength = sizeof u;
        u.bDescriptorType = 4;
        u.bInterfaceNumber = d->config.interfaceNumber;
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
    else if (!d->present) o.Fail(d->goneError);
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
    Device* d = w.CheckHandle("WinUsb_QueryPipeEx", handle) ? w.ForInterface(handle) : nullptr;
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
    Device* d = w.CheckHandle("WinUsb_QueryPipe", handle) ? w.ForInterface(handle) : nullptr;
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
    Device* d = w.CheckHandle("WinUsb_GetDescriptor", handle) ? w.ForInterface(handle) : nullptr;
    Outcome o;
    ULONG moved = 0;
    Fault f;
    bool faulted = false;
    if (d && d->present) {
        faulted = w.TakeFault(*d, SIM_OP_GET_DESCRIPTOR, index, f) ||
                  (type == USB_STRING_DESCRIPTOR_TYPE && w.TakeFault(*d, SIM_OP_GET_STRING_DESCRIPTOR, index, f));
    }
    // Strings other than the language table are asked for in one of the device's languages;
    // some firmware stalls language ID 0.
    bool needsLanguage = d && d->config.stringsNeedLanguage && type == USB_STRING_DESCRIPTOR_TYPE && index != 0;
    if (!d) o.Fail(ERROR_INVALID_HANDLE);
    else if (!d->present) o.Fail(d->goneError);
    else if (bufferLength && !buffer) o.Fail(ERROR_NOACCESS);
    else if (faulted && f.kind != FaultKind::Short) o.Fail(f.value);
    else {
        auto it = d->descriptors.find((uint32_t{type} << 8) | index);
        if (it == d->descriptors.end() || (needsLanguage && language == 0)) {
            o.Fail(ERROR_GEN_FAILURE);   // the device stalls the request
        } else if (bufferLength < it->second.size() && !faulted) {
            o.Fail(ERROR_INSUFFICIENT_BUFFER);   // no data is copied into a buffer too small for it
        } else {
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
