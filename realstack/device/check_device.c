/* check_device: the maker's host sequence against the device (varko-fw on the guest's emulated
 * controller) through libusb, as the device's own self-test. One run checks one row:
 *   check_device [--vid 0x1209 --pid 0x0001] ROW [ARG]
 * ROW: normal (every protocol version: 0x81 -> 0x83 -> 0x80, then each message size written and
 * read back with the version's framing), strings, or the name of the device's fault
 * (stall-request, halt-in, halt-out, short-packets N, no-zlp, extra-zlp, delay-ms N,
 * delay-request N, unplug-after-bytes N). Each step prints what libusb returned; the last line is
 * "RESULT <row> PASS|FAIL <why>", and the exit code is 0 only for PASS. */
#define _POSIX_C_SOURCE 200809L
#include <libusb.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define VENDOR_IN 0xC1
#define VENDOR_OUT 0x41
#define CONTROL_TIMEOUT_MS 5000
#define BULK_TIMEOUT_MS 3000
#define MAX_MESSAGE (64 * 1024)

static libusb_device_handle* dev;
static unsigned char epOut, epIn;
static int version;
static const char* row = "?";
static unsigned char sent[MAX_MESSAGE], got[MAX_MESSAGE];

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void Step(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("  ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
}

static int Finish(int pass, const char* why) {
    printf("RESULT %s %s %s\n", row, pass ? "PASS" : "FAIL", why);
    return pass ? 0 : 1;
}

static const char* Name(int r) { return r >= 0 ? "ok" : libusb_error_name(r); }

static int ControlIn(uint8_t request, unsigned char* data, uint16_t length, unsigned timeout) {
    double t0 = Now();
    int r = libusb_control_transfer(dev, VENDOR_IN, request, 0, 0, data, length, timeout);
    double ms = (Now() - t0) * 1000;
    if (r >= 0) {
        char text[3 * 8 + 1] = "";
        for (int i = 0; i < r && i < 8; ++i) snprintf(text + 3 * i, 4, " %02x", data[i]);
        Step("0x%02x IN %u -> %d bytes:%s (%.1f ms)", request, length, r, text, ms);
    } else {
        Step("0x%02x IN %u -> %s (%.1f ms)", request, length, Name(r), ms);
    }
    return r;
}

static int ControlOut(uint8_t request, unsigned char* data, uint16_t length) {
    double t0 = Now();
    int r = libusb_control_transfer(dev, VENDOR_OUT, request, 0, 0, data, length, CONTROL_TIMEOUT_MS);
    Step("0x%02x OUT %u -> %s (%.1f ms)", request, length, Name(r), (Now() - t0) * 1000);
    return r;
}

/* A bulk transfer; returns the libusb status and stores the count moved. */
static int Bulk(unsigned char ep, unsigned char* data, int length, unsigned timeout, int* moved) {
    double t0 = Now();
    *moved = 0;
    int r = libusb_bulk_transfer(dev, ep, data, length, moved, timeout);
    Step("bulk %s 0x%02x %d -> %s, %d moved (%.1f ms)", (ep & 0x80) ? "IN" : "OUT", ep, length, Name(r), *moved,
         (Now() - t0) * 1000);
    return r;
}

static void Fill(int size) {
    for (int i = 0; i < size; ++i) sent[i] = (unsigned char)(i * 7 + size);
}

static uint32_t U32(const unsigned char* b) {
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

/* The handshake of an open: 0x81, 0x83, 0x80. Returns 0x83's result. */
static int Handshake(void) {
    unsigned char b[4];
    int r = ControlIn(0x81, b, 1, CONTROL_TIMEOUT_MS);
    if (r == 1) version = b[0];
    int identify = ControlIn(0x83, b, 4, CONTROL_TIMEOUT_MS);
    ControlOut(0x80, NULL, 0);
    return r < 0 ? r : identify;
}

/* Write with the version's framing. Protocol 2 ends a message of whole packets with a ZLP, as a
 * host with the short-packet-terminate policy does. Returns the bulk status. */
static int WriteMessage(int size, int zlp) {
    unsigned char b[4] = {(unsigned char)size, (unsigned char)(size >> 8), (unsigned char)(size >> 16),
                          (unsigned char)(size >> 24)};
    int moved;
    Fill(size);
    if (version == 0) ControlOut(0x80, NULL, 0);
    if (version == 1) ControlOut(0x85, b, 4);
    int r = Bulk(epOut, sent, size, BULK_TIMEOUT_MS, &moved);
    if (r == 0 && zlp && version == 2 && size % 512 == 0) r = Bulk(epOut, sent, 0, BULK_TIMEOUT_MS, &moved);
    if (version == 0 && r == 0) ControlOut(0x86, NULL, 0);
    return r;
}

/* 0x82 for version 0, then 0x84; returns the announced length or a negative libusb error. */
static long Announced(void) {
    unsigned char b[4];
    if (version == 0 && ControlIn(0x82, b, 1, CONTROL_TIMEOUT_MS) != 1) return -100;
    int r = ControlIn(0x84, b, 4, CONTROL_TIMEOUT_MS);
    return r == 4 ? (long)U32(b) : (r < 0 ? r : -100);
}

/* The echo is queued once the firmware's reader has the whole message, which may be a little
   after the host's transfer completed: a length of 0 only means "not yet". */
static long AnnouncedSoon(void) {
    long length = Announced();
    for (int tries = 0; length == 0 && tries < 40; ++tries) {
        struct timespec pause = {0, 5000000};
        nanosleep(&pause, NULL);
        length = Announced();
    }
    return length;
}

/* One message written and read back: 1 when the echo matched. */
static int Exchange(int size) {
    int moved;
    if (WriteMessage(size, 1) != 0) return 0;
    long length = AnnouncedSoon();
    if (length != size) {
        Step("announced %ld, wrote %d", length, size);
        return 0;
    }
    if (Bulk(epIn, got, size, BULK_TIMEOUT_MS, &moved) != 0 || moved != size) return 0;
    return memcmp(got, sent, (size_t)size) == 0;
}

static int Normal(void) {
    static const int sizes[] = {1, 100, 511, 512, 1000, 1024, 4096, 10000, 65536};
    if (Handshake() != 4) return Finish(0, "handshake failed");
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        if (!Exchange(sizes[i])) {
            char why[64];
            snprintf(why, sizeof why, "protocol %d: echo of %d bytes failed", version, sizes[i]);
            return Finish(0, why);
        }
    }
    ControlOut(0x80, NULL, 0);
    char why[64];
    snprintf(why, sizeof why, "protocol %d: 9 echoes matched, 1 to 65536 bytes", version);
    return Finish(1, why);
}

static int Strings(void) {
    unsigned char b[256];
    static const char* want[] = {"", "Varko", "Simulated Link", NULL};
    int ok = 1;
    int r = libusb_get_string_descriptor(dev, 0, 0, b, sizeof b);
    Step("string 0 (languages) -> %s%s", Name(r), r >= 4 && b[2] == 0x09 && b[3] == 0x04 ? ", 0x0409" : "");
    ok &= r >= 4;
    for (int index = 1; index <= 3; ++index) {
        r = libusb_get_string_descriptor(dev, (uint8_t)index, 0x0409, b, sizeof b);
        char text[128] = "";
        for (int i = 2; i + 1 < r && (size_t)(i / 2) < sizeof text - 1; i += 2) text[i / 2 - 1] = (char)b[i];
        Step("string %d language 0x0409 -> %s \"%s\"", index, Name(r), text);
        ok &= r > 2 && (!want[index] || strcmp(text, want[index]) == 0);
        r = libusb_get_string_descriptor(dev, (uint8_t)index, 0, b, sizeof b);
        Step("string %d language 0 -> %s", index, Name(r));
        ok &= r == LIBUSB_ERROR_PIPE;
    }
    return Finish(ok, ok ? "language 0x0409 answered, language 0 stalled" : "unexpected string answers");
}

static int StallRequest(int request) {
    unsigned char b[4];
    int r = request == 0x83 ? Handshake() : ControlIn((uint8_t)request, b, 4, CONTROL_TIMEOUT_MS);
    int next = ControlIn(0x81, b, 1, CONTROL_TIMEOUT_MS);
    int ok = r == LIBUSB_ERROR_PIPE && next == 1;
    return Finish(ok, ok ? "the request stalled, the next one was answered" : "no stall seen");
}

static int HaltIn(void) {
    int moved;
    if (Handshake() != 4 || WriteMessage(100, 1) != 0 || AnnouncedSoon() != 100) return Finish(0, "setup failed");
    int r = Bulk(epIn, got, 100, BULK_TIMEOUT_MS, &moved);
    int again = Bulk(epIn, got, 100, BULK_TIMEOUT_MS, &moved);
    int clear = libusb_clear_halt(dev, epIn);
    Step("clear halt 0x%02x -> %s", epIn, Name(clear));
    int after = Bulk(epIn, got, 100, BULK_TIMEOUT_MS, &moved);
    int ok = r == LIBUSB_ERROR_PIPE && again == LIBUSB_ERROR_PIPE && clear == 0 && after == 0 && moved == 100 &&
             memcmp(got, sent, 100) == 0;
    return Finish(ok, ok ? "bulk IN stalled until the halt was cleared, then the echo came" : "unexpected");
}

static int HaltOut(void) {
    int moved;
    if (Handshake() != 4) return Finish(0, "handshake failed");
    int r = WriteMessage(100, 1);
    int clear = libusb_clear_halt(dev, epOut);
    Step("clear halt 0x%02x -> %s", epOut, Name(clear));
    int ok = r == LIBUSB_ERROR_PIPE && clear == 0 && Exchange(100);
    (void)moved;
    return Finish(ok, ok ? "bulk OUT stalled until the halt was cleared, then the echo came" : "unexpected");
}

static int ShortPackets(int piece) {
    int moved, total = 0, reads = 0, r = 0;
    if (Handshake() != 4 || WriteMessage(1000, 1) != 0 || AnnouncedSoon() != 1000) return Finish(0, "setup failed");
    while (total < 1000 && reads < 1000 / piece + 2) {
        r = Bulk(epIn, got + total, 1000 - total, BULK_TIMEOUT_MS, &moved);
        if (r != 0) break;
        total += moved;
        ++reads;
    }
    int ok = r == 0 && total == 1000 && reads == (1000 + piece - 1) / piece && memcmp(got, sent, 1000) == 0;
    char why[96];
    snprintf(why, sizeof why, "a read of 1000 got %d bytes; the message took %d reads", piece, reads);
    return Finish(ok, ok ? why : "unexpected");
}

static int NoZlp(void) {
    int moved;
    if (Handshake() != 4 || version != 2) return Finish(0, "needs protocol 2");
    WriteMessage(512, 1);   /* 512 bytes and a ZLP that the device ignores */
    long first = Announced();
    WriteMessage(100, 1);   /* the short packet ends the merged message */
    long second = Announced();
    int r = second == 612 ? Bulk(epIn, got, 612, BULK_TIMEOUT_MS, &moved) : -1;
    int ok = first == 0 && second == 612 && r == 0 && moved == 612;
    return Finish(ok, ok ? "after 512 bytes and a ZLP nothing was announced; 100 more made one message of 612" : "unexpected");
}

static int ExtraZlp(void) {
    int moved;
    if (Handshake() != 4 || !Exchange(512)) return Finish(0, "echo of 512 failed");
    int r = Bulk(epIn, got, 512, 1000, &moved);
    int zlp = r == 0 && moved == 0;
    int ok = zlp && Exchange(100);
    return Finish(ok, ok ? "the read after a 512-byte echo got 0 bytes (the ZLP)" : "no stray ZLP seen");
}

static int DelayMs(int ms) {
    int moved;
    if (Handshake() != 4 || WriteMessage(100, 1) != 0 || AnnouncedSoon() != 100) return Finish(0, "setup failed");
    unsigned shortWait = (unsigned)(ms / 3);
    int r = Bulk(epIn, got, 100, shortWait, &moved);
    int later = Bulk(epIn, got, 100, (unsigned)ms * 3, &moved);
    int ok = r == LIBUSB_ERROR_TIMEOUT && later == 0 && moved == 100 && memcmp(got, sent, 100) == 0;
    return Finish(ok, ok ? "a read with a shorter time-out timed out; the next one got the echo" : "unexpected");
}

static int DelayRequest(int ms) {
    unsigned char b[4];
    if (Handshake() != 4) return Finish(0, "handshake failed");
    int r = ControlIn(0x84, b, 4, (unsigned)(ms / 3));
    int later = ControlIn(0x84, b, 4, (unsigned)ms * 4);
    int ok = r == LIBUSB_ERROR_TIMEOUT && later == 4;
    return Finish(ok, ok ? "0x84 timed out with a shorter time-out; asked again it was answered" : "unexpected");
}

static int Unplug(int bytes) {
    int moved;
    unsigned char b[4];
    if (Handshake() != 4) return Finish(0, "handshake failed");
    int size = bytes * 4 > MAX_MESSAGE ? MAX_MESSAGE : bytes * 4;
    int r = WriteMessage(size, 1);
    struct timespec pause = {0, 500 * 1000 * 1000};
    nanosleep(&pause, NULL);
    int after = ControlIn(0x81, b, 1, CONTROL_TIMEOUT_MS);
    int bulkAfter = Bulk(epIn, got, 100, 1000, &moved);
    int ok = r < 0 && after == LIBUSB_ERROR_NO_DEVICE && bulkAfter == LIBUSB_ERROR_NO_DEVICE;
    return Finish(ok, ok ? "the write failed midway; every later call said NO_DEVICE" : "unexpected");
}

int main(int argc, char** argv) {
    int vid = 0x1209, pid = 0x0001, i = 1;
    for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] == '-'; i += 2) {
        if (strcmp(argv[i], "--vid") == 0) vid = (int)strtol(argv[i + 1], NULL, 0);
        else if (strcmp(argv[i], "--pid") == 0) pid = (int)strtol(argv[i + 1], NULL, 0);
    }
    if (i >= argc) {
        fprintf(stderr, "usage: check_device [--vid V --pid P] ROW [ARG]\n");
        return 2;
    }
    row = argv[i];
    int arg = i + 1 < argc ? (int)strtol(argv[i + 1], NULL, 0) : 0;
    printf("ROW %s%s%s\n", row, arg ? " " : "", arg ? argv[i + 1] : "");
    libusb_context* context = NULL;
    if (libusb_init(&context) != 0) return Finish(0, "libusb_init failed");
    dev = libusb_open_device_with_vid_pid(context, (uint16_t)vid, (uint16_t)pid);
    if (!dev) return Finish(0, "device not found");
    int r = libusb_claim_interface(dev, 0);
    if (r != 0) return Finish(0, "claim failed");
    struct libusb_config_descriptor* config = NULL;
    if (libusb_get_active_config_descriptor(libusb_get_device(dev), &config) != 0) return Finish(0, "no config");
    const struct libusb_interface_descriptor* alt = &config->interface[0].altsetting[0];
    for (int e = 0; e < alt->bNumEndpoints; ++e) {
        unsigned char a = alt->endpoint[e].bEndpointAddress;
        if ((alt->endpoint[e].bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        if (a & 0x80) epIn = a; else epOut = a;
        Step("endpoint 0x%02x bulk, %u bytes", a, alt->endpoint[e].wMaxPacketSize);
    }
    libusb_free_config_descriptor(config);
    static const char* speeds[] = {"unknown", "low", "full", "high", "super", "super+"};
    int speed = libusb_get_device_speed(libusb_get_device(dev));
    Step("speed %s", speed >= 0 && speed <= 5 ? speeds[speed] : "?");

    int rc;
    if (strcmp(row, "normal") == 0) rc = Normal();
    else if (strcmp(row, "strings") == 0) rc = Strings();
    else if (strcmp(row, "stall-request") == 0) rc = StallRequest(arg);
    else if (strcmp(row, "halt-in") == 0) rc = HaltIn();
    else if (strcmp(row, "halt-out") == 0) rc = HaltOut();
    else if (strcmp(row, "short-packets") == 0 && arg > 0) rc = ShortPackets(arg);
    else if (strcmp(row, "no-zlp") == 0) rc = NoZlp();
    else if (strcmp(row, "extra-zlp") == 0) rc = ExtraZlp();
    else if (strcmp(row, "delay-ms") == 0 && arg > 0) rc = DelayMs(arg);
    else if (strcmp(row, "delay-request") == 0 && arg > 0) rc = DelayRequest(arg);
    else if (strcmp(row, "unplug-after-bytes") == 0 && arg > 0) rc = Unplug(arg);
    else rc = Finish(0, "unknown row");
    if (strcmp(row, "unplug-after-bytes") != 0) libusb_release_interface(dev, 0);
    libusb_close(dev);
    libusb_exit(context);
    return rc;
}
