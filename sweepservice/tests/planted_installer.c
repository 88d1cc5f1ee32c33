/* A stand-in class installer that only the test program's own folder holds: whether a removal
   loads it shows where the process's DLL search looks. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
