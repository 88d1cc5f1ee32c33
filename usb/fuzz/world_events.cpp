// The world's events: interface announcements, and devices plugged in and pulled out.
#include <vector>

#include "fuzzer.h"
#include "report.h"
#include "simworld.h"
#include "simworld_interfaces.h"
#include "simworld_random.h"
#include "watchdog.h"

namespace usbfuzz {

void Fuzzer::Settle() {
    if (!SimInterfaces_WaitIdle(hangLimitMs)) Broken(4, "the notification deliveries did not finish");
}

// Returns how many times the library may show the event's path: once per registration of
// the class (a Configuration Manager event of another action prints it, with the path).
long long Fuzzer::DoAnnounce() {
    int classIndex = static_cast<int>(rng_.Below(2));
    uint64_t seed = rng_.Next();
    Describe("event seed %llu, class %d", static_cast<unsigned long long>(seed), classIndex);
    {
        Timed t;
        SimRandom_Announce(seed, kClasses[classIndex]);
        Settle();
    }
    long long listeners = 0;
    for (const Registration& r : registrations_) listeners += r.classIndex == classIndex ? 1 : 0;
    return listeners;
}

void Fuzzer::AddRandomDevice() {
    char path[512];
    int id = SimRandom_AddDevice(Mix(Mix(episodeSeed_, ~0ull), nextRandomDevice_++), path, sizeof path);
    if (id == 0) Broken(2, "the world could not add a random device");
    devices_.push_back(Device{id, path, true});
}

void Fuzzer::DoPlug() {
    size_t present = 0;
    for (const Device& d : devices_) present += d.present ? 1 : 0;
    if (present >= 4) {
        DoUnplug();
        return;
    }
    Describe("plug");
    {
        Timed t;
        AddRandomDevice();
        Settle();
    }
}

void Fuzzer::DoUnplug() {
    std::vector<Device*> present;
    for (Device& d : devices_) {
        if (d.present) present.push_back(&d);
    }
    if (present.size() <= 1) {
        DoPlug();
        return;
    }
    Device* d = present[rng_.Below(static_cast<uint32_t>(present.size()))];
    Describe("unplug device %d", static_cast<int>(d - devices_.data()));
    {
        Timed t;
        SimWorld_RemoveDevice(d->id);
        d->present = false;
        Settle();
    }
}

}  // namespace usbfuzz
