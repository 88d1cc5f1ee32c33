// Device information sets (HDEVINFO) handed out by the substitute SetupAPI. A set is either
// a list of device nodes of a setup class or a list of device interfaces of an interface
// class; both kinds live in one handle table so that SetupDiDestroyDeviceInfoList serves both.
#pragma once
#include <windows.h>
#include <setupapi.h>

#include <memory>

namespace sim {

struct DevInfoSet {
    virtual ~DevInfoSet() = default;
};

// Takes ownership; returns the handle the host sees. Caller holds the world mutex.
HDEVINFO AddDevInfoSet(std::unique_ptr<DevInfoSet> set);
// Null for handles not handed out (or already destroyed). Caller holds the world mutex.
DevInfoSet* FindDevInfoSet(HDEVINFO handle);

template <class T>
T* FindDevInfoSetAs(HDEVINFO handle) {
    return dynamic_cast<T*>(FindDevInfoSet(handle));
}

}  // namespace sim
