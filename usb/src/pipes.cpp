// Pipe, policy and descriptor operations: each a thin guard around one WinUSB call that turns
// its outcome into the library's status convention.
#include <string>

#include "guard.h"
#include "internal.h"

namespace lwu {

namespace {

// 0 when the WinUSB call succeeded, else the thread's last Win32 error (see FailureCode).
inline uint32_t StatusOf(BOOL ok) { return ok ? 0 : FailureCode(GetLastError()); }

// The length WinUSB is offered for the transfer time-out: the size of a pointer of the build.
constexpr ULONG kTimeoutValueLength = sizeof(void*);

uint32_t OverlappedResult(void* handle, OVERLAPPED* overlapped, uint32_t* transferred, int32_t wait) {
    if (IsInvalid(handle)) return LWU_BAD_HANDLE;
    if (!overlapped || !transferred) return LWU_BAD_ARGUMENT;
    DWORD count = *transferred;
    BOOL ok = WinUsb_GetOverlappedResult(handle, overlapped, &count, wait);
    uint32_t status = StatusOf(ok);
    *transferred = count;
    return status;
}

uint32_t SetTimeout(void* handle, uint8_t pipeId, uint32_t timeoutMs) {
    if (IsInvalid(handle)) return LWU_BAD_HANDLE;
    if (timeoutMs == 0) return LWU_BAD_ARGUMENT;   // WinUSB would read 0 as "no time-out"
    ULONG value = timeoutMs;
    if (WinUsb_SetPipePolicy(handle, pipeId, PIPE_TRANSFER_TIMEOUT, sizeof value, &value)) return 0;
    uint32_t code = FailureCode(GetLastError());
    WriteDiagnostic("FAILED to SET pipe policy: ", LastErrorText() + "\n");
    return code;
}

uint32_t GetTimeout(void* handle, uint8_t pipeId, void* value) {
    if (IsInvalid(handle)) return LWU_BAD_HANDLE;
    ULONG length = kTimeoutValueLength;
    return StatusOf(WinUsb_GetPipePolicy(handle, pipeId, PIPE_TRANSFER_TIMEOUT, &length, value));
}

uint32_t GetPolicy(void* handle, uint8_t pipeId, uint32_t policyType, uint32_t* valueLength, void* value) {
    if (IsInvalid(handle)) return LWU_BAD_HANDLE;
    if (!valueLength) return StatusOf(WinUsb_GetPipePolicy(handle, pipeId, policyType, nullptr, value));
    ULONG length = *valueLength;
    uint32_t status = StatusOf(WinUsb_GetPipePolicy(handle, pipeId, policyType, &length, value));
    *valueLength = length;
    return status;
}

// The reason of a failure stays in the thread's last error, where WinUSB put it: nothing after
// the call sets it.
uint32_t DeviceDescriptor(void* handle, void* buffer, uint32_t bufferLength, uint32_t* transferred) {
    ULONG count = transferred ? *transferred : 0;
    BOOL ok = WinUsb_GetDescriptor(handle, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, static_cast<PUCHAR>(buffer), bufferLength,
                                   transferred ? &count : nullptr);
    if (transferred) *transferred = count;
    return static_cast<uint32_t>(ok);
}

}  // namespace
}  // namespace lwu

using namespace lwu;

extern "C" {

uint32_t LWU_CALL GetPipeOverlappedResult(void* handle, OVERLAPPED* overlapped, uint32_t* transferred, int32_t wait) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] { return OverlappedResult(handle, overlapped, transferred, wait); });
}

uint32_t LWU_CALL PipeAbort(void* handle, uint8_t pipeId) {
    return IsInvalid(handle) ? LWU_BAD_HANDLE : StatusOf(WinUsb_AbortPipe(handle, pipeId));
}

uint32_t LWU_CALL PipeFlush(void* handle, uint8_t pipeId) {
    return IsInvalid(handle) ? LWU_BAD_HANDLE : StatusOf(WinUsb_FlushPipe(handle, pipeId));
}

uint32_t LWU_CALL PipeReset(void* handle, uint8_t pipeId) {
    if (IsInvalid(handle)) return LWU_BAD_HANDLE;
    BOOL ok = WinUsb_ResetPipe(handle, pipeId);
    if (ok) return static_cast<uint32_t>(ok);   // success reads as WinUSB's own TRUE
    uint32_t code = FailureCode(GetLastError());
    // ERROR_INVALID_FUNCTION (1), how an unsupported request comes back, would read as success.
    return code == ERROR_INVALID_FUNCTION ? static_cast<uint32_t>(ERROR_NOT_SUPPORTED) : code;
}

uint32_t LWU_CALL SetPipePolicy(void* handle, uint8_t pipeId, uint32_t policyType, uint32_t valueLength, void* value) {
    return IsInvalid(handle) ? LWU_BAD_HANDLE
                             : StatusOf(WinUsb_SetPipePolicy(handle, pipeId, policyType, valueLength, value));
}

uint32_t LWU_CALL GetPipePolicy(void* handle, uint8_t pipeId, uint32_t policyType, uint32_t* valueLength, void* value) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] { return GetPolicy(handle, pipeId, policyType, valueLength, value); });
}

uint32_t LWU_CALL SetTransferTimeoutPolicy(void* handle, uint8_t pipeId, uint32_t timeoutMs) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] { return SetTimeout(handle, pipeId, timeoutMs); });
}

uint32_t LWU_CALL GetTransferTimeoutPolicy(void* handle, uint8_t pipeId, void* value) {
    return Guarded<uint32_t>(ERROR_NOT_ENOUGH_MEMORY, [&] { return GetTimeout(handle, pipeId, value); });
}

uint32_t LWU_CALL GetDeviceDescriptor(void* handle, void* buffer, uint32_t bufferLength, uint32_t* transferred) {
    return Guarded<uint32_t>(0, [&] { return DeviceDescriptor(handle, buffer, bufferLength, transferred); });
}

}  // extern "C"
