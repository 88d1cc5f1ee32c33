// Small owners for the platform handles of the service: each is released on every way out.
#pragma once
#include <windows.h>
#include <setupapi.h>

namespace sweep {

template <class H>
bool NotNull(H handle) noexcept {
    return handle != nullptr;
}

// Owns one handle of type H, released with Release(handle) when Valid(handle).
template <class H, BOOL(WINAPI* Release)(H), bool (*Valid)(H) = NotNull<H>>
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

// A handle of the service control manager (the SCM itself or one service).
using ScHandle = Owned<SC_HANDLE, CloseServiceHandle>;

// An event source registered for exactly one event.
class EventSource : public Owned<HANDLE, DeregisterEventSource> {
public:
    explicit EventSource(const wchar_t* name) noexcept : Owned(RegisterEventSourceW(nullptr, name)) {}
};

// A device information set of SetupAPI; SetupDiGetClassDevsW reports failure as INVALID_HANDLE_VALUE.
inline BOOL WINAPI DestroyDevInfoList(HDEVINFO set) { return SetupDiDestroyDeviceInfoList(set); }
inline bool IsDevInfoList(HDEVINFO set) noexcept { return set != nullptr && set != INVALID_HANDLE_VALUE; }
using DevInfoList = Owned<HDEVINFO, DestroyDevInfoList, IsDevInfoList>;

}  // namespace sweep
