// The results the header documents, and what the platform calls the world recorded show of a call.
#pragma once
#include <cstdint>

#include "simworld.h"

namespace usbfuzz {

inline bool IsWin32(uint32_t r) { return r >= 1 && r <= 15999; }
inline bool IsHresultOfWin32(uint32_t r) { return (r & 0xFFFF0000u) == 0x80070000u && IsWin32(r & 0xFFFFu); }

// The last recorded call of one of the functions (names separated by '|'); false when none.
bool LastCall(const char* functions, SimCall& last);

// The export passed the platform's outcome on: `success` (or the short-transfer code when given)
// for a call that succeeded, the call's own Win32 error for one that failed (31 when it left the
// last error at 0, and 50 for 1 where 1 is the success value: no failure reads as success).
void CheckPassedOn(const char* functions, uint32_t r, uint32_t success, uint32_t shortCode = 0);

}  // namespace usbfuzz
