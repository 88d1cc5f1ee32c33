// The fuzzer: the host's state through an episode, the iteration that calls one export with
// drawn arguments and checks what it did, and the episodes that run them from a fresh world.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "LinkWinUsb.h"
#include "actions.h"
#include "guarded_memory.h"
#include "host_model.h"
#include "process_census.h"
#include "simworld_random.h"

namespace usbfuzz {

struct Options {
    uint64_t seed = 1;
    uint64_t calls = 0;   // 0: no limit
    double seconds = 0;   // 0: no limit
    long long replay = -1;
    int placement = -1;   // -1: alternate by episode
    bool verbose = false;
    bool profile = false;   // time per action at the end
    std::string only;       // names of the actions allowed, comma-separated; empty: all
};

class Fuzzer {
public:
    explicit Fuzzer(const Options& options) : options_(options) {}

    void Setup();
    void WarmUp();
    void TakeBaseline();
    // Runs the episode from its first iteration up to `last`; false when the limits ended the run.
    bool RunEpisode(uint64_t episode, uint64_t last);
    void EndEpisode();
    void Summary() const;
    double Elapsed() const;
    uint64_t calls() const { return totalCalls_; }

private:
    // One iteration.
    void Step(Action action);
    void CheckAfterCall(Action action, const SimRandomCounters& before, long long showings);

    // The exports. Each returns the export Step counts for the iteration: the one it called (the
    // registration drawn when a full list made DoRegister release one instead).
    Action DoOpenDevice();
    Action DoCloseDevice();
    Action DoRead();
    Action DoWrite();
    Action DoControl(bool read);
    Action DoPipeTransfer(bool read);
    Action DoGetPipeOverlappedResult();
    Action DoPipeOperation(Action action);
    Action DoSetPipePolicy();
    Action DoGetPipePolicy();
    Action DoSetTransferTimeoutPolicy();
    Action DoGetTransferTimeoutPolicy();
    Action DoQueryDeviceEndpoints();
    Action DoGetDeviceDescriptor();
    Action DoRegister(bool window);
    Action DoUnregister(bool window);
    Action DoGetUsbDeviceDetail();
    Action DoFreeUsbDeviceDetail(Detail* detail);
    // The world's events.
    long long DoAnnounce();
    void DoPlug();
    void DoUnplug();

    // Arguments.
    void* PickHandle(bool passedOn = false);   // passedOn: the export hands any handle to WinUSB
    uint8_t PickPipe();
    uint32_t PickLength(uint32_t limit);
    const char* PickPath();
    const wchar_t* PickClassText(int& classIndex);
    uint8_t* Scratch(int index, size_t size);   // a buffer of the call, in scratch region `index` (or the large one)
    uint32_t* ScratchU32(int index, uint32_t value);
    Slot* FreeSlot();
    void Describe(const char* format, ...);

    // State changes the host knows of.
    void SessionClosed(Session& s);
    void PipeAborted(void* handle, uint8_t pipe);
    void Calibrate(Rng& rng);
    void AddRandomDevice();
    void Place(Placement placement);
    void Settle();
    void CheckRegions();
    void CheckDestination(uint32_t writtenUpTo);
    void NoteHandshake();
    void CheckWriteFraming(void* handle, const void* source, uint32_t length, uint32_t result);
    void CheckReadFraming(void* handle);

    Options options_;
    Rng rng_;
    uint64_t episodeSeed_ = 0;
    Placement placement_ = Placement::End;
    double started_ = 0;

    std::vector<Device> devices_;
    Session sessions_[kSessions];
    Detail details_[kDetails];
    Slot slots_[kSlots];
    std::vector<Registration> registrations_;
    EndpointPair lastEndpoints_{};
    int nextRandomDevice_ = 0;
    int version_ = -1;         // the protocol version the library must frame with: the last 0x81 byte received
    int interfacesKept_ = 0;   // WinUSB interfaces the call may leave initialised (-1: it frees one)

    GuardedRegion* destination_ = nullptr;   // Read's destination: LWU_MAX_MESSAGE bytes
    GuardedRegion* big_ = nullptr;           // large sources and buffers
    GuardedRegion* scratch_[5] = {};
    GuardedRegion* endpoints_ = nullptr;
    GuardedRegion* path_ = nullptr;
    GuardedRegion* text_ = nullptr;
    std::vector<GuardedRegion*> persistent_;   // host records that live through the episode
    std::vector<GuardedRegion*> watched_;      // the call's own buffers
    std::vector<GuardedRegion*> readOnly_;     // made read-only for the call running

    uint64_t exportCalls_[kExports] = {};
    double actionSeconds_[kActions] = {};   // time in the actions and in their checks (--verbose shows them)
    double checkSeconds_[kActions] = {};
    uint64_t actionCount_[kActions] = {};
    uint64_t totalCalls_ = 0;
    size_t baselineBlocks_ = 0;
    std::uintptr_t baselineHandles_ = 0;
    HandleList baselineList_;
    int baselineThreads_ = 0;
};

}  // namespace usbfuzz
