/* Control interface of the simulated world's random devices: devices that answer every WinUSB
   call reaching them with an answer drawn from a seeded generator, as a broken or hostile
   device might, within the platform's documented contracts:
   - a call succeeds, or fails with FALSE and a nonzero Win32 error as the thread's last error;
   - a transfer reports from 0 up to the length asked, never more, and writes no more than that
     into the buffer (a failed IN transfer may leave a part of its data there);
   - IN data, descriptors, interface settings and pipe information are random: lying length
     bytes, odd lengths, no terminator, any endpoint count, type, address and packet size;
   - an overlapped transfer completes at once (TRUE, its OVERLAPPED completed and its event set),
     later on the world's own thread, or never until its pipe is aborted or its interface freed;
   - calls that break the platform's parameter rules (a null buffer with a nonzero length, a null
     record to fill) fail as the platform fails them, without an answer from the device.
   The same seed and the same sequence of calls give the same answers. The device's interface
   path opens like any simulated device's; SimWorld_RemoveDevice unplugs it. */
#ifndef SIMWORLD_RANDOM_H
#define SIMWORLD_RANDOM_H

#include <windows.h>

#include "simworld.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Adds a present random device (an interface of SIM_DEVICE_CLASS_TEXT); returns its id (>0)
   and writes its interface path. */
SIMWORLD_API int SimRandom_AddDevice(uint64_t seed, char* path, size_t pathCapacity);

/* One interface event drawn from the seed, for the class: an arrival of a new present interface
   or the removal of one that an earlier event added (delivered as SimInterfaces_Add and
   SimInterfaces_Remove deliver them, the path as narrow bytes), or a Configuration Manager
   event of any action whose UTF-16 link need not be in the code page. Paths are empty, short or
   very long. Returns the number of bytes of the path delivered (UTF-16 links count 2 a unit). */
SIMWORLD_API uint32_t SimRandom_Announce(uint64_t seed, const GUID* classGuid);

/* What the random devices have done since the process started. */
typedef struct SimRandomCounters {
    uint64_t answers;    /* calls answered by a random device */
    uint64_t bytes;      /* bytes they wrote into buffers, plus the bytes of announced paths */
    uint64_t pending;    /* overlapped transfers started and not completed yet */
} SimRandomCounters;
SIMWORLD_API void SimRandom_Counters(SimRandomCounters* counters);

#ifdef __cplusplus
}
#endif
#endif
