// Small owners for the platform handles of the service: each is released on every way out.
#pragma once
#include <windows.h>
#include <setupapi.h>

namespace sweep {

// A handle of the service control manager (the SCM itself or one service).
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) noexcept : handle_(handle) {}
    ~ScHandle() {
        if (handle_) CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

// An event source registered for exactly one event.
class EventSource {
public:
    explicit EventSource(const wchar_t* name) noexcept : handle_(RegisterEventSourceW(nullptr, name)) {}
    ~EventSource() {
        if (handle_) DeregisterEventSource(handle_);
    }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

private:
    HANDLE handle_;
};

// A device information set of SetupAPI.
class DevInfoList {
public:
    explicit DevInfoList(HDEVINFO handle) noexcept : handle_(handle) {}
    ~DevInfoList() {
        if (*this) SetupDiDestroyDeviceInfoList(handle_);
    }
    DevInfoList(const DevInfoList&) = delete;
    DevInfoList& operator=(const DevInfoList&) = delete;
    HDEVINFO get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

private:
    HDEVINFO handle_;
};

}  // namespace sweep
