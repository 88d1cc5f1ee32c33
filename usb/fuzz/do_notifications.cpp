// The notification and identity exports: both kinds of registration and their release,
// GetUsbDeviceDetail and FreeUsbDeviceDetail.
#include <windows.h>

#include <cstring>
#include <vector>

#include "callbacks.h"
#include "checks.h"
#include "fuzzer.h"
#include "report.h"
#include "simworld.h"
#include "watchdog.h"

namespace usbfuzz {

Action Fuzzer::DoRegister(bool window) {
    const Action called = window ? kRegisterForDeviceNotification : kCmRegisterNotification;
    if (registrations_.size() >= kMaxRegistrations) {
        // With the list full the host releases one instead; the iteration counts as the
        // registration drawn.
        DoUnregister(window);
        return called;
    }
    int who = rng_.Below(kCallbacks);
    DeviceNotificationCallback callback = rng_.Percent(92) ? kCallbackFunctions[who] : nullptr;
    int classIndex = -1;
    const wchar_t* text = PickClassText(classIndex);
    bool valid = callback && classIndex >= 0;
    Describe("callback %s, class %d", callback ? "given" : "null", classIndex);
    if (valid) registeredCallbacks[who].fetch_add(1);   // present interfaces are reported during the call
    if (window) {
        {
            Timed t;
            RegisterOnWindowThread(callback, text);
        }
        // Whether the system took the registration shows only in the library's line.
        std::fflush(stdout);
        if (valid) {
            registrations_.push_back(Registration{who, classIndex, true});
        }
        return called;
    }
    uint32_t r;
    {
        Timed t;
        r = api.CmRegisterNotification(callback, text);
    }
    if (!valid) {
        if (r != ERROR_INVALID_PARAMETER) Broken(1, "CmRegisterNotification returned %u, not 87", r);
        return called;
    }
    if (r == 0)
        registrations_.push_back(Registration{who, classIndex, false});
    else if (!IsWin32(r))
        Broken(1, "CmRegisterNotification returned 0x%X", r);
    else
        registeredCallbacks[who].fetch_sub(1);
    return called;
}

Action Fuzzer::DoUnregister(bool window) {
    const Action called = window ? kUnregisterForDeviceNotification : kCmUnregisterNotification;
    int who = -1;
    int classIndex = -1;
    const wchar_t* text = nullptr;
    DeviceNotificationCallback callback = nullptr;
    if (!registrations_.empty() && rng_.Percent(70)) {
        // One the host made, named again.
        const Registration& reg = registrations_[rng_.Below(static_cast<uint32_t>(registrations_.size()))];
        who = reg.callback;
        classIndex = reg.classIndex;
        const wchar_t* texts[] = {kDeviceClassText, kOtherClassText};
        size_t bytes = (std::wcslen(texts[classIndex]) + 1) * sizeof(wchar_t);
        auto p = reinterpret_cast<wchar_t*>(text_->Place(bytes, placement_));
        std::memcpy(p, texts[classIndex], bytes);
        watched_.push_back(text_);
        readOnly_.push_back(text_);
        text = p;
        callback = kCallbackFunctions[who];
    } else {
        who = rng_.Below(kCallbacks);
        callback = rng_.Percent(92) ? kCallbackFunctions[who] : nullptr;
        text = PickClassText(classIndex);
    }
    Describe("callback %s, class %d", callback ? "given" : "null", classIndex);
    uint32_t r = 0;
    {
        Timed t;
        if (window)
            api.UnregisterForDeviceNotification(callback, text);
        else
            r = api.CmUnregisterNotification(callback, text);
    }
    bool valid = callback && classIndex >= 0;
    if (!window && !valid && r != ERROR_INVALID_PARAMETER) Broken(1, "CmUnregisterNotification returned %u, not 87", r);
    if (!window && valid && r != 0 && !IsWin32(r)) Broken(1, "CmUnregisterNotification returned 0x%X", r);
    if (!valid || r != 0) return called;
    // The first entry of callback and class goes, whichever export made it.
    for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
        if (it->callback != who || it->classIndex != classIndex) continue;
        registrations_.erase(it);
        registeredCallbacks[who].fetch_sub(1);
        break;
    }
    return called;
}

Action Fuzzer::DoGetUsbDeviceDetail() {
    Detail* detail = rng_.Percent(92) ? &details_[rng_.Below(kDetails)] : nullptr;
    if (detail && detail->holdsStrings()) {
        // The host frees the strings before calling again with the same record.
        return DoFreeUsbDeviceDetail(detail);
    }
    const char* path = PickPath();
    Describe("detail %s, path %s", detail ? detail->region->name() : "null", path ? "given" : "null");
    int32_t r;
    {
        Timed t;
        r = api.GetUsbDeviceDetail(detail ? detail->record : nullptr, path);
    }
    NoteHandshake();
    if (!detail) {
        if (r != 0) Broken(1, "GetUsbDeviceDetail with no record returned %d", r);
        return kGetUsbDeviceDetail;
    }
    const UsbDeviceDetail& d = *detail->record;
    char* const strings[3] = {d.serialNumber, d.product, d.manufacturer};   // the order they are read in
    for (char* s : strings) {
        if (s && strnlen(s, 4096) >= 4096) Broken(1, "an identity string has no end within 4096 bytes");
    }
    if (r != 0 && (!d.serialNumber || !d.product || !d.manufacturer)) {
        Broken(1, "GetUsbDeviceDetail returned %d without all three strings", r);
    }
    // Written in the order serial number, product, manufacturer: a later one without the earlier is wrong.
    if ((d.product && !d.serialNumber) || (d.manufacturer && !d.product)) {
        Broken(1, "the identity strings were written out of order");
    }
    // A failed string request still gives its own field an empty string: the last one written.
    const char* lastWritten = d.manufacturer ? d.manufacturer : d.product ? d.product : d.serialNumber;
    if (r == 0 && lastWritten && *lastWritten) {
        Broken(1, "GetUsbDeviceDetail returned 0 with its last string \"%.40s\" not empty", lastWritten);
    }
    return kGetUsbDeviceDetail;
}

Action Fuzzer::DoFreeUsbDeviceDetail(Detail* detail) {
    context.action.store("FreeUsbDeviceDetail");
    Describe("detail %s", detail ? detail->region->name() : "null");
    {
        Timed t;
        api.FreeUsbDeviceDetail(detail ? detail->record : nullptr);
    }
    if (detail && detail->holdsStrings()) Broken(1, "FreeUsbDeviceDetail left a string pointer set");
    return kFreeUsbDeviceDetail;
}

}  // namespace usbfuzz
