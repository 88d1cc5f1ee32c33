// The episodes: the host's records set up, the warm-up and the baseline, each iteration drawn and
// checked, and the end of each episode, when the library must be back at the baseline.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "callbacks.h"
#include "clock.h"
#include "faults.h"
#include "fuzzer.h"
#include "handle_probe.h"
#include "library_allocations.h"
#include "output_meter.h"
#include "report.h"
#include "simworld.h"
#include "simworld_interfaces.h"
#include "simworld_random.h"
#include "watchdog.h"

namespace usbfuzz {

void Fuzzer::Setup() {
    destination_ = NewRegion(LWU_MAX_MESSAGE, "Read destination");
    big_ = NewRegion(kBigCapacity, "large buffer");
    const char* scratchNames[] = {"buffer", "length", "transferred", "value", "value length"};
    for (int i = 0; i < 5; ++i) scratch_[i] = NewRegion(kScratchCapacity, scratchNames[i]);
    endpoints_ = NewRegion(sizeof(EndpointPair), "EndpointPair");
    path_ = NewRegion(80000, "path");
    text_ = NewRegion(160000, "GUID text");
    static const char* sessionNames[kSessions] = {"DeviceSession 0", "DeviceSession 1", "DeviceSession 2"};
    for (int i = 0; i < kSessions; ++i) sessions_[i].region = NewRegion(sizeof(DeviceSession), sessionNames[i]);
    static const char* detailNames[kDetails] = {"UsbDeviceDetail 0", "UsbDeviceDetail 1"};
    for (int i = 0; i < kDetails; ++i) details_[i].region = NewRegion(sizeof(UsbDeviceDetail), detailNames[i]);
    static const char* ovNames[kSlots] = {"OVERLAPPED 0", "OVERLAPPED 1", "OVERLAPPED 2", "OVERLAPPED 3"};
    static const char* bufNames[kSlots] = {"overlapped buffer 0", "overlapped buffer 1", "overlapped buffer 2",
                                           "overlapped buffer 3"};
    for (int i = 0; i < kSlots; ++i) {
        slots_[i].ovRegion = NewRegion(sizeof(OVERLAPPED), ovNames[i]);
        slots_[i].bufRegion = NewRegion(kSlotCapacity, bufNames[i]);
        slots_[i].event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    std::memset(destination_->Place(LWU_MAX_MESSAGE, Placement::End), kDestinationByte, LWU_MAX_MESSAGE);
    Place(Placement::End);
}

// Every persistent host record against its guard page as the episode says.
void Fuzzer::Place(Placement placement) {
    placement_ = placement;
    std::memset(destination_->Place(LWU_MAX_MESSAGE, placement), kDestinationByte, LWU_MAX_MESSAGE);
    persistent_.clear();
    persistent_.push_back(destination_);
    for (Session& s : sessions_) {
        s.record = reinterpret_cast<DeviceSession*>(s.region->Place(sizeof(DeviceSession), placement));
        std::memset(s.record, 0, sizeof(DeviceSession));
        s.everOpened = false;
        s.lastHandle = nullptr;
        persistent_.push_back(s.region);
    }
    for (Detail& d : details_) {
        d.record = reinterpret_cast<UsbDeviceDetail*>(d.region->Place(sizeof(UsbDeviceDetail), placement));
        std::memset(d.record, 0, sizeof(UsbDeviceDetail));
        persistent_.push_back(d.region);
    }
    for (Slot& slot : slots_) {
        slot.overlapped = reinterpret_cast<OVERLAPPED*>(slot.ovRegion->Place(sizeof(OVERLAPPED), placement));
        std::memset(slot.overlapped, 0, sizeof(OVERLAPPED));
        slot.outstanding = false;
        persistent_.push_back(slot.ovRegion);
        persistent_.push_back(slot.bufRegion);
    }
}

void Fuzzer::Step(Action action) {
    context.action.store(ActionName(action));
    context.detail[0] = 0;
    watched_.clear();
    SimWorld_ClearCalls();
    SimRandomCounters before{};
    SimRandom_Counters(&before);
    long long showings = 1;   // how many times the device's bytes may be shown
    Action called = action;   // the export the iteration called; the world's events call none
    double began = SecondsNow();
    switch (action) {
    case kOpenDevice: called = DoOpenDevice(); break;
    case kCloseDevice: called = DoCloseDevice(); break;
    case kRead: called = DoRead(); break;
    case kWrite: called = DoWrite(); break;
    case kControlRead: called = DoControl(true); break;
    case kControlWrite: called = DoControl(false); break;
    case kPipeRead: called = DoPipeTransfer(true); break;
    case kPipeWrite: called = DoPipeTransfer(false); break;
    case kGetPipeOverlappedResult: called = DoGetPipeOverlappedResult(); break;
    case kPipeAbort:
    case kPipeFlush:
    case kPipeReset: called = DoPipeOperation(action); break;
    case kSetPipePolicy: called = DoSetPipePolicy(); break;
    case kGetPipePolicy: called = DoGetPipePolicy(); break;
    case kSetTransferTimeoutPolicy: called = DoSetTransferTimeoutPolicy(); break;
    case kGetTransferTimeoutPolicy: called = DoGetTransferTimeoutPolicy(); break;
    case kQueryDeviceEndpoints: called = DoQueryDeviceEndpoints(); break;
    case kGetDeviceDescriptor: called = DoGetDeviceDescriptor(); break;
    case kRegisterForDeviceNotification: called = DoRegister(true); break;
    case kUnregisterForDeviceNotification: called = DoUnregister(true); break;
    case kCmRegisterNotification: called = DoRegister(false); break;
    case kCmUnregisterNotification: called = DoUnregister(false); break;
    case kGetUsbDeviceDetail: called = DoGetUsbDeviceDetail(); break;
    case kFreeUsbDeviceDetail:
        called = DoFreeUsbDeviceDetail(rng_.Percent(90) ? &details_[rng_.Below(kDetails)] : nullptr);
        break;
    case kAnnounce: showings = DoAnnounce(); break;
    case kPlug: DoPlug(); break;
    case kUnplug: DoUnplug(); break;
    default: break;
    }
    char violation[200] = {};
    if (SimWorld_ContractViolations(violation, sizeof violation) != 0) {
        SimWorld_ClearViolations();
        Broken(1, "a platform call broke WinUSB's contract: %s", violation);
    }
    double middle = SecondsNow();
    if (options_.verbose) Say("    took %.3f ms\n", 1e3 * (middle - began));
    CheckAfterCall(called, before, showings);
    actionSeconds_[action] += middle - began;
    checkSeconds_[action] += SecondsNow() - middle;
    ++actionCount_[action];
}

// A known state of the library's process-wide protocol version and pipe table, whatever ran
// before: open an ordinary device of a drawn protocol version, record its pipes, close it.
void Fuzzer::Calibrate(Rng& rng) {
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.protocolVersion = static_cast<uint8_t>(rng.Percent(80) ? rng.Below(3) : rng.Below(256));
    c.productId = 0x0C0C;
    if (rng.Percent(50)) {
        c.pipeCount = 1 + rng.Below(6);
        for (uint32_t i = 0; i < c.pipeCount; ++i) {
            c.pipes[i].type = 1 + rng.Below(3);
            c.pipes[i].pipeId = static_cast<uint8_t>((rng.Percent(50) ? 0x80 : 0) | (1 + i));
            c.pipes[i].maxPacketSize = 64;
        }
    }
    char path[512];
    int id = SimWorld_AddDevice(&c, path, sizeof path);
    DeviceSession session{};
    EndpointPair pair{};
    if (id == 0 || api.OpenDevice(&session, path) != 0 || !api.QueryDeviceEndpoints(session.interfaceHandle, &pair)) {
        Broken(2, "the calibration device did not open");
    }
    api.CloseDevice(&session);
    SimWorld_RemoveDevice(id);
    lastEndpoints_ = pair;
    version_ = c.protocolVersion;
}

bool Fuzzer::RunEpisode(uint64_t episode, uint64_t last) {
    episodeSeed_ = Mix(options_.seed, episode);
    Rng setup(episodeSeed_);
    uint64_t first = episode * kEpisodeLength;
    context.iteration.store(first);
    context.action.store("episode start");
    context.detail[0] = 0;
    SimWorld_Reset();
    Place(options_.placement >= 0 ? static_cast<Placement>(options_.placement)
          : episode % 2 == 0      ? Placement::End
                                  : Placement::Start);
    Calibrate(setup);
    devices_.clear();
    nextRandomDevice_ = 0;
    for (uint32_t i = 0, n = 1 + setup.Below(3); i < n; ++i) AddRandomDevice();
    Settle();
    output.Take();
    uint32_t weights[kActions];
    uint32_t total = 0;
    for (int a = 0; a < kActions; ++a) {
        weights[a] = options_.only.empty() || options_.only.find(std::string(",") + ActionName(static_cast<Action>(a)) +
                                                                 ",") != std::string::npos
                         ? WeightOf(static_cast<Action>(a))
                         : 0;
        total += weights[a];
    }
    for (uint64_t i = first; i <= last; ++i) {
        // Each iteration draws from a generator of its own: a replay needs only its episode.
        rng_ = Rng(Mix(episodeSeed_, i));
        uint32_t roll = rng_.Below(total);
        int action = 0;
        while (roll >= weights[action]) roll -= weights[action++];
        context.iteration.store(i);
        Step(static_cast<Action>(action));
        if (options_.calls && totalCalls_ >= options_.calls) return false;
        if (options_.seconds > 0 && SecondsNow() - started_ >= options_.seconds) return false;
    }
    return true;
}

// Everything the host took is given back; then the library must hold what it held after the
// warm-up, and no handle more.
void Fuzzer::EndEpisode() {
    context.action.store("episode end");
    context.detail[0] = 0;
    Timed t;
    for (Session& s : sessions_) {
        if (s.record->isOpen) api.CloseDevice(s.record);
        SessionClosed(s);
    }
    while (!registrations_.empty()) {
        Registration reg = registrations_.front();
        const wchar_t* texts[] = {kDeviceClassText, kOtherClassText};
        uint32_t r = 0;
        if (reg.window)
            api.UnregisterForDeviceNotification(kCallbackFunctions[reg.callback], texts[reg.classIndex]);
        else
            r = api.CmUnregisterNotification(kCallbackFunctions[reg.callback], texts[reg.classIndex]);
        if (r != 0) Broken(1, "CmUnregisterNotification of a registration returned %u", r);
        registrations_.erase(registrations_.begin());
        registeredCallbacks[reg.callback].fetch_sub(1);
    }
    for (Detail& d : details_) api.FreeUsbDeviceDetail(d.record);
    Settle();
    SimWorld_Reset();
    if (callbackBroken.load()) Broken(1, "%s", callbackProblem);
    output.Take();
    size_t blocks = LibraryAllocations::Live();
    if (blocks != baselineBlocks_) {
        Broken(5, "the library holds %zu heap blocks, %zu after the warm-up", blocks, baselineBlocks_);
    }
    std::uintptr_t handles = ProbeHandleSlot();
    if (options_.verbose) {
        Say("usb_fuzz: episode end: %zu heap blocks (%zu after the warm-up), handle probe 0x%zX (0x%zX)\n", blocks,
            baselineBlocks_, static_cast<size_t>(handles), static_cast<size_t>(baselineHandles_));
        // The list runs longer than Say's line.
        WriteReport(("handles:" + HandleTypes() + "\n").c_str());
        Say("CM registrations left: %u\n", SimInterfaces_CmRegistrationCount(nullptr));
    }
    if (handles > baselineHandles_) {
        std::string changes = HandleChanges(baselineList_, OpenHandles());
        Broken(5,
               "the handle probe lands at 0x%zX, 0x%zX after the warm-up: a handle was not released\n"
               "usb_fuzz: %d threads (%d at the baseline); handles since the baseline:%.700s",
               static_cast<size_t>(handles), static_cast<size_t>(baselineHandles_), ThreadCount(), baselineThreads_,
               changes.c_str());
    }
}

// Runs every path of the library and of the world once, so that what they keep for good (the
// notification window, the world's delivery threads, the library's list storage) is there
// before the baseline is taken.
void Fuzzer::WarmUp() {
    context.action.store("warm-up");
    Timed t;
    SimWorld_Reset();
    SimWorld_SetRecording(0, 0);
    version_ = -1;
    Place(Placement::End);
    Rng rng(0x5EED);
    Calibrate(rng);
    const wchar_t* texts[] = {kDeviceClassText, kOtherClassText};
    for (int k = 0; k < kCallbacks; ++k) registeredCallbacks[k].fetch_add(static_cast<int>(kMaxRegistrations));
    RegisterOnWindowThread(HearA, kDeviceClassText);
    for (size_t i = 0; i < kMaxRegistrations; ++i) {
        if (api.CmRegisterNotification(kCallbackFunctions[i % kCallbacks], texts[i % 2]) != 0) {
            Broken(2, "the warm-up could not register");
        }
    }
    for (uint64_t seed = 1; seed <= 12; ++seed) SimRandom_Announce(seed, &kDeviceClass);
    // Text that is no GUID sends the parse to the registry, whose key COM keeps open for good.
    api.CmRegisterNotification(HearA, L"no class");
    api.CmRegisterNotification(HearA, L"");
    char path[512];
    SimRandom_AddDevice(7, path, sizeof path);
    Settle();
    for (size_t i = 0; i < kMaxRegistrations; ++i)
        api.CmUnregisterNotification(kCallbackFunctions[i % kCallbacks], texts[i % 2]);
    api.UnregisterForDeviceNotification(HearA, kDeviceClassText);
    for (int k = 0; k < kCallbacks; ++k) registeredCallbacks[k].fetch_sub(static_cast<int>(kMaxRegistrations));
    // The identity of a device, a message each way, and an overlapped transfer of a random device
    // left pending (the world's completion thread starts with the first one).
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.echo = 1;
    int plain = SimWorld_AddDevice(&c, path, sizeof path);
    UsbDeviceDetail detail{};
    api.GetUsbDeviceDetail(&detail, path);
    api.FreeUsbDeviceDetail(&detail);
    DeviceSession session{};
    api.OpenDevice(&session, path);
    uint8_t message[16] = {1, 2, 3};
    api.Write(session.interfaceHandle, 0x01, message, sizeof message);
    uint32_t length = 0;
    api.Read(session.interfaceHandle, 0x81, destination_->buffer(), &length);
    std::memset(destination_->buffer(), kDestinationByte, LWU_MAX_MESSAGE);
    api.SetTransferTimeoutPolicy(session.interfaceHandle, 0x81, 100);
    api.CloseDevice(&session);
    SimWorld_RemoveDevice(plain);
    bool pended = false;
    for (uint64_t seed = 1; seed < 64 && !pended; ++seed) {
        char randomPath[512];
        SimRandom_AddDevice(seed, randomPath, sizeof randomPath);
        if (api.OpenDevice(&session, randomPath) != 0) continue;
        for (int k = 0; k < 16 && !pended; ++k) {
            std::memset(slots_[0].overlapped, 0, sizeof(OVERLAPPED));
            uint8_t* buffer = slots_[0].bufRegion->Place(64, Placement::End);
            pended = api.PipeRead(session.interfaceHandle, 0x81, buffer, 64, nullptr, slots_[0].overlapped) ==
                     ERROR_IO_PENDING;
        }
        api.CloseDevice(&session);
    }
    if (!pended) Broken(2, "the warm-up started no overlapped transfer");
    Settle();
    SimWorld_Reset();
    version_ = -1;
    output.Take();
    if (options_.verbose) {
        SimRandomCounters counters{};
        SimRandom_Counters(&counters);
        Say("usb_fuzz: warm-up done, %llu answers\n", static_cast<unsigned long long>(counters.answers));
    }
}

void Fuzzer::TakeBaseline() {
    baselineBlocks_ = LibraryAllocations::Live();
    baselineHandles_ = ProbeHandleSlot();
    baselineList_ = OpenHandles();   // after the probe, which it must not delay
    baselineThreads_ = ThreadCount();
    if (options_.verbose) WriteReport(("handles at baseline:" + HandleTypes() + "\n").c_str());
    started_ = SecondsNow();
}

double Fuzzer::Elapsed() const { return SecondsNow() - started_; }

void Fuzzer::Summary() const {
    double seconds = Elapsed();
    Say("usb_fuzz: seed %llu: %llu calls in %.1f s, %.0f calls/s; every invariant held\n",
        static_cast<unsigned long long>(options_.seed), static_cast<unsigned long long>(totalCalls_), seconds,
        seconds > 0 ? static_cast<double>(totalCalls_) / seconds : 0.0);
    std::string line = "usb_fuzz: calls per export:";
    for (int i = 0; i < kExports; ++i) {
        char item[80];
        std::snprintf(item, sizeof item, " %s %llu", kLwuExportNames[i], static_cast<unsigned long long>(exportCalls_[i]));
        line += item;
    }
    line += "\n";
    WriteReport(line.c_str());
    if (options_.profile) {
        for (int a = 0; a < kActions; ++a) {
            if (!actionCount_[a]) continue;
            Say("  %-32s %8llu  %8.1f us  check %6.1f us\n", ActionName(static_cast<Action>(a)),
                static_cast<unsigned long long>(actionCount_[a]), 1e6 * actionSeconds_[a] / actionCount_[a],
                1e6 * checkSeconds_[a] / actionCount_[a]);
        }
    }
}

}  // namespace usbfuzz
