// Opening and closing a device session, and the protocol handshake.
#include "guard.h"
#include "internal.h"
#include "protocol.h"

namespace lwu {

uint8_t protocolVersion = 0;
PipeEntry PipeTable[kPipeTableSize] = {};

namespace {

void Handshake(void* handle) {
    // Received apart: a request that fails may still leave its byte in the buffer, and then the
    // version in force must stay what it was.
    uint8_t version = 0;
    if (VendorRequest(handle, kDirectionIn, kRequestVersion, &version, 1) != 0) return;
    protocolVersion = version;
    uint32_t identity = 0;   // the firmware's own value; not interpreted here
    if (VendorRequest(handle, kDirectionIn, kRequestIdentify, &identity, 4) != 0) return;
    VendorRequest(handle, kDirectionOut, kRequestSession, nullptr, 0);
}

uint32_t Open(DeviceSession* session, const char* path) {
    session->isOpen = 0;
    session->fileHandle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (session->fileHandle == INVALID_HANDLE_VALUE) {
        uint32_t code = FailureCode(GetLastError());
        WriteDiagnostic("CreateFile failed: ", LastErrorText());
        return HresultFromWin32(code);
    }
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    BOOL ok = WinUsb_Initialize(session->fileHandle, &handle);
    session->interfaceHandle = handle;
    if (!ok) {
        uint32_t code = FailureCode(GetLastError());
        WriteDiagnostic("WinUsb_Initialize failed: ", LastErrorText());
        CloseHandle(session->fileHandle);
        return HresultFromWin32(code);
    }
    session->isOpen = 1;
    Handshake(session->interfaceHandle);
    return 0;
}

}  // namespace
}  // namespace lwu

using namespace lwu;

extern "C" {

uint32_t LWU_CALL OpenDevice(DeviceSession* session, const char* path) {
    if (!session) return LWU_BAD_ARGUMENT;
    return Guarded<uint32_t>(LWU_BAD_ARGUMENT, [&] { return Open(session, path); });
}

void LWU_CALL CloseDevice(DeviceSession* session) {
    if (!session || session->isOpen == 0) return;
    GuardedVoid([&] {
        VendorRequest(session->interfaceHandle, kDirectionOut, kRequestSession, nullptr, 0);
        for (const PipeEntry& entry : PipeTable) {
            if (entry.pipeId == kNoPipe) continue;
            WinUsb_FlushPipe(session->interfaceHandle, entry.pipeId);
            WinUsb_ResetPipe(session->interfaceHandle, entry.pipeId);
        }
        WinUsb_Free(session->interfaceHandle);
        CloseHandle(session->fileHandle);
        session->isOpen = 0;
    });
}

}  // extern "C"
