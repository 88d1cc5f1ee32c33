/* The bridge's test program: checks of the WinUSB functions through winusb.dll (the face), each
   printed with what it measured. */
#ifndef BRIDGE_CHECKS_H
#define BRIDGE_CHECKS_H

#include <windows.h>
#include <winusb.h>
#include <stdint.h>

/* Counts a check and prints "ok" or "FAIL" with the description. */
void Check(int passed, const char* format, ...);
/* The call's result and last error as "TRUE" or "FALSE/<error>". */
const char* Result(BOOL ok, DWORD error);
double NowMs(void);

/* The device checks against the kernel's loopback function (bulk OUT looped back to IN). */
void LoopbackChecks(const char* path);
/* Checks that need no device: loading, and WinUsb_Initialize on handles that are no device. */
void HostChecks(const char* scratchFile);
/* The device unplugged while transfers wait: MARKER asks the guest's script to unbind it. */
void RemovalChecks(const char* path, const char* marker);
/* LinkWinUsb.dll's own OpenDevice/Write/Read against the maker's firmware. */
void LibraryChecks(const char* path);

#endif
