// Control requests, bulk transfers and the framed message exchange.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "guard.h"
#include "handles.h"
#include "internal.h"
#include "protocol.h"

namespace lwu {

namespace {

enum class Direction { In, Out };

constexpr size_t kShownPiece = 4096;

// "Read from pipe %d: <text> \nActual data read: %d.\n", the text being the buffer up to its
// first zero byte and never past its length. Written in pieces: a printf precision is an int,
// which cannot bound every length, and a C runtime writes a precision-bounded string to an
// unbuffered stream (a console) one byte at a time.
void ShowRead(uint8_t pipeId, const void* buffer, uint32_t length, ULONG count) {
    const char* text = static_cast<const char*>(buffer);
    const void* end = std::memchr(buffer, 0, length);
    const size_t shown = end ? static_cast<size_t>(static_cast<const char*>(end) - text) : length;
    char line[64];
    int n = std::snprintf(line, sizeof line, "Read from pipe %d: ", static_cast<int>(pipeId));
    if (n > 0) std::fwrite(line, 1, static_cast<size_t>(n), stdout);
    for (size_t at = 0; at < shown; at += kShownPiece)
        std::fwrite(text + at, 1, std::min(kShownPiece, shown - at), stdout);
    n = std::snprintf(line, sizeof line, " \nActual data read: %d.\n", static_cast<int>(count));
    if (n > 0) std::fwrite(line, 1, static_cast<size_t>(n), stdout);
}

// The shared body of PipeRead and PipeWrite.
uint32_t PipeTransfer(Direction direction, void* handle, uint8_t pipeId, void* buffer, uint32_t length,
                      uint32_t* transferred, OVERLAPPED* overlapped) {
    if (IsInvalid(handle)) return LWU_BAD_HANDLE;
    if (direction == Direction::Out) {
        if (length == 0) return 0;
        if (!buffer) return LWU_BAD_ARGUMENT;
    } else if (length == 0 || !buffer) {
        return 0;
    }
    ULONG count = 0;
    auto bytes = static_cast<PUCHAR>(buffer);
    BOOL ok = direction == Direction::In ? WinUsb_ReadPipe(handle, pipeId, bytes, length, &count, overlapped)
                                         : WinUsb_WritePipe(handle, pipeId, bytes, length, &count, overlapped);
    uint32_t status = ok ? 0 : FailureCode(GetLastError());
    if (direction == Direction::In) {
        ShowRead(pipeId, buffer, length, count);
    } else {
        std::printf("Wrote to pipe %d: %d bytes\nActual data transferred: %d.\n", pipeId, static_cast<int>(length),
                    static_cast<int>(count));
    }
    WinUsb_ResetPipe(handle, pipeId);
    if (transferred) {
        *transferred = count;
        return status;
    }
    // Beside an OVERLAPPED the count WinUSB stores means nothing, also when the transfer finished
    // at once: its count comes from GetPipeOverlappedResult, and no short transfer is judged here.
    if (ok && !overlapped && count != length) return direction == Direction::In ? LWU_SHORT_READ : LWU_SHORT_WRITE;
    return status;
}

uint32_t ReadMessage(void* handle, uint8_t pipeId, void* destination, uint32_t* length) {
    if (length) *length = 0;
    if (protocolVersion == 0) {
        uint8_t status = 3;
        if (VendorRequest(handle, kDirectionIn, kRequestStatus, &status, 1) != 0) return LWU_READ_FAILED;
        if (status > 2) return LWU_READ_FAILED;
    }
    uint32_t announced = 0;
    if (VendorRequest(handle, kDirectionIn, kRequestLength, &announced, 4) != 0) return LWU_READ_FAILED;
    if (announced == 0) return LWU_READ_EMPTY;
    if (announced > LWU_MAX_MESSAGE) return LWU_READ_TOO_LONG;
    LocalMemory temporary(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, announced));
    if (!temporary.get()) return LWU_READ_FAILED;   // nothing received, nothing copied
    if (PipeTransfer(Direction::In, handle, pipeId, temporary.get(), announced, nullptr, nullptr) != 0)
        return LWU_READ_FAILED;
    if (destination) std::memcpy(destination, temporary.get(), announced);
    if (length) *length = announced;
    return LWU_READ_OK;
}

uint32_t WriteMessage(void* handle, uint8_t pipeId, const void* source, uint32_t length) {
    switch (protocolVersion) {
    case 0:
        if (VendorRequest(handle, kDirectionOut, kRequestSession, nullptr, 0) != 0) return 0;
        break;
    case 1: {
        uint8_t announced[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
        if (VendorRequest(handle, kDirectionOut, kRequestWriteLength, announced, 4) != 0) return 0;
        break;
    }
    case 2:
        break;
    default:
        return 0;
    }
    if (PipeTransfer(Direction::Out, handle, pipeId, const_cast<void*>(source), length, nullptr, nullptr) != 0)
        return 0;
    if (protocolVersion == 0) return VendorRequest(handle, kDirectionOut, kRequestWriteDone, nullptr, 0) == 0 ? 1 : 0;
    return 1;
}

}  // namespace

uint32_t ControlRequest(void* handle, uint8_t direction, uint8_t type, uint8_t recipient, uint8_t request,
                        uint16_t value, uint16_t index, void* buffer, uint16_t length) {
    if (IsInvalid(handle)) return 0;
    WINUSB_SETUP_PACKET setup{};
    setup.RequestType = static_cast<UCHAR>(((direction << 2 | type) << 5) | recipient);
    setup.Request = request;
    setup.Value = value;
    setup.Index = index;
    setup.Length = length;
    ULONG transferred = 0;
    if (!WinUsb_ControlTransfer(handle, setup, static_cast<PUCHAR>(buffer), setup.Length, &transferred, nullptr))
        return FailureCode(GetLastError());
    return transferred != length ? LWU_SHORT_READ : 0;
}

}  // namespace lwu

using namespace lwu;

extern "C" {

uint32_t LWU_CALL ControlRead(void* handle, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value,
                              uint16_t index, void* buffer, uint16_t length) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] {
        return ControlRequest(handle, kDirectionIn, type, recipient, request, value, index, buffer, length);
    });
}

uint32_t LWU_CALL ControlWrite(void* handle, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value,
                               uint16_t index, void* buffer, uint16_t length) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] {
        return ControlRequest(handle, kDirectionOut, type, recipient, request, value, index, buffer, length);
    });
}

uint32_t LWU_CALL PipeRead(void* handle, uint8_t pipeId, void* buffer, uint32_t length, uint32_t* transferred,
                           OVERLAPPED* overlapped) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] {
        return PipeTransfer(Direction::In, handle, pipeId, buffer, length, transferred, overlapped);
    });
}

uint32_t LWU_CALL PipeWrite(void* handle, uint8_t pipeId, const void* buffer, uint32_t length, uint32_t* transferred,
                            OVERLAPPED* overlapped) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] {
        return PipeTransfer(Direction::Out, handle, pipeId, const_cast<void*>(buffer), length, transferred, overlapped);
    });
}

uint32_t LWU_CALL Read(void* handle, uint8_t pipeId, void* destination, uint32_t* length) {
    return Guarded<uint32_t>(LWU_READ_FAILED, [&] { return ReadMessage(handle, pipeId, destination, length); });
}

uint32_t LWU_CALL Write(void* handle, uint8_t pipeId, const void* source, uint32_t length) {
    return Guarded<uint32_t>(0, [&] { return WriteMessage(handle, pipeId, source, length); });
}

}  // extern "C"
