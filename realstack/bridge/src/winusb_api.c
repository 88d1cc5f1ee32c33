/* varkousb.dll, the Windows side: WinUSB's interfaces, queries, descriptors and pipe policies on
   a real USB stack. The device work happens on the Unix side (engine_*.c, libusb), reached
   through Wine's Unix call of this builtin module. Where WinUSB itself shapes an answer (not the
   stack), this follows docs/platform-contracts.md and names the row. Failures return FALSE with
   the thread's last error set. */
#include <string.h>

#include "winusb_internal.h"

typedef LONG(WINAPI* QueryMemory)(HANDLE, PVOID, int, PVOID, SIZE_T, SIZE_T*);
typedef LONG(WINAPI* UnixCall)(UINT64, unsigned int, void*);

/* Wine's own information class that names a builtin module's Unix entry points. */
#define MEMORY_WINE_UNIX_FUNCS 1000

static HINSTANCE self;
static INIT_ONCE unixOnce = INIT_ONCE_STATIC_INIT;
static UnixCall unixCall;
static UINT64 unixHandle;

CRITICAL_SECTION bridgeLock;
static CRITICAL_SECTION lifeLock;   /* opening, closing and the event thread's life */
static HANDLE eventThread;
static unsigned openDevices;
static struct Interface interfaces[BRIDGE_MAX_INTERFACES];

/* One owner per device: the last file handle that initialized each device node, by path. */
struct Owner {
    WCHAR path[MAX_PATH];
    HANDLE file;
};
static struct Owner owners[BRIDGE_MAX_INTERFACES];

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&bridgeLock);
        InitializeCriticalSection(&lifeLock);
    }
    return TRUE;
}

static BOOL CALLBACK FindUnixSide(PINIT_ONCE once, PVOID parameter, PVOID* context) {
    (void)once;
    (void)parameter;
    (void)context;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    QueryMemory query = (QueryMemory)(void*)GetProcAddress(ntdll, "NtQueryVirtualMemory");
    UnixCall call = (UnixCall)(void*)GetProcAddress(ntdll, "__wine_unix_call");
    UINT64 handle = 0;
    if (query && call && query(GetCurrentProcess(), self, MEMORY_WINE_UNIX_FUNCS, &handle, sizeof handle, NULL) == 0) {
        unixCall = call;
        unixHandle = handle;
    }
    return TRUE;
}

BOOL BridgeCall(enum BridgeCall code, void* args) {
    InitOnceExecuteOnce(&unixOnce, FindUnixSide, NULL, NULL);
    return unixCall && unixCall(unixHandle, (unsigned int)code, args) == 0;
}

BOOL BridgeFail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DWORD BridgeWin32FromStatus(uint32_t status) {
    switch (status) {
    case BRIDGE_STATUS_SUCCESS: case BRIDGE_STATUS_PENDING: return 0;
    case BRIDGE_STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case BRIDGE_STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
    }
}

struct Interface* BridgeInterface(WINUSB_INTERFACE_HANDLE handle) {
    for (unsigned n = 0; n < BRIDGE_MAX_INTERFACES; ++n) {
        if ((WINUSB_INTERFACE_HANDLE)&interfaces[n] == handle) return interfaces[n].inUse ? &interfaces[n] : NULL;
    }
    return NULL;
}

struct Pipe* BridgePipe(struct Interface* i, UCHAR pipeId) {
    for (unsigned n = 0; n < i->pipeCount; ++n) {
        if (i->pipes[n].info.PipeId == pipeId) return &i->pipes[n];
    }
    return NULL;
}

/* WinUsb_Initialize row: every open starts at the documented defaults (partial reads allowed,
   a 5 s time-out on the control pipe only). */
void BridgeDefaultPolicies(struct PipePolicies* p, BOOL controlPipe) {
    memset(p, 0, sizeof *p);
    p->allowPartialReads = 1;
    p->timeout = controlPipe ? 5000u : 0u;
}

const USB_INTERFACE_DESCRIPTOR* BridgeSetting(const struct Interface* i, UCHAR alternate) {
    for (ULONG at = 0; at + 2 <= i->configLength;) {
        const UCHAR* d = i->config + at;
        if (d[0] < 2 || at + d[0] > i->configLength) break;
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            d[2] == i->interfaceNumber && d[3] == alternate)
            return (const USB_INTERFACE_DESCRIPTOR*)d;
        at += d[0];
    }
    return NULL;
}

const UCHAR* BridgeEndpoint(const struct Interface* i, UCHAR alternate, UCHAR index) {
    const UCHAR* setting = (const UCHAR*)BridgeSetting(i, alternate);
    if (!setting) return NULL;
    unsigned seen = 0;
    for (ULONG at = (ULONG)(setting - i->config) + setting[0]; at + 2 <= i->configLength;) {
        const UCHAR* d = i->config + at;
        if (d[0] < 2 || at + d[0] > i->configLength || d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= 7 && seen++ == index) return d;
        at += d[0];
    }
    return NULL;
}

void BridgePipeInformation(const UCHAR* endpoint, WINUSB_PIPE_INFORMATION_EX* out) {
    USHORT packet = (USHORT)(endpoint[4] | (endpoint[5] << 8));
    memset(out, 0, sizeof *out);
    out->PipeType = (USBD_PIPE_TYPE)(endpoint[3] & 3);
    out->PipeId = endpoint[2];
    out->MaximumPacketSize = (USHORT)(packet & 0x7FF);
    out->Interval = endpoint[6];
    /* Periodic pipes reserve bytes per service interval (with the high-bandwidth multiplier);
       bulk and control pipes none. */
    if (out->PipeType == UsbdPipeTypeIsochronous || out->PipeType == UsbdPipeTypeInterrupt)
        out->MaximumBytesPerInterval = (ULONG)(packet & 0x7FF) * (((packet >> 11) & 3) + 1u);
}

/* True when the handle was opened with FILE_FLAG_OVERLAPPED: its file mode holds neither of
   the synchronous-I/O flags. WinUSB works with overlapped I/O only. */
static BOOL OpenedForOverlappedIo(HANDLE file) {
    typedef struct {
        ULONG_PTR status;
        ULONG_PTR information;
    } IoStatus;
    typedef LONG(WINAPI * Query)(HANDLE, IoStatus*, void*, ULONG, int);
    const int fileModeInformation = 16;
    const ULONG synchronousIo = 0x10 | 0x20;
    Query query = (Query)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile");
    IoStatus io = {0, 0};
    ULONG mode = 0;
    if (!query || query(file, &io, &mode, sizeof mode, fileModeInformation) != 0) return TRUE;   /* not judged */
    return (mode & synchronousIo) == 0;
}

static DWORD WINAPI EventLoop(LPVOID unused) {
    (void)unused;
    struct EventArgs a = {0};
    BridgeCall(kCallRunEvents, &a);
    return 0;
}

/* lifeLock held. The module stays loaded once its thread ran: a host may unload the face. */
static BOOL StartEvents(void) {
    if (eventThread) return TRUE;
    HMODULE pinned;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCWSTR)(void*)EventLoop, &pinned);
    eventThread = CreateThread(NULL, 0, EventLoop, NULL, 0, NULL);
    return eventThread != NULL;
}

static void StopEventsIfIdle(void) {
    if (openDevices || !eventThread) return;
    struct EventArgs a = {0};
    BridgeCall(kCallStopEvents, &a);
    WaitForSingleObject(eventThread, INFINITE);
    CloseHandle(eventThread);
    eventThread = NULL;
}

/* One owner per device row: Windows refuses a second CreateFile of an open WinUSB device with
   ERROR_ACCESS_DENIED. Wine's CreateFile cannot refuse, and the kernel refuses a second claim
   only while the first is held; so, as the world does, the bridge refuses here while the
   owner's file handle is still open on the device (bridgeLock held). */
static BOOL OwnedByAnother(HANDLE file, const WCHAR* path) {
    for (unsigned n = 0; n < BRIDGE_MAX_INTERFACES; ++n) {
        struct Owner* o = &owners[n];
        if (!o->file || o->file == file || lstrcmpiW(o->path, path) != 0) continue;
        WCHAR now[MAX_PATH];
        DWORD m = GetFinalPathNameByHandleW(o->file, now, MAX_PATH, FILE_NAME_NORMALIZED);
        if (m && m < MAX_PATH && lstrcmpiW(now, path) == 0) return TRUE;
        o->file = NULL;   /* closed since */
    }
    return FALSE;
}

static void RecordOwner(HANDLE file, const WCHAR* path) {
    struct Owner* free = NULL;
    for (unsigned n = 0; n < BRIDGE_MAX_INTERFACES; ++n) {
        if (owners[n].file && lstrcmpiW(owners[n].path, path) == 0) free = &owners[n];
        else if (!owners[n].file && !free) free = &owners[n];
    }
    if (!free) return;
    lstrcpynW(free->path, path, MAX_PATH);
    free->file = file;
}

static void FillInterface(struct Interface* i, const struct OpenArgs* a, HANDLE file) {
    memset(i, 0, sizeof *i);
    i->file = file;
    i->node = a->node;
    i->device = a->device;
    i->interfaceNumber = a->interfaceNumber;
    i->configLength = a->configLength;
    memcpy(i->config, a->config, a->configLength);
    BridgeDefaultPolicies(&i->control, TRUE);
    for (UCHAR n = 0; n < BRIDGE_MAX_PIPES; ++n) {
        const UCHAR* e = BridgeEndpoint(i, 0, n);
        if (!e) break;
        BridgePipeInformation(e, &i->pipes[n].info);
        BridgeDefaultPolicies(&i->pipes[n].policies, FALSE);
        i->pipeCount = n + 1u;
    }
    i->inUse = 1;
}

__declspec(dllexport) BOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    if (!file || file == INVALID_HANDLE_VALUE) return BridgeFail(ERROR_INVALID_HANDLE);
    if (!handle) return BridgeFail(ERROR_NOACCESS);
    if (!OpenedForOverlappedIo(file)) return BridgeFail(ERROR_INVALID_HANDLE);
    WCHAR path[MAX_PATH] = {0};
    DWORD pathLength = GetFinalPathNameByHandleW(file, path, MAX_PATH, FILE_NAME_NORMALIZED);
    if (pathLength >= MAX_PATH) path[0] = 0;
    struct OpenArgs* a = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *a);
    if (!a) return BridgeFail(ERROR_NOT_ENOUGH_MEMORY);
    a->file = (uint64_t)(uintptr_t)file;
    DWORD error = 0;
    EnterCriticalSection(&lifeLock);
    EnterCriticalSection(&bridgeLock);
    BOOL refused = path[0] && OwnedByAnother(file, path);
    LeaveCriticalSection(&bridgeLock);
    if (refused) error = ERROR_ACCESS_DENIED;
    else if (!StartEvents()) error = GetLastError();
    else if (!BridgeCall(kCallOpen, a)) error = ERROR_NOT_SUPPORTED;   /* no Unix side: not under Wine's loader */
    else error = a->error;
    if (!error) {
        EnterCriticalSection(&bridgeLock);
        struct Interface* slot = NULL;
        for (unsigned n = 0; n < BRIDGE_MAX_INTERFACES && !slot; ++n) {
            if (!interfaces[n].inUse) slot = &interfaces[n];
        }
        if (slot) {
            FillInterface(slot, a, file);
            if (path[0]) RecordOwner(file, path);
            *handle = (WINUSB_INTERFACE_HANDLE)slot;
            ++openDevices;
        }
        LeaveCriticalSection(&bridgeLock);
        if (!slot) {
            struct DeviceArgs c = {a->device, 0, 0};
            BridgeCall(kCallClose, &c);
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    StopEventsIfIdle();
    LeaveCriticalSection(&lifeLock);
    HeapFree(GetProcessHeap(), 0, a);
    return error ? BridgeFail(error) : TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
    EnterCriticalSection(&lifeLock);
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    uint32_t device = i ? i->device : 0;
    if (i) i->inUse = 0;   /* later calls on the handle fail; what runs now ends below */
    LeaveCriticalSection(&bridgeLock);
    if (i) {
        /* What is still under way on the interface ends with it (ERROR_OPERATION_ABORTED). */
        struct DeviceArgs c = {device, 0, 0};
        BridgeCall(kCallClose, &c);
        --openDevices;
        StopEventsIfIdle();
    }
    LeaveCriticalSection(&lifeLock);
    return i ? TRUE : BridgeFail(ERROR_INVALID_HANDLE);
}

/* ERROR_DEVICE_NOT_CONNECTED once the device is gone (the removal row's later calls). */
static DWORD Presence(uint32_t device) {
    struct DeviceArgs a = {device, 0, 0};
    return BridgeCall(kCallPresent, &a) ? a.error : ERROR_NOT_SUPPORTED;
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                                                PUSB_INTERFACE_DESCRIPTOR descriptor) {
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    USB_INTERFACE_DESCRIPTOR found;
    const USB_INTERFACE_DESCRIPTOR* s = i ? BridgeSetting(i, alternate) : NULL;
    if (s) memcpy(&found, s, sizeof found);
    uint32_t device = i ? i->device : 0;
    LeaveCriticalSection(&bridgeLock);
    if (!i) return BridgeFail(ERROR_INVALID_HANDLE);
    DWORD gone = Presence(device);
    if (gone) return BridgeFail(gone);
    if (!s) return BridgeFail(ERROR_NO_MORE_ITEMS);
    if (!descriptor) return BridgeFail(ERROR_NOACCESS);
    memcpy(descriptor, &found, sizeof found);
    return TRUE;
}

static BOOL QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index, WINUSB_PIPE_INFORMATION_EX* out) {
    EnterCriticalSection(&bridgeLock);
    struct Interface* i = BridgeInterface(handle);
    const UCHAR* e = i ? BridgeEndpoint(i, alternate, index) : NULL;
    if (e) BridgePipeInformation(e, out);
    uint32_t device = i ? i->device : 0;
    LeaveCriticalSection(&bridgeLock);
    if (!i) return BridgeFail(ERROR_INVALID_HANDLE);
    DWORD gone = Presence(device);
    if (gone) return BridgeFail(gone);
    return e ? TRUE : BridgeFail(ERROR_NO_MORE_ITEMS);
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryPipeEx(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                                     PWINUSB_PIPE_INFORMATION_EX info) {
    WINUSB_PIPE_INFORMATION_EX out;
    if (!info) return BridgeFail(ERROR_NOACCESS);
    if (!QueryPipe(handle, alternate, index, &out)) return FALSE;
    *info = out;
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                                   PWINUSB_PIPE_INFORMATION info) {
    WINUSB_PIPE_INFORMATION_EX out;
    if (!info) return BridgeFail(ERROR_NOACCESS);
    if (!QueryPipe(handle, alternate, index, &out)) return FALSE;
    info->PipeType = out.PipeType;
    info->PipeId = out.PipeId;
    info->MaximumPacketSize = out.MaximumPacketSize;
    info->Interval = out.Interval;
    return TRUE;
}
