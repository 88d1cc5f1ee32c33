/* What varkousb.dll's Windows-side files share: the call into the Unix side, the interfaces
   WinUSB handed out with their pipes and policies. Only windows.h, winusb.h and the plain C
   interface of bridge_calls.h meet here; libusb stays on the Unix side. */
#ifndef VARKOUSB_WINUSB_INTERNAL_H
#define VARKOUSB_WINUSB_INTERNAL_H

#include <windows.h>
#include <winusb.h>

#include "bridge_calls.h"

#define BRIDGE_MAX_INTERFACES 32
#define BRIDGE_MAX_PIPES 32
/* The largest control transfer WinUSB accepts (its data stage), and MAXIMUM_TRANSFER_SIZE. */
#define BRIDGE_MAX_CONTROL 4096u
#define BRIDGE_MAXIMUM_TRANSFER_SIZE 0x400000u

struct PipePolicies {
    UCHAR shortPacketTerminate, autoClearStall, ignoreShortPackets, allowPartialReads, autoFlush, rawIo,
        resetPipeOnResume;
    ULONG timeout;
};

struct Pipe {
    WINUSB_PIPE_INFORMATION_EX info;
    struct PipePolicies policies;
};

struct Interface {
    int inUse;
    HANDLE file;            /* the owner's file handle, for the one-owner rule */
    uint64_t node;
    uint32_t device;        /* the Unix side's id */
    UCHAR interfaceNumber;
    ULONG configLength;
    UCHAR config[BRIDGE_CONFIG_MAX];
    struct PipePolicies control;    /* pipe 0 */
    unsigned pipeCount;             /* of alternate setting 0, the setting in force */
    struct Pipe pipes[BRIDGE_MAX_PIPES];
};

/* Calls the Unix side; FALSE when it cannot be reached (args untouched then). */
BOOL BridgeCall(enum BridgeCall code, void* args);

/* Interfaces and their lock: a call looks its handle up and keeps what it needs. */
extern CRITICAL_SECTION bridgeLock;
struct Interface* BridgeInterface(WINUSB_INTERFACE_HANDLE handle);   /* bridgeLock held; null when unknown */
struct Pipe* BridgePipe(struct Interface* i, UCHAR pipeId);
void BridgeDefaultPolicies(struct PipePolicies* p, BOOL controlPipe);

/* FALSE with the last error set, or TRUE. */
BOOL BridgeFail(DWORD error);
DWORD BridgeWin32FromStatus(uint32_t status);

/* The alternate setting's interface descriptor and its endpoints' descriptors, from the
   configuration descriptor the device reported. */
const USB_INTERFACE_DESCRIPTOR* BridgeSetting(const struct Interface* i, UCHAR alternate);
const UCHAR* BridgeEndpoint(const struct Interface* i, UCHAR alternate, UCHAR index);
void BridgePipeInformation(const UCHAR* endpoint, WINUSB_PIPE_INFORMATION_EX* out);

#endif
