// The fault seam of a program that loads the world (the sweep service loads it as its SetupAPI):
// platform calls of the program's own module fail as the environment variable
// SIMWORLD_FAIL_IMPORTS says, so that a test can fail any step of the shipped program as it runs,
// in a process of its own. The world patches the program's import table as it loads, before the
// program's entry point runs, with the faults of tests/support/import_patch.h.
//
//   SIMWORLD_FAIL_IMPORTS=Function:error[:times[:skip]][;Function:error...]
//
// `times` -1 fails every call (default 1), after `skip` calls that go through (default 0); a
// function that returns nothing is left out instead. IsWow64Process, which a program looks up at
// run time, is failed through GetProcAddress, which then hands out a stand-in:
// "IsWow64Process:<error>" fails, "IsWow64Process:wow64" reports a 32-bit program on 64-bit Windows.
// At exit every entry reports on standard error: "simworld: <Function> failed <n> of <m> calls"
// ("left out" for a function that returns nothing, "answered WOW64" for the second stand-in).
#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "import_patch.h"

namespace {

struct Armed {
    std::string name;
    const char* verb;
    HeldFault fault;
};

using Arming = HeldFault (*)(HMODULE, DWORD, int, int);
struct Known {
    const char* name;
    const char* verb;
    Arming arm;
};

#define FAILS(function, failValue)                                                  \
    Known {                                                                         \
        #function, "failed", [](HMODULE m, DWORD e, int t, int s) -> HeldFault {    \
            return FAIL_IMPORT(m, function, failValue, e, t, s);                    \
        }                                                                           \
    }
#define LEAVES_OUT(function)                                                        \
    Known {                                                                         \
        #function, "left out", [](HMODULE m, DWORD, int t, int s) -> HeldFault {    \
            return SKIP_IMPORT(m, function, t, s);                                  \
        }                                                                           \
    }

// The calls of the service program's console commands and of its start.
const Known KNOWN[] = {
    FAILS(GetModuleFileNameW, DWORD{0}),
    FAILS(OpenSCManagerW, SC_HANDLE{}),
    FAILS(CreateServiceW, SC_HANDLE{}),
    FAILS(ChangeServiceConfig2W, FALSE),
    FAILS(StartServiceW, FALSE),
    FAILS(OpenServiceW, SC_HANDLE{}),
    FAILS(ControlService, FALSE),
    FAILS(QueryServiceStatus, FALSE),
    FAILS(DeleteService, FALSE),
    FAILS(CloseServiceHandle, FALSE),
    FAILS(StartServiceCtrlDispatcherW, FALSE),
    FAILS(GetModuleHandleW, HMODULE{}),
    FAILS(GetProcAddress, FARPROC{}),
    FAILS(GetLastError, DWORD{0}),
    LEAVES_OUT(Sleep),
};

// The stand-in for IsWow64Process, which GetProcAddress hands out: a function of its own, whose
// answer the entry chose.
struct Wow64 {
    bool reportWow64 = false;
    DWORD error = 0;
    std::atomic<int> calls{0};
};
Wow64& TheWow64() {
    static Wow64 w;
    return w;
}

BOOL WINAPI StandInIsWow64Process(HANDLE, PBOOL wow64) {
    Wow64& w = TheWow64();
    ++w.calls;
    if (!w.reportWow64) {
        SetLastError(w.error);
        return FALSE;
    }
    *wow64 = TRUE;
    return TRUE;
}

HeldFault HandOutStandIn(HMODULE program) {
    return REPLACE_IMPORT(
        program, GetProcAddress,
        [](auto original, HMODULE module, LPCSTR name) {
            // An ordinal has no name to compare.
            if (reinterpret_cast<uintptr_t>(name) > 0xFFFF && std::strcmp(name, "IsWow64Process") == 0) {
                return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&StandInIsWow64Process));
            }
            return original(module, name);
        },
        -1);
}

void Report(const std::string& line) {
    DWORD written = 0;
    std::string text = "simworld: " + line + "\n";
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

class ProgramFaults {
public:
    ProgramFaults() {
        char value[1024];
        DWORD length = GetEnvironmentVariableA("SIMWORLD_FAIL_IMPORTS", value, sizeof value);
        if (length == 0 || length >= sizeof value) return;
        HMODULE program = GetModuleHandleW(nullptr);
        for (const std::string& entry : Split(value, ';')) {
            std::vector<std::string> fields = Split(entry, ':');
            if (fields.size() < 2 || fields[0].empty()) continue;
            try {
                Arm(program, fields);
            } catch (...) {
                Report("cannot fail " + fields[0] + " in this program");
            }
        }
    }
    ~ProgramFaults() {
        for (const Armed& a : armed_) {
            Report(a.name + " " + a.verb + " " + std::to_string(a.fault.failed()) + " of " +
                   std::to_string(a.fault.calls()) + " calls");
        }
        if (wow64_) {
            const Wow64& w = TheWow64();
            const std::string calls = std::to_string(w.calls.load());
            Report("IsWow64Process " + std::string(w.reportWow64 ? "answered WOW64 " : "failed ") + calls + " of " + calls +
                   " calls");
        }
    }
    ProgramFaults(const ProgramFaults&) = delete;
    ProgramFaults& operator=(const ProgramFaults&) = delete;

private:
    void Arm(HMODULE program, const std::vector<std::string>& fields) {
        const std::string& name = fields[0];
        if (name == "IsWow64Process") {
            Wow64& w = TheWow64();
            w.reportWow64 = fields[1] == "wow64";
            w.error = static_cast<DWORD>(std::strtoul(fields[1].c_str(), nullptr, 0));
            if (!wow64_) wow64_ = HandOutStandIn(program);
            return;
        }
        DWORD error = static_cast<DWORD>(std::strtoul(fields[1].c_str(), nullptr, 0));
        int times = fields.size() > 2 ? std::atoi(fields[2].c_str()) : 1;
        int skip = fields.size() > 3 ? std::atoi(fields[3].c_str()) : 0;
        for (const Known& k : KNOWN) {
            if (name == k.name) {
                armed_.push_back(Armed{k.name, k.verb, k.arm(program, error, times, skip)});
                return;
            }
        }
        Report("cannot fail " + name + " in this program");
    }

    std::vector<Armed> armed_;
    HeldFault wow64_;
};

// Constructed as the world loads, which is before the program's own entry point runs.
const ProgramFaults programFaults;

}  // namespace
