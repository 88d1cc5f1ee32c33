#include "faults.h"

#include <cstdlib>
#include <vector>

#include "report.h"

namespace usbfuzz {

namespace {
std::vector<GuardedRegion*> regions;   // every region made, for the fault handler
}  // namespace

GuardedRegion* NewRegion(size_t capacity, const char* name) {
    auto* r = new GuardedRegion();
    if (!r->Reserve(capacity, name)) {
        Say("usb_fuzz: cannot reserve %zu bytes for %s\n", capacity, name);
        std::exit(2);
    }
    regions.push_back(r);
    return r;
}

LONG CALLBACK OnAccessViolation(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* e = info->ExceptionRecord;
    if (e->ExceptionCode == EXCEPTION_STACK_OVERFLOW) Broken(3, "stack overflow (code at %p)", e->ExceptionAddress);
    if (e->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || e->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    const void* address = reinterpret_cast<const void*>(e->ExceptionInformation[1]);
    const char* kind = e->ExceptionInformation[0] == 1 ? "write" : e->ExceptionInformation[0] == 8 ? "execute" : "read";
    for (GuardedRegion* r : regions) {
        if (r->InGuard(address)) {
            Broken(3, "%s of host buffer '%s' (%zu bytes) at offset %lld: outside the buffer (code at %p)", kind,
                   r->name(), r->size(), r->OffsetOf(address), e->ExceptionAddress);
        }
        if (r->readOnly() && r->InAccessible(address) && e->ExceptionInformation[0] == 1) {
            Broken(3, "write into host buffer '%s' that the call only reads, at offset %lld (code at %p)", r->name(),
                   r->OffsetOf(address), e->ExceptionAddress);
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* e = info->ExceptionRecord;
    Broken(3, "unhandled exception 0x%08lX at %p (first parameters %p %p)",
           static_cast<unsigned long>(e->ExceptionCode), e->ExceptionAddress,
           e->NumberParameters > 0 ? reinterpret_cast<void*>(e->ExceptionInformation[0]) : nullptr,
           e->NumberParameters > 1 ? reinterpret_cast<void*>(e->ExceptionInformation[1]) : nullptr);
}

}  // namespace usbfuzz
