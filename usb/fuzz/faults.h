// The guarded host buffers, and the fault handlers that name the buffer a stray access hit.
#pragma once
#include <windows.h>

#include <cstddef>

#include "guarded_memory.h"

namespace usbfuzz {

// A region for buffers of up to `capacity` bytes, known to the fault handler by `name`; the
// program ends when the memory cannot be had.
GuardedRegion* NewRegion(size_t capacity, const char* name);

// Vectored handler: an access to a region's guard, or a write into a region made read-only, is
// a broken invariant. Other exceptions pass on.
LONG CALLBACK OnAccessViolation(EXCEPTION_POINTERS* info);
// The last resort: any exception no one handled.
LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* info);

}  // namespace usbfuzz
