// varko-fw: the maker's firmware on a FunctionFS instance. The control thread (this one) answers
// ep0; one thread reads bulk OUT, one writes bulk IN. gadget.sh starts it, waits for "ready" and
// binds the UDC. Each line it prints starts with the milliseconds since it started.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "device.h"
#include "ffs.h"
#include "options.h"

namespace fw {
namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point kStart = Clock::now();

int64_t Micros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - kStart).count();
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::mutex logMutex;

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Log(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(logMutex);
    std::printf("%9.3f varko-fw: %s\n", static_cast<double>(Micros()) / 1000.0, line);
}

struct Run {
    explicit Run(const Options& o) : options(o), firmware(o) {}
    const Options& options;
    Firmware firmware;
    bool stop = false;
    std::atomic<uint16_t> maxPacket{512};
    std::atomic<int64_t> outReadSince{0};   // when the pending bulk OUT read began, 0 when none
    std::atomic<uint64_t> bulkBytes{0};
    std::atomic<bool> unplugged{false};
};

// Unbinds the UDC from a thread of its own: the device vanishes in the middle of a transfer.
void Unplug(Run& run) {
    if (run.unplugged.exchange(true)) return;
    std::thread([&run] {
        Log("unplug after %llu bulk bytes", static_cast<unsigned long long>(run.bulkBytes.load()));
        Fd udc(open(run.options.udcFile.c_str(), O_WRONLY));
        if (!udc.valid() || write(udc.get(), "\n", 1) != 1) Log("unplug failed: %s", std::strerror(errno));
    }).detach();
}

void ReadBulk(Run& run, Fd ep) {
    if (run.options.haltOut) {
        char none = 0;
        ssize_t r = write(ep.get(), &none, 0);   // FunctionFS halts an OUT endpoint on a write
        Log("bulk OUT halted (%s)", r < 0 ? std::strerror(errno) : "no error");
    }
    Bytes buffer(64 * 1024);
    for (;;) {
        size_t ask = run.firmware.NextReadSize(run.maxPacket);
        run.outReadSince = Micros() + 1;
        ssize_t n = read(ep.get(), buffer.data(), ask);
        run.outReadSince = 0;
        if (n < 0) {
            Log("bulk OUT read: %s", std::strerror(errno));
            SleepMs(10);
            continue;
        }
        size_t got = static_cast<size_t>(n);
        run.bulkBytes += got;
        bool ended = got < ask && !(run.options.noZlp && got % run.maxPacket == 0);
        if (!run.options.quiet) Log("bulk OUT %zu of %zu bytes%s", got, ask, ended ? ", message ends" : "");
        run.firmware.Received(buffer.data(), got, ended);
        if (run.options.unplugAfterBytes && run.bulkBytes >= run.options.unplugAfterBytes) Unplug(run);
    }
}

void WriteBulk(Run& run, Fd ep) {
    if (run.options.haltIn) {
        char none = 0;
        ssize_t r = read(ep.get(), &none, 0);   // FunctionFS halts an IN endpoint on a read
        Log("bulk IN halted (%s)", r < 0 ? std::strerror(errno) : "no error");
    }
    Bytes message;
    uint64_t generation = 0;
    while (run.firmware.NextMessage(message, generation, run.stop)) {
        if (run.options.bulkDelayMs) SleepMs(run.options.bulkDelayMs);
        size_t piece = run.options.shortPackets ? run.options.shortPackets : message.size();
        size_t at = 0;
        bool failed = false;
        while (at < message.size() && !failed) {
            size_t n = std::min(piece, message.size() - at);
            uint64_t limit = run.options.unplugAfterBytes;
            bool cut = limit && !run.unplugged && run.bulkBytes + n >= limit;
            if (cut) n = static_cast<size_t>(limit > run.bulkBytes ? limit - run.bulkBytes : 0);
            ssize_t w = n ? write(ep.get(), message.data() + at, n) : 0;
            if (w < 0) {
                Log("bulk IN write: %s", std::strerror(errno));
                failed = true;
                break;
            }
            at += static_cast<size_t>(w);
            run.bulkBytes += static_cast<uint64_t>(w);
            if (cut) {
                Unplug(run);
                failed = true;
            }
        }
        if (!failed && run.options.extraZlp && !message.empty() && message.size() % run.maxPacket == 0) {
            char none = 0;
            if (write(ep.get(), &none, 0) < 0) failed = true;
        }
        if (!run.options.quiet) Log("bulk IN %zu of %zu bytes%s", at, message.size(), failed ? ", failed" : "");
        if (failed) {
            SleepMs(10);
            continue;
        }
        run.firmware.MessageSent(generation);
    }
}

// A bulk OUT read that has completed in the kernel may not yet have reached the firmware when
// the host's next control request arrives: wait until the reader has sat in a read a little.
void LetBulkOutSettle(Run& run) {
    SleepMs(1);
    for (int i = 0; i < 200; ++i) {
        int64_t since = run.outReadSince;
        if (since && Micros() - since >= 2000) return;
        SleepMs(1);
    }
}

void HandleSetup(Run& run, int ep0, const usb_ctrlrequest& setup) {
    bool isIn = (setup.bRequestType & 0x80) != 0;
    uint16_t length = setup.wLength;
    uint8_t request = setup.bRequest;
    if (run.options.requestDelayMs && request == run.options.delayedRequest) SleepMs(run.options.requestDelayMs);
    if (request == 0x84 || request == 0x86) LetBulkOutSettle(run);
    Bytes out, in;
    bool ok;
    if (isIn) {
        ok = run.firmware.Request(setup.bRequestType, request, out, in);
        if (ok) {
            size_t n = std::min<size_t>(in.size(), length);
            ok = write(ep0, in.data(), n) == static_cast<ssize_t>(n);
        } else {
            StallControl(ep0, true);
        }
    } else if (!run.firmware.AcceptsOut(setup.bRequestType, request, length)) {
        ok = false;
        StallControl(ep0, false);
    } else {
        out.resize(length);
        ssize_t n = read(ep0, out.data(), length);
        ok = n >= 0;
        if (ok) {
            out.resize(static_cast<size_t>(n));
            ok = run.firmware.Request(setup.bRequestType, request, out, in);
        }
    }
    if (!run.options.quiet) {
        char data[3 * 8 + 1] = "";
        const Bytes& shown = isIn ? in : out;
        for (size_t i = 0; i < shown.size() && i < 8; ++i) std::snprintf(data + 3 * i, 4, " %02x", shown[i]);
        Log("request %02x %02x value %04x index %04x length %u: %s%s", setup.bRequestType, request,
            setup.wValue, setup.wIndex, length, ok ? "answered" : "stalled", data);
    }
}

int Serve(const Options& options) {
    std::string error;
    Fd ep0 = OpenControl(options.ffsDir, error);
    Fd epOut = ep0.valid() ? OpenEndpoint(options.ffsDir, 1, error) : Fd();
    Fd epIn = epOut.valid() ? OpenEndpoint(options.ffsDir, 2, error) : Fd();
    if (!epIn.valid()) {
        Log("%s", error.c_str());
        return 1;
    }
    Run run(options);
    int outFd = epOut.get(), inFd = epIn.get();
    std::thread reader(ReadBulk, std::ref(run), std::move(epOut));
    std::thread writer(WriteBulk, std::ref(run), std::move(epIn));
    reader.detach();   // both end with the process (gadget.sh down stops it)
    writer.detach();
    if (options.stringsNeedLanguage) Log("string requests with language ID 0 stall (the gadget framework's own rule)");
    Log("ready: protocol %u", options.protocolVersion);
    for (;;) {
        // Wait in poll(), never in read(): a read of ep0 holds FunctionFS's mutex while it waits
        // for events, and an unbind of the UDC (an unplug) takes that mutex right after it queued
        // its event, so a read begun again in between waits for an event that never comes and the
        // unbind hangs for good.
        pollfd ready{ep0.get(), POLLIN, 0};
        if (poll(&ready, 1, -1) < 0) {
            if (errno == EINTR) continue;
            Log("ep0 poll: %s", std::strerror(errno));
            return 1;
        }
        usb_functionfs_event events[4];
        ssize_t n = read(ep0.get(), events, sizeof events);
        if (n < 0) {
            if (errno == EINTR) continue;
            Log("ep0 read: %s", std::strerror(errno));
            return 1;
        }
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
            const usb_functionfs_event& e = events[i];
            switch (e.type) {
            case FUNCTIONFS_BIND: Log("bound"); break;
            case FUNCTIONFS_UNBIND: Log("unbound"); run.firmware.Reset(); break;
            case FUNCTIONFS_ENABLE: {
                uint8_t outAddress = 0, inAddress = 0;
                uint16_t outPacket = 0, inPacket = 0;
                EndpointInfo(outFd, outAddress, outPacket);
                EndpointInfo(inFd, inAddress, inPacket);
                if (inPacket) run.maxPacket = inPacket;
                Log("enabled: bulk OUT 0x%02x (%u bytes), bulk IN 0x%02x (%u bytes)", outAddress, outPacket,
                    inAddress, inPacket);
                break;
            }
            case FUNCTIONFS_DISABLE: Log("disabled"); run.firmware.Reset(); break;
            case FUNCTIONFS_SETUP: HandleSetup(run, ep0.get(), e.u.setup); break;
            case FUNCTIONFS_SUSPEND: Log("suspended"); break;
            case FUNCTIONFS_RESUME: Log("resumed"); break;
            default: Log("event %u", e.type); break;
            }
        }
    }
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    fw::Options options;
    std::string error;
    if (!fw::ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "varko-fw: %s\n%s", error.c_str(), fw::Usage());
        return 2;
    }
    return fw::Serve(options);
}
