// The fault scripts: one row per fault a device or the stack can show, each run once on the real
// stack (the firmware started with the row's arguments) and once in the simulated world (the
// same fault made with the world's C API). A row's script acts only through LinkWinUsb's exports
// and notes what the host saw; its check holds that against the platform's documented contract.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host_run.h"
#include "simworld.h"

namespace host {

// What the host saw, key by key, in the order the script looked.
class Seen {
public:
    void Note(const std::string& key, const std::string& value) { items_.emplace_back(key, value); }
    void Note(const std::string& key, uint32_t value) { Note(key, std::to_string(value)); }
    std::string Get(const std::string& key) const {
        for (const auto& kv : items_)
            if (kv.first == key) return kv.second;
        return "";
    }
    uint32_t Number(const std::string& key) const { return static_cast<uint32_t>(std::strtoul(Get(key).c_str(), nullptr, 0)); }
    std::string Text() const {
        std::string text;
        for (const auto& kv : items_) text += (text.empty() ? "" : " ") + kv.first + "=" + kv.second;
        return text;
    }

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

// The world's functions a row needs, bound from simworld.dll at run time: the same program runs
// on the real stack, where there is no simworld.dll.
struct WorldApi {
    decltype(&SimWorld_Reset) Reset = nullptr;
    decltype(&SimWorld_DefaultConfig) DefaultConfig = nullptr;
    decltype(&SimWorld_AddDevice) AddDevice = nullptr;
    decltype(&SimWorld_RemoveDevice) RemoveDevice = nullptr;
    decltype(&SimWorld_Stall) Stall = nullptr;
    decltype(&SimWorld_Hang) Hang = nullptr;
    decltype(&SimWorld_ShortTransfer) ShortTransfer = nullptr;
    decltype(&SimWorld_SetSeed) SetSeed = nullptr;
    void Bind();   // throws when simworld.dll or one of them is missing
};

// One opened device a script works on. `path` is its interface path; `session` is open.
struct Target {
    const LinkWinUsbExports& api;
    std::string path;
    DeviceSession session{};
    Pipes pipes;
    void* handle() const { return session.interfaceHandle; }
};

struct FaultRow {
    const char* name;
    const char* firmware;                                 // varko-fw's arguments for this row
    void (*configure)(SimUsbDeviceConfig& config);        // the world's device, before it is added
    void (*inject)(const WorldApi& world, int device);    // the world's faults, once it is open
    void (*script)(Target& target, Seen& seen);           // what the host does; notes what it saw
    bool (*check)(const Seen& seen, std::string& why);    // the documented contract
};

const std::vector<FaultRow>& FaultRows();
const FaultRow* FindFaultRow(const std::string& name);

}  // namespace host
