/* varkousb.dll, the Windows side: transfers and pipe operations. The checks WinUSB makes before
   a transfer reaches the device are made here; the transfer itself runs on the Unix side as
   libusb transfers with the pipe's policies as flags. Overlapped transfers return FALSE with
   ERROR_IO_PENDING and are completed by the Unix side's event thread (OVERLAPPED then event);
   one that finished before reaching the device (left-over bytes, a zero-length read) completes
   at once: TRUE, its OVERLAPPED complete and its event set. Beside an OVERLAPPED the count
   WinUSB stores means nothing (0 here); WinUsb_GetOverlappedResult gives it. */
#include <string.h>

#include "winusb_internal.h"

/* A transfer's outcome as WinUSB returns it. */
static BOOL Outcome(const struct TransferArgs* a, BOOL reached, PULONG transferred, LPOVERLAPPED overlapped) {
    if (transferred) *transferred = 0;
    if (!reached) return BridgeFail(ERROR_NOT_SUPPORTED);
    if (a->error) return BridgeFail(a->error);
    if (overlapped && a->pending) return BridgeFail(ERROR_IO_PENDING);
    DWORD error = BridgeWin32FromStatus(a->status);
    if (overlapped) {
        overlapped->InternalHigh = a->moved;
        overlapped->Internal = a->status;
        if (overlapped->hEvent) SetEvent((HANDLE)((ULONG_PTR)overlapped->hEvent & ~(ULONG_PTR)1));
    } else if (transferred) {
        *transferred = a->moved;
    }
    return error ? BridgeFail(error) : TRUE;
}

/* As the I/O manager does when an overlapped request starts: its event is reset. */
static void StartOverlapped(LPOVERLAPPED overlapped) {
    if (overlapped && overlapped->hEvent) ResetEvent((HANDLE)((ULONG_PTR)overlapped->hEvent & ~(ULONG_PTR)1));
}

static uint32_t FlagsOf(const struct Pipe* p) {
    const struct PipePolicies* q = &p->policies;
    uint32_t f = 0;
    if (q->allowPartialReads) f |= BRIDGE_PARTIAL_READS;
    if (q->autoFlush) f |= BRIDGE_AUTO_FLUSH;
    if (q->ignoreShortPackets) f |= BRIDGE_IGNORE_SHORT;
    if (q->shortPacketTerminate) f |= BRIDGE_SHORT_TERMINATE;
    if (q->autoClearStall) f |= BRIDGE_AUTO_CLEAR_STALL;
    if (p->info.PipeType == UsbdPipeTypeInterrupt) f |= BRIDGE_INTERRUPT;
    return f;
}

static BOOL PipeTransfer(BOOL isRead, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer, ULONG length,
                         PULONG transferred, LPOVERLAPPED overlapped) {
    struct TransferArgs a;
    memset(&a, 0, sizeof a);
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    struct Pipe* p = i ? BridgePipe(i, pipeId) : NULL;
    DWORD error = 0;
    if (!i) error = ERROR_INVALID_HANDLE;
    else if (!p || ((pipeId & 0x80) != 0) != (isRead != FALSE)) error = ERROR_INVALID_PARAMETER;
    else if (length && !buffer) error = ERROR_NOACCESS;
    else if (p->policies.rawIo && (!p->info.MaximumPacketSize || length % p->info.MaximumPacketSize != 0 ||
                                   length > BRIDGE_MAXIMUM_TRANSFER_SIZE))
        error = ERROR_INVALID_PARAMETER;   /* RAW_IO row: whole packets, at most the maximum transfer size */
    else {
        a.device = i->device;
        a.endpoint = pipeId;
        a.buffer = buffer;
        a.length = length;
        /* The PIPE_TRANSFER_TIMEOUT row: 0 (the bulk default) waits without limit. */
        a.timeoutMs = p->policies.timeout;
        a.flags = FlagsOf(p);
        a.maxPacket = p->info.MaximumPacketSize;
        a.overlapped = (struct BridgeOverlapped*)overlapped;
    }
    LeaveCriticalSection(&bridgeLock);
    if (error) {
        if (transferred) *transferred = 0;
        return BridgeFail(error);
    }
    StartOverlapped(overlapped);
    BOOL reached = BridgeCall(kCallTransfer, &a);
    return Outcome(&a, reached, transferred, overlapped);
}

__declspec(dllexport) BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                  ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    return PipeTransfer(TRUE, handle, pipeId, buffer, bufferLength, transferred, overlapped);
}

__declspec(dllexport) BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                                   ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped) {
    return PipeTransfer(FALSE, handle, pipeId, buffer, bufferLength, transferred, overlapped);
}

__declspec(dllexport) BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                                         PUCHAR buffer, ULONG bufferLength, PULONG transferred,
                                                         LPOVERLAPPED overlapped) {
    struct TransferArgs a;
    memset(&a, 0, sizeof a);
    ULONG wanted = setup.Length < bufferLength ? setup.Length : bufferLength;
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    DWORD error = 0;
    if (!i) error = ERROR_INVALID_HANDLE;
    else if (wanted && !buffer) error = ERROR_NOACCESS;
    else if (wanted > BRIDGE_MAX_CONTROL) error = ERROR_INVALID_PARAMETER;   /* the 4 KB row; nothing sent */
    else {
        USHORT index = setup.Index;
        /* The wIndex row: for requests to the interface, WinUSB puts its interface number in the
           low byte. */
        if ((setup.RequestType & 0x1F) == 1) index = (USHORT)((index & 0xFF00) | i->interfaceNumber);
        a.device = i->device;
        a.setup[0] = setup.RequestType;
        a.setup[1] = setup.Request;
        a.setup[2] = (UCHAR)(setup.Value & 0xFF);
        a.setup[3] = (UCHAR)(setup.Value >> 8);
        a.setup[4] = (UCHAR)(index & 0xFF);
        a.setup[5] = (UCHAR)(index >> 8);
        a.setup[6] = (UCHAR)(wanted & 0xFF);
        a.setup[7] = (UCHAR)(wanted >> 8);
        a.buffer = buffer;
        a.length = wanted;
        a.timeoutMs = i->control.timeout;   /* 5 s unless PIPE_TRANSFER_TIMEOUT on pipe 0 set another */
        a.overlapped = (struct BridgeOverlapped*)overlapped;
    }
    LeaveCriticalSection(&bridgeLock);
    if (error) {
        if (transferred) *transferred = 0;
        return BridgeFail(error);
    }
    StartOverlapped(overlapped);
    BOOL reached = BridgeCall(kCallTransfer, &a);
    return Outcome(&a, reached, transferred, overlapped);
}

/* Reset, flush and abort share one shape: a valid handle and pipe, then the Unix side's effect. */
static BOOL PipeOperation(enum BridgeCall call, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    BOOL known = i && BridgePipe(i, pipeId);
    uint32_t device = i ? i->device : 0;
    LeaveCriticalSection(&bridgeLock);
    if (!i) return BridgeFail(ERROR_INVALID_HANDLE);
    if (!known) return BridgeFail(ERROR_INVALID_PARAMETER);
    DWORD error;
    if (call == kCallCancel) {
        struct CancelArgs c = {device, pipeId, 0};
        error = BridgeCall(call, &c) ? c.error : ERROR_NOT_SUPPORTED;
    } else {
        struct PipeArgs c = {device, pipeId, 0};
        error = BridgeCall(call, &c) ? c.error : ERROR_NOT_SUPPORTED;
    }
    return error ? BridgeFail(error) : TRUE;
}

/* CLEAR_FEATURE(ENDPOINT_HALT) and the host side's data toggle: the halt row, a stalled pipe
   stays halted until it is reset. A transfer pending on the pipe is left as the stack leaves it
   (the world does not model that either). */
__declspec(dllexport) BOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    return PipeOperation(kCallClearHalt, handle, pipeId);
}

/* Drops what an earlier read left over (ALLOW_PARTIAL_READS row). */
__declspec(dllexport) BOOL WINAPI WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    return PipeOperation(kCallFlush, handle, pipeId);
}

/* WinUsb_AbortPipe row: every transfer under way on the pipe ends with ERROR_OPERATION_ABORTED,
   overlapped or synchronous, whatever thread waits in it; the call returns once they have. */
__declspec(dllexport) BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId) {
    return PipeOperation(kCallCancel, handle, pipeId);
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                                             LPDWORD transferred, BOOL wait) {
    EnterCriticalSection(&bridgeLock);
    BOOL known = BridgeInterface(handle) != NULL;
    LeaveCriticalSection(&bridgeLock);
    if (!known) return BridgeFail(ERROR_INVALID_HANDLE);
    if (!overlapped || !transferred) return BridgeFail(ERROR_INVALID_PARAMETER);
    volatile ULONG_PTR* status = &overlapped->Internal;
    if (*status == BRIDGE_STATUS_PENDING) {
        if (!wait) return BridgeFail(ERROR_IO_INCOMPLETE);
        /* As GetOverlappedResult does: a wait on the caller's event. Without one, or when the
           event was set by someone else, the Unix side waits for the completion itself. */
        if (overlapped->hEvent)
            WaitForSingleObject((HANDLE)((ULONG_PTR)overlapped->hEvent & ~(ULONG_PTR)1), INFINITE);
        if (*status == BRIDGE_STATUS_PENDING) {
            struct WaitArgs w = {(struct BridgeOverlapped*)overlapped};
            BridgeCall(kCallWaitOverlapped, &w);
        }
    }
    MemoryBarrier();
    *transferred = (DWORD)overlapped->InternalHigh;
    DWORD error = BridgeWin32FromStatus((uint32_t)*status);
    return error ? BridgeFail(error) : TRUE;
}
