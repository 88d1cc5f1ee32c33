// watch: the present interfaces of a class, then each arrival and removal with its time, until
// Ctrl+C or the time is up. The callbacks only queue what they hear; the main thread writes it.
#include <deque>
#include <mutex>
#include <thread>

#include "commands.h"
#include "interrupt.h"

namespace fieldtool {

namespace {

struct Event {
    bool present;   // reported by the registration itself
    int32_t action;
    std::string path;
    std::string clock;
    std::string iso;
    double elapsed;
};

// The callbacks get no context: the one watch of the process keeps its state here.
struct Watch {
    std::mutex mutex;
    std::deque<Event> queue;
    HANDLE queued = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD presentThread = 0;           // the thread that reports the present interfaces
    bool presentDone = false;          // that report is over
    HANDLE presentOver = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LARGE_INTEGER start{};
    LARGE_INTEGER frequency{};
};
Watch watch;

double Elapsed() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - watch.start.QuadPart) / static_cast<double>(watch.frequency.QuadPart);
}

void __cdecl OnInterface(int32_t action, const char* path) {
    Event e{false, action, path ? path : "", ClockText(false), ClockText(true), Elapsed()};
    {
        std::lock_guard<std::mutex> hold(watch.mutex);
        e.present = !watch.presentDone && GetCurrentThreadId() == watch.presentThread;
        watch.queue.push_back(std::move(e));
    }
    SetEvent(watch.queued);
}

void MarkPresentDone() {
    {
        std::lock_guard<std::mutex> hold(watch.mutex);
        watch.presentDone = true;
    }
    SetEvent(watch.presentOver);
}

// The window mechanism reports the present interfaces before its message loop starts; a thread
// timer's first call comes from that loop, so it marks the end of the report.
void CALLBACK PresentReportOver(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    MarkPresentDone();
}

// Writes what the queue holds: in the present phase only the report of the registration (into
// the open "present" array), later the events (into the open "events" array).
void Flush(Context& ctx, bool presentPhase, int& arrivals, int& removals) {
    std::deque<Event> events;
    {
        std::lock_guard<std::mutex> hold(watch.mutex);
        if (presentPhase) {
            while (!watch.queue.empty() && watch.queue.front().present) {
                events.push_back(std::move(watch.queue.front()));
                watch.queue.pop_front();
            }
        } else {
            events.swap(watch.queue);
        }
    }
    for (const Event& e : events) {
        const char* action = e.action == LWU_DEVICE_ARRIVAL ? "arrival" : "removal";
        if (presentPhase) {
            ctx.Line("present  " + e.path);
            ctx.json.String(e.path);
            continue;
        }
        (e.action == LWU_DEVICE_ARRIVAL ? arrivals : removals)++;
        ctx.Line(e.clock + "  " + action + "  " + e.path);
        ctx.json.BeginObject()
            .Field("time", e.iso)
            .Field("elapsed_s", e.elapsed)
            .Field("action", action)
            .Field("path", e.path)
            .EndObject();
    }
}

int Run(Context& ctx) {
    std::wstring classText;
    std::string classNarrow;
    if (!ClassOption(ctx, classText, classNarrow)) return ctx.failure.exitCode;
    const std::string mechanism = ctx.args.Value("mechanism", "cm");
    if (mechanism != "cm" && mechanism != "window") return ctx.Usage("--mechanism is cm or window, not '" + mechanism + "'");
    uint64_t seconds = 0;
    std::string error;
    if (!OptionNumber(ctx.args, "seconds", 0, 0, 86400, seconds, error)) return ctx.Usage(error);
    const LinkWinUsbApi& lwu = *ctx.lwu;
    QueryPerformanceFrequency(&watch.frequency);
    QueryPerformanceCounter(&watch.start);

    ctx.json.Field("class", classNarrow).Field("mechanism", mechanism).Field("seconds", seconds);
    ctx.Line("watching " + classNarrow + " by the " +
             (mechanism == "cm" ? "Configuration Manager" : "window") + " mechanism" +
             (seconds ? " for " + std::to_string(seconds) + " s" : "") + "; Ctrl+C ends");

    std::thread window;
    DWORD windowThread = 0;
    HANDLE windowEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD windowError = 0;
    if (mechanism == "cm") {
        watch.presentThread = GetCurrentThreadId();
        uint32_t status = lwu.CmRegisterNotification(OnInterface, classText.c_str());
        if (status != 0) {
            CloseHandle(windowEnded);
            return ctx.Fail(FailStatus("CmRegisterNotification for " + classNarrow + " failed", status));
        }
        MarkPresentDone();
    } else {
        HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        window = std::thread([&] {
            {
                std::lock_guard<std::mutex> hold(watch.mutex);
                watch.presentThread = windowThread = GetCurrentThreadId();
            }
            SetTimer(nullptr, 0, 0, PresentReportOver);
            SetEvent(started);
            SetLastError(0);
            lwu.RegisterForDeviceNotification(OnInterface, classText.c_str());   // returns at WM_QUIT
            windowError = GetLastError();
            SetEvent(windowEnded);
        });
        WaitForSingleObject(started, INFINITE);
        CloseHandle(started);
        HANDLE either[] = {watch.presentOver, windowEnded};
        if (WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 && !watch.presentDone) {
            // It returned at once: the system refused the registration.
            window.join();
            CloseHandle(windowEnded);
            return ctx.Fail(FailWith(kExitFailed, "RegisterForDeviceNotification for " + classNarrow + " failed",
                                     CodeKind::Win32, windowError ? windowError : ERROR_GEN_FAILURE));
        }
    }

    int arrivals = 0, removals = 0;
    ctx.json.Key("present").BeginArray();
    Flush(ctx, true, arrivals, removals);
    ctx.json.EndArray();
    ctx.json.Key("events").BeginArray();
    const ULONGLONG deadline = seconds ? GetTickCount64() + seconds * 1000 : 0;
    const char* ended = "interrupted";
    for (;;) {
        DWORD wait = INFINITE;
        if (deadline) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                ended = "time";
                break;
            }
            wait = static_cast<DWORD>(deadline - now);
        }
        HANDLE handles[] = {Interrupts::Event(), watch.queued};
        const DWORD which = WaitForMultipleObjects(2, handles, FALSE, wait);
        if (which == WAIT_OBJECT_0) break;
        Flush(ctx, false, arrivals, removals);
    }

    // Release the registration; then write what came before the release.
    uint32_t released = 0;
    if (mechanism == "cm") {
        released = lwu.CmUnregisterNotification(OnInterface, classText.c_str());
    } else {
        lwu.UnregisterForDeviceNotification(OnInterface, classText.c_str());
        PostThreadMessageA(windowThread, WM_QUIT, 0, 0);
        window.join();
    }
    CloseHandle(windowEnded);
    Flush(ctx, false, arrivals, removals);
    ctx.json.EndArray();
    const std::string how = std::string(ended) == "time" ? "the time is up" : std::string(Interrupts::Which()) + " came";
    ctx.Line("ended: " + how + " (" + std::to_string(arrivals) + " arrivals, " + std::to_string(removals) +
             " removals); registration released");
    ctx.json.Field("ended", ended).Field("arrivals", arrivals).Field("removals", removals);
    if (released != 0) return ctx.Fail(FailStatus("CmUnregisterNotification failed", released));
    return kExitOk;
}

}  // namespace

const Command& WatchCommand() {
    static const Command command{
        "watch", "[--class GUID] [--mechanism cm|window] [--seconds N]",
        "the present interfaces of a class, then arrivals and removals with their time",
        "  --class GUID          the device interface class (default: the maker's)\n"
        "  --mechanism cm|window Configuration Manager notifications (default) or the window\n"
        "                        mechanism (RegisterForDeviceNotification on a thread of its own)\n"
        "  --seconds N           stop after N seconds (default 0: until Ctrl+C)\n"
        "Lines: 'present  PATH' for each interface present at the start, then\n"
        "'HH:MM:SS.mmm  arrival|removal  PATH'. Ctrl+C ends it (exit code 0) and releases the\n"
        "registration.\n"
        "Example:\n"
        "  VarkoFieldTool watch --seconds 30\n"
        "  VarkoFieldTool watch --mechanism window --json\n",
        {{"class", true, false}, {"mechanism", true, false}, {"seconds", true, false}},
        0, 0, Needs::LinkWinUsb, Run};
    return command;
}

}  // namespace fieldtool
