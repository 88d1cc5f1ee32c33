// The session and transfer exports: OpenDevice, CloseDevice, Read, Write, the control transfers,
// PipeRead, PipeWrite and GetPipeOverlappedResult.
#include <windows.h>

#include <cstring>
#include <vector>

#include "checks.h"
#include "fuzzer.h"
#include "report.h"
#include "simworld.h"
#include "watchdog.h"

namespace usbfuzz {

Action Fuzzer::DoOpenDevice() {
    std::vector<Session*> closed;
    for (Session& s : sessions_) {
        if (!s.record->isOpen) closed.push_back(&s);
    }
    // The host closes a session before opening it again; with none closed it passes none.
    Session* s =
        !closed.empty() && rng_.Percent(92) ? closed[rng_.Below(static_cast<uint32_t>(closed.size()))] : nullptr;
    const char* path = PickPath();
    DeviceSession* record = s ? s->record : nullptr;
    if (record) std::memset(record, kRecordByte, sizeof *record);   // OpenDevice does not read the old contents
    Describe("session %s, path %s", record ? s->region->name() : "null", path ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.OpenDevice(record, path);
    }
    if (!record) {
        if (r != LWU_BAD_ARGUMENT) Broken(1, "OpenDevice with no session returned 0x%X, not LWU_BAD_ARGUMENT", r);
        return kOpenDevice;
    }
    NoteHandshake();
    if (r == 0) {
        if (record->isOpen != 1) Broken(1, "OpenDevice returned 0 with isOpen %u", record->isOpen);
        interfacesKept_ = 1;
        s->everOpened = true;
        s->lastHandle = record->interfaceHandle;
        return kOpenDevice;
    }
    if (!IsHresultOfWin32(r)) Broken(1, "OpenDevice returned 0x%X, not 0 nor the HRESULT form of a Win32 error", r);
    if (record->isOpen != 0) Broken(1, "OpenDevice failed (0x%X) with isOpen %u", r, record->isOpen);
    return kOpenDevice;
}

Action Fuzzer::DoCloseDevice() {
    Session* s = rng_.Percent(90) ? &sessions_[rng_.Below(kSessions)] : nullptr;
    Describe("session %s%s", s ? s->region->name() : "null", s && s->record->isOpen ? " (open)" : "");
    if (s && s->record->isOpen) interfacesKept_ = -1;
    {
        Timed t;
        api.CloseDevice(s ? s->record : nullptr);
    }
    if (s) {
        if (s->record->isOpen != 0) Broken(1, "CloseDevice left isOpen %u", s->record->isOpen);
        SessionClosed(*s);
    }
    return kCloseDevice;
}

// The interface is freed: its overlapped transfers are over.
void Fuzzer::SessionClosed(Session& s) {
    for (Slot& slot : slots_) {
        if (slot.outstanding && slot.handle == s.lastHandle) slot.outstanding = false;
    }
}

void Fuzzer::PipeAborted(void* handle, uint8_t pipe) {
    for (Slot& slot : slots_) {
        if (slot.outstanding && slot.handle == handle && slot.pipe == pipe) slot.outstanding = false;
    }
}

Action Fuzzer::DoRead() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint8_t* destination = rng_.Percent(80) ? destination_->buffer() : nullptr;
    uint32_t* length = rng_.Percent(80) ? ScratchU32(1, 0xDEADBEEF) : nullptr;
    Describe("handle %p, pipe 0x%02X, destination %s, length %s", handle, pipe, destination ? "given" : "null",
             length ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.Read(handle, pipe, destination, length);
    }
    if (r != LWU_READ_EMPTY && r != LWU_READ_OK && r != LWU_READ_FAILED && r != LWU_READ_TOO_LONG) {
        Broken(1, "Read returned %u", r);
    }
    if (handle == INVALID_HANDLE_VALUE && r != LWU_READ_EMPTY && r != LWU_READ_FAILED) {
        Broken(1, "Read on INVALID_HANDLE_VALUE returned %u", r);
    }
    CheckReadFraming(handle);
    if (r != LWU_READ_OK) {
        if (length && *length != 0) Broken(1, "Read returned %u with length %u, not 0", r, *length);
        CheckDestination(0);
        return kRead;
    }
    if (length && (*length == 0 || *length > LWU_MAX_MESSAGE))
        Broken(1, "Read returned LWU_READ_OK with length %u", *length);
    if (destination && length) {
        CheckDestination(*length);
        std::memset(destination, kDestinationByte, *length);
    } else if (destination) {
        // The message length is unknown to the host: refill the whole destination.
        std::memset(destination, kDestinationByte, LWU_MAX_MESSAGE);
    } else {
        CheckDestination(0);
    }
    return kRead;
}

Action Fuzzer::DoWrite() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint32_t length = rng_.Percent(90) ? PickLength(kBigCapacity) : rng_.Pick(kLengthBounds);
    uint8_t* source = nullptr;
    if (rng_.Percent(85)) {
        source = Scratch(0, length);
        std::memset(source, 0x3C, length);
        readOnly_.push_back(length > kScratchCapacity ? big_ : scratch_[0]);
    }
    Describe("handle %p, pipe 0x%02X, source %s, length %u", handle, pipe, source ? "given" : "null", length);
    uint32_t r;
    {
        Timed t;
        r = api.Write(handle, pipe, source, length);
    }
    if (r != 0 && r != 1) Broken(1, "Write returned %u", r);
    if (handle == INVALID_HANDLE_VALUE && r != 0) Broken(1, "Write on INVALID_HANDLE_VALUE returned %u", r);
    CheckWriteFraming(handle, source, length, r);
    return kWrite;
}

Action Fuzzer::DoControl(bool read) {
    const Action called = read ? kControlRead : kControlWrite;
    void* handle = PickHandle();
    uint8_t type = static_cast<uint8_t>(rng_.Percent(70) ? 2 : rng_.Below(256));
    uint8_t recipient = static_cast<uint8_t>(rng_.Percent(70) ? 1 : rng_.Below(256));
    uint8_t request = static_cast<uint8_t>(rng_.Percent(70) ? 0x80 + rng_.Below(7) : rng_.Below(256));
    uint16_t value = static_cast<uint16_t>(rng_.Percent(70) ? 0 : rng_.Below(0x10000));
    uint16_t index = static_cast<uint16_t>(rng_.Percent(70) ? 0 : rng_.Below(0x10000));
    uint16_t length = static_cast<uint16_t>(PickLength(0xFFFF));
    uint8_t* buffer = nullptr;
    if (rng_.Percent(88)) {
        buffer = Scratch(0, length);
        std::memset(buffer, 0, length);
        // A host-to-device request only reads the buffer; the bits of type and recipient are not
        // masked, so they can make a request an IN one that fills it.
        uint8_t requestType = static_cast<uint8_t>((((read ? 1 : 0) << 2 | type) << 5) | recipient);
        if (!(requestType & 0x80)) readOnly_.push_back(scratch_[0]);
    }
    Describe("handle %p, type %u, recipient %u, request 0x%02X, value %u, index %u, buffer %s, length %u", handle, type,
             recipient, request, value, index, buffer ? "given" : "null", length);
    uint32_t r;
    {
        Timed t;
        r = read ? api.ControlRead(handle, type, recipient, request, value, index, buffer, length)
                 : api.ControlWrite(handle, type, recipient, request, value, index, buffer, length);
    }
    if (handle == INVALID_HANDLE_VALUE && r != 0)
        Broken(1, "a control export on INVALID_HANDLE_VALUE returned 0x%X", r);
    if (r != 0 && r != LWU_SHORT_READ && (!IsWin32(r) || r == ERROR_IO_PENDING)) Broken(1, "returned 0x%X", r);
    if (handle != INVALID_HANDLE_VALUE) CheckPassedOn("WinUsb_ControlTransfer", r, 0, LWU_SHORT_READ);
    return called;
}

Action Fuzzer::DoPipeTransfer(bool read) {
    const Action called = read ? kPipeRead : kPipeWrite;
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    Slot* slot = rng_.Percent(30) ? FreeSlot() : nullptr;
    uint32_t length = PickLength(slot ? kSlotCapacity : kBigCapacity);
    uint8_t* buffer = nullptr;
    bool withBuffer = rng_.Percent(88);
    if (!withBuffer && rng_.Percent(30)) length = rng_.Percent(50) ? 0xFFFFFFFFu : 0x80000000u;
    GuardedRegion* bufferRegion = nullptr;
    if (withBuffer) {
        if (slot) {
            buffer = slot->bufRegion->Place(length, placement_);
            bufferRegion = slot->bufRegion;
        } else {
            buffer = Scratch(0, length);
            bufferRegion = length > kScratchCapacity ? big_ : scratch_[0];
        }
        // Zeros: what the library shows of a read buffer as text is then what the device sent.
        std::memset(buffer, read ? 0 : 0x3C, length);
        if (!read) readOnly_.push_back(bufferRegion);
    }
    uint32_t* transferred = rng_.Percent(60) ? ScratchU32(2, 0xDEADBEEF) : nullptr;
    OVERLAPPED* overlapped = nullptr;
    if (slot) {
        std::memset(slot->overlapped, 0, sizeof(OVERLAPPED));
        if (rng_.Percent(70)) {
            ResetEvent(slot->event);
            slot->overlapped->hEvent = slot->event;
        }
        overlapped = slot->overlapped;
    }
    Describe("handle %p, pipe 0x%02X, buffer %s, length %u, transferred %s, overlapped %s", handle, pipe,
             buffer ? "given" : "null", length, transferred ? "given" : "null", overlapped ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = read ? api.PipeRead(handle, pipe, buffer, length, transferred, overlapped)
                 : api.PipeWrite(handle, pipe, buffer, length, transferred, overlapped);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE, not LWU_BAD_HANDLE", r);
        return called;
    }
    if (read && (length == 0 || !buffer) && r != 0) Broken(1, "PipeRead with no buffer or length 0 returned 0x%X", r);
    if (!read && length == 0 && r != 0) Broken(1, "PipeWrite of length 0 returned 0x%X", r);
    if (!read && length != 0 && !buffer && r != LWU_BAD_ARGUMENT) {
        Broken(1, "PipeWrite of %u bytes from a null buffer returned 0x%X, not LWU_BAD_ARGUMENT", length, r);
    }
    uint32_t shortCode = read ? LWU_SHORT_READ : LWU_SHORT_WRITE;
    bool documented = r == 0 || (r == shortCode && !transferred) || (r == LWU_BAD_ARGUMENT && !read) ||
                      (IsWin32(r) && (r != ERROR_IO_PENDING || overlapped));
    if (!documented) Broken(1, "returned 0x%X", r);
    if (transferred && *transferred != 0xDEADBEEF && *transferred > length) {
        Broken(1, "reported %u bytes transferred for a buffer of %u", *transferred, length);
    }
    if (length != 0 && buffer)
        CheckPassedOn(read ? "WinUsb_ReadPipe" : "WinUsb_WritePipe", r, 0, transferred ? 0 : shortCode);
    if (slot && r == ERROR_IO_PENDING) {
        slot->outstanding = true;
        slot->handle = handle;
        slot->pipe = pipe;
        slot->buffer = buffer;
        slot->length = length;
    }
    return called;
}

Action Fuzzer::DoGetPipeOverlappedResult() {
    void* handle = PickHandle();
    Slot* slot = &slots_[rng_.Below(kSlots)];
    OVERLAPPED* overlapped = rng_.Percent(90) ? slot->overlapped : nullptr;
    if (overlapped && !slot->outstanding && rng_.Percent(30)) {
        // One never started, or long finished.
        if (rng_.Percent(50)) std::memset(overlapped, 0, sizeof *overlapped);
    }
    uint32_t* transferred = rng_.Percent(90) ? ScratchU32(2, rng_.Percent(50) ? 0 : 0xDEADBEEF) : nullptr;
    // Waiting is for transfers known to be over: a device may never complete the others.
    int32_t wait = overlapped && !slot->outstanding && rng_.Percent(50) ? 1 : 0;
    Describe("handle %p, overlapped %s%s, transferred %s, wait %d", handle, overlapped ? "given" : "null",
             overlapped && slot->outstanding ? " (outstanding)" : "", transferred ? "given" : "null", wait);
    uint32_t r;
    {
        Timed t;
        r = api.GetPipeOverlappedResult(handle, overlapped, transferred, wait);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE, not LWU_BAD_HANDLE", r);
        return kGetPipeOverlappedResult;
    }
    if (!overlapped || !transferred) {
        if (r != LWU_BAD_ARGUMENT) Broken(1, "returned 0x%X for a null pointer, not LWU_BAD_ARGUMENT", r);
        return kGetPipeOverlappedResult;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_GetOverlappedResult", r, 0);
    if (r == 0 && slot->outstanding && *transferred > slot->length) {
        Broken(1, "reported %u bytes of a transfer of %u", *transferred, slot->length);
    }
    return kGetPipeOverlappedResult;
}

}  // namespace usbfuzz
