/* inputgate: locks the local keyboard and mouse for the host, lets through only the events the
   host announces one by one, and gives the lock up on Ctrl+Alt+Del.
   One header for C and C++ hosts; inputgate64.dll for 64-bit hosts, inputgate32.dll for 32-bit ones.
   Every export uses the C calling convention (the caller removes the arguments). Results and the
   lock parameter are one-byte booleans, not the 32-bit Win32 BOOL. */
#ifndef INPUTGATE_H
#define INPUTGATE_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#define INPUTGATE_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define INPUTGATE_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define INPUTGATE_CALL __cdecl

INPUTGATE_STATIC_ASSERT(sizeof(bool) == 1, "inputgate booleans are one byte");

/* lock true: start the lock unless a lock thread already runs; returns whether the lock is on
   afterwards. lock false: release the lock; returns true. */
bool INPUTGATE_CALL LockInput(bool lock);
/* true while the lock is on */
bool INPUTGATE_CALL IsBlocked(void);
/* Announce that the next keyboard (mouse) event of this type, the message identifier a low-level
   hook sees as wParam (WM_KEYDOWN 0x0100, WM_MOUSEMOVE 0x0200, ...), may pass. One announcement
   lets one event through, first in first out per device. Dropped while the lock is off. When the
   announcement cannot be stored, it is dropped and the thread's last error is ERROR_NOT_ENOUGH_MEMORY. */
void INPUTGATE_CALL AllowKeyboardEvent(uint32_t eventType);
void INPUTGATE_CALL AllowMouseEvent(uint32_t eventType);

#ifdef __cplusplus
}
#endif
#endif
