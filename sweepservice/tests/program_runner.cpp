#include "program_runner.h"

#include <cstdlib>
#include <memory>

namespace {

struct Handle {
    HANDLE h = nullptr;
    ~Handle() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

struct Sc {
    SC_HANDLE h;
    ~Sc() {
        if (h) CloseServiceHandle(h);
    }
};


// Undoes the escaping of Wine's debugstr_w for the characters our texts contain.
std::wstring Unescape(const std::string& quoted) {
    std::wstring out;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size()) {
            ++i;
            switch (quoted[i]) {
            case 'n': out += L'\n'; break;
            case 'r': out += L'\r'; break;
            case 't': out += L'\t'; break;
            default: out += static_cast<wchar_t>(static_cast<unsigned char>(quoted[i]));
            }
        } else {
            out += static_cast<wchar_t>(static_cast<unsigned char>(quoted[i]));
        }
    }
    return out;
}

}  // namespace

std::wstring ProgramPath(const wchar_t* name) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

// The faults of one run, in the environment that the program inherits.
class FaultsForChild {
public:
    explicit FaultsForChild(const std::wstring& faults) : set_(!faults.empty()) {
        if (set_) SetEnvironmentVariableW(L"SIMWORLD_FAIL_IMPORTS", faults.c_str());
    }
    ~FaultsForChild() {
        if (set_) SetEnvironmentVariableW(L"SIMWORLD_FAIL_IMPORTS", nullptr);
    }
    FaultsForChild(const FaultsForChild&) = delete;
    FaultsForChild& operator=(const FaultsForChild&) = delete;

private:
    bool set_;
};

std::string ReadAll(HANDLE file) {
    std::string text;
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
    return text;
}

ProgramRun RunProgram(const std::wstring& arguments, const std::wstring& program, const std::wstring& faults) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle readEnd, writeEnd;
    if (!CreatePipe(&readEnd.h, &writeEnd.h, &inherit, 0)) return {~0u, "CreatePipe failed", {}};
    SetHandleInformation(readEnd.h, HANDLE_FLAG_INHERIT, 0);
    // Standard error goes to a file of its own: read after the exit, it cannot block the program.
    wchar_t dir[MAX_PATH], errorsPath[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"err", 0, errorsPath);
    Handle errors{CreateFileW(errorsPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)};
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd.h;
    si.hStdError = errors.h != INVALID_HANDLE_VALUE ? errors.h : GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    PROCESS_INFORMATION pi{};
    BOOL started;
    {
        FaultsForChild child(faults);
        started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    }
    if (!started) return {~0u, "CreateProcess failed " + std::to_string(GetLastError()), {}};
    Handle process{pi.hProcess}, thread{pi.hThread};
    CloseHandle(writeEnd.h);
    writeEnd.h = nullptr;
    ProgramRun run{0, ReadAll(readEnd.h), {}};
    WaitForSingleObject(process.h, INFINITE);
    GetExitCodeProcess(process.h, &run.exitCode);
    if (errors.h != INVALID_HANDLE_VALUE) {
        SetFilePointer(errors.h, 0, nullptr, FILE_BEGIN);
        run.errors = ReadAll(errors.h);
        // Wine's traces of the program (heap warnings, event texts) belong in this program's.
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), run.errors.data(), static_cast<DWORD>(run.errors.size()), &written,
                  nullptr);
    }
    return run;
}

std::vector<TracedEvent> TracedEvents() {
    std::vector<TracedEvent> events;
    const char* path = std::getenv("SWEEP_EVENT_LOG");
    if (!path) return events;
    Handle file{CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) return events;
    std::string content;
    char chunk[8192];
    DWORD got = 0;
    while (ReadFile(file.h, chunk, sizeof chunk, &got, nullptr) && got > 0) content.append(chunk, got);
    // Each event is traced as one line per insertion string: the source name, then the message.
    const std::string marker = "eventlog:ReportEventW L\"";
    std::vector<std::wstring> strings;
    size_t pos = 0;
    while ((pos = content.find(marker, pos)) != std::string::npos) {
        size_t start = pos + marker.size();
        size_t end = content.find('\n', start);
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '"') line.pop_back();
        strings.push_back(Unescape(line));
        pos = start;
    }
    for (size_t i = 0; i + 1 < strings.size(); i += 2) events.push_back(TracedEvent{strings[i], strings[i + 1]});
    return events;
}

size_t CountEvents(const std::wstring& message) {
    size_t n = 0;
    for (const auto& e : TracedEvents()) {
        if (e.source == L"VarkoDevNodeService" && e.message == message) ++n;
    }
    return n;
}

bool WaitForEvent(const std::wstring& message, size_t count, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 100) {
        if (CountEvents(message) >= count) return true;
        if (waited >= timeoutMs) return false;
        Sleep(100);
    }
}

DWORD ServiceState() {
    Sc manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (!manager.h) return 0;
    Sc service{OpenServiceW(manager.h, L"VarkoDevNodeService", SERVICE_QUERY_STATUS)};
    if (!service.h) return 0;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.h, &status)) return 0;
    return status.dwCurrentState;
}

bool WaitForState(DWORD state, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 100) {
        if (ServiceState() == state) return true;
        if (waited >= timeoutMs) return false;
        Sleep(100);
    }
}

bool WaitUntilAnsweringControls(DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 100) {
        Sc manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
        Sc service{manager.h ? OpenServiceW(manager.h, L"VarkoDevNodeService", SERVICE_INTERROGATE) : nullptr};
        SERVICE_STATUS status{};
        if (service.h && ControlService(service.h, SERVICE_CONTROL_INTERROGATE, &status) &&
            status.dwCurrentState == SERVICE_RUNNING)
            return true;
        if (waited >= timeoutMs) return false;
        Sleep(100);
    }
}
