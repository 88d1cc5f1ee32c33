/* varkousb.dll, the Windows side: pipe policies and descriptors. Policies are WinUSB's own
   state, kept here per pipe as the rows of docs/platform-contracts.md under "WinUSB's limits and
   policies" describe them; the Unix side gets them as flags with each transfer. Descriptors come
   from the device itself, through a GET_DESCRIPTOR request on the default pipe. */
#include <string.h>

#include "winusb_internal.h"

/* Value size of a documented pipe policy (booleans one byte, the rest ULONG); 0 for others. */
static ULONG PolicySize(ULONG type) {
    switch (type) {
    case SHORT_PACKET_TERMINATE: case AUTO_CLEAR_STALL: case IGNORE_SHORT_PACKETS: case ALLOW_PARTIAL_READS:
    case AUTO_FLUSH: case RAW_IO: case RESET_PIPE_ON_RESUME:
        return 1;
    case PIPE_TRANSFER_TIMEOUT: case MAXIMUM_TRANSFER_SIZE:
        return 4;
    default:
        return 0;
    }
}

static UCHAR* PolicyByte(struct PipePolicies* p, ULONG type) {
    switch (type) {
    case SHORT_PACKET_TERMINATE: return &p->shortPacketTerminate;
    case AUTO_CLEAR_STALL: return &p->autoClearStall;
    case IGNORE_SHORT_PACKETS: return &p->ignoreShortPackets;
    case ALLOW_PARTIAL_READS: return &p->allowPartialReads;
    case AUTO_FLUSH: return &p->autoFlush;
    case RAW_IO: return &p->rawIo;
    case RESET_PIPE_ON_RESUME: return &p->resetPipeOnResume;
    default: return NULL;
    }
}

/* Policies exist for the default control pipe too, pipe 0 (bridgeLock held). */
static struct PipePolicies* PoliciesOf(struct Interface* i, UCHAR pipeId) {
    if (pipeId == 0) return &i->control;
    struct Pipe* p = BridgePipe(i, pipeId);
    return p ? &p->policies : NULL;
}

__declspec(dllexport) BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type,
                                                       ULONG length, PVOID value) {
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    struct PipePolicies* p = i ? PoliciesOf(i, pipeId) : NULL;
    ULONG size = PolicySize(type);
    DWORD error = 0;
    if (!i) error = ERROR_INVALID_HANDLE;
    else if (!p || !size || type == MAXIMUM_TRANSFER_SIZE || length < size) error = ERROR_INVALID_PARAMETER;   /* read-only */
    else if (!value) error = ERROR_NOACCESS;
    else if (type == PIPE_TRANSFER_TIMEOUT) memcpy(&p->timeout, value, 4);
    else *PolicyByte(p, type) = *(const UCHAR*)value;
    LeaveCriticalSection(&bridgeLock);
    return error ? BridgeFail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type,
                                                       PULONG length, PVOID value) {
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    struct PipePolicies* p = i ? PoliciesOf(i, pipeId) : NULL;
    ULONG size = PolicySize(type);
    DWORD error = 0;
    if (!i) error = ERROR_INVALID_HANDLE;
    else if (!p || !size || !length) error = ERROR_INVALID_PARAMETER;
    else if (*length < size) {
        error = ERROR_INSUFFICIENT_BUFFER;
        *length = size;
    } else if (!value) error = ERROR_NOACCESS;
    else {
        ULONG word = type == PIPE_TRANSFER_TIMEOUT ? p->timeout : BRIDGE_MAXIMUM_TRANSFER_SIZE;
        if (size == 4) memcpy(value, &word, 4);   /* only the value's own size: the rest of the buffer stays */
        else *(UCHAR*)value = *PolicyByte(p, type);
        *length = size;
    }
    LeaveCriticalSection(&bridgeLock);
    return error ? BridgeFail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index,
                                                       USHORT language, PUCHAR buffer, ULONG bufferLength,
                                                       PULONG transferred) {
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    uint32_t device = i ? i->device : 0;
    ULONG timeout = i ? i->control.timeout : 0;
    LeaveCriticalSection(&bridgeLock);
    if (transferred) *transferred = 0;
    if (!i) return BridgeFail(ERROR_INVALID_HANDLE);
    if (bufferLength && !buffer) return BridgeFail(ERROR_NOACCESS);
    /* The request asks for more than the buffer holds, so that a descriptor too large for it is
       seen whole: GetDescriptor row, no data is copied into a buffer too small for it. */
    USHORT asked = type == USB_STRING_DESCRIPTOR_TYPE ? 255 : (USHORT)BRIDGE_MAX_CONTROL;
    UCHAR* whole = HeapAlloc(GetProcessHeap(), 0, BRIDGE_MAX_CONTROL);
    if (!whole) return BridgeFail(ERROR_NOT_ENOUGH_MEMORY);
    struct TransferArgs a;
    memset(&a, 0, sizeof a);
    a.device = device;
    a.setup[0] = 0x80;   /* standard, to the device, IN */
    a.setup[1] = 6;      /* GET_DESCRIPTOR */
    a.setup[2] = index;
    a.setup[3] = type;
    a.setup[4] = (UCHAR)(language & 0xFF);
    a.setup[5] = (UCHAR)(language >> 8);
    a.setup[6] = (UCHAR)(asked & 0xFF);
    a.setup[7] = (UCHAR)(asked >> 8);
    a.buffer = whole;
    a.length = asked;
    a.timeoutMs = timeout;
    DWORD error = 0;
    if (!BridgeCall(kCallTransfer, &a)) error = ERROR_NOT_SUPPORTED;
    else if (a.error) error = a.error;
    else if ((error = BridgeWin32FromStatus(a.status)) != 0) {
    } else if (a.moved > bufferLength) {
        error = ERROR_INSUFFICIENT_BUFFER;
    } else {
        if (a.moved) memcpy(buffer, whole, a.moved);
        if (transferred) *transferred = a.moved;
    }
    HeapFree(GetProcessHeap(), 0, whole);
    return error ? BridgeFail(error) : TRUE;
}
