/* bridge_test.exe removal PATH MARKER: the device is unplugged while transfers wait. The test
   creates MARKER once a synchronous and an overlapped read are under way; the guest's script
   then unbinds the gadget.
   bridge_test.exe library PATH: LinkWinUsb.dll's session and framed messages through the bridge,
   against our firmware. */
#include <stdio.h>
#include <string.h>

#include "bridge_checks.h"

static WINUSB_INTERFACE_HANDLE removalHandle;
static UCHAR removalIn;

struct SyncRead {
    BOOL ok;
    DWORD error;
    double took;
};

static DWORD WINAPI WaitingRead(LPVOID p) {
    struct SyncRead* r = p;
    UCHAR b[512];
    ULONG n = 0;
    double t = NowMs();
    r->ok = WinUsb_ReadPipe(removalHandle, removalIn, b, sizeof b, &n, NULL);
    r->error = GetLastError();
    r->took = NowMs() - t;
    return 0;
}

void RemovalChecks(const char* path, const char* marker) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    BOOL ok = file != INVALID_HANDLE_VALUE && WinUsb_Initialize(file, &removalHandle);
    Check(ok, "open and Initialize %s -> %s", path, Result(ok, GetLastError()));
    if (!ok) return;
    WINUSB_PIPE_INFORMATION p;
    for (UCHAR i = 0; WinUsb_QueryPipe(removalHandle, 0, i, &p); ++i) {
        if ((p.PipeId & 0x80) && p.PipeType == UsbdPipeTypeBulk) removalIn = p.PipeId;
    }
    Check(removalIn != 0, "bulk IN pipe %02x", removalIn);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    UCHAR b[512];
    ULONG n = 0;
    ok = WinUsb_ReadPipe(removalHandle, removalIn, b, sizeof b, &n, &ov);
    DWORD e = GetLastError();
    Check(!ok && e == ERROR_IO_PENDING, "overlapped read pending -> %s", Result(ok, e));
    struct SyncRead r = {0, 0, 0};
    HANDLE thread = CreateThread(NULL, 0, WaitingRead, &r, 0, NULL);
    Sleep(300);
    double t = NowMs();
    HANDLE m = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(m);
    DWORD w = WaitForSingleObject(thread, 20000);
    double took = NowMs() - t;
    Check(w == WAIT_OBJECT_0 && !r.ok && r.error == ERROR_OPERATION_ABORTED,
          "removal ends the synchronous read -> %s, %.0f ms after the unplug was asked", Result(r.ok, r.error), took);
    DWORD got = 0;
    BOOL done = WinUsb_GetOverlappedResult(removalHandle, &ov, &got, TRUE);
    e = GetLastError();
    Check(!done && e == ERROR_OPERATION_ABORTED, "removal ends the overlapped read -> %s", Result(done, e));
    ok = WinUsb_ReadPipe(removalHandle, removalIn, b, sizeof b, &n, NULL);
    e = GetLastError();
    Check(!ok && e == ERROR_DEVICE_NOT_CONNECTED, "a later read -> %s, want FALSE/1167", Result(ok, e));
    ok = WinUsb_QueryPipe(removalHandle, 0, 0, &p);
    e = GetLastError();
    Check(!ok && e == ERROR_DEVICE_NOT_CONNECTED, "a later QueryPipe -> %s, want FALSE/1167", Result(ok, e));
    WINUSB_SETUP_PACKET s = {0x80, 0, 0, 0, 2};
    ok = WinUsb_ControlTransfer(removalHandle, s, b, 2, &n, NULL);
    e = GetLastError();
    Check(!ok && e == ERROR_DEVICE_NOT_CONNECTED, "a later control transfer -> %s, want FALSE/1167", Result(ok, e));
    ok = WinUsb_Free(removalHandle);
    Check(ok, "Free after the removal -> %s", Result(ok, GetLastError()));
    CloseHandle(thread);
    CloseHandle(ov.hEvent);
    CloseHandle(file);
}

typedef struct {
    uint32_t isOpen;
    void* interfaceHandle;
    HANDLE fileHandle;
} Session;

typedef struct {
    uint16_t pipeType;
    uint8_t pipeId, reserved0;
    uint16_t maxPacketSize;
    uint8_t interval, reserved1;
    uint16_t copy, reserved2, reserved3;
} Entry;

void LibraryChecks(const char* path) {
    HMODULE lib = LoadLibraryA("LinkWinUsb.dll");
    Check(lib != NULL, "LoadLibrary(LinkWinUsb.dll) -> %s", Result(lib != NULL, GetLastError()));
    if (!lib) return;
    typedef uint32_t(__cdecl * Open)(Session*, const char*);
    typedef void(__cdecl * Close)(Session*);
    typedef uint32_t(__cdecl * Endpoints)(void*, Entry*);
    typedef uint32_t(__cdecl * WriteMessage)(void*, uint8_t, const void*, uint32_t);
    typedef uint32_t(__cdecl * ReadMessage)(void*, uint8_t, void*, uint32_t*);
    Open open = (Open)(void*)GetProcAddress(lib, "OpenDevice");
    Close close = (Close)(void*)GetProcAddress(lib, "CloseDevice");
    Endpoints endpoints = (Endpoints)(void*)GetProcAddress(lib, "QueryDeviceEndpoints");
    WriteMessage write = (WriteMessage)(void*)GetProcAddress(lib, "Write");
    ReadMessage read = (ReadMessage)(void*)GetProcAddress(lib, "Read");
    Check(open && close && endpoints && write && read, "the library's exports");
    if (!open || !close || !endpoints || !write || !read) return;
    Session s;
    memset(&s, 0, sizeof s);
    double t = NowMs();
    uint32_t status = open(&s, path);
    Check(status == 0 && s.isOpen == 1, "OpenDevice(%s) -> 0x%08lx (%.1f ms, the handshake included)", path,
          (unsigned long)status, NowMs() - t);
    if (status != 0) return;
    Entry pair[2];
    memset(pair, 0, sizeof pair);
    status = endpoints(s.interfaceHandle, pair);
    Check(status != 0 && pair[0].pipeId && pair[1].pipeId, "QueryDeviceEndpoints -> %lu (nonzero: success): IN %02x, OUT %02x",
          (unsigned long)status, pair[0].pipeId, pair[1].pipeId);
    static UCHAR message[4096000], echo[4096000];
    /* The messages of at most 64 bytes come last: the emulated controller's gadget side takes one
       such IN write at once into a FIFO of its own, and firmware that counts it sent then
       announces the next message while this one still waits (see docs/realstack.md). */
    const uint32_t sizes[] = {100, 511, 512, 513, 4096, 100000, 4096000, 1, 5, 64};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        for (uint32_t k = 0; k < sizes[i]; ++k) message[k] = (UCHAR)(k * 13u + i);
        t = NowMs();
        uint32_t wrote = write(s.interfaceHandle, pair[1].pipeId, message, sizes[i]);
        uint32_t length = 0;
        uint32_t got = read(s.interfaceHandle, pair[0].pipeId, echo, &length);
        Check(wrote == 1 && got == 2 && length == sizes[i] && memcmp(message, echo, length) == 0,
              "Write %lu bytes -> %lu, Read -> %lu (2: a message) with %lu bytes, equal (%.1f ms)", (unsigned long)sizes[i],
              (unsigned long)wrote, (unsigned long)got, (unsigned long)length, NowMs() - t);
    }
    close(&s);
    Check(s.isOpen == 0, "CloseDevice");
}
