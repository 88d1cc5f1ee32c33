// Time per node of one sweep at three tree sizes, and the memory the sweep leaves behind.
// Each size is built afresh for every round (a sweep removes what it finds); the median of
// the rounds counts, so that a one-off stall of the shared machine does not. Small trees get
// more rounds: one sweep of 1,000 nodes takes only some 50 microseconds.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "clock.h"
#include "devnode_service.h"
#include "simworld.h"
#include "simworld_devnodes.h"

namespace {

constexpr GUID kDiskDrives = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kVolumes = {0x71A27CDD, 0x812A, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

void BuildTree(uint32_t nodes) {
    SimDevNodes_Reset();
    wchar_t id[128];
    for (uint32_t i = 0; i < nodes; ++i) {
        bool phantom = i % 100 == 0;   // 1% phantoms of the maker's products
        const GUID& setupClass = i % 2 ? kVolumes : kDiskDrives;
        swprintf(id, 128, L"USBSTOR\\DISK&VEN_%ls&PROD_KDX310&REV_1.00\\%08u", phantom ? L"VARKO" : L"OTHER", i);
        SimDevNodes_AddNode(&setupClass, id, phantom ? SIM_NODE_PHANTOM : SIM_NODE_PRESENT);
    }
}

}  // namespace

int main() {
    SimWorld_SetRecording(0, 0);   // the call record would grow with the tree
    const uint32_t sizes[] = {1000, 10000, 100000};
    double perNode[3] = {};
    std::printf("%8s %12s %10s %16s %18s\n", "nodes", "ns per node", "removed", "memory kept (KB)",
                "peak rise (KB)");
    for (int s = 0; s < 3; ++s) {
        const int rounds[] = {41, 11, 5};
        std::vector<double> samples;
        long long kept = 0, peakRise = 0;
        uint32_t removed = 0;
        for (int round = 0; round < rounds[s]; ++round) {
            BuildTree(sizes[s]);
            CDevNodeService service(L"VarkoDevNodeService", 300000, 3600000, 250);
            MemoryFigures before = MemoryNow();
            double t0 = SecondsNow();
            service.SweepPhantoms();
            double t1 = SecondsNow();
            MemoryFigures after = MemoryNow();
            kept = after.committed - before.committed;
            peakRise = std::max(peakRise, after.residentPeak - std::max(before.resident, before.residentPeak));
            removed = SimDevNodes_RemovedCount();
            double ns = 1e9 * (t1 - t0);
            samples.push_back(ns / sizes[s]);
        }
        std::sort(samples.begin(), samples.end());
        perNode[s] = samples[samples.size() / 2];
        std::printf("%8u %12.0f %10u %16lld %18lld\n", sizes[s], perNode[s], removed, kept / 1024, peakRise / 1024);
    }
    std::printf("ratio of the time per node at 100000 to that at 1000: %.2f (target at most 1.20)\n", perNode[2] / perNode[0]);
    return 0;
}
