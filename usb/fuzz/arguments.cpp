// The arguments a host may pass: handles, pipes, lengths, paths, class texts and the buffers of
// the call, drawn from the iteration's generator.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzer.h"
#include "report.h"

namespace usbfuzz {

void Fuzzer::Describe(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(context.detail, sizeof context.detail, format, args);
    va_end(args);
    if (options_.verbose)
        Say("  %llu %s(%s)\n", static_cast<unsigned long long>(context.iteration.load()), context.action.load(),
            context.detail);
}

void* Fuzzer::PickHandle(bool passedOn) {
    std::vector<void*> open;
    std::vector<void*> stale;
    for (Session& s : sessions_) {
        if (s.record->isOpen)
            open.push_back(s.record->interfaceHandle);
        else if (s.everOpened)
            stale.push_back(s.lastHandle);
    }
    // WinUSB checks a handle only for null: a stale or made-up one would be a pointer into freed
    // or foreign memory. Only the invalid-handle value, which the exports reject before any
    // platform call, stands in for them; an export that passes it on unchecked gets null.
    void* rejected = passedOn ? nullptr : INVALID_HANDLE_VALUE;
    uint32_t roll = rng_.Below(100);
    if (roll < 65 && !open.empty()) return open[rng_.Below(static_cast<uint32_t>(open.size()))];
    if (roll < 75 && !stale.empty()) {
        rng_.Below(static_cast<uint32_t>(stale.size()));   // the draw a stale handle took
        return rejected;
    }
    if (roll < 85) return rejected;
    if (roll < 93) return nullptr;
    if (!rng_.Percent(50)) rng_.Next();   // the draws a made-up handle took
    return rejected;
}

uint8_t Fuzzer::PickPipe() {
    uint32_t roll = rng_.Below(100);
    if (roll < 40) {
        const PipeEntry& e = rng_.Percent(50) ? lastEndpoints_.in : lastEndpoints_.out;
        if (e.pipeType != 0) return e.pipeId;
    }
    if (roll < 70) {
        const uint8_t usual[] = {0x81, 0x01, 0x82, 0x02};
        return rng_.Pick(usual);
    }
    if (roll < 80) {
        const uint8_t odd[] = {0x00, 0x80, 0xFF, 0x7F};
        return rng_.Pick(odd);
    }
    return static_cast<uint8_t>(rng_.Below(256));
}

uint32_t Fuzzer::PickLength(uint32_t limit) {
    if (rng_.Percent(60)) {
        for (int tries = 0; tries < 8; ++tries) {
            uint32_t n = rng_.Pick(kLengthBounds);
            if (n <= limit) return n;
        }
    }
    uint32_t cap = std::min<uint32_t>(limit, rng_.Percent(80) ? 600 : 70000);
    return rng_.Below(cap + 1);
}

uint8_t* Fuzzer::Scratch(int index, size_t size) {
    GuardedRegion* r = size > kScratchCapacity ? big_ : scratch_[index];
    uint8_t* p = r->Place(size, placement_);
    watched_.push_back(r);
    return p;
}

uint32_t* Fuzzer::ScratchU32(int index, uint32_t value) {
    auto p = reinterpret_cast<uint32_t*>(Scratch(index, sizeof(uint32_t)));
    *p = value;
    return p;
}

Slot* Fuzzer::FreeSlot() {
    std::vector<Slot*> free;
    for (Slot& s : slots_) {
        if (!s.outstanding) free.push_back(&s);
    }
    return free.empty() ? nullptr : free[rng_.Below(static_cast<uint32_t>(free.size()))];
}

// Paths a host may hand in: present and unplugged devices, names of nothing, the null device,
// text past MAX_PATH, bytes outside ASCII, and none at all.
const char* Fuzzer::PickPath() {
    uint32_t roll = rng_.Below(100);
    std::string text;
    if (roll < 55 && !devices_.empty()) {
        std::vector<const Device*> present;
        for (const Device& d : devices_) {
            if (d.present) present.push_back(&d);
        }
        const Device* d = !present.empty() && rng_.Percent(85)
                              ? present[rng_.Below(static_cast<uint32_t>(present.size()))]
                              : &devices_[rng_.Below(static_cast<uint32_t>(devices_.size()))];
        text = d->path;
    } else if (roll < 62) {
        text = "\\\\?\\C:\\simworld\\nowhere#vid_1209&pid_0001#none#{8f0a6c3e-5b1d-4c2a-9e7f-3d2b1a0c9e8d}";
    } else if (roll < 67) {
        text = "";
    } else if (roll < 71) {
        text = "NUL";
    } else if (roll < 78) {
        text.assign(rng_.Percent(50) ? 300 : 40000, 'p');
    } else if (roll < 85) {
        for (uint32_t i = 0, n = 1 + rng_.Below(300); i < n; ++i)
            text.push_back(static_cast<char>(0x80 + rng_.Below(128)));
    } else if (roll < 92) {
        const char* names[] = {"\\\\.\\pipe\\nobody", "C:\\", "\\\\?\\", "CONOUT$"};
        text = rng_.Pick(names);
    } else {
        Describe("path null");
        return nullptr;
    }
    char* p = reinterpret_cast<char*>(path_->Place(text.size() + 1, placement_));
    std::memcpy(p, text.c_str(), text.size() + 1);
    watched_.push_back(path_);
    readOnly_.push_back(path_);
    return p;
}

const wchar_t* Fuzzer::PickClassText(int& classIndex) {
    classIndex = -1;
    std::wstring text;
    uint32_t roll = rng_.Below(100);
    if (roll < 45) {
        classIndex = 0;
        text = kDeviceClassText;
    } else if (roll < 75) {
        classIndex = 1;
        text = kOtherClassText;
    } else if (roll < 80) {
        text = L"";
    } else if (roll < 85) {
        text = L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8}";   // a digit short
    } else if (roll < 90) {
        text.assign(rng_.Percent(50) ? 300 : 70000, L'A');
    } else if (roll < 95) {
        text = L"{\x4E2D\xD800\xFFFF}";
    } else {
        return nullptr;
    }
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto p = reinterpret_cast<wchar_t*>(text_->Place(bytes, placement_));
    std::memcpy(p, text.c_str(), bytes);
    watched_.push_back(text_);
    readOnly_.push_back(text_);
    return p;
}

}  // namespace usbfuzz
