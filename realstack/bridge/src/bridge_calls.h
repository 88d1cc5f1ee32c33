/* The plain C interface between varkousb.dll's Windows side (winusb_*.c, built for PE) and its
   Unix side (engine_*.c, built as an ELF object that calls libusb). Both sides include only
   this header and <stdint.h>: libusb.h must never meet windows.h (under _WIN32 it declares its
   functions WINAPI), and the Windows headers must never reach the Unix side.
   Each call takes one argument block; the Unix side answers in the same block. */
#ifndef VARKOUSB_BRIDGE_CALLS_H
#define VARKOUSB_BRIDGE_CALLS_H

#include <stdint.h>

enum BridgeCall {
    kCallOpen,          /* OpenArgs: file handle -> claimed device */
    kCallClose,         /* DeviceArgs: cancels what is under way, releases, closes */
    kCallPresent,       /* DeviceArgs: error 0 while the device is still there */
    kCallTransfer,      /* TransferArgs: control, bulk or interrupt, synchronous or overlapped */
    kCallCancel,        /* CancelArgs: ends the transfers under way on one endpoint or all */
    kCallClearHalt,     /* PipeArgs: CLEAR_FEATURE(ENDPOINT_HALT) and the host side's reset */
    kCallFlush,         /* PipeArgs: drops what an earlier read left over */
    kCallRunEvents,     /* EventArgs: the event loop; returns when told to stop */
    kCallStopEvents,    /* EventArgs */
    kCallWaitOverlapped,/* WaitArgs: waits until an overlapped transfer without event is done */
    kCallCount
};

/* NTSTATUS values a transfer ends with, as the OVERLAPPED's Internal holds them. */
#define BRIDGE_STATUS_SUCCESS 0x00000000u
#define BRIDGE_STATUS_PENDING 0x00000103u
#define BRIDGE_STATUS_UNSUCCESSFUL 0xC0000001u /* a stall, a device error, data beyond the read */
#define BRIDGE_STATUS_IO_TIMEOUT 0xC00000B5u
#define BRIDGE_STATUS_CANCELLED 0xC0000120u

/* Win32 codes the Unix side reports for failures before a transfer starts. */
#define BRIDGE_ERROR_ACCESS_DENIED 5u
#define BRIDGE_ERROR_NOT_ENOUGH_MEMORY 8u
#define BRIDGE_ERROR_GEN_FAILURE 31u
#define BRIDGE_ERROR_INVALID_FUNCTION 1u
#define BRIDGE_ERROR_INVALID_HANDLE 6u
#define BRIDGE_ERROR_INVALID_PARAMETER 87u
#define BRIDGE_ERROR_SEM_TIMEOUT 121u
#define BRIDGE_ERROR_BUSY 170u
#define BRIDGE_ERROR_OPERATION_ABORTED 995u
#define BRIDGE_ERROR_DEVICE_NOT_CONNECTED 1167u

/* The OVERLAPPED's layout on x64, for the Unix side that completes it. */
struct BridgeOverlapped {
    uint64_t internal;
    uint64_t internalHigh;
    uint64_t offsets;
    uint64_t event;
};

#define BRIDGE_CONFIG_MAX 4096u

struct OpenArgs {
    uint64_t file;                          /* in: the HANDLE from CreateFile */
    uint32_t device;                        /* out: the Unix side's id of the open device */
    uint32_t error;                         /* out: Win32 code, 0 on success */
    uint64_t node;                          /* out: the device node (st_rdev), the same for every open of it */
    uint8_t interfaceNumber;                /* out: the interface claimed (the configuration's first) */
    uint32_t configLength;                  /* out */
    uint8_t config[BRIDGE_CONFIG_MAX];      /* out: the active configuration descriptor, whole */
};

struct DeviceArgs {
    uint32_t device;
    uint32_t error;     /* out */
    uint32_t left;      /* out (close): devices still open */
};

/* Policy bits of a transfer, from the pipe's policies on the Windows side. */
#define BRIDGE_PARTIAL_READS 0x01u
#define BRIDGE_AUTO_FLUSH 0x02u
#define BRIDGE_IGNORE_SHORT 0x04u
#define BRIDGE_SHORT_TERMINATE 0x08u
#define BRIDGE_AUTO_CLEAR_STALL 0x10u
#define BRIDGE_INTERRUPT 0x20u  /* the pipe is an interrupt pipe, not bulk */

struct TransferArgs {
    uint32_t device;
    uint8_t endpoint;       /* 0: a control transfer with setup below */
    uint8_t setup[8];
    uint8_t* buffer;
    uint32_t length;
    uint32_t timeoutMs;     /* 0: none */
    uint32_t flags;
    uint32_t maxPacket;
    struct BridgeOverlapped* overlapped;    /* null: synchronous */
    uint32_t moved;         /* out: bytes moved (synchronous, or finished at once) */
    uint32_t status;        /* out: NTSTATUS once finished */
    uint32_t error;         /* out: Win32 code when the transfer could not start */
    uint32_t pending;       /* out: 1 when the overlapped transfer completes later */
};

struct CancelArgs {
    uint32_t device;
    int32_t endpoint;   /* -1: every endpoint */
    uint32_t error;     /* out */
};

struct PipeArgs {
    uint32_t device;
    uint8_t endpoint;
    uint32_t error;     /* out */
};

struct EventArgs {
    uint32_t error;     /* out */
};

struct WaitArgs {
    struct BridgeOverlapped* overlapped;
};

#endif
