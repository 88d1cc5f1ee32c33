#include "devinfo_sets.h"

#include <map>

#include "interfaces.h"
#include "simworld_interfaces.h"
#include "world.h"

namespace sim {

namespace {
std::map<HDEVINFO, std::unique_ptr<DevInfoSet>>& Sets() {
    static std::map<HDEVINFO, std::unique_ptr<DevInfoSet>> sets;
    return sets;
}
uintptr_t nextSet = 0xD100;
}  // namespace

HDEVINFO AddDevInfoSet(std::unique_ptr<DevInfoSet> set) {
    auto handle = reinterpret_cast<HDEVINFO>(nextSet);
    nextSet += 0x10;
    Sets()[handle] = std::move(set);
    return handle;
}

DevInfoSet* FindDevInfoSet(HDEVINFO handle) {
    auto it = Sets().find(handle);
    return it == Sets().end() ? nullptr : it->second.get();
}

}  // namespace sim

using namespace sim;

extern "C" __declspec(dllexport) BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> hold(w.mutex);
    DWORD error = ERROR_INVALID_HANDLE;
    bool faulted = FindDevInfoSet(set) && TakeInterfaceFault(SIM_IF_DESTROY_LIST, error);   // the set stays
    bool found = !faulted && Sets().erase(set) > 0;
    w.Record("SetupDiDestroyDeviceInfoList", 0, {reinterpret_cast<uintptr_t>(set)}, found, error, nullptr, 0);
    if (!found) return Fail(error);
    return TRUE;
}
