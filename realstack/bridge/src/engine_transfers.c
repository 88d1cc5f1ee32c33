/* The Unix side's transfers: every WinUSB transfer becomes libusb asynchronous transfers, so that
   an abort, a free or a removal ends synchronous and overlapped ones alike. The event loop's
   thread runs the completion callbacks; a synchronous caller waits for its own transfer; an
   overlapped one is completed here as the I/O manager completes it: count and status into the
   OVERLAPPED, then its event (NtSetEvent, ntdll.so's own, ms_abi).
   Where WinUSB shapes a transfer beyond what the stack does, the rows of
   docs/platform-contracts.md that it follows are named at the code. */
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "engine.h"

extern int32_t __attribute__((ms_abi)) NtSetEvent(void* event, int32_t* previous);

static void Unlink(struct Device* d, struct Pending* p) {
    for (struct Pending** at = &d->underWay; *at; at = &(*at)->next) {
        if (*at == p) {
            *at = p->next;
            return;
        }
    }
}

/* The transfer is over (engineLock held). An overlapped one is completed and freed here; a
   synchronous caller frees its own. */
static void Finish(struct Device* d, struct Pending* p, uint32_t status) {
    if (d) Unlink(d, p);
    if (p->transfer) libusb_free_transfer(p->transfer);
    p->transfer = NULL;
    free(p->bounce);
    p->bounce = NULL;
    p->done = 1;
    p->status = status;
    if (p->overlapped) {
        struct BridgeOverlapped* ov = p->overlapped;
        ov->internalHigh = p->moved;
        __atomic_store_n(&ov->internal, (uint64_t)status, __ATOMIC_RELEASE);
        /* The low bit of the event asks the system not to post to a completion port. */
        void* event = (void*)(uintptr_t)(ov->event & ~(uint64_t)1);
        if (event) NtSetEvent(event, NULL);
        free(p);
    }
    pthread_cond_broadcast(&engineChanged);
}

static void LIBUSB_CALL Completed(struct libusb_transfer* t);

/* Submits the next piece of a bulk or interrupt transfer (engineLock held). */
static int SubmitPiece(struct Device* d, struct Pending* p) {
    const int isIn = (p->endpoint & 0x80u) != 0;
    uint32_t room = p->length - p->moved;
    uint32_t piece = room;
    /* ALLOW_PARTIAL_READS (on by default): WinUSB asks the device for whole packets and keeps
       what the caller's buffer cannot hold. Off, a packet beyond the length fails the read. */
    if (isIn && (p->flags & BRIDGE_PARTIAL_READS) && p->maxPacket && room % p->maxPacket)
        piece = (room / p->maxPacket + 1) * p->maxPacket;
    free(p->bounce);
    p->bounce = NULL;
    uint8_t* target = p->user ? p->user + p->moved : NULL;
    if (piece != room) {
        p->bounce = malloc(piece);
        if (!p->bounce) return LIBUSB_ERROR_NO_MEM;
        target = p->bounce;
    }
    p->piece = piece;
    unsigned int timeout = 0;
    if (p->deadline) {
        uint64_t now = EngineNowMs();
        if (now >= p->deadline) return LIBUSB_ERROR_TIMEOUT;
        timeout = (unsigned int)(p->deadline - now);
    }
    if (p->flags & BRIDGE_INTERRUPT)
        libusb_fill_interrupt_transfer(p->transfer, d->handle, p->endpoint, target, (int)piece, Completed, p, timeout);
    else
        libusb_fill_bulk_transfer(p->transfer, d->handle, p->endpoint, target, (int)piece, Completed, p, timeout);
    /* SHORT_PACKET_TERMINATE: a write of whole packets ends with a zero-length packet; the stack
       adds none by itself. */
    if (!isIn && (p->flags & BRIDGE_SHORT_TERMINATE) && p->maxPacket && p->length && p->length % p->maxPacket == 0)
        p->transfer->flags |= LIBUSB_TRANSFER_ADD_ZERO_PACKET;
    return libusb_submit_transfer(p->transfer);
}

/* A piece of a read came in: the caller's bytes, and what is left over kept or dropped. True
   when the read is finished. */
static int TakeRead(struct Device* d, struct Pending* p, uint32_t got, int completed, uint32_t* status) {
    uint32_t room = p->length - p->moved;
    uint32_t n = got < room ? got : room;
    if (p->bounce && n) memcpy(p->user + p->moved, p->bounce, n);
    p->moved += n;
    if (!completed) return 1;
    *status = BRIDGE_STATUS_SUCCESS;
    if (got > room) {
        /* ALLOW_PARTIAL_READS: the rest waits for the next read; AUTO_FLUSH drops it. */
        if (!(p->flags & BRIDGE_AUTO_FLUSH)) {
            struct LeftOver* left = &d->leftOver[EngineEndpointIndex(p->endpoint)];
            EngineDropLeftOver(left);
            left->data = malloc(got - room);
            if (left->data) {
                memcpy(left->data, p->bounce + room, got - room);
                left->length = got - room;
                left->endedShort = got < p->piece;
            }
        }
        return 1;
    }
    /* IGNORE_SHORT_PACKETS: a short packet does not end the read, only a full buffer does. */
    int isShort = got < p->piece;
    return (isShort && !(p->flags & BRIDGE_IGNORE_SHORT)) || p->moved == p->length;
}

static uint32_t StatusOf(enum libusb_transfer_status s) {
    switch (s) {
    case LIBUSB_TRANSFER_COMPLETED: return BRIDGE_STATUS_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return BRIDGE_STATUS_IO_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED: return BRIDGE_STATUS_CANCELLED;
    /* Surprise removal: transfers under way end with ERROR_OPERATION_ABORTED, as the world's
       row "transfers under way" takes it. */
    case LIBUSB_TRANSFER_NO_DEVICE: return BRIDGE_STATUS_CANCELLED;
    default: return BRIDGE_STATUS_UNSUCCESSFUL;   /* stall, overflow, a device error */
    }
}

/* An unplug ends the transfers under way with a protocol error (EPROTO, not ENODEV) on this
   stack, before the hub notices the removal: this long the device may take to show it gone. */
#define REMOVAL_SHOWS_WITHIN_MS 500

/* True once the usbfs file reads POLLHUP within the time (polled: the file is always writable). */
static int RemovedWithin(int fd, unsigned ms) {
    for (unsigned waited = 0;; waited += 10) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return 1;
        if (waited >= ms) return 0;
        struct timespec pause = {0, 10 * 1000000L};
        nanosleep(&pause, NULL);
    }
}

static void LIBUSB_CALL Completed(struct libusb_transfer* t) {
    struct Pending* p = t->user_data;
    pthread_mutex_lock(&engineLock);
    struct Device* d = EngineDevice(p->device);
    uint32_t got = t->actual_length > 0 ? (uint32_t)t->actual_length : 0;
    uint32_t status = StatusOf(t->status);
    if (t->status == LIBUSB_TRANSFER_NO_DEVICE && d) d->gone = 1;
    if (t->status == LIBUSB_TRANSFER_ERROR && d && !d->gone) {
        ++d->calls;   /* Close waits while the lock is let go */
        int fd = d->fd;
        pthread_mutex_unlock(&engineLock);
        int removed = RemovedWithin(fd, REMOVAL_SHOWS_WITHIN_MS);
        pthread_mutex_lock(&engineLock);
        --d->calls;
        if (removed) d->gone = 1;
    }
    /* Surprise removal row: what was under way when the device went ends as cancelled. */
    if (t->status == LIBUSB_TRANSFER_ERROR && d && d->gone) status = BRIDGE_STATUS_CANCELLED;
    int finished = 1;
    if (p->endpoint == 0) {
        int isIn = (p->bounce[0] & 0x80u) != 0;
        if (isIn && got) memcpy(p->user, p->bounce + LIBUSB_CONTROL_SETUP_SIZE, got);
        p->moved = got;
    } else if (p->endpoint & 0x80u) {
        finished = TakeRead(d, p, got, t->status == LIBUSB_TRANSFER_COMPLETED, &status);
    } else {
        p->moved += got;
    }
    if (!finished) {   /* the read goes on with its next piece */
        int r = p->cancelAsked ? LIBUSB_ERROR_INTERRUPTED : SubmitPiece(d, p);
        if (r == LIBUSB_SUCCESS) {
            pthread_mutex_unlock(&engineLock);
            return;
        }
        status = r == LIBUSB_ERROR_TIMEOUT ? BRIDGE_STATUS_IO_TIMEOUT
                 : r == LIBUSB_ERROR_INTERRUPTED || r == LIBUSB_ERROR_NO_DEVICE ? BRIDGE_STATUS_CANCELLED
                                                                                : BRIDGE_STATUS_UNSUCCESSFUL;
        if (r == LIBUSB_ERROR_NO_DEVICE) d->gone = 1;
    }
    /* AUTO_CLEAR_STALL: the stalled transfer still fails, but the halt is cleared before it
       completes, so that the caller's next transfer flows. Off (the default), the halt stays
       until WinUsb_ResetPipe. */
    if (t->status == LIBUSB_TRANSFER_STALL && p->endpoint && (p->flags & BRIDGE_AUTO_CLEAR_STALL) && d) {
        ++d->calls;
        libusb_device_handle* h = d->handle;
        pthread_mutex_unlock(&engineLock);
        libusb_clear_halt(h, p->endpoint);
        pthread_mutex_lock(&engineLock);
        --d->calls;
    }
    Finish(d, p, status);
    pthread_mutex_unlock(&engineLock);
}

/* A read that its pipe's left-over bytes or its zero length finish before the device is asked. */
static int FinishedAtOnce(struct Device* d, struct Pending* p) {
    /* Zero-length read: completes at once with success, nothing sent. */
    if (p->length == 0) return 1;
    struct LeftOver* left = &d->leftOver[EngineEndpointIndex(p->endpoint)];
    if (left->offset >= left->length) return 0;
    uint32_t have = left->length - left->offset;
    uint32_t n = have < p->length ? have : p->length;
    memcpy(p->user, left->data + left->offset, n);
    left->offset += n;
    p->moved = n;
    int emptied = left->offset == left->length;
    int endedShort = left->endedShort;
    if (emptied) EngineDropLeftOver(left);
    return (emptied && endedShort && !(p->flags & BRIDGE_IGNORE_SHORT)) || p->moved == p->length;
}

static uint32_t StartError(struct Device* d, int r) {
    if (r == LIBUSB_ERROR_NO_DEVICE) d->gone = 1;
    return EngineErrorFromLibusb(r);
}

int32_t EngineTransfer(void* args) {
    struct TransferArgs* a = args;
    a->moved = 0;
    a->status = BRIDGE_STATUS_SUCCESS;
    a->error = 0;
    a->pending = 0;
    pthread_mutex_lock(&engineLock);
    struct Device* d = EngineDevice(a->device);
    if (!d || d->gone) {
        a->error = d ? BRIDGE_ERROR_DEVICE_NOT_CONNECTED : BRIDGE_ERROR_INVALID_HANDLE;
        pthread_mutex_unlock(&engineLock);
        return 0;
    }
    struct Pending* p = calloc(1, sizeof *p);
    if (!p) {
        a->error = BRIDGE_ERROR_NOT_ENOUGH_MEMORY;
        pthread_mutex_unlock(&engineLock);
        return 0;
    }
    p->device = a->device;
    p->endpoint = a->endpoint;
    p->user = a->buffer;
    p->length = a->length;
    p->flags = a->flags;
    p->maxPacket = a->maxPacket;
    p->overlapped = a->overlapped;
    p->deadline = a->timeoutMs ? EngineNowMs() + a->timeoutMs : 0;
    if ((a->endpoint & 0x80u) && FinishedAtOnce(d, p)) {
        a->moved = p->moved;
        free(p);
        pthread_mutex_unlock(&engineLock);
        return 0;
    }
    int r = LIBUSB_ERROR_NO_MEM;
    p->transfer = libusb_alloc_transfer(0);
    if (p->transfer && a->endpoint == 0) {
        p->bounce = malloc(LIBUSB_CONTROL_SETUP_SIZE + (size_t)a->length);
        if (p->bounce) {
            memcpy(p->bounce, a->setup, LIBUSB_CONTROL_SETUP_SIZE);
            if (!(a->setup[0] & 0x80u) && a->length) memcpy(p->bounce + LIBUSB_CONTROL_SETUP_SIZE, a->buffer, a->length);
            libusb_fill_control_transfer(p->transfer, d->handle, p->bounce, Completed, p, a->timeoutMs);
            p->piece = a->length;
            r = libusb_submit_transfer(p->transfer);
        }
    } else if (p->transfer) {
        r = SubmitPiece(d, p);
    }
    if (r != LIBUSB_SUCCESS) {
        a->error = StartError(d, r);
        if (p->transfer) libusb_free_transfer(p->transfer);
        free(p->bounce);
        free(p);
        pthread_mutex_unlock(&engineLock);
        return 0;
    }
    p->next = d->underWay;
    d->underWay = p;
    if (p->overlapped) {
        /* The callback needs the lock, so the OVERLAPPED reads pending before it can complete. */
        p->overlapped->internalHigh = 0;
        __atomic_store_n(&p->overlapped->internal, (uint64_t)BRIDGE_STATUS_PENDING, __ATOMIC_RELEASE);
        a->pending = 1;
        pthread_mutex_unlock(&engineLock);
        return 0;
    }
    while (!p->done) pthread_cond_wait(&engineChanged, &engineLock);
    a->moved = p->moved;
    a->status = p->status;
    free(p);
    pthread_mutex_unlock(&engineLock);
    return 0;
}
