/* bridge_test.exe loopback PATH: the bridge against the kernel's loopback gadget function, which
   queues what bulk OUT receives (in requests of 4096 bytes) back to bulk IN, and ends an echo
   with a zero-length packet when the OUT request ended short on a whole packet. */
#include <stdio.h>
#include <string.h>

#include "bridge_checks.h"

static WINUSB_INTERFACE_HANDLE h;
static UCHAR in, out;
static USHORT packet;

static HANDLE OpenPath(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
}

static void Fill(UCHAR* b, ULONG n, UCHAR seed) {
    for (ULONG i = 0; i < n; ++i) b[i] = (UCHAR)(seed + i * 7u);
}

static BOOL Write(const UCHAR* data, ULONG n, ULONG* moved, DWORD* error) {
    BOOL ok = WinUsb_WritePipe(h, out, (PUCHAR)data, n, moved, NULL);
    *error = GetLastError();
    return ok;
}

static BOOL Read(UCHAR* data, ULONG n, ULONG* moved, DWORD* error) {
    BOOL ok = WinUsb_ReadPipe(h, in, data, n, moved, NULL);
    *error = GetLastError();
    return ok;
}

static void SetTimeout(UCHAR pipe, ULONG ms) { WinUsb_SetPipePolicy(h, pipe, PIPE_TRANSFER_TIMEOUT, 4, &ms); }
static void SetFlag(UCHAR pipe, ULONG type, UCHAR on) { WinUsb_SetPipePolicy(h, pipe, type, 1, &on); }

/* Reads until a short time-out: what an earlier check left on the IN pipe. */
static void Drain(void) {
    UCHAR scrap[4096];
    ULONG n;
    DWORD e;
    WinUsb_FlushPipe(h, in);
    SetTimeout(in, 200);
    while (Read(scrap, sizeof scrap, &n, &e) && n) {
    }
    SetTimeout(in, 0);
}

static void Descriptors(void) {
    UCHAR b[4096];
    ULONG n = 0;
    double t = NowMs();
    BOOL ok = WinUsb_GetDescriptor(h, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, b, sizeof b, &n);
    DWORD e = GetLastError();
    Check(ok && n == 18 && b[0] == 18 && b[1] == 1, "GetDescriptor(device) -> %s, %lu bytes, idVendor %04x idProduct %04x (%.1f ms)",
          Result(ok, e), n, b[8] | b[9] << 8, b[10] | b[11] << 8, NowMs() - t);
    memset(b, 0xCC, sizeof b);
    n = 99;
    ok = WinUsb_GetDescriptor(h, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, b, 8, &n);
    e = GetLastError();
    Check(!ok && e == ERROR_INSUFFICIENT_BUFFER && n == 0 && b[0] == 0xCC,
          "GetDescriptor(device, 8-byte buffer) -> %s, %lu bytes, nothing copied: want FALSE/122", Result(ok, e), n);
    ok = WinUsb_GetDescriptor(h, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, b, sizeof b, &n);
    e = GetLastError();
    Check(ok && n >= 9 && n == (ULONG)(b[2] | b[3] << 8), "GetDescriptor(configuration) -> %s, %lu bytes = wTotalLength",
          Result(ok, e), n);
    ok = WinUsb_GetDescriptor(h, USB_STRING_DESCRIPTOR_TYPE, 0, 0, b, sizeof b, &n);
    e = GetLastError();
    Check(ok && n >= 4 && b[1] == 3, "GetDescriptor(string 0) -> %s, %lu bytes, first language %04x", Result(ok, e), n,
          b[2] | b[3] << 8);

    USB_INTERFACE_DESCRIPTOR s;
    ok = WinUsb_QueryInterfaceSettings(h, 0, &s);
    e = GetLastError();
    Check(ok && s.bNumEndpoints >= 2, "QueryInterfaceSettings(0) -> %s, interface %u, %u endpoints, class %02x",
          Result(ok, e), s.bInterfaceNumber, s.bNumEndpoints, s.bInterfaceClass);
    ok = WinUsb_QueryInterfaceSettings(h, 7, &s);
    e = GetLastError();
    Check(!ok && e == ERROR_NO_MORE_ITEMS, "QueryInterfaceSettings(7) -> %s, want FALSE/259", Result(ok, e));
    UCHAR i = 0;
    WINUSB_PIPE_INFORMATION_EX p;
    while (WinUsb_QueryPipeEx(h, 0, i, &p)) {
        printf("     pipe %u: type %d id %02x max packet %u interval %u bytes/interval %lu\n", i, p.PipeType, p.PipeId,
               p.MaximumPacketSize, p.Interval, p.MaximumBytesPerInterval);
        if (p.PipeType == UsbdPipeTypeBulk && (p.PipeId & 0x80) && !in) in = p.PipeId, packet = p.MaximumPacketSize;
        if (p.PipeType == UsbdPipeTypeBulk && !(p.PipeId & 0x80) && !out) out = p.PipeId;
        ++i;
    }
    e = GetLastError();
    Check(in && out && e == ERROR_NO_MORE_ITEMS, "QueryPipeEx: bulk IN %02x, bulk OUT %02x, max packet %u; pipe %u -> FALSE/%lu",
          in, out, packet, i, e);
    WINUSB_PIPE_INFORMATION q;
    ok = WinUsb_QueryPipe(h, 0, 0, &q);
    Check(ok && q.PipeId == (in == q.PipeId ? in : out), "QueryPipe(0, 0) -> %s, id %02x", Result(ok, GetLastError()), q.PipeId);
}

static void Policies(void) {
    ULONG v = 0, n = sizeof v;
    BOOL ok = WinUsb_GetPipePolicy(h, 0, PIPE_TRANSFER_TIMEOUT, &n, &v);
    Check(ok && v == 5000 && n == 4, "GetPipePolicy(pipe 0, PIPE_TRANSFER_TIMEOUT) -> %s, %lu (%lu bytes), want 5000",
          Result(ok, GetLastError()), v, n);
    n = 8;
    v = 7;
    ok = WinUsb_GetPipePolicy(h, in, PIPE_TRANSFER_TIMEOUT, &n, &v);
    Check(ok && v == 0 && n == 4, "GetPipePolicy(IN, PIPE_TRANSFER_TIMEOUT, 8-byte length) -> %s, %lu (%lu bytes), want 0",
          Result(ok, GetLastError()), v, n);
    UCHAR flag = 0;
    n = 1;
    ok = WinUsb_GetPipePolicy(h, in, ALLOW_PARTIAL_READS, &n, &flag);
    Check(ok && flag == 1, "GetPipePolicy(IN, ALLOW_PARTIAL_READS) -> %s, %u, want 1", Result(ok, GetLastError()), flag);
    n = 0;
    ok = WinUsb_GetPipePolicy(h, in, PIPE_TRANSFER_TIMEOUT, &n, &v);
    DWORD e = GetLastError();
    Check(!ok && e == ERROR_INSUFFICIENT_BUFFER && n == 4, "GetPipePolicy(length 0) -> %s, length %lu, want FALSE/122, 4",
          Result(ok, e), n);
    v = 123;
    ok = WinUsb_SetPipePolicy(h, in, MAXIMUM_TRANSFER_SIZE, 4, &v);
    e = GetLastError();
    Check(!ok && e == ERROR_INVALID_PARAMETER, "SetPipePolicy(MAXIMUM_TRANSFER_SIZE) -> %s, want FALSE/87", Result(ok, e));
    ok = WinUsb_SetPipePolicy(h, 0x7F, PIPE_TRANSFER_TIMEOUT, 4, &v);
    e = GetLastError();
    Check(!ok && e == ERROR_INVALID_PARAMETER, "SetPipePolicy(no such pipe) -> %s, want FALSE/87", Result(ok, e));
}

static void Control(void) {
    WINUSB_SETUP_PACKET s = {0x80, 0 /* GET_STATUS */, 0, 0, 2};
    UCHAR b[4100];
    ULONG n = 0;
    double t = NowMs();
    BOOL ok = WinUsb_ControlTransfer(h, s, b, 2, &n, NULL);
    DWORD e = GetLastError();
    Check(ok && n == 2, "ControlTransfer(GET_STATUS) -> %s, %lu bytes (%.1f ms)", Result(ok, e), n, NowMs() - t);
    WINUSB_SETUP_PACKET unknown = {0xC0, 0x7E, 0, 0, 4};
    ok = WinUsb_ControlTransfer(h, unknown, b, 4, &n, NULL);
    e = GetLastError();
    Check(!ok && e == ERROR_GEN_FAILURE, "ControlTransfer(unknown vendor request) -> %s, want FALSE/31 (the stall)",
          Result(ok, e));
    ok = WinUsb_ControlTransfer(h, s, b, 2, &n, NULL);
    Check(ok && n == 2, "ControlTransfer(GET_STATUS) after the stall -> %s", Result(ok, GetLastError()));
    WINUSB_SETUP_PACKET large = {0xC0, 0x7E, 0, 0, 4097};
    ok = WinUsb_ControlTransfer(h, large, b, sizeof b, &n, NULL);
    e = GetLastError();
    Check(!ok && e == ERROR_INVALID_PARAMETER, "ControlTransfer(4097 bytes) -> %s, want FALSE/87", Result(ok, e));
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ok = WinUsb_ControlTransfer(h, s, b, 2, &n, &ov);
    e = GetLastError();
    DWORD got = 0;
    BOOL done = (ok || e == ERROR_IO_PENDING) && WinUsb_GetOverlappedResult(h, &ov, &got, TRUE);
    Check(done && got == 2, "ControlTransfer(GET_STATUS, overlapped) -> %s, then %s with %lu bytes", Result(ok, e),
          Result(done, GetLastError()), got);
    CloseHandle(ov.hEvent);
}

static void BulkSync(void) {
    UCHAR data[65536], back[65536];
    ULONG n = 0, m = 0;
    DWORD e;
    Fill(data, sizeof data, 1);
    double t = NowMs();
    BOOL ok = Write(data, 100, &n, &e);
    BOOL ok2 = Read(back, 100, &m, &e);
    Check(ok && ok2 && n == 100 && m == 100 && memcmp(data, back, 100) == 0,
          "100 bytes written and read back -> %s %s, %lu/%lu bytes (%.1f ms)", Result(ok, e), Result(ok2, e), n, m,
          NowMs() - t);
    t = NowMs();
    ok = Write(data, sizeof data, &n, &e);
    double w = NowMs() - t;
    ok2 = Read(back, sizeof back, &m, &e);
    double r = NowMs() - t - w;
    Check(ok && ok2 && n == sizeof data && m == sizeof back && memcmp(data, back, sizeof data) == 0,
          "64 KiB written and read back -> %lu/%lu bytes (write %.1f ms, read %.1f ms)", n, m, w, r);
    ok = WinUsb_ReadPipe(h, in, back, 0, &m, NULL);
    Check(ok && m == 0, "zero-length read -> %s, %lu bytes", Result(ok, GetLastError()), m);

    /* ALLOW_PARTIAL_READS: the rest of the packet waits for the next read; FlushPipe drops it. */
    Fill(data, 100, 9);
    Write(data, 100, &n, &e);
    ok = Read(back, 10, &m, &e);
    t = NowMs();
    ok2 = Read(back + 10, 90, &n, &e);
    Check(ok && ok2 && m == 10 && n == 90 && memcmp(data, back, 100) == 0,
          "read 10 of a 100-byte packet, then the 90 left over -> %lu + %lu bytes (second %.2f ms)", m, n, NowMs() - t);
    Write(data, 100, &n, &e);
    Read(back, 10, &m, &e);
    ok = WinUsb_FlushPipe(h, in);
    SetTimeout(in, 300);
    t = NowMs();
    ok2 = Read(back, 100, &m, &e);
    Check(ok && !ok2 && e == ERROR_SEM_TIMEOUT && m == 0,
          "FlushPipe drops the left-over: next read -> %s with %lu bytes after %.0f ms (time-out 300)", Result(ok2, e), m,
          NowMs() - t);
    SetFlag(in, AUTO_FLUSH, 1);
    Write(data, 100, &n, &e);
    ok = Read(back, 10, &m, &e);
    ok2 = Read(back, 100, &n, &e);
    Check(ok && m == 10 && !ok2 && e == ERROR_SEM_TIMEOUT, "AUTO_FLUSH: read 10 -> %lu bytes, next read -> %s", m,
          Result(ok2, e));
    SetFlag(in, AUTO_FLUSH, 0);
    SetFlag(in, ALLOW_PARTIAL_READS, 0);
    Write(data, 100, &n, &e);
    ok = Read(back, 10, &m, &e);
    Check(!ok && e == ERROR_GEN_FAILURE, "ALLOW_PARTIAL_READS off: read 10 of 100 -> %s, %lu bytes, want FALSE/31",
          Result(ok, e), m);
    SetFlag(in, ALLOW_PARTIAL_READS, 1);
    SetTimeout(in, 0);
    Drain();
}

static void WholePackets(void) {
    UCHAR data[2048], back[2048];
    ULONG n = 0, m = 0;
    DWORD e;
    Fill(data, sizeof data, 3);
    SetFlag(out, SHORT_PACKET_TERMINATE, 1);
    BOOL ok = Write(data, packet, &n, &e);
    BOOL ok2 = Read(back, packet, &m, &e);
    Check(ok && ok2 && m == packet && memcmp(data, back, packet) == 0,
          "SHORT_PACKET_TERMINATE: %u bytes (one packet) written and read back -> %lu bytes", packet, m);
    SetTimeout(in, 500);
    ok = Read(back, packet, &m, &e);
    Check(ok && m == 0, "the echo's zero-length packet ends the next read -> %s, %lu bytes", Result(ok, e), m);
    SetFlag(out, SHORT_PACKET_TERMINATE, 0);
    Write(data, packet, &n, &e);
    double t = NowMs();
    ok = Read(back, sizeof back, &m, &e);
    Check(!ok && e == ERROR_SEM_TIMEOUT, "without it: a whole packet leaves the device's read open -> %s after %.0f ms",
          Result(ok, e), NowMs() - t);
    Write(data + packet, 100, &n, &e);
    ok = Read(back, sizeof back, &m, &e);
    Check(ok && m == packet + 100u && memcmp(data, back, m) == 0, "a short packet ends it: %lu bytes come back", m);
    SetTimeout(in, 0);
    Drain();
}

struct Waiter {
    BOOL ok;
    DWORD error;
    ULONG moved;
    double took;
};

static DWORD WINAPI SyncRead(LPVOID p) {
    struct Waiter* w = p;
    UCHAR b[512];
    double t = NowMs();
    w->ok = WinUsb_ReadPipe(h, in, b, sizeof b, &w->moved, NULL);
    w->error = GetLastError();
    w->took = NowMs() - t;
    return 0;
}

static void Overlapped(void) {
    UCHAR data[512], back[512];
    ULONG n = 0;
    DWORD got = 0, e;
    Fill(data, sizeof data, 5);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    BOOL ok = WinUsb_ReadPipe(h, in, back, 100, &n, &ov);
    e = GetLastError();
    Check(!ok && e == ERROR_IO_PENDING && WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT,
          "overlapped read -> %s, its event reset", Result(ok, e));
    BOOL r = WinUsb_GetOverlappedResult(h, &ov, &got, FALSE);
    e = GetLastError();
    Check(!r && e == ERROR_IO_INCOMPLETE, "GetOverlappedResult(no wait) while pending -> %s, want FALSE/996", Result(r, e));
    Write(data, 100, &n, &e);
    double t = NowMs();
    r = WinUsb_GetOverlappedResult(h, &ov, &got, TRUE);
    Check(r && got == 100 && memcmp(data, back, 100) == 0 && WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0,
          "after a 100-byte write: GetOverlappedResult(wait) -> %s, %lu bytes, event set (%.1f ms)",
          Result(r, GetLastError()), got, NowMs() - t);
    ok = WinUsb_WritePipe(h, out, data, 200, &n, &ov);
    e = GetLastError();
    r = (ok || e == ERROR_IO_PENDING) && WinUsb_GetOverlappedResult(h, &ov, &got, TRUE);
    BOOL ok2 = Read(back, 200, &n, &e);
    Check(r && got == 200 && ok2 && n == 200, "overlapped write of 200 -> %s, %lu bytes; read back %lu", Result(r, e), got, n);

    OVERLAPPED plain;   /* no event: GetOverlappedResult waits for the transfer itself */
    memset(&plain, 0, sizeof plain);
    WinUsb_ReadPipe(h, in, back, 100, &n, &plain);
    Write(data, 50, &n, &e);
    r = WinUsb_GetOverlappedResult(h, &plain, &got, TRUE);
    Check(r && got == 50, "overlapped read without an event -> %s, %lu bytes", Result(r, GetLastError()), got);

    ok = WinUsb_ReadPipe(h, in, back, 100, &n, &ov);
    Sleep(100);
    t = NowMs();
    BOOL a = WinUsb_AbortPipe(h, in);
    double took = NowMs() - t;
    r = WinUsb_GetOverlappedResult(h, &ov, &got, FALSE);
    e = GetLastError();
    Check(a && !r && e == ERROR_OPERATION_ABORTED, "AbortPipe ends a pending overlapped read -> %s, then %s (abort %.1f ms)",
          Result(a, 0), Result(r, e), took);

    struct Waiter w = {0, 0, 0, 0};
    HANDLE thread = CreateThread(NULL, 0, SyncRead, &w, 0, NULL);
    Sleep(300);
    a = WinUsb_AbortPipe(h, in);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    Check(a && !w.ok && w.error == ERROR_OPERATION_ABORTED,
          "AbortPipe ends another thread's synchronous read -> %s after %.0f ms", Result(w.ok, w.error), w.took);

    SetTimeout(in, 250);
    t = NowMs();
    ok = Read(back, 100, &n, &e);
    double sync = NowMs() - t;
    Check(!ok && e == ERROR_SEM_TIMEOUT && sync >= 240 && sync < 1000,
          "PIPE_TRANSFER_TIMEOUT 250: synchronous read -> %s after %.0f ms", Result(ok, e), sync);
    t = NowMs();
    WinUsb_ReadPipe(h, in, back, 100, &n, &ov);
    r = WinUsb_GetOverlappedResult(h, &ov, &got, TRUE);
    e = GetLastError();
    Check(!r && e == ERROR_SEM_TIMEOUT, "PIPE_TRANSFER_TIMEOUT 250: overlapped read -> %s after %.0f ms", Result(r, e),
          NowMs() - t);
    SetTimeout(in, 0);
    CloseHandle(ov.hEvent);
}

static void Halt(void) {
    UCHAR data[100], back[512];
    ULONG n = 0, m = 0;
    DWORD e;
    Fill(data, sizeof data, 11);
    WINUSB_SETUP_PACKET halt = {0x02, 3 /* SET_FEATURE */, 0 /* ENDPOINT_HALT */, in, 0};
    BOOL ok = WinUsb_ControlTransfer(h, halt, NULL, 0, &n, NULL);
    Check(ok, "SET_FEATURE(ENDPOINT_HALT) on IN -> %s", Result(ok, GetLastError()));
    Write(data, sizeof data, &n, &e);
    BOOL r1 = Read(back, sizeof back, &m, &e);
    DWORD e1 = e;
    BOOL r2 = Read(back, sizeof back, &m, &e);
    Check(!r1 && e1 == ERROR_GEN_FAILURE && !r2 && e == ERROR_GEN_FAILURE,
          "a halted pipe stalls every read until it is reset -> %s, %s", Result(r1, e1), Result(r2, e));
    double t = NowMs();
    ok = WinUsb_ResetPipe(h, in);
    double took = NowMs() - t;
    r1 = Read(back, sizeof back, &m, &e);
    Check(ok && r1 && m == sizeof data && memcmp(back, data, m) == 0,
          "ResetPipe (%.1f ms), then the queued echo flows -> %s, %lu bytes", took, Result(r1, e), m);
    SetFlag(in, AUTO_CLEAR_STALL, 1);
    WinUsb_ControlTransfer(h, halt, NULL, 0, &n, NULL);
    Write(data, sizeof data, &n, &e);
    r1 = Read(back, sizeof back, &m, &e);
    e1 = e;
    r2 = Read(back, sizeof back, &m, &e);
    Check(!r1 && e1 == ERROR_GEN_FAILURE && r2 && m == sizeof data,
          "AUTO_CLEAR_STALL: the stalled read fails (%s), the next flows (%s, %lu bytes)", Result(r1, e1), Result(r2, e), m);
    SetFlag(in, AUTO_CLEAR_STALL, 0);
    ok = WinUsb_ResetPipe(h, out);
    Check(ok, "ResetPipe(OUT) -> %s", Result(ok, GetLastError()));
    ok = WinUsb_WritePipe(h, out, data, 0, &n, NULL);
    r1 = Read(back, sizeof back, &m, &e);
    Check(ok && r1 && m == 0, "zero-length write -> %s; its echo -> %s, %lu bytes", Result(ok, GetLastError()),
          Result(r1, e), m);
}

void LoopbackChecks(const char* path) {
    HANDLE file = OpenPath(path);
    Check(file != INVALID_HANDLE_VALUE, "CreateFileA(%s, FILE_FLAG_OVERLAPPED) -> %s", path,
          Result(file != INVALID_HANDLE_VALUE, GetLastError()));
    if (file == INVALID_HANDLE_VALUE) return;
    double t = NowMs();
    BOOL ok = WinUsb_Initialize(file, &h);
    Check(ok, "Initialize -> %s (%.1f ms)", Result(ok, GetLastError()), NowMs() - t);
    if (!ok) return;
    HANDLE second = OpenPath(path);
    WINUSB_INTERFACE_HANDLE h2 = NULL;
    ok = WinUsb_Initialize(second, &h2);
    DWORD e = GetLastError();
    Check(!ok && e == ERROR_ACCESS_DENIED, "a second open's Initialize -> %s, want FALSE/5 (one owner)", Result(ok, e));
    Descriptors();
    if (!in || !out) return;
    Policies();
    Control();
    BulkSync();
    WholePackets();
    Overlapped();
    Halt();
    ok = WinUsb_Free(h);
    ULONG v = 0, n = 4;
    BOOL after = WinUsb_GetPipePolicy(h, in, PIPE_TRANSFER_TIMEOUT, &n, &v);
    e = GetLastError();
    Check(ok && !after && e == ERROR_INVALID_HANDLE, "Free -> %s; a call on the freed handle -> %s", Result(ok, 0),
          Result(after, e));
    ok = WinUsb_Initialize(second, &h2);
    e = GetLastError();
    Check(!ok && e == ERROR_ACCESS_DENIED, "after Free, while the owner's file is open: Initialize -> %s, want FALSE/5",
          Result(ok, e));
    CloseHandle(file);
    ok = WinUsb_Initialize(second, &h2);
    Check(ok, "once the owner's file is closed: Initialize -> %s", Result(ok, GetLastError()));
    if (ok) {
        h = h2;
        Drain();
        UCHAR data[64], back[64];
        ULONG m = 0;
        Fill(data, sizeof data, 13);
        BOOL w = Write(data, sizeof data, &n, &e);
        BOOL r = Read(back, sizeof back, &m, &e);
        Check(w && r && m == sizeof data && memcmp(data, back, m) == 0, "the new owner's echo -> %lu bytes", m);
        WinUsb_Free(h2);
    }
    CloseHandle(second);
}
