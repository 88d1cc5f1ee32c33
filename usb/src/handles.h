// Small owners for what the library holds: each is released on every way out. A line per kind.
#pragma once
#include <windows.h>
#include <setupapi.h>

#include "LinkWinUsb.h"

namespace lwu {

template <class H>
bool NotNull(H handle) noexcept {
    return handle != nullptr;
}

// Owns one handle of type H, released with Release(handle) when Valid(handle). Release may return
// anything: a release that fails leaves nothing to do on the way out.
template <class H, auto Release, bool (*Valid)(H) = NotNull<H>>
class Owned {
public:
    explicit Owned(H handle) noexcept : handle_(handle) {}
    ~Owned() {
        if (*this) Release(handle_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    H get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return Valid(handle_); }

private:
    H handle_;
};

// A LocalAlloc block, or the text FormatMessageA allocated; get() is null when there is none.
using LocalMemory = Owned<HLOCAL, LocalFree>;

// A device information set of SetupAPI; SetupDiGetClassDevsA reports failure as INVALID_HANDLE_VALUE.
inline bool IsDeviceInfoList(HDEVINFO set) noexcept { return set != nullptr && set != INVALID_HANDLE_VALUE; }
using DeviceInfoList = Owned<HDEVINFO, SetupDiDestroyDeviceInfoList, IsDeviceInfoList>;

// A session the call opened itself, closed again with the export a host would call.
using OpenedSession = Owned<DeviceSession*, CloseDevice>;

}  // namespace lwu
