// A DLL planted beside the program, under the name the removal path loads by bare name (the
// simulated SetupAPI loads its class installer so, as the system's does): the removal loads it
// until the program's start restricts the DLL search, and not after. The restriction lasts for
// the process, so these run in a process of their own (ctest sweep_dll_search), in this order.
#include "service_host.h"

#include <string>

#include "program.h"

namespace {

const wchar_t kPlanted[] = L"varkoplantedinst.dll";   // only in the program's folder (bin/)

class PlantedInstaller : public ServiceHost {
protected:
    CDevNodeService service_{L"VarkoDevNodeService", 50, 3600000, 250};

    // One sweep with one phantom: how often the installer was looked for and found.
    std::pair<uint32_t, uint32_t> Sweep() {
        SimDevNodes_SetClassInstaller(kPlanted);
        SimDevNodes_AddNode(&kDiskDrives, L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\A", SIM_NODE_PHANTOM);
        Start(service_);
        EXPECT_TRUE(WaitForSweeps(2));
        Control(SERVICE_CONTROL_STOP);
        EXPECT_EQ((Texts{L"USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\A"}), RemovedNodes());
        return {SimDevNodes_ClassInstallerTries(), SimDevNodes_ClassInstallerLoads()};
    }
};

// Without the restriction the planted file is found: the second test's "not loaded" is no
// file missing from the folder.
TEST_F(PlantedInstaller, DISABLED_1_IsLoadedFromTheProgramsFolderWithoutTheRestriction) {
    EXPECT_EQ(std::make_pair(1u, 1u), Sweep());
}

TEST_F(PlantedInstaller, DISABLED_2_IsNotLoadedOnceTheProgramHasStarted) {
    std::wstring program = L"VarkoNodeSweepService.exe";
    std::wstring version = L"-version";
    wchar_t* argv[] = {program.data(), version.data(), nullptr};
    ASSERT_EQ(0, RunProgram(2, argv));   // its first call restricts the search, for the process
    EXPECT_EQ(std::make_pair(1u, 0u), Sweep());
    EXPECT_EQ(nullptr, GetModuleHandleW(kPlanted));
}

}  // namespace
