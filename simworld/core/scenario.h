// Scenario files of the simulated world (docs/scenarios.md): the text parsed into a plain
// description, kept apart from applying it to the world so that the parser can be tried alone.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "simworld.h"

namespace sim {

struct ScenarioDevice {
    std::string name;
    int line = 0;                 // of its `device` statement
    SimUsbDeviceConfig config{};  // config.serial stays null: the serial is `serial` below
    std::string serial;           // empty: the world numbers it
    bool hasManufacturer = false;
    std::string manufacturer;     // UTF-8
    bool hasProduct = false;
    std::string product;
    bool present = true;
    uint32_t unplugAfterMessages = 0;   // 0: never
};

struct ScenarioEvent {
    uint32_t atMs = 0;   // since the world was loaded
    bool plug = true;    // false: unplug
    std::string device;
    int line = 0;
};

struct Scenario {
    std::vector<ScenarioDevice> devices;   // in the order of the file
    std::vector<ScenarioEvent> events;     // in time order (equal times: in the order of the file)
};

struct ScenarioError {
    int line = 0;   // 0: not about a line (the file could not be read)
    std::string text;
};

// False with the first error found; `out` is then incomplete.
bool ParseScenario(const std::string& text, Scenario& out, ScenarioError& error);

}  // namespace sim
