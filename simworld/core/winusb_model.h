// What the simulated WinUSB entry points share: completion codes, outcomes, pipes and their
// policies, and the ending of transfers under way. Callers hold the world mutex.
#pragma once
#include <chrono>
#include <cstring>

#include "world.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// NTSTATUS values a transfer completes with (OVERLAPPED.Internal).
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusIoTimeout = 0xC00000B5;
constexpr ULONG_PTR kStatusStalled = 0xC0000001;
constexpr ULONG_PTR kStatusBufferOverflow = 0xC0000023;   // more data than the read asked for

// The largest control transfer WinUSB accepts (its data stage).
constexpr ULONG kMaxControlTransfer = 4096;
// MAXIMUM_TRANSFER_SIZE as WinUSB reports it.
constexpr ULONG kMaximumTransferSize = 0x400000;

// The Win32 code a caller reads back for a status; 0 for success codes.
DWORD Win32FromStatus(ULONG_PTR status);

// What a call comes to: a failure may carry a last error of 0, as an odd driver can leave it.
struct Outcome {
    bool ok = true;
    DWORD error = 0;
    void Fail(DWORD e) {
        ok = false;
        error = e;
    }
};

inline BOOL Finish(const Outcome& o) {
    if (o.ok) return TRUE;
    SetLastError(o.error);
    return FALSE;
}

inline uint64_t U(const void* p) { return reinterpret_cast<uintptr_t>(p); }

PipeState* FindPipe(Device& d, UCHAR pipeId);
// Policies also exist for the default control pipe, pipe 0.
PipeState* PolicyPipe(Device& d, UCHAR pipeId);
// Value size of a documented pipe policy (booleans one byte, the rest ULONG); 0 for others.
ULONG PolicySize(ULONG type);
// The policy's value: what was set, else the documented default.
Bytes PolicyValue(const PipeState& pipe, ULONG type);
inline bool PolicyOn(const PipeState& pipe, ULONG type) { return PolicyValue(pipe, type)[0] != 0; }
DWORD TimeoutOf(const PipeState& pipe);

// Ends the transfers under way on an interface (pipe -1: all of its pipes) as cancelled:
// overlapped ones on the caller's thread, synchronous ones wake their callers.
void CancelTransfers(World& w, WINUSB_INTERFACE_HANDLE handle, int pipeId);
// Completes an overlapped transfer as the I/O manager does: count and status into the
// OVERLAPPED, then its event.
void Signal(World& w, const PendingTransfer& p, ULONG_PTR status, ULONG moved);

}  // namespace sim
