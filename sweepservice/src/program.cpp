#include "program.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "devnode_service.h"
#include "handles.h"
#include "program_constants.h"

using namespace sweep;

namespace {

// Compares an option word ignoring the case of A to Z only.
bool IsWord(const wchar_t* text, const wchar_t* word) {
    for (;; ++text, ++word) {
        wchar_t a = *text;
        wchar_t b = *word;
        if (a >= L'A' && a <= L'Z') a = static_cast<wchar_t>(a - L'A' + L'a');
        if (b >= L'A' && b <= L'Z') b = static_cast<wchar_t>(b - L'A' + L'a');
        if (a != b) return false;
        if (a == L'\0') return true;
    }
}

// The console output of the program shows up even when it is piped while a stop is waited for.
void PrintNow(const wchar_t* text) {
    std::wprintf(L"%ls", text);
    std::fflush(stdout);
}

// Full path of the running program. GetModuleFileNameW truncates silently when the buffer is
// too small (the result then equals the size), so grow it until the path fits, up to the longest
// path there can be: a truncated path must never be registered.
bool ProgramPath(std::vector<wchar_t>& path) {
    constexpr DWORD LONGEST = 32768;   // 32,767 characters and the terminator
    for (DWORD size = MAX_PATH;; size = std::min(size * 2, LONGEST)) {
        path.assign(size, L'\0');
        DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
        if (length == 0) return false;
        if (length < size) return true;
        if (size == LONGEST) break;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
}

void PrintUsage() {
    std::wprintf(L"Parameters:\n");
    std::wprintf(L" -install  to install the service.\n");
    std::wprintf(L" -remove   to remove the service.\n");
    std::wprintf(L" -version  to show the service version.\n");
}

// True when the program is a 32-bit build running on 64-bit Windows.
bool RunsUnderWow64() {
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel) return false;
    FARPROC found = GetProcAddress(kernel, "IsWow64Process");
    if (!found) return false;
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(found));
    BOOL wow64 = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &wow64)) {
        std::wprintf(L"Service failed to read IsWow64Process with error 0x%08lx\n", GetLastError());
        return false;
    }
    return wow64 != FALSE;
}

int RunService() {
    PrintUsage();
    CDevNodeService service(kServiceName, kFirstSweepDelayMs, kSweepPeriodMs, kStopPollMs);
    ActiveService = &service;
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(kServiceName), &CServiceBase::ServiceEntry},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(table)) {
        std::wprintf(L"Service failed to run with error 0x%08lx\n", GetLastError());
    }
    return 0;
}

}  // namespace

bool InstallCommand() {
    std::vector<wchar_t> path;
    if (!ProgramPath(path)) {
        std::wprintf(L"GetModuleFileName failed w/err 0x%08lx\n", GetLastError());
        return false;
    }
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        std::wprintf(L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
        return false;
    }
    // Quoted: unquoted, a path with blanks would let the SCM start another program.
    std::wstring binaryPath = L"\"" + std::wstring(path.data()) + L"\"";
    static const wchar_t noDependencies[] = L"\0";
    ScHandle service(CreateServiceW(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                    binaryPath.c_str(), nullptr, nullptr, noDependencies, L"LocalSystem", nullptr));
    if (!service) {
        std::wprintf(L"CreateService failed w/err 0x%08lx\n", GetLastError());
        return false;
    }
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(kDescription)};
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        std::wprintf(L"Change service desription failed w/err 0x%08lx\n", GetLastError());
    }
    if (!StartServiceW(service.get(), 0, nullptr)) {
        std::wprintf(L"StartService failed w/err 0x%08lx\n", GetLastError());
    }
    std::wprintf(L"%ls is installed.\n", kServiceName);
    return true;
}

bool RemoveCommand() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        std::wprintf(L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
        return false;
    }
    ScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        std::wprintf(L"OpenService failed w/err 0x%08lx\n", error);
        return false;
    }
    SERVICE_STATUS status{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        std::wprintf(L"Stopping %ls.", kServiceName);
        std::fflush(stdout);
        Sleep(1000);
        DWORD lastState = status.dwCurrentState;
        SERVICE_STATUS query{};
        while (QueryServiceStatus(service.get(), &query)) {
            lastState = query.dwCurrentState;
            if (lastState != SERVICE_STOP_PENDING) break;
            PrintNow(L".");
            Sleep(1000);
        }
        if (lastState == SERVICE_STOPPED) {
            std::wprintf(L"\n%ls is stopped.\n", kServiceName);
        } else {
            std::wprintf(L"\n%ls failed to stop.\n", kServiceName);
        }
    }
    if (!DeleteService(service.get())) {
        std::wprintf(L"DeleteService failed w/err 0x%08lx\n", GetLastError());
        return false;
    }
    std::wprintf(L"%ls is removed.\n", kServiceName);
    return true;
}

int RunProgram(int argc, wchar_t* argv[]) {
    // The service runs as LocalSystem: whatever it loads by bare name from here on (SetupAPI loads
    // class installers during a removal) comes from the system folder only, never from the
    // program's own folder or the current one. Before any other call; a failure leaves the search
    // as it was, and the program goes on.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (RunsUnderWow64()) {
        std::wprintf(L"Can not install the win32 version of the service on a x64 operating system.");
        return -1;
    }
    if (argc > 1 && (argv[1][0] == L'-' || argv[1][0] == L'/')) {
        const wchar_t* word = argv[1] + 1;
        if (IsWord(word, L"install")) {
            RemoveCommand();
            return InstallCommand() ? 0 : -1;
        }
        if (IsWord(word, L"remove")) return RemoveCommand() ? 0 : -1;
        if (IsWord(word, L"version")) {
            std::wprintf(L"Version %d.%d.%d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild, kVersionRevision);
        }
        return 0;
    }
    return RunService();
}
