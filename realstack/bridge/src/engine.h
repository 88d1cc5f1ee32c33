/* The Unix side's shared state: one libusb context, the open devices, the transfers under way.
   Built without _WIN32: plain Linux C against libusb. One mutex guards everything here; libusb's
   own locks are taken inside it, never the other way round except by the event thread, which
   takes the mutex in completion callbacks while it holds libusb's event lock. So nothing here
   calls libusb_close or libusb_handle_events with the mutex held. */
#ifndef VARKOUSB_ENGINE_H
#define VARKOUSB_ENGINE_H

#include <libusb.h>
#include <pthread.h>
#include <stdint.h>

#include "bridge_calls.h"

#define ENGINE_MAX_DEVICES 32u

/* What an earlier read could not hold: kept for the next read of the pipe. */
struct LeftOver {
    uint8_t* data;
    uint32_t length;
    uint32_t offset;
    int endedShort;     /* the packet that carried it was short, so it ended its transfer */
};

struct Pending;

struct Device {
    int open;
    uint32_t generation;
    libusb_device_handle* handle;
    int fd;
    uint8_t interfaceNumber;
    int gone;                       /* a removal was seen: later calls fail */
    int calls;                      /* calls using the handle outside the lock; Close waits for 0 */
    struct LeftOver leftOver[32];   /* per endpoint: index (address & 0x0F) | (IN ? 16 : 0) */
    struct Pending* underWay;
};

struct Pending {
    struct Pending* next;
    struct libusb_transfer* transfer;
    uint32_t device;
    uint8_t endpoint;
    uint8_t* user;
    uint32_t length;
    uint32_t moved;
    uint32_t piece;         /* length of the piece under way */
    uint8_t* bounce;        /* own buffer of the piece, when not the caller's */
    uint32_t flags;
    uint32_t maxPacket;
    uint64_t deadline;      /* monotonic ms; 0 none */
    struct BridgeOverlapped* overlapped;
    int cancelAsked;
    int done;
    uint32_t status;
};

extern pthread_mutex_t engineLock;
extern pthread_cond_t engineChanged;
extern libusb_context* engineContext;
extern struct Device engineDevices[ENGINE_MAX_DEVICES];

/* The device for an id, or null when it is not open (engineLock held). */
struct Device* EngineDevice(uint32_t id);
uint32_t EngineErrorFromLibusb(int error);
uint64_t EngineNowMs(void);
/* The bookkeeping index of an endpoint address. */
static inline unsigned EngineEndpointIndex(uint8_t endpoint) { return (endpoint & 0x0Fu) | ((endpoint & 0x80u) ? 16u : 0u); }
void EngineDropLeftOver(struct LeftOver* left);
/* Asks libusb to end the transfers under way that match (engineLock held); -1 matches all. */
void EngineCancelMatching(struct Device* d, uint32_t id, int endpoint);
/* Waits until none of the cancelled transfers that match is still under way (engineLock held). */
void EngineWaitCancelled(uint32_t id, int endpoint);

int32_t EngineTransfer(void* args);

#endif
