// The pipe, policy and descriptor exports: PipeAbort, PipeFlush, PipeReset, the pipe and time-out
// policies, QueryDeviceEndpoints and GetDeviceDescriptor.
#include <windows.h>
#include <winusb.h>

#include <cstring>
#include <vector>

#include "checks.h"
#include "fuzzer.h"
#include "report.h"
#include "simworld.h"
#include "watchdog.h"

namespace usbfuzz {

Action Fuzzer::DoPipeOperation(Action action) {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    Describe("handle %p, pipe 0x%02X", handle, pipe);
    uint32_t r;
    {
        Timed t;
        r = action == kPipeAbort   ? api.PipeAbort(handle, pipe)
            : action == kPipeFlush ? api.PipeFlush(handle, pipe)
                                   : api.PipeReset(handle, pipe);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE, not LWU_BAD_HANDLE", r);
        return action;
    }
    uint32_t success = action == kPipeReset ? 1 : 0;
    if (r != success && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn(action == kPipeAbort   ? "WinUsb_AbortPipe"
                  : action == kPipeFlush ? "WinUsb_FlushPipe"
                                         : "WinUsb_ResetPipe",
                  r, success);
    if (action == kPipeAbort && r == 0) PipeAborted(handle, pipe);
    return action;
}

Action Fuzzer::DoSetPipePolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint32_t type = rng_.Percent(80) ? 1 + rng_.Below(9) : static_cast<uint32_t>(rng_.Next());
    const uint32_t lengths[] = {0, 1, 2, 3, 4, 5, 8, 64};
    uint32_t valueLength = rng_.Pick(lengths);
    uint8_t* value = nullptr;
    if (rng_.Percent(85)) {
        value = Scratch(3, valueLength);
        for (uint32_t i = 0; i < valueLength; ++i) value[i] = static_cast<uint8_t>(rng_.Below(256));
        readOnly_.push_back(scratch_[3]);
    }
    Describe("handle %p, pipe 0x%02X, type %u, length %u, value %s", handle, pipe, type, valueLength,
             value ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.SetPipePolicy(handle, pipe, type, valueLength, value);
    }
    if (handle == INVALID_HANDLE_VALUE && r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
    if (handle != INVALID_HANDLE_VALUE && r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    if (handle != INVALID_HANDLE_VALUE) CheckPassedOn("WinUsb_SetPipePolicy", r, 0);
    return kSetPipePolicy;
}

Action Fuzzer::DoGetPipePolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint32_t type = rng_.Percent(80) ? 1 + rng_.Below(9) : static_cast<uint32_t>(rng_.Next());
    const uint32_t lengths[] = {0, 1, 2, 3, 4, 5, 8, 64};
    uint32_t offered = rng_.Pick(lengths);
    uint32_t* valueLength = rng_.Percent(85) ? ScratchU32(4, offered) : nullptr;
    uint8_t* value = rng_.Percent(85) ? Scratch(3, offered) : nullptr;
    if (value) std::memset(value, 0, offered);
    Describe("handle %p, pipe 0x%02X, type %u, length %s %u, value %s", handle, pipe, type,
             valueLength ? "given" : "null", offered, value ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.GetPipePolicy(handle, pipe, type, valueLength, value);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
        return kGetPipePolicy;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_GetPipePolicy", r, 0);
    if (r == 0 && valueLength && *valueLength > offered) {
        Broken(1, "succeeded with a value length of %u for %u offered", *valueLength, offered);
    }
    return kGetPipePolicy;
}

Action Fuzzer::DoSetTransferTimeoutPolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    const uint32_t timeouts[] = {0, 1, 100, 5000, 0x7FFFFFFF, 0xFFFFFFFF};
    uint32_t timeout = rng_.Percent(70) ? rng_.Pick(timeouts) : static_cast<uint32_t>(rng_.Next());
    Describe("handle %p, pipe 0x%02X, time-out %u", handle, pipe, timeout);
    uint32_t r;
    {
        Timed t;
        r = api.SetTransferTimeoutPolicy(handle, pipe, timeout);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
        return kSetTransferTimeoutPolicy;
    }
    if (timeout == 0) {
        if (r != LWU_BAD_ARGUMENT) Broken(1, "a time-out of 0 returned 0x%X, not LWU_BAD_ARGUMENT", r);
        return kSetTransferTimeoutPolicy;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_SetPipePolicy", r, 0);
    return kSetTransferTimeoutPolicy;
}

Action Fuzzer::DoGetTransferTimeoutPolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    // The header asks for room for a pointer; a host may still pass none.
    uint8_t* value = rng_.Percent(90) ? Scratch(3, sizeof(void*)) : nullptr;
    if (value) std::memset(value, 0, sizeof(void*));
    Describe("handle %p, pipe 0x%02X, value %s", handle, pipe, value ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.GetTransferTimeoutPolicy(handle, pipe, value);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
        return kGetTransferTimeoutPolicy;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_GetPipePolicy", r, 0);
    return kGetTransferTimeoutPolicy;
}

Action Fuzzer::DoQueryDeviceEndpoints() {
    void* handle = PickHandle();
    EndpointPair* pair = nullptr;
    if (rng_.Percent(90)) {
        pair = reinterpret_cast<EndpointPair*>(endpoints_->Place(sizeof(EndpointPair), placement_));
        std::memset(pair, kRecordByte, sizeof *pair);
        watched_.push_back(endpoints_);
    }
    Describe("handle %p, endpoints %s", handle, pair ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.QueryDeviceEndpoints(handle, pair);
    }
    if (!pair) {
        if (r != 0) Broken(1, "QueryDeviceEndpoints with no record returned %u", r);
        return kQueryDeviceEndpoints;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pair);
    if (handle != INVALID_HANDLE_VALUE) {
        // Every endpoint index the interface reports is queried in order, and the result is that
        // of the last query made.
        SimCall last{};
        if (!LastCall("WinUsb_QueryInterfaceSettings|WinUsb_QueryPipeEx", last)) Broken(1, "made no query");
        if ((r != 0) != (last.result != 0))
            Broken(1, "returned %u after %s %s", r, last.function, last.result ? "succeeded" : "failed");
        USB_INTERFACE_DESCRIPTOR setting{};
        int next = -1;   // the endpoint index queried next; -1 before the settings
        for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
            SimCall c{};
            SimWorld_GetCall(i, &c);
            if (std::strcmp(c.function, "WinUsb_QueryInterfaceSettings") == 0) {
                if (c.result && SimWorld_GetCallData(i, &setting, sizeof setting) == sizeof setting) next = 0;
            } else if (std::strcmp(c.function, "WinUsb_QueryPipeEx") == 0) {
                if (next < 0 || c.args[2] != static_cast<uint64_t>(next))
                    Broken(1, "queried endpoint index %u out of turn", static_cast<unsigned>(c.args[2]));
                ++next;
            }
        }
        if (next >= 0 && next != setting.bNumEndpoints) {
            Broken(1, "queried %d of the %u endpoints the interface reports", next, setting.bNumEndpoints);
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != 0) Broken(1, "QueryDeviceEndpoints on INVALID_HANDLE_VALUE returned %u", r);
        for (size_t i = 0; i < sizeof *pair; ++i) {
            if (bytes[i] != kRecordByte) Broken(1, "QueryDeviceEndpoints on INVALID_HANDLE_VALUE wrote byte %zu", i);
        }
        return kQueryDeviceEndpoints;
    }
    // Each entry is a pipe found (a type of 1 to 3, the direction of its slot, the copy of its
    // packet size, zeros where the record has them) or not found (type 0, the rest as the host
    // left it).
    const PipeEntry* entries[2] = {&pair->in, &pair->out};
    for (int k = 0; k < 2; ++k) {
        const PipeEntry& e = *entries[k];
        const uint8_t* eb = reinterpret_cast<const uint8_t*>(&e);
        if (e.pipeType == 0) {
            for (size_t i = 2; i < sizeof e; ++i) {
                if (eb[i] != kRecordByte) Broken(1, "an entry not found has byte %zu changed", i);
            }
            continue;
        }
        bool in = (e.pipeId & 0x80) != 0;
        if (e.pipeType > 3 || in != (k == 0) || e.maxPacketSizeCopy != e.maxPacketSize || e.reserved0 != 0 ||
            e.reserved1 != 0 || e.reserved2 != 0 || e.reserved3 != 0) {
            Broken(1, "entry %d holds type %u, pipe 0x%02X, sizes %u/%u", k, e.pipeType, e.pipeId, e.maxPacketSize,
                   e.maxPacketSizeCopy);
        }
    }
    lastEndpoints_ = *pair;
    if (lastEndpoints_.in.pipeType == 0) lastEndpoints_.in = PipeEntry{};
    if (lastEndpoints_.out.pipeType == 0) lastEndpoints_.out = PipeEntry{};
    return kQueryDeviceEndpoints;
}

Action Fuzzer::DoGetDeviceDescriptor() {
    void* handle = PickHandle(true);
    uint32_t length = PickLength(kScratchCapacity);
    uint8_t* buffer = rng_.Percent(88) ? Scratch(0, length) : nullptr;
    if (!buffer && rng_.Percent(30)) length = 0xFFFFFFFFu;
    uint32_t* transferred = rng_.Percent(85) ? ScratchU32(2, rng_.Percent(50) ? 0 : 0xDEADBEEF) : nullptr;
    Describe("handle %p, buffer %s, length %u, transferred %s", handle, buffer ? "given" : "null", length,
             transferred ? "given" : "null");
    uint32_t r;
    DWORD error;
    {
        Timed t;
        r = api.GetDeviceDescriptor(handle, buffer, length, transferred);
        error = GetLastError();
    }
    if (r != 0 && transferred && *transferred > length)
        Broken(1, "reported %u bytes for a buffer of %u", *transferred, length);
    // WinUSB's own result, and on failure its reason in the thread's last error.
    SimCall last{};
    if (!LastCall("WinUsb_GetDescriptor", last)) Broken(1, "made no descriptor request");
    if ((r != 0) != (last.result != 0))
        Broken(1, "returned %u after WinUsb_GetDescriptor %s", r, last.result ? "succeeded" : "failed");
    if (r == 0 && error != last.lastError)
        Broken(1, "left the last error at %lu; WinUsb_GetDescriptor failed with %u", error, last.lastError);
    return kGetDeviceDescriptor;
}

}  // namespace usbfuzz
