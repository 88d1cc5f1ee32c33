/* The Unix side of varkousb: the libusb context and its event loop, opening a device from the
   file handle Wine gave the program, closing it, and the pipe operations that are not transfers.
   Every function of ntdll.so called here is declared ms_abi, as ntdll.so's exports are. */
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "engine.h"

/* ntdll.so's Unix-side exports, in the Windows calling convention. */
extern int32_t __attribute__((ms_abi)) wine_server_handle_to_fd(void* handle, unsigned int access, int* fd,
                                                                 unsigned int* options);

pthread_mutex_t engineLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t engineChanged = PTHREAD_COND_INITIALIZER;
libusb_context* engineContext;
struct Device engineDevices[ENGINE_MAX_DEVICES];
static int stopEvents;

struct Device* EngineDevice(uint32_t id) {
    uint32_t slot = (id & 0xFFu);
    if (slot == 0 || slot > ENGINE_MAX_DEVICES) return NULL;
    struct Device* d = &engineDevices[slot - 1];
    return d->open && d->generation == (id >> 8) ? d : NULL;
}

uint64_t EngineNowMs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}

uint32_t EngineErrorFromLibusb(int error) {
    switch (error) {
    case LIBUSB_SUCCESS: return 0;
    case LIBUSB_ERROR_TIMEOUT: return BRIDGE_ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_PIPE: return BRIDGE_ERROR_GEN_FAILURE;      /* a stall */
    case LIBUSB_ERROR_NO_DEVICE: return BRIDGE_ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_INTERRUPTED: return BRIDGE_ERROR_OPERATION_ABORTED;
    case LIBUSB_ERROR_ACCESS: return BRIDGE_ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY: return BRIDGE_ERROR_BUSY;
    case LIBUSB_ERROR_INVALID_PARAM: case LIBUSB_ERROR_NOT_FOUND: return BRIDGE_ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM: return BRIDGE_ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED: return BRIDGE_ERROR_INVALID_FUNCTION;
    default: return BRIDGE_ERROR_GEN_FAILURE;
    }
}

void EngineDropLeftOver(struct LeftOver* left) {
    free(left->data);
    memset(left, 0, sizeof *left);
}

void EngineCancelMatching(struct Device* d, uint32_t id, int endpoint) {
    for (struct Pending* p = d->underWay; p; p = p->next) {
        if (p->device != id || (endpoint >= 0 && p->endpoint != (uint8_t)endpoint)) continue;
        p->cancelAsked = 1;
        libusb_cancel_transfer(p->transfer);   /* NOT_FOUND: it is finishing already */
    }
}

void EngineWaitCancelled(uint32_t id, int endpoint) {
    for (;;) {
        struct Device* d = EngineDevice(id);
        int left = 0;
        for (struct Pending* p = d ? d->underWay : NULL; p; p = p->next) {
            if (p->cancelAsked && (endpoint < 0 || p->endpoint == (uint8_t)endpoint)) left = 1;
        }
        if (!left) return;
        pthread_cond_wait(&engineChanged, &engineLock);
    }
}

/* The context is made once and kept for the life of the process (engineLock held). It never
   scans the bus or watches for hotplug: devices come only from the program's file handles (and
   so no thread of libusb's own runs beside Wine's). */
static int EnsureContext(void) {
    if (engineContext) return LIBUSB_SUCCESS;
    libusb_set_option(NULL, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
    return libusb_init(&engineContext);
}

/* Runs on a thread of the Windows side, inside this call, until StopEvents: every completion
   callback runs here. A stop asked before the loop starts still ends it. */
static int32_t RunEvents(void* args) {
    struct EventArgs* a = args;
    pthread_mutex_lock(&engineLock);
    int r = EnsureContext();
    libusb_context* ctx = engineContext;
    pthread_mutex_unlock(&engineLock);
    a->error = EngineErrorFromLibusb(r);
    while (r == LIBUSB_SUCCESS) {
        libusb_handle_events_completed(ctx, &stopEvents);
        pthread_mutex_lock(&engineLock);
        int stop = stopEvents;
        if (stop) stopEvents = 0;   /* ready for the next start */
        pthread_mutex_unlock(&engineLock);
        if (stop) break;
    }
    return 0;
}

static int32_t StopEvents(void* args) {
    struct EventArgs* a = args;
    pthread_mutex_lock(&engineLock);
    stopEvents = 1;
    libusb_context* ctx = engineContext;
    pthread_mutex_unlock(&engineLock);
    if (ctx) libusb_interrupt_event_handler(ctx);
    a->error = 0;
    return 0;
}

static int32_t Open(void* args) {
    struct OpenArgs* a = args;
    a->device = 0;
    a->configLength = 0;
    int fd = -1;
    unsigned int options = 0;
    if (wine_server_handle_to_fd((void*)(uintptr_t)a->file, 0, &fd, &options) != 0 || fd < 0) {
        a->error = BRIDGE_ERROR_INVALID_HANDLE;
        return 0;
    }
    struct stat st;
    a->node = fstat(fd, &st) == 0 ? (uint64_t)st.st_rdev : 0;
    pthread_mutex_lock(&engineLock);
    int r = EnsureContext();
    pthread_mutex_unlock(&engineLock);
    libusb_device_handle* h = NULL;
    if (r == LIBUSB_SUCCESS) r = libusb_wrap_sys_device(engineContext, (intptr_t)fd, &h);
    if (r != LIBUSB_SUCCESS) {
        close(fd);
        a->error = r == LIBUSB_ERROR_NO_DEVICE ? BRIDGE_ERROR_DEVICE_NOT_CONNECTED : BRIDGE_ERROR_INVALID_FUNCTION;
        return 0;   /* not a USB device node */
    }
    struct libusb_config_descriptor* config = NULL;
    r = libusb_get_active_config_descriptor(libusb_get_device(h), &config);
    if (r == LIBUSB_SUCCESS && config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        a->interfaceNumber = config->interface[0].altsetting[0].bInterfaceNumber;
    } else if (r == LIBUSB_SUCCESS) {
        r = LIBUSB_ERROR_NOT_FOUND;
    }
    if (config) libusb_free_config_descriptor(config);
    /* The raw bytes, for the Windows side's queries: the descriptor's wTotalLength of them. */
    if (r == LIBUSB_SUCCESS) {
        int n = libusb_get_descriptor(h, LIBUSB_DT_CONFIG, 0, a->config, BRIDGE_CONFIG_MAX);
        if (n < 0) r = n;
        else a->configLength = (uint32_t)n;
    }
    /* One owner per device: the kernel refuses a claim another open file holds (BUSY). */
    if (r == LIBUSB_SUCCESS) r = libusb_claim_interface(h, a->interfaceNumber);
    if (r != LIBUSB_SUCCESS) {
        libusb_close(h);
        close(fd);
        a->error = r == LIBUSB_ERROR_BUSY ? BRIDGE_ERROR_ACCESS_DENIED : EngineErrorFromLibusb(r);
        return 0;
    }
    pthread_mutex_lock(&engineLock);
    uint32_t slot = 0;
    while (slot < ENGINE_MAX_DEVICES && engineDevices[slot].open) ++slot;
    if (slot == ENGINE_MAX_DEVICES) {
        pthread_mutex_unlock(&engineLock);
        libusb_release_interface(h, a->interfaceNumber);
        libusb_close(h);
        close(fd);
        a->error = BRIDGE_ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    struct Device* d = &engineDevices[slot];
    uint32_t generation = (d->generation + 1) & 0xFFFFFFu;
    memset(d, 0, sizeof *d);
    d->generation = generation ? generation : 1;
    d->open = 1;
    d->handle = h;
    d->fd = fd;
    d->interfaceNumber = a->interfaceNumber;
    a->device = (d->generation << 8) | (slot + 1);
    pthread_mutex_unlock(&engineLock);
    a->error = 0;
    return 0;
}

static int32_t Close(void* args) {
    struct DeviceArgs* a = args;
    pthread_mutex_lock(&engineLock);
    struct Device* d = EngineDevice(a->device);
    if (!d) {
        pthread_mutex_unlock(&engineLock);
        a->error = BRIDGE_ERROR_INVALID_HANDLE;
        return 0;
    }
    /* What is still under way on the interface ends with it, and is gone before the handle is. */
    EngineCancelMatching(d, a->device, -1);
    EngineWaitCancelled(a->device, -1);
    while ((d = EngineDevice(a->device)) != NULL && d->calls) pthread_cond_wait(&engineChanged, &engineLock);
    if (!d) {   /* another Close finished it meanwhile */
        pthread_mutex_unlock(&engineLock);
        a->error = BRIDGE_ERROR_INVALID_HANDLE;
        return 0;
    }
    libusb_device_handle* h = d->handle;
    int fd = d->fd;
    uint8_t number = d->interfaceNumber;
    for (unsigned i = 0; i < 32; ++i) EngineDropLeftOver(&d->leftOver[i]);
    d->open = 0;
    d->handle = NULL;
    uint32_t left = 0;
    for (unsigned i = 0; i < ENGINE_MAX_DEVICES; ++i) left += engineDevices[i].open ? 1u : 0u;
    pthread_mutex_unlock(&engineLock);
    libusb_release_interface(h, number);
    libusb_close(h);
    close(fd);
    a->left = left;
    a->error = 0;
    return 0;
}

/* A disconnected usbfs file reads POLLHUP; the removal is then kept. */
static int32_t Present(void* args) {
    struct DeviceArgs* a = args;
    pthread_mutex_lock(&engineLock);
    struct Device* d = EngineDevice(a->device);
    if (!d) a->error = BRIDGE_ERROR_INVALID_HANDLE;
    else {
        struct pollfd p = {d->fd, POLLOUT, 0};
        if (!d->gone && poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) d->gone = 1;
        a->error = d->gone ? BRIDGE_ERROR_DEVICE_NOT_CONNECTED : 0;
    }
    pthread_mutex_unlock(&engineLock);
    return 0;
}

static int32_t Cancel(void* args) {
    struct CancelArgs* a = args;
    pthread_mutex_lock(&engineLock);
    struct Device* d = EngineDevice(a->device);
    if (!d) a->error = BRIDGE_ERROR_INVALID_HANDLE;
    else if (d->gone) a->error = BRIDGE_ERROR_DEVICE_NOT_CONNECTED;
    else {
        EngineCancelMatching(d, a->device, a->endpoint);
        EngineWaitCancelled(a->device, a->endpoint);
        a->error = 0;
    }
    pthread_mutex_unlock(&engineLock);
    return 0;
}

static int32_t ClearHalt(void* args) {
    struct PipeArgs* a = args;
    pthread_mutex_lock(&engineLock);
    struct Device* d = EngineDevice(a->device);
    libusb_device_handle* h = d && !d->gone ? d->handle : NULL;
    a->error = !d ? BRIDGE_ERROR_INVALID_HANDLE : d->gone ? BRIDGE_ERROR_DEVICE_NOT_CONNECTED : 0;
    if (h) ++d->calls;   /* Close waits: the handle stays valid outside the lock */
    pthread_mutex_unlock(&engineLock);
    if (!h) return 0;
    int r = libusb_clear_halt(h, a->endpoint);
    a->error = EngineErrorFromLibusb(r);
    pthread_mutex_lock(&engineLock);
    --d->calls;
    if (r == LIBUSB_ERROR_NO_DEVICE) d->gone = 1;
    pthread_cond_broadcast(&engineChanged);
    pthread_mutex_unlock(&engineLock);
    return 0;
}

static int32_t Flush(void* args) {
    struct PipeArgs* a = args;
    pthread_mutex_lock(&engineLock);
    struct Device* d = EngineDevice(a->device);
    if (!d) a->error = BRIDGE_ERROR_INVALID_HANDLE;
    else if (d->gone) a->error = BRIDGE_ERROR_DEVICE_NOT_CONNECTED;
    else {
        EngineDropLeftOver(&d->leftOver[EngineEndpointIndex(a->endpoint)]);
        a->error = 0;
    }
    pthread_mutex_unlock(&engineLock);
    return 0;
}

static int32_t WaitOverlapped(void* args) {
    struct WaitArgs* a = args;
    pthread_mutex_lock(&engineLock);
    while (__atomic_load_n(&a->overlapped->internal, __ATOMIC_ACQUIRE) == BRIDGE_STATUS_PENDING)
        pthread_cond_wait(&engineChanged, &engineLock);
    pthread_mutex_unlock(&engineLock);
    return 0;
}

typedef int32_t (*UnixEntry)(void*);

/* Wine's loader finds the Unix side's entry points under this name, in BridgeCall's order. */
const UnixEntry __wine_unix_call_funcs[kCallCount] = {
    Open, Close, Present, EngineTransfer, Cancel, ClearHalt, Flush, RunEvents, StopEvents, WaitOverlapped,
};
