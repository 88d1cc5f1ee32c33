// Hooks of the random devices (simworld_random.h) into the WinUSB entry points. Each Random*
// call, made first thing in its entry point without the world mutex, answers the call when the
// handle belongs to a present random device and returns nothing otherwise: the entry point then
// answers as the simulated firmware does.
#pragma once
#include <windows.h>
#include <winusb.h>

#include <optional>

#include "world.h"

namespace sim {

std::optional<BOOL> RandomControlTransfer(WINUSB_INTERFACE_HANDLE handle, const WINUSB_SETUP_PACKET& setup,
                                          PUCHAR buffer, ULONG bufferLength, PULONG transferred,
                                          LPOVERLAPPED overlapped);
std::optional<BOOL> RandomPipeTransfer(bool isRead, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                                       ULONG bufferLength, PULONG transferred, LPOVERLAPPED overlapped);
// SIM_OP_RESET_PIPE, SIM_OP_FLUSH_PIPE or SIM_OP_ABORT_PIPE.
std::optional<BOOL> RandomPipeOperation(int operation, WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId);
std::optional<BOOL> RandomSetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type, ULONG length,
                                        PVOID value);
std::optional<BOOL> RandomGetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, ULONG type, PULONG length,
                                        PVOID value);
std::optional<BOOL> RandomQueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                                 PUSB_INTERFACE_DESCRIPTOR descriptor);
// `info` is a WINUSB_PIPE_INFORMATION_EX (WinUsb_QueryPipeEx) or a WINUSB_PIPE_INFORMATION.
std::optional<BOOL> RandomQueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index, bool extended,
                                    void* info);
std::optional<BOOL> RandomGetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
                                        PUCHAR buffer, ULONG bufferLength, PULONG transferred);

// Under the world mutex.
// WinUsb_Initialize on a random device: true when the device refuses, with the error to report.
bool RandomInitializeFailsLocked(const Device& d, DWORD& error);
// WinUsb_Free: the interface's overlapped transfers still pending end as aborted.
void CancelRandomTransfersLocked(WINUSB_INTERFACE_HANDLE handle);
// SimWorld_Reset: random devices and their pending transfers are forgotten.
void ResetRandomDevicesLocked();

}  // namespace sim
