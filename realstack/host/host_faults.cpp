// Runs one fault script (fault_rows.cpp) through LinkWinUsb.dll and prints what the host saw:
//   host_faults.exe list                 one line per row: NAME|varko-fw arguments
//   host_faults.exe real ROW PATH        against the device at PATH (the firmware runs the row's fault)
//   host_faults.exe world ROW            against the simulated world, the fault made with its C API
// Prints "SAW ROW key=value ..." and "RESULT ROW PASS" or "RESULT ROW FAIL <why>"; exit code 0
// when the row kept the contract.
#include <windows.h>

#include <cstdio>
#include <stdexcept>

#include "fault_rows.h"

namespace {

int RunRow(const host::FaultRow& row, const std::string& mode, std::string path) {
    host::WorldApi world;
    int device = 0;
    if (mode == "world") {
        world.Bind();
        world.Reset();
        world.SetSeed(7);
        SimUsbDeviceConfig config;
        world.DefaultConfig(&config);
        config.protocolVersion = 2;   // the firmware's defaults: protocol 2, every message echoed
        config.echo = 1;
        if (row.configure) row.configure(config);
        char text[512] = {};
        device = world.AddDevice(&config, text, sizeof text);
        if (device <= 0) throw std::runtime_error("the world refused the device");
        path = text;
        if (row.inject) row.inject(world, device);
    }
    HostLibrary library("LinkWinUsb.dll");
    const LinkWinUsbExports api(library);
    host::Target target{api, path, DeviceSession{}, host::Pipes{}};
    host::Seen seen;
    row.script(target, seen);
    if (target.session.isOpen) api.CloseDevice(&target.session);
    std::string why;
    bool ok = row.check(seen, why);
    std::printf("SAW %s %s\n", row.name, seen.Text().c_str());
    std::printf("RESULT %s %s%s%s\n", row.name, ok ? "PASS" : "FAIL", ok ? "" : " ", why.c_str());
    std::fflush(stdout);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "list") {
        for (const host::FaultRow& row : host::FaultRows()) std::printf("%s|%s\n", row.name, row.firmware);
        return 0;
    }
    const host::FaultRow* row = argc > 2 ? host::FindFaultRow(argv[2]) : nullptr;
    if (!row || !((mode == "real" && argc > 3) || mode == "world")) {
        std::printf("usage: host_faults list | real ROW PATH | world ROW\n");
        return 2;
    }
    try {
        return RunRow(*row, mode, mode == "real" ? argv[3] : "");
    } catch (const std::exception& e) {
        std::printf("RESULT %s FAIL %s\n", row->name, e.what());
        return 1;
    }
}
