// A scenario file applied to the world: its devices at the first call into the world, its
// timed plugs and unplugs on the world's own thread, which also rewrites the state report.
// Nothing heavy happens while the loader lock is held: the environment is read at the first
// call of an export, not at DLL attach.
#include "scenario_world.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>

#include "interfaces.h"
#include "scenario.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kReportPollMs = 200;   // CreateFile and CloseHandle never reach the world: it looks

struct Runtime {
    std::mutex control;   // loads, ends and the thread's start and stop, one at a time
    std::mutex mutex;     // what follows; taken before the world mutex, never while holding it
    std::vector<ScenarioDevice> devices;
    std::vector<ScenarioEvent> events;
    size_t next = 0;                  // the first event not yet run
    std::map<std::string, int> ids;   // each device's id in the world once it was plugged in
    Clock::time_point start;
    HANDLE thread = nullptr;
    // Made with the first thread, kept for the process: a world without a scenario's events or
    // a report makes no handles.
    HANDLE stop = nullptr;                // manual reset: the thread ends
    HANDLE firstRound = nullptr;          // manual reset: the thread has made its first round
    std::atomic<HANDLE> wake{nullptr};    // auto reset: a change to report or an announcement to make
    std::wstring reportPath;
};

Runtime& TheRuntime() {
    static Runtime runtime;
    return runtime;
}

// 0: the environment was not read yet; 1: the first call reads it; 2: done.
std::atomic<int> loadState{0};
std::atomic<DWORD> loadingThread{0};

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring Widen(const std::string& text, UINT codePage) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

bool ReadScenarioFile(const std::wstring& path, Scenario& scenario, ScenarioError& error) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        error.line = 0;
        error.text = "cannot be read (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    bool tooLarge = false;
    while (ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.append(chunk, got);
        if (content.size() > (1u << 20)) {
            tooLarge = true;
            break;
        }
    }
    CloseHandle(f);
    if (tooLarge) {
        error.line = 0;
        error.text = "larger than 1 MB";
        return false;
    }
    return ParseScenario(content, scenario, error);
}

DeviceExtras ExtrasOf(const ScenarioDevice& d) {
    DeviceExtras e;
    e.name = d.name;
    e.hasManufacturer = d.hasManufacturer;
    e.manufacturer = Widen(d.manufacturer, CP_UTF8);
    e.hasProduct = d.hasProduct;
    e.product = Widen(d.product, CP_UTF8);
    e.unplugAfterMessages = d.unplugAfterMessages;
    return e;
}

// Plugs the scenario's device in; nothing when it is in already. Caller holds r.mutex.
void PlugLocked(Runtime& r, const ScenarioDevice& d) {
    auto it = r.ids.find(d.name);
    if (it != r.ids.end() && DeviceIsPresent(it->second)) return;
    SimUsbDeviceConfig c = d.config;
    c.serial = d.serial.empty() ? nullptr : d.serial.c_str();
    if (int id = AddDeviceWith(c, ExtrasOf(d))) r.ids[d.name] = id;
}

void RunDueEvents(Runtime& r) {
    std::lock_guard<std::mutex> hold(r.mutex);
    while (r.next < r.events.size() && Clock::now() >= r.start + std::chrono::milliseconds(r.events[r.next].atMs)) {
        const ScenarioEvent& e = r.events[r.next++];
        if (e.plug) {
            for (const ScenarioDevice& d : r.devices) {
                if (d.name == e.device) PlugLocked(r, d);
            }
        } else if (r.ids.count(e.device)) {
            SimWorld_RemoveDevice(r.ids[e.device]);
        }
    }
}

DWORD UntilNextEvent(Runtime& r) {
    std::lock_guard<std::mutex> hold(r.mutex);
    if (r.next >= r.events.size()) return INFINITE;
    auto due = r.start + std::chrono::milliseconds(r.events[r.next].atMs);
    auto now = Clock::now();
    if (due <= now) return 0;
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1);
}

void MakeLateAnnouncements() {
    World& w = TheWorld();
    std::vector<Announcement> due;
    {
        std::lock_guard<std::mutex> hold(w.mutex);
        due.swap(w.later);
    }
    for (const Announcement& a : due) AnnounceInterface(a.arrival, a.classGuid, a.path);
}

// Both texts reserved before the thread starts: its rounds take nothing from the heap.
struct ReportTexts {
    std::string now, last;
};

ReportTexts& TheReportTexts() {
    static ReportTexts texts;
    return texts;
}

void RefreshReport(ReportTexts& t) {
    if (!BuildReport(CountOpenDeviceFiles(), ReportLock::Wait, t.now) || t.now == t.last) return;
    if (WriteReportFile(TheRuntime().reportPath, t.now)) t.last.assign(t.now.data(), t.now.size());
}

DWORD WINAPI WorldThread(LPVOID module) {
    Runtime& r = TheRuntime();
    ReportTexts& lastReport = TheReportTexts();
    bool reporting = !r.reportPath.empty();
    HANDLE waits[2] = {r.stop, r.wake.load()};
    for (bool first = true;; first = false) {
        RunDueEvents(r);
        MakeLateAnnouncements();
        if (reporting) RefreshReport(lastReport);
        if (first) SetEvent(r.firstRound);
        DWORD timeout = UntilNextEvent(r);
        if (reporting && timeout > kReportPollMs) timeout = kReportPollMs;
        if (WaitForMultipleObjects(2, waits, FALSE, timeout) == WAIT_OBJECT_0) break;
    }
    // The thread holds the DLL loaded while it runs, so that a FreeLibrary never unmaps its code.
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

// Until the world's thread has made its first round (its first report, the first use of what a
// thread takes from the heap once). The program goes on only then, so that its exit cannot end
// the thread inside the heap; later rounds take nothing from it.
void AwaitFirstRound(Runtime& r) {
    if (r.thread && r.firstRound) WaitForSingleObject(r.firstRound, 10000);
}

// Caller holds r.control.
void StartThread(Runtime& r) {
    if (r.thread) return;
    if (!r.stop) r.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!r.wake) r.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!r.firstRound) r.firstRound = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!r.stop || !r.wake || !r.firstRound) return;
    ResetEvent(r.firstRound);
    if (!r.reportPath.empty()) {
        ReportTexts& t = TheReportTexts();
        ReserveReportText(t.now);
        ReserveReportText(t.last);
        CountOpenDeviceFiles();   // the handle table's memory and the folder's name, made here rather than on the thread
    }
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorldThread), &self))
        return;
    ResetEvent(r.stop);
    r.thread = CreateThread(nullptr, 256 * 1024, WorldThread, self, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!r.thread) FreeLibrary(self);
}

// Caller holds r.control, and neither r.mutex nor the world mutex.
void StopThread(Runtime& r) {
    if (!r.thread) return;
    SetEvent(r.stop);
    WaitForSingleObject(r.thread, INFINITE);
    CloseHandle(r.thread);
    r.thread = nullptr;
}

// Caller holds r.control. The world holds no scenario's devices.
void Apply(Runtime& r, const Scenario& scenario) {
    {
        std::lock_guard<std::mutex> hold(r.mutex);
        r.devices = scenario.devices;
        r.events = scenario.events;
        r.next = 0;
        r.ids.clear();
        r.start = Clock::now();
    }
    {
        World& w = TheWorld();
        std::lock_guard<std::mutex> hold(w.mutex);
        w.scenarioNames.clear();
        for (const ScenarioDevice& d : scenario.devices) w.scenarioNames.push_back(d.name);
        NoteChangeLocked();
    }
    bool triggers = false;
    {
        std::lock_guard<std::mutex> hold(r.mutex);
        for (const ScenarioDevice& d : r.devices) {
            if (d.present) PlugLocked(r, d);
            triggers = triggers || d.unplugAfterMessages != 0;
        }
    }
    if (!scenario.events.empty() || triggers || !r.reportPath.empty()) StartThread(r);
}

// The first call of the process: the environment's report and (unless the program builds its
// own world) its scenario.
void LoadFromEnvironment(bool withScenario) {
    Runtime& r = TheRuntime();
    std::lock_guard<std::mutex> control(r.control);
    r.reportPath = Environment(L"VARKO_SIM_REPORT");
    std::wstring path = withScenario ? Environment(L"VARKO_SIM_SCENARIO") : std::wstring();
    Scenario scenario;
    ScenarioError error;
    if (!path.empty() && !ReadScenarioFile(path, scenario, error)) {
        char shown[1024] = {};
        GetEnvironmentVariableA("VARKO_SIM_SCENARIO", shown, sizeof shown);
        std::fprintf(stderr, "simworld: scenario %s line %d: %s\n", shown, error.line, error.text.c_str());
        std::fflush(stderr);
        scenario = Scenario{};   // the world starts empty
    }
    if (!path.empty()) {
        // Driven from outside, no test reads the calls back: a record of every call and every
        // byte would only grow with each message for as long as the program runs.
        World& w = TheWorld();
        std::lock_guard<std::mutex> hold(w.mutex);
        w.keepCalls = w.keepData = false;
    }
    Apply(r, scenario);
}

void Begin(bool withScenario) {
    int expected = 0;
    if (loadState.compare_exchange_strong(expected, 1)) {
        loadingThread = GetCurrentThreadId();
        LoadFromEnvironment(withScenario);
        loadState.store(2, std::memory_order_release);
        AwaitFirstRound(TheRuntime());   // after the load: the thread's first round may call into the world
        return;
    }
    if (loadingThread == GetCurrentThreadId()) return;   // the load's own calls into the world
    while (loadState.load(std::memory_order_acquire) != 2) Sleep(1);
}

}  // namespace

void EnsureScenarioLoaded() {
    if (loadState.load(std::memory_order_acquire) != 2) Begin(true);
}

void EndScenario() {
    if (loadState.load(std::memory_order_acquire) != 2) Begin(false);
    Runtime& r = TheRuntime();
    std::lock_guard<std::mutex> control(r.control);
    {
        std::lock_guard<std::mutex> hold(r.mutex);
        r.devices.clear();
        r.events.clear();
        r.next = 0;
        r.ids.clear();
    }
    if (r.reportPath.empty()) StopThread(r);
}

void NoteChangeLocked() {
    Runtime& r = TheRuntime();
    if (HANDLE wake = r.wake.load()) {
        if (!r.reportPath.empty()) SetEvent(wake);
    }
}

void AnnounceLaterLocked(Announcement announcement) {
    TheWorld().later.push_back(std::move(announcement));
    if (HANDLE wake = TheRuntime().wake.load()) SetEvent(wake);
}

const std::wstring& ReportPath() { return TheRuntime().reportPath; }

std::string& ReportScratch() { return TheReportTexts().now; }

}  // namespace sim

using namespace sim;

extern "C" SIMWORLD_API int SimWorld_LoadScenario(const char* path, char* error, size_t capacity) {
    auto answer = [&](const std::string& text) {
        if (error && capacity) {
            size_t n = std::min(text.size(), capacity - 1);
            text.copy(error, n);
            error[n] = 0;
        }
        return text.empty() ? 1 : 0;
    };
    SimWorld_Reset();
    if (!path) return answer("line 0: no file named");
    Scenario scenario;
    ScenarioError problem;
    if (!ReadScenarioFile(Widen(path, CP_ACP), scenario, problem)) {
        return answer("line " + std::to_string(problem.line) + ": " + problem.text);
    }
    Runtime& r = TheRuntime();
    std::lock_guard<std::mutex> control(r.control);
    Apply(r, scenario);
    AwaitFirstRound(r);
    return answer(std::string());
}
