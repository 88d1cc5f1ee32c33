// The checks after every call: the host's buffers, Read's destination, what the library printed
// and the WinUSB interfaces it left initialised; and the outcome an export passed on.
#include "checks.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "callbacks.h"
#include "fuzzer.h"
#include "output_meter.h"
#include "report.h"

namespace usbfuzz {

bool LastCall(const char* functions, SimCall& last) {
    std::string wanted = std::string("|") + functions + "|";
    for (uint32_t i = SimWorld_CallCount(); i-- > 0;) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (wanted.find(std::string("|") + c.function + "|") != std::string::npos) {
            last = c;
            return true;
        }
    }
    return false;
}

void CheckPassedOn(const char* functions, uint32_t r, uint32_t success, uint32_t shortCode) {
    SimCall last{};
    if (!LastCall(functions, last)) Broken(1, "returned 0x%X without calling %s", r, functions);
    if (last.result && (r == success || (shortCode && r == shortCode))) return;
    uint32_t failure = last.lastError != 0 ? last.lastError : static_cast<uint32_t>(ERROR_GEN_FAILURE);
    if (failure == success) failure = ERROR_NOT_SUPPORTED;
    if (!last.result && r == failure) return;
    Broken(1, "returned 0x%X where %s %s (error %u)", r, last.function, last.result ? "succeeded" : "failed",
           last.lastError);
}

void Fuzzer::CheckRegions() {
    for (GuardedRegion* r : persistent_) {
        if (!r->CanaryIntact()) Broken(1, "the bytes next to host record '%s' were overwritten", r->name());
    }
    for (GuardedRegion* r : watched_) {
        if (!r->CanaryIntact())
            Broken(1, "the bytes next to host buffer '%s' (%zu bytes) were overwritten", r->name(), r->size());
    }
}

// Read's destination holds its fill byte from `from` on. The library copies a message from the
// destination's first byte, so a copy that should not have happened shows in the first page;
// the rest is sampled a word per page.
void Fuzzer::CheckDestination(uint32_t from) {
    const uint8_t* d = destination_->buffer();
    size_t page = GuardedRegion::PageSize();
    size_t end = std::min<size_t>(LWU_MAX_MESSAGE, static_cast<size_t>(from) + page);
    for (size_t i = from; i < end; ++i) {
        if (d[i] != kDestinationByte) Broken(1, "Read wrote its destination at offset %zu", i);
    }
    for (size_t i = end; i < LWU_MAX_MESSAGE; i += page) {
        if (d[i] != kDestinationByte || d[std::min<size_t>(i + page / 2, LWU_MAX_MESSAGE - 1)] != kDestinationByte) {
            Broken(1, "Read wrote its destination at offset %zu", i);
        }
    }
    if (from < LWU_MAX_MESSAGE && d[LWU_MAX_MESSAGE - 1] != kDestinationByte) {
        Broken(1, "Read wrote its destination's last byte");
    }
}

void Fuzzer::CheckAfterCall(Action action, const SimRandomCounters& before, long long showings) {
    for (GuardedRegion* r : readOnly_) r->ReadOnly(false);
    readOnly_.clear();
    CheckRegions();
    if (callbackBroken.load()) Broken(1, "%s", callbackProblem);
    SimRandomCounters after{};
    SimRandom_Counters(&after);
    long long printed = output.Take();
    long long answers = static_cast<long long>(after.answers - before.answers);
    long long bytes = static_cast<long long>(after.bytes - before.bytes);
    // A fixed allowance for the call's own lines and system texts, one per platform answer (an
    // endpoint line, an error text), and the device's own bytes shown as text (a line end in
    // them takes two bytes in text mode) as often as the call may show them.
    long long allowance = 4096 + 1024 * answers + 2 * bytes * std::max<long long>(showings, 1);
    if (printed > allowance) {
        Broken(1, "printed %lld bytes, more than the %lld the device's %lld answers and %lld bytes allow", printed,
               allowance, answers, bytes);
    }
    // Every WinUSB interface the call initialised is freed before it returns, but the one a
    // successful OpenDevice hands over; CloseDevice frees the session's.
    int initialised = 0;
    for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (c.result && std::strcmp(c.function, "WinUsb_Initialize") == 0) ++initialised;
        if (c.result && std::strcmp(c.function, "WinUsb_Free") == 0) --initialised;
    }
    if (initialised != interfacesKept_) {
        Broken(1, "left %d WinUSB interfaces initialised, %d expected", initialised, interfacesKept_);
    }
    interfacesKept_ = 0;
    if (action < kExports) {
        ++exportCalls_[action];
        ++totalCalls_;
    }
}

}  // namespace usbfuzz
