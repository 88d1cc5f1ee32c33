/* LinkWinUsb: framed messages and pipe operations for the maker's WinUSB devices.
   One header for C and C++ hosts, for the 64-bit and the 32-bit library alike.
   Every export uses the C calling convention (the caller removes the arguments). */
#ifndef LINKWINUSB_H
#define LINKWINUSB_H

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#define LWU_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define LWU_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define LWU_CALL __cdecl

/* Status codes: 0 is success; Win32 error codes pass through unchanged (a failed platform call
   that left no error code gives ERROR_GEN_FAILURE, 31); and these. */
#define LWU_BAD_ARGUMENT 0x9001u /* a required pointer is null, or a required value is 0 */
#define LWU_BAD_HANDLE   0x9002u /* the handle argument is INVALID_HANDLE_VALUE */
#define LWU_SHORT_READ   0x9008u /* an IN bulk or any control transfer moved another byte count */
#define LWU_SHORT_WRITE  0x9009u /* an OUT bulk transfer moved another byte count */

/* Results of Read. */
#define LWU_READ_EMPTY    0u   /* the device announced no message */
#define LWU_READ_OK       2u   /* one message was received and copied out */
#define LWU_READ_FAILED   129u /* a framing request or the bulk transfer failed */
#define LWU_READ_TOO_LONG 130u /* the announced length exceeds LWU_MAX_MESSAGE */

#define LWU_MAX_MESSAGE 4096000u /* the largest message Read accepts; its destination needs this room */

/* One opened device. Owned by the host, filled by OpenDevice, closed by CloseDevice. */
typedef struct DeviceSession {
    uint32_t isOpen;        /* 1 while the session holds an initialised WinUSB interface */
    void* interfaceHandle;  /* the WinUSB interface handle: first argument of the transfer exports */
    HANDLE fileHandle;      /* the opened device interface path */
} DeviceSession;

/* One pipe, 14 bytes, little-endian. */
typedef struct PipeEntry {
    uint16_t pipeType;       /* USBD_PIPE_TYPE: 0 control, 1 isochronous, 2 bulk, 3 interrupt */
    uint8_t pipeId;          /* endpoint address; bit 7 set means IN */
    uint8_t reserved0;
    uint16_t maxPacketSize;
    uint8_t interval;
    uint8_t reserved1;
    uint16_t maxPacketSizeCopy;
    uint16_t reserved2;
    uint16_t reserved3;
} PipeEntry;

LWU_STATIC_ASSERT(sizeof(PipeEntry) == 14, "PipeEntry is 14 bytes");
LWU_STATIC_ASSERT(offsetof(PipeEntry, pipeId) == 2, "PipeEntry.pipeId at 2");
LWU_STATIC_ASSERT(offsetof(PipeEntry, maxPacketSize) == 4, "PipeEntry.maxPacketSize at 4");
LWU_STATIC_ASSERT(offsetof(PipeEntry, interval) == 6, "PipeEntry.interval at 6");
LWU_STATIC_ASSERT(offsetof(PipeEntry, maxPacketSizeCopy) == 8, "PipeEntry copy at 8");
#if defined(_WIN64)
LWU_STATIC_ASSERT(sizeof(DeviceSession) == 24, "DeviceSession is 24 bytes on x64");
LWU_STATIC_ASSERT(offsetof(DeviceSession, interfaceHandle) == 8, "interfaceHandle at 8 on x64");
LWU_STATIC_ASSERT(offsetof(DeviceSession, fileHandle) == 16, "fileHandle at 16 on x64");
#else
LWU_STATIC_ASSERT(sizeof(DeviceSession) == 12, "DeviceSession is 12 bytes on x86");
LWU_STATIC_ASSERT(offsetof(DeviceSession, interfaceHandle) == 4, "interfaceHandle at 4 on x86");
LWU_STATIC_ASSERT(offsetof(DeviceSession, fileHandle) == 8, "fileHandle at 8 on x86");
#endif

/* Device session and framed messages. */
uint32_t LWU_CALL OpenDevice(DeviceSession* session, const char* path);
void LWU_CALL CloseDevice(DeviceSession* session);
/* destination needs room for LWU_MAX_MESSAGE bytes; both pointers may be null */
uint32_t LWU_CALL Read(void* handle, uint8_t pipeId, void* destination, uint32_t* length);
uint32_t LWU_CALL Write(void* handle, uint8_t pipeId, const void* source, uint32_t length); /* 1 or 0 */
uint32_t LWU_CALL ControlRead(void* handle, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value,
                              uint16_t index, void* buffer, uint16_t length);
uint32_t LWU_CALL ControlWrite(void* handle, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value,
                               uint16_t index, void* buffer, uint16_t length);
/* Without a transferred pointer a short transfer returns LWU_SHORT_READ / LWU_SHORT_WRITE. With an
   OVERLAPPED the result is ERROR_IO_PENDING, or 0 when the transfer finished at once; either way
   its byte count comes from GetPipeOverlappedResult, not from transferred. */
uint32_t LWU_CALL PipeRead(void* handle, uint8_t pipeId, void* buffer, uint32_t length, uint32_t* transferred,
                           OVERLAPPED* overlapped);
uint32_t LWU_CALL PipeWrite(void* handle, uint8_t pipeId, const void* buffer, uint32_t length, uint32_t* transferred,
                            OVERLAPPED* overlapped);

/* Pipes, policies and descriptors. */

#define LWU_PIPE_TRANSFER_TIMEOUT 3u /* policy type: a 32-bit time-out in milliseconds */

/* The first IN and the first OUT pipe of isochronous, bulk or interrupt type, by endpoint index.
   Owned by the host, filled by QueryDeviceEndpoints. A pipeType of 0 after the call means no
   such pipe was found; the other bytes of that entry are then what the host left there. */
typedef struct EndpointPair {
    PipeEntry in;
    PipeEntry out;
} EndpointPair;

LWU_STATIC_ASSERT(sizeof(EndpointPair) == 28, "EndpointPair is 28 bytes");
LWU_STATIC_ASSERT(offsetof(EndpointPair, out) == 14, "EndpointPair.out at 14");

/* Thin guards around one WinUSB call each: LWU_BAD_HANDLE for INVALID_HANDLE_VALUE, else 0 on
   success or the Win32 error code of the failed call. */
/* overlapped and transferred must not be null (LWU_BAD_ARGUMENT); wait is a Win32 BOOL */
uint32_t LWU_CALL GetPipeOverlappedResult(void* handle, OVERLAPPED* overlapped, uint32_t* transferred, int32_t wait);
uint32_t LWU_CALL PipeAbort(void* handle, uint8_t pipeId);
uint32_t LWU_CALL PipeFlush(void* handle, uint8_t pipeId);
/* 1 (not 0) on success. A failure with ERROR_INVALID_FUNCTION (1, how an unsupported request
   comes back) returns ERROR_NOT_SUPPORTED (50) instead, so that no failure reads as success. */
uint32_t LWU_CALL PipeReset(void* handle, uint8_t pipeId);
uint32_t LWU_CALL SetPipePolicy(void* handle, uint8_t pipeId, uint32_t policyType, uint32_t valueLength, void* value);
/* valueLength: in, the room at value; out, the size WinUSB stored */
uint32_t LWU_CALL GetPipePolicy(void* handle, uint8_t pipeId, uint32_t policyType, uint32_t* valueLength, void* value);
/* A time-out of 0 (no time-out) cannot be set here: LWU_BAD_ARGUMENT. A failure prints
   "FAILED to SET pipe policy: " with the system text. */
uint32_t LWU_CALL SetTransferTimeoutPolicy(void* handle, uint8_t pipeId, uint32_t timeoutMs);
/* value needs room for a pointer (8 bytes on x64, 4 on x86): that is the length offered to
   WinUSB, which stores the 32-bit time-out in milliseconds at its start. */
uint32_t LWU_CALL GetTransferTimeoutPolicy(void* handle, uint8_t pipeId, void* value);
/* Nonzero on success, 0 on failure: the result of the last WinUSB query made (a failure at an
   earlier endpoint index does not count). Prints one line per endpoint. Records the pipes at
   endpoint indices 0 to 3 for CloseDevice, replacing what an earlier call recorded, whatever
   device that was. 0 for INVALID_HANDLE_VALUE or a null record, with nothing touched. */
uint32_t LWU_CALL QueryDeviceEndpoints(void* handle, EndpointPair* endpoints);
/* The device descriptor as WinUSB gives it: nonzero on success, 0 on failure (the reason is
   the thread's last error). The handle is passed on unchecked; the length is not checked. */
uint32_t LWU_CALL GetDeviceDescriptor(void* handle, void* buffer, uint32_t bufferLength, uint32_t* transferred);

/* Discovery and arrival/removal notifications. */
#define LWU_DEVICE_ARRIVAL 1 /* present at registration, or arrived */
#define LWU_DEVICE_REMOVAL 0 /* removed */

/* Called once for each present interface of the class at registration (on the registering
   thread), then for each arrival and removal (on the window's thread or a Configuration
   Manager thread). `path` is valid only during the call. A callback may register and
   unregister; a running dispatch does not call entries removed before their turn, nor entries
   added while it runs. An unregister export called outside a callback returns once the entry's
   callback has returned everywhere; called from inside one, it does not wait. */
typedef void(LWU_CALL* DeviceNotificationCallback)(int32_t action, const char* path);
LWU_STATIC_ASSERT(sizeof(DeviceNotificationCallback) == sizeof(void*), "callbacks are pointer-sized");

/* classGuid: braced registry form, e.g. L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}".
   Runs a message loop on the calling thread; returns when the registration fails, or when the
   thread receives WM_QUIT (the registration then stays). */
void LWU_CALL RegisterForDeviceNotification(DeviceNotificationCallback callback, const wchar_t* classGuid);
void LWU_CALL UnregisterForDeviceNotification(DeviceNotificationCallback callback, const wchar_t* classGuid);
/* 0 or a Win32 error code; ERROR_INVALID_PARAMETER for a null callback or unreadable GUID text. */
uint32_t LWU_CALL CmRegisterNotification(DeviceNotificationCallback callback, const wchar_t* classGuid);
/* 0 also when nothing matched. Releases the first entry of callback and class, whichever
   export made it. Called from inside a callback, it hands the system release of a
   Configuration Manager entry to a pool thread; when none can be asked (the Win32 error is
   returned, ERROR_NOT_ENOUGH_MEMORY for instance) the entry stays, as after a refused release. */
uint32_t LWU_CALL CmUnregisterNotification(DeviceNotificationCallback callback, const wchar_t* classGuid);

/* Identity strings. */

/* A device's identity. Owned by the host, written by GetUsbDeviceDetail. The strings are in
   the calling thread's ANSI code page and come from the library's C runtime heap: they belong
   to the host, which releases them with FreeUsbDeviceDetail (never with its own free). */
typedef struct UsbDeviceDetail {
    char* manufacturer;
    char* product;
    char* serialNumber;
    uint16_t vendorId;
    uint16_t productId;
} UsbDeviceDetail;

#if defined(_WIN64)
LWU_STATIC_ASSERT(sizeof(UsbDeviceDetail) == 32, "UsbDeviceDetail is 32 bytes on x64");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, product) == 8, "product at 8 on x64");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, serialNumber) == 16, "serialNumber at 16 on x64");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, vendorId) == 24, "vendorId at 24 on x64");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, productId) == 26, "productId at 26 on x64");
#else
LWU_STATIC_ASSERT(sizeof(UsbDeviceDetail) == 16, "UsbDeviceDetail is 16 bytes on x86");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, product) == 4, "product at 4 on x86");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, serialNumber) == 8, "serialNumber at 8 on x86");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, vendorId) == 12, "vendorId at 12 on x86");
LWU_STATIC_ASSERT(offsetof(UsbDeviceDetail, productId) == 14, "productId at 14 on x86");
#endif

/* Opens the device (running the handshake, which may change the framing in force), reads its
   IDs and its serial-number, product and manufacturer strings in that order, and closes it
   (flushing and resetting the pipes QueryDeviceEndpoints recorded). Nonzero when all three
   strings were read; 0 when the open, the device descriptor or a string request failed.
   - open or device descriptor failed: nothing written;
   - a string request failed: the IDs are written, the failing string's field gets an empty
     string, the fields after it in the order above are not written at all;
   - a string index of 0 is requested like any other: the device answers with its language
     table, whose language IDs are then converted as text;
   - each text runs from the descriptor's third byte to its first zero 16-bit unit, at most 511
     units; neither its length byte nor the count received ends it.
   Every string written is a new allocation that the host owns: zero the record before the
   first call, and call FreeUsbDeviceDetail before calling again with the same record. */
int32_t LWU_CALL GetUsbDeviceDetail(UsbDeviceDetail* detail, const char* path);
/* Frees the three strings of a record (null pointers are skipped) and sets them to null.
   The IDs are left as they are. A null record is ignored. Only for strings that
   GetUsbDeviceDetail handed out. */
void LWU_CALL FreeUsbDeviceDetail(UsbDeviceDetail* detail);

#ifdef __cplusplus
}
#endif
#endif
