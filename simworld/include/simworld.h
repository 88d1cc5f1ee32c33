/* Control interface of the simulated device world (simworld.dll).
   Only tests, the demo and benchmarks use it; product code never does: it reaches the
   world through the substitute platform DLLs (winusb.dll, ...), which carry the real names. */
#ifndef SIMWORLD_H
#define SIMWORLD_H

#include <stddef.h>
#include <stdint.h>

#ifdef SIMWORLD_BUILD
#define SIMWORLD_API __declspec(dllexport)
#else
#define SIMWORLD_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Pipe of a device's WinUSB interface. */
typedef struct SimPipe {
    uint32_t type;          /* USBD_PIPE_TYPE: 0 control, 1 isochronous, 2 bulk, 3 interrupt */
    uint8_t pipeId;         /* endpoint address, bit 7 = IN */
    uint8_t interval;
    uint16_t maxPacketSize;
} SimPipe;

#define SIM_MAX_PIPES 16

typedef struct SimUsbDeviceConfig {
    uint16_t vendorId;
    uint16_t productId;
    const char* serial;         /* part of the interface path; NULL gives a numbered serial */
    uint8_t protocolVersion;    /* answer of request 0x81 */
    uint8_t answersHandshake;   /* 0: requests 0x81 and 0x83 stall */
    uint8_t echo;               /* every message the device receives is queued back to the host */
    uint8_t statusByte;         /* answer of request 0x82 */
    uint32_t handshakeValue;    /* answer of request 0x83 */
    uint32_t winusbError;       /* nonzero: WinUsb_Initialize fails with this Win32 error */
    uint32_t pipeCount;         /* 0: bulk OUT 0x01 and bulk IN 0x81, 512 bytes */
    SimPipe pipes[SIM_MAX_PIPES];
    uint8_t zeroLengthPacket;   /* a message whose length is a multiple of the packet size is
                                   followed by a zero-length packet */
    uint8_t stringsNeedLanguage;   /* string requests (index > 0) with language ID 0 stall */
    uint8_t interfaceNumber;    /* bInterfaceNumber: WinUSB puts it in wIndex of interface requests */
} SimUsbDeviceConfig;

/* Operations that faults can be injected into. */
enum SimOperation {
    SIM_OP_INITIALIZE = 1,
    SIM_OP_CONTROL_TRANSFER,   /* request: the bRequest to match, or -1 for any */
    SIM_OP_READ_PIPE,
    SIM_OP_WRITE_PIPE,
    SIM_OP_RESET_PIPE,
    SIM_OP_FLUSH_PIPE,
    SIM_OP_ABORT_PIPE,
    SIM_OP_SET_PIPE_POLICY,
    SIM_OP_GET_PIPE_POLICY,
    SIM_OP_QUERY_INTERFACE,
    SIM_OP_QUERY_PIPE,         /* request: the pipe index to match, or -1 */
    SIM_OP_GET_DESCRIPTOR,     /* request: the descriptor index to match, or -1 */
    SIM_OP_GET_STRING_DESCRIPTOR,  /* request: the string index to match (type 3 only), or -1 */
    SIM_OP_FREE                    /* WinUsb_Free: the interface stays */
};

#define SIM_ANY (-1)
#define SIM_FOREVER 0u

/* World */
SIMWORLD_API void SimWorld_Reset(void);                 /* no devices, no faults, empty record */
SIMWORLD_API void SimWorld_DefaultConfig(SimUsbDeviceConfig* config);
/* Adds a present device; returns its id (>0) and writes its interface path (narrow). */
SIMWORLD_API int SimWorld_AddDevice(const SimUsbDeviceConfig* config, char* path, size_t pathCapacity);
SIMWORLD_API int SimWorld_DevicePath(int device, char* path, size_t pathCapacity);
/* Unplugs the device: its path no longer opens (error 2), its open handles fail. */
SIMWORLD_API void SimWorld_RemoveDevice(int device);
/* The default world of the demo: one echo device for each protocol version 0, 1 and 2. */
SIMWORLD_API int SimWorld_LoadDefault(void);
/* Ids of the devices in the world, in the order they were added; returns how many there are. */
SIMWORLD_API int SimWorld_DeviceIds(int* ids, int capacity);
/* Resets the world and applies the scenario file (docs/scenarios.md): its devices now, its
   events counted from now. Returns 1; or 0 with "line N: <what is wrong>" in `error` and the
   world left empty. A process whose environment names a scenario (VARKO_SIM_SCENARIO) gets it
   at its first call into the world without calling this. */
SIMWORLD_API int SimWorld_LoadScenario(const char* path, char* error, size_t capacity);

/* Firmware */
SIMWORLD_API void SimWorld_QueueMessage(int device, const void* data, uint32_t length);
/* Announces this length through 0x84 regardless of the queue (UINT32_MAX: back to the queue). */
SIMWORLD_API void SimWorld_AnnounceLength(int device, uint32_t length);
SIMWORLD_API void SimWorld_SetStatusByte(int device, uint8_t status);
SIMWORLD_API void SimWorld_SetProtocolVersion(int device, uint8_t version);
SIMWORLD_API uint32_t SimWorld_ReceivedCount(int device);
/* Copies message `index` received by the device; returns its full length. */
SIMWORLD_API uint32_t SimWorld_GetReceived(int device, uint32_t index, void* buffer, uint32_t capacity);
SIMWORLD_API uint32_t SimWorld_PendingCount(int device);
/* Replaces a descriptor (type 1 device, 3 string) with raw bytes; NULL removes it (requests stall). */
SIMWORLD_API void SimWorld_SetDescriptor(int device, uint8_t type, uint8_t index, const void* bytes, uint32_t length);

/* String descriptor `index` holding the UTF-16 text (NULL removes it: requests stall). */
SIMWORLD_API void SimWorld_SetStringDescriptor(int device, uint8_t index, const wchar_t* text);

/* Interface settings. Alternate setting 0 holds the pipes the device works with (it replaces
   the pipes of the configuration, policies and stalls start afresh); other settings are only
   reported by WinUsb_QueryInterfaceSettings and WinUsb_QueryPipeEx. Up to SIM_MAX_PIPES pipes. */
SIMWORLD_API int SimWorld_SetInterfacePipes(int device, uint8_t alternate, const SimPipe* pipes, uint32_t count);
/* The value a pipe policy holds in the world (pipe 0 is the default control pipe); returns its
   size, or 0 when the pipe does not exist or the policy is unknown. */
SIMWORLD_API uint32_t SimWorld_GetPipePolicyValue(int device, uint8_t pipeId, uint32_t type, void* value,
                                                  uint32_t capacity);
/* Overlapped transfers of the device started and not yet completed. */
SIMWORLD_API uint32_t SimWorld_PendingTransfers(int device);
/* The next `times` overlapped transfers of the operation (SIM_OP_CONTROL_TRANSFER,
   SIM_OP_READ_PIPE, SIM_OP_WRITE_PIPE; SIM_FOREVER: all) that can finish at once do so, as the
   platform may: the call returns TRUE with the OVERLAPPED complete and its event set (a read
   needs data waiting). The others pend as usual. */
SIMWORLD_API void SimWorld_CompleteAtOnce(int device, int operation, uint32_t times);
/* Bytes of an IN pipe that the device sent beyond a read's length and that WinUSB keeps for the
   next read (the default ALLOW_PARTIAL_READS; AUTO_FLUSH drops them; WinUsb_FlushPipe discards them). */
SIMWORLD_API uint32_t SimWorld_PipeCachedBytes(int device, uint8_t pipeId);

/* Faults: the next `times` matching calls (SIM_FOREVER: all) of the operation on the device. */
SIMWORLD_API void SimWorld_FailCall(int device, int operation, int request, uint32_t win32Error, uint32_t times);
/* The transfer succeeds but moves only `bytes` bytes. */
SIMWORLD_API void SimWorld_ShortTransfer(int device, int operation, int request, uint32_t bytes, uint32_t times);
/* A Fail fault fails the call even when win32Error is 0 (FALSE with a last error of 0). */
/* The endpoint stalls: the call fails with ERROR_GEN_FAILURE. */
SIMWORLD_API void SimWorld_Stall(int device, int operation, int request, uint32_t times);
/* The device moves `bytes` bytes of the transfer and then stops answering: the call waits for
   its pipe's time-out (none on a bulk pipe by default, 5 s on the control pipe), an abort of the
   pipe from another thread, or the device's removal (SIM_OP_CONTROL_TRANSFER, SIM_OP_READ_PIPE,
   SIM_OP_WRITE_PIPE). A read of a device with nothing to send waits the same way without a fault. */
SIMWORLD_API void SimWorld_Hang(int device, int operation, int request, uint32_t bytes, uint32_t times);
SIMWORLD_API void SimWorld_ClearFaults(int device);

/* Record of every platform call, in order. */
typedef struct SimCall {
    char function[40];      /* platform name, e.g. "WinUsb_ControlTransfer" */
    int device;             /* 0 when the call reached no device */
    uint64_t args[8];       /* the call's scalar arguments, in order (pointers as addresses) */
    uint32_t result;        /* the BOOL result */
    uint32_t lastError;     /* last error set on failure, else 0 */
    uint32_t dataLength;    /* bytes moved (setup packet + data for control transfers) */
} SimCall;

/* Synchronous transfers of the device whose callers wait in WinUSB now. */
SIMWORLD_API uint32_t SimWorld_WaitingTransfers(int device);
/* Bytes the device received of a message whose end it has not seen (no short packet yet). */
SIMWORLD_API uint32_t SimWorld_IncomingBytes(int device);
/* Seed of the world's per-device draws (the code later calls fail with once a device is
   unplugged: 22, 1167 or 433, all seen on Windows). Devices added afterwards draw from it. */
SIMWORLD_API void SimWorld_SetSeed(uint64_t seed);
/* Contracts the caller broke: WinUSB calls with a handle WinUSB never issued or already freed
   (only a null handle is checked by WinUSB; any other is a pointer into freed or foreign memory).
   Returns how many were recorded since the last reset and copies the first one's text. */
SIMWORLD_API uint32_t SimWorld_ContractViolations(char* firstText, size_t capacity);
SIMWORLD_API void SimWorld_ClearViolations(void);

/* keepData 0: neither the bytes of calls nor the messages a device received are kept (benchmarks). */
SIMWORLD_API void SimWorld_SetRecording(int keepCalls, int keepData);
SIMWORLD_API uint32_t SimWorld_CallCount(void);
SIMWORLD_API int SimWorld_GetCall(uint32_t index, SimCall* call);
SIMWORLD_API uint32_t SimWorld_GetCallData(uint32_t index, void* buffer, uint32_t capacity);
SIMWORLD_API void SimWorld_ClearCalls(void);

#ifdef __cplusplus
}
#endif
#endif
