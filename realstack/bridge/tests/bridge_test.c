/* bridge_test.exe: the WinUSB bridge's own test program, run under wine64.
     bridge_test.exe host SCRATCHFILE      checks that need no USB device
     bridge_test.exe loopback PATH         the kernel's loopback gadget at PATH (Z:\dev\bus\usb\BBB\DDD)
     bridge_test.exe removal PATH MARKER   unplugged (by the guest's script, once MARKER exists) while reads wait
     bridge_test.exe library PATH          LinkWinUsb.dll's OpenDevice/Write/Read against our firmware
   Prints one line per check and a summary; exits 1 when any check failed. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "bridge_checks.h"

static int checks, failures;

void Check(int passed, const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("%s ", passed ? "ok  " : "FAIL");
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
    va_end(args);
    ++checks;
    if (!passed) ++failures;
}

const char* Result(BOOL ok, DWORD error) {
    static char text[4][32];
    static int next;
    char* t = text[next++ % 4];
    if (ok) snprintf(t, sizeof text[0], "TRUE");
    else snprintf(t, sizeof text[0], "FALSE/%lu", (unsigned long)error);
    return t;
}

double NowMs(void) {
    static LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

void HostChecks(const char* scratchFile) {
    WINUSB_INTERFACE_HANDLE h = NULL;
    BOOL ok = WinUsb_Initialize(NULL, &h);
    DWORD e = GetLastError();
    Check(!ok && e == ERROR_INVALID_HANDLE, "Initialize(NULL) -> %s, want FALSE/6", Result(ok, e));
    ok = WinUsb_Initialize(INVALID_HANDLE_VALUE, &h);
    e = GetLastError();
    Check(!ok && e == ERROR_INVALID_HANDLE, "Initialize(INVALID_HANDLE_VALUE) -> %s, want FALSE/6", Result(ok, e));

    HANDLE file = CreateFileA(scratchFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    Check(file != INVALID_HANDLE_VALUE, "CreateFileA(%s, OVERLAPPED)", scratchFile);
    ok = WinUsb_Initialize(file, NULL);
    e = GetLastError();
    Check(!ok && e == ERROR_NOACCESS, "Initialize(file, NULL) -> %s, want FALSE/998", Result(ok, e));
    ok = WinUsb_Initialize(file, &h);
    e = GetLastError();
    Check(!ok && e == ERROR_INVALID_FUNCTION, "Initialize(a plain file) -> %s, want FALSE/1 (not a USB device)",
          Result(ok, e));
    CloseHandle(file);
    file = CreateFileA(scratchFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    ok = WinUsb_Initialize(file, &h);
    e = GetLastError();
    Check(!ok && e == ERROR_INVALID_HANDLE, "Initialize(a handle without FILE_FLAG_OVERLAPPED) -> %s, want FALSE/6",
          Result(ok, e));
    CloseHandle(file);
    DeleteFileA(scratchFile);

    /* Every function with a null interface handle: ERROR_INVALID_HANDLE, nothing else. */
    UCHAR buffer[64];
    ULONG n = 0;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    WINUSB_SETUP_PACKET setup;
    memset(&setup, 0, sizeof setup);
    USB_INTERFACE_DESCRIPTOR setting;
    WINUSB_PIPE_INFORMATION pipe;
    WINUSB_PIPE_INFORMATION_EX pipeEx;
    DWORD count = 0;
    struct {
        const char* name;
        BOOL ok;
        DWORD error;
    } rows[14];
    int r = 0;
#define ROW(label, call) do { BOOL result_ = (call); rows[r].name = label; rows[r].ok = result_; rows[r].error = GetLastError(); ++r; } while (0)
    ROW("Free", WinUsb_Free(NULL));
    ROW("ControlTransfer", WinUsb_ControlTransfer(NULL, setup, buffer, 0, &n, NULL));
    ROW("ReadPipe", WinUsb_ReadPipe(NULL, 0x81, buffer, sizeof buffer, &n, NULL));
    ROW("WritePipe", WinUsb_WritePipe(NULL, 0x01, buffer, sizeof buffer, &n, NULL));
    ROW("ResetPipe", WinUsb_ResetPipe(NULL, 0x81));
    ROW("FlushPipe", WinUsb_FlushPipe(NULL, 0x81));
    ROW("AbortPipe", WinUsb_AbortPipe(NULL, 0x81));
    ROW("SetPipePolicy", WinUsb_SetPipePolicy(NULL, 0x81, PIPE_TRANSFER_TIMEOUT, 4, &n));
    ROW("GetPipePolicy", WinUsb_GetPipePolicy(NULL, 0x81, PIPE_TRANSFER_TIMEOUT, &n, buffer));
    ROW("QueryInterfaceSettings", WinUsb_QueryInterfaceSettings(NULL, 0, &setting));
    ROW("QueryPipe", WinUsb_QueryPipe(NULL, 0, 0, &pipe));
    ROW("QueryPipeEx", WinUsb_QueryPipeEx(NULL, 0, 0, &pipeEx));
    ROW("GetDescriptor", WinUsb_GetDescriptor(NULL, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof buffer, &n));
    ROW("GetOverlappedResult", WinUsb_GetOverlappedResult(NULL, &ov, &count, FALSE));
#undef ROW
    for (int i = 0; i < r; ++i)
        Check(!rows[i].ok && rows[i].error == ERROR_INVALID_HANDLE, "%s(NULL handle) -> %s, want FALSE/6", rows[i].name,
              Result(rows[i].ok, rows[i].error));
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: bridge_test.exe host SCRATCHFILE | loopback PATH | removal PATH MARKER | library PATH\n");
        return 2;
    }
    if (strcmp(argv[1], "host") == 0) HostChecks(argv[2]);
    else if (strcmp(argv[1], "loopback") == 0) LoopbackChecks(argv[2]);
    else if (strcmp(argv[1], "removal") == 0 && argc > 3) RemovalChecks(argv[2], argv[3]);
    else if (strcmp(argv[1], "library") == 0) LibraryChecks(argv[2]);
    else {
        fprintf(stderr, "bridge_test: unknown mode %s\n", argv[1]);
        return 2;
    }
    printf("%d checks, %d failed\n", checks, failures);
    return failures ? 1 : 0;
}
