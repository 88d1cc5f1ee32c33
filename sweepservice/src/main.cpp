// VarkoNodeSweepService: installs, removes or reports itself from a console; run by the SCM
// it becomes the phantom device node sweep service.
#include <windows.h>

#include <cstdio>

#include "program.h"

int wmain(int argc, wchar_t* argv[]) {
    // Nothing before RunProgram: its first call restricts the DLL search.
    try {
        return RunProgram(argc, argv);
    } catch (...) {
        // Only an allocation failure can get here; the command has failed.
        return -1;
    }
}
