// usb_fuzz: every export of LinkWinUsb, called with arguments a host may pass (valid and invalid
// handles, null and non-null pointers, lengths at and around every bound), against random
// devices of the simulated world (simworld_random.h). After every call it checks that the
// process survived with its memory intact and that the export kept its documented results:
//   - the call returned within the hang limit;
//   - nothing was read or written outside the buffers the host passed (each lies against an
//     inaccessible page, with a canary on its open side; buffers the library only reads are
//     read-only during the call);
//   - the result is one LinkWinUsb.h documents for the export and its arguments; Read leaves
//     its destination untouched and its length 0 unless it returns LWU_READ_OK;
//   - Read and Write frame by the last protocol version byte a handshake received;
//   - what the library printed is bounded by what the device sent;
//   - notification callbacks get actions 0 and 1 only, a path, and no call once released;
//   - at the end of each episode, with every session closed, every registration released and
//     every identity string freed: the library holds as many heap blocks as after the warm-up,
//     and the handle probe lands no higher.
// A broken invariant prints the seed and the iteration; --seed S --replay I replays it.
//
//   usb_fuzz [--seed S] [--calls N | --seconds T] [--replay I] [--placement end|start]
//            [--hang-seconds H] [--verbose] [--profile] [--only Action,Action...]
//
// Where the parts are: this file (options, setup, the run); episodes.cpp (the episode driver,
// Step, warm-up and baseline); do_transfers.cpp, do_pipes.cpp, do_notifications.cpp (one Do*
// per export) and world_events.cpp; arguments.cpp (what a host may pass); checks.* and
// framing.cpp (the invariants); actions.* (the exports as actions, bound from the one list
// tests/support/linkwinusb_exports.h, and their weights); fuzzer.h and host_model.h (the host's
// state); callbacks.* (notification callbacks, the window thread); report.*, process_census.*
// (failure reports); faults.*, guarded_memory.h (guarded buffers and fault handlers);
// library_allocations.h, output_meter.h, watchdog.* (heap blocks, output and hangs measured).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions.h"
#include "callbacks.h"
#include "faults.h"
#include "fuzzer.h"
#include "host_library.h"
#include "library_allocations.h"
#include "output_meter.h"
#include "report.h"
#include "watchdog.h"
#include "world_window_notifications.h"

using namespace usbfuzz;

namespace {

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--verbose" || a == "--profile") {
            (a == "--verbose" ? o.verbose : o.profile) = true;
            continue;
        }
        if (!v) return false;
        ++i;
        if (a == "--seed")
            o.seed = std::strtoull(v, nullptr, 0);
        else if (a == "--calls")
            o.calls = std::strtoull(v, nullptr, 0);
        else if (a == "--seconds")
            o.seconds = std::strtod(v, nullptr);
        else if (a == "--replay")
            o.replay = std::strtoll(v, nullptr, 0);
        else if (a == "--only")
            o.only = std::string(",") + v + ",";
        else if (a == "--hang-seconds")
            hangLimitMs = static_cast<DWORD>(std::strtoul(v, nullptr, 0) * 1000);
        else if (a == "--placement" && std::strcmp(v, "end") == 0)
            o.placement = static_cast<int>(Placement::End);
        else if (a == "--placement" && std::strcmp(v, "start") == 0)
            o.placement = static_cast<int>(Placement::Start);
        else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    reportHandle = GetStdHandle(STD_ERROR_HANDLE);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Say("usage: usb_fuzz [--seed S] [--calls N | --seconds T] [--replay I] [--placement end|start] "
            "[--hang-seconds H] [--verbose] [--profile] [--only Action,Action...]\n");
        return 2;
    }
    if (!options.only.empty()) {
        bool anyExport = false;
        for (int a = 0; a < kExports; ++a) {
            anyExport |= options.only.find(std::string(",") + kLwuExportNames[a] + ",") != std::string::npos;
        }
        if (!anyExport) {
            Say("usb_fuzz: --only names no export\n");
            return 2;
        }
    }
    context.seed = options.seed;
    // Room for the handlers to report a stack overflow.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
    AddVectoredExceptionHandler(1, OnAccessViolation);
    SetUnhandledExceptionFilter(OnUnhandled);
    if (!output.Start()) {
        Say("usb_fuzz: cannot redirect standard output\n");
        return 2;
    }
    HostLibrary library("LinkWinUsb.dll");
    api.Bind(library);
    WorldWindowNotifications served(library.module());   // the world sees the window's registrations
    if (!LibraryAllocations::Attach(library.module())) {
        Say("usb_fuzz: the library imports no allocation function to count\n");
        return 2;
    }
    StartWindowThread();
    CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);

    Fuzzer fuzzer(options);
    fuzzer.Setup();
    fuzzer.WarmUp();
    fuzzer.TakeBaseline();
    if (options.replay >= 0) {
        uint64_t iteration = static_cast<uint64_t>(options.replay);
        uint64_t episode = iteration / kEpisodeLength;
        Say("usb_fuzz: replaying seed %llu, episode %llu, up to iteration %llu\n",
            static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(episode),
            static_cast<unsigned long long>(iteration));
        fuzzer.RunEpisode(episode, iteration);
        fuzzer.EndEpisode();
        output.Stop();
        Say("usb_fuzz: replayed seed %llu up to iteration %llu: every invariant held\n",
            static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(iteration));
        return 0;
    }
    Say("usb_fuzz: seed %llu, %s\n", static_cast<unsigned long long>(options.seed),
        options.calls         ? "until the call count"
        : options.seconds > 0 ? "until the time"
                              : "one episode");
    double lastProgress = 0;
    for (uint64_t episode = 0;; ++episode) {
        bool more = fuzzer.RunEpisode(episode, (episode + 1) * kEpisodeLength - 1);
        fuzzer.EndEpisode();
        if (!more || (!options.calls && options.seconds <= 0)) break;
        double elapsed = fuzzer.Elapsed();
        if (elapsed - lastProgress >= 10) {
            lastProgress = elapsed;
            Say("usb_fuzz: %llu calls in %.0f s, %.0f calls/s\n", static_cast<unsigned long long>(fuzzer.calls()),
                elapsed, static_cast<double>(fuzzer.calls()) / elapsed);
        }
    }
    output.Stop();
    fuzzer.Summary();
    return 0;
}
