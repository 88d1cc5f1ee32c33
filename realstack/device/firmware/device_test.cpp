// Host-side check of the firmware's logic (no USB): the vendor requests and the message framing
// against what simworld/core/firmware.cpp answers. Exit code 0 when every case holds.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "device.h"

namespace {

int failures = 0;

void Expect(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAIL %s\n", what.c_str());
        ++failures;
    }
}

struct RequestCase {
    const char* name;
    uint8_t type, request;
    fw::Bytes out;
    bool answered;
    fw::Bytes in;
};

void Requests() {
    fw::Options o;
    o.protocolVersion = 1;
    o.statusByte = 2;
    const RequestCase cases[] = {
        {"0x80 out", 0x41, 0x80, {}, true, {}},
        {"0x80 in stalls", 0xC1, 0x80, {}, false, {}},
        {"0x81 version", 0xC1, 0x81, {}, true, {1}},
        {"0x81 out stalls", 0x41, 0x81, {}, false, {}},
        {"0x82 status", 0xC1, 0x82, {}, true, {2}},
        {"0x83 identity", 0xC1, 0x83, {}, true, {4, 3, 2, 1}},
        {"0x84 nothing queued", 0xC1, 0x84, {}, true, {0, 0, 0, 0}},
        {"0x85 length", 0x41, 0x85, {3, 0, 0, 0}, true, {}},
        {"0x85 short data stalls", 0x41, 0x85, {3, 0}, false, {}},
        {"0x86 out", 0x41, 0x86, {}, true, {}},
        {"0x86 in stalls", 0xC1, 0x86, {}, false, {}},
        {"0x87 unknown stalls", 0xC1, 0x87, {}, false, {}},
        {"device recipient stalls", 0xC0, 0x81, {}, false, {}},
        {"class type stalls", 0xA1, 0x81, {}, false, {}},
    };
    for (const RequestCase& c : cases) {
        fw::Firmware f(o);
        fw::Bytes in;
        bool answered = f.Request(c.type, c.request, c.out, in);
        Expect(answered == c.answered && in == c.in, c.name);
    }
    o.stalledRequests = {0x83};
    fw::Firmware f(o);
    fw::Bytes in;
    Expect(!f.Request(0xC1, 0x83, {}, in), "stall-request=0x83 stalls 0x83");
    Expect(f.Request(0xC1, 0x81, {}, in), "stall-request=0x83 leaves 0x81");
    Expect(!f.AcceptsOut(0x41, 0x85, 2) && f.AcceptsOut(0x41, 0x85, 4) && !f.AcceptsOut(0x41, 0x81, 0),
           "OUT requests taken before their data");
}

// Messages the firmware queues for the host after the given reads.
struct Read {
    size_t n;
    bool ended;
};

std::vector<size_t> Echoes(fw::Firmware& f, const std::vector<Read>& reads) {
    std::vector<uint8_t> data(70000, 0x5A);
    for (const Read& r : reads) f.Received(data.data(), r.n, r.ended);
    std::vector<size_t> sizes;
    fw::Bytes in, message;
    uint64_t generation = 0;
    bool stop = false;
    for (;;) {
        f.Request(0xC1, 0x84, {}, in);
        size_t announced = in[0] | in[1] << 8 | in[2] << 16;
        if (!announced) break;
        f.NextMessage(message, generation, stop);
        Expect(message.size() == announced, "0x84 announces the next message");
        sizes.push_back(message.size());
        f.MessageSent(generation);
    }
    return sizes;
}

// A controller may complete an IN write as soon as its FIFO holds the data: the message must not
// go to the endpoint (and leave the queue) before the host asked its length.
void SentOnlyOnceAnnounced() {
    fw::Options o;
    fw::Firmware f(o);
    std::vector<uint8_t> data(1, 0x5A);
    f.Received(data.data(), 1, true);
    std::atomic<bool> taken{false};
    bool stop = false;
    std::thread writer([&] {
        fw::Bytes message;
        uint64_t generation = 0;
        if (f.NextMessage(message, generation, stop)) taken = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Expect(!taken, "a message waits for 0x84 before it goes to the endpoint");
    fw::Bytes in;
    f.Request(0xC1, 0x84, {}, in);
    writer.join();
    Expect(taken && in[0] == 1, "once 0x84 announced it, it goes");
}

void Framing() {
    fw::Options o;
    {
        fw::Firmware f(o);
        Expect((Echoes(f, {{100, true}}) == std::vector<size_t>{100}), "a short packet ends a message");
    }
    {
        fw::Firmware f(o);
        Expect(Echoes(f, {{512, false}}).empty(), "a whole packet alone ends nothing");
        Expect((Echoes(f, {{0, true}}) == std::vector<size_t>{512}), "a ZLP ends it");
    }
    {
        fw::Firmware f(o);
        fw::Bytes in;
        f.Request(0x41, 0x85, {0x00, 0x04, 0, 0}, in);   // 1024
        Expect((Echoes(f, {{512, false}, {512, false}}) == std::vector<size_t>{1024}), "0x85's length ends it");
    }
    {
        fw::Firmware f(o);
        fw::Bytes in;
        f.Request(0x41, 0x85, {10, 0, 0, 0}, in);
        Expect((Echoes(f, {{30, true}}) == std::vector<size_t>{10, 20}), "a read past 0x85's length splits");
    }
    {
        fw::Firmware f(o);
        fw::Bytes in;
        f.Received(std::vector<uint8_t>(1024).data(), 1024, false);
        f.Request(0x41, 0x86, {}, in);
        Expect((Echoes(f, {}) == std::vector<size_t>{1024}), "0x86 ends the message written before it");
    }
    {
        fw::Firmware f(o);
        f.Received(std::vector<uint8_t>(100).data(), 100, true);
        f.Reset();
        Expect(Echoes(f, {}).empty(), "a reset drops what was queued");
    }
    {
        o.echo = false;
        fw::Firmware f(o);
        Expect(Echoes(f, {{100, true}}).empty(), "--no-echo queues nothing");
    }
}

void ReadSizes() {
    fw::Options o;
    o.protocolVersion = 2;
    fw::Firmware two(o);
    Expect(two.NextReadSize(512) == 65536, "protocol 2 reads large");
    o.protocolVersion = 0;
    fw::Firmware zero(o);
    Expect(zero.NextReadSize(512) == 512, "protocol 0 reads a packet at a time");
    o.protocolVersion = 1;
    fw::Firmware one(o);
    fw::Bytes in;
    one.Request(0x41, 0x85, {0xE8, 0x03, 0, 0}, in);   // 1000
    Expect(one.NextReadSize(512) == 1024, "after 0x85 the rest, in whole packets");
}

}  // namespace

int main() {
    Requests();
    Framing();
    SentOnlyOnceAnnounced();
    ReadSizes();
    std::printf("%s: %d failure(s)\n", failures ? "FAIL" : "PASS", failures);
    return failures ? 1 : 0;
}
