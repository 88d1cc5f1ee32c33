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
#include <windows.h>
#include <winusb.h>
#include <tlhelp32.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "LinkWinUsb.h"
#include "clock.h"
#include "guarded_memory.h"
#include "handle_probe.h"
#include "host_library.h"
#include "library_allocations.h"
#include "simworld.h"
#include "simworld_interfaces.h"
#include "simworld_random.h"
#include "simworld_rng.h"
#include "world_window_notifications.h"

namespace {

constexpr uint64_t kEpisodeLength = 5000;   // iterations; each episode starts from a fresh world
constexpr int kSessions = 3;
constexpr int kDetails = 2;
constexpr int kSlots = 4;   // overlapped transfers the host keeps at once
constexpr uint32_t kSlotCapacity = 65537;
constexpr uint32_t kScratchCapacity = 65537;
constexpr uint32_t kBigCapacity = LWU_MAX_MESSAGE + 1;
constexpr size_t kMaxRegistrations = 12;
constexpr uint8_t kDestinationByte = 0xA7;
constexpr uint8_t kRecordByte = 0xEE;

using Rng = SimRng;

uint64_t Mix(uint64_t a, uint64_t b) {
    Rng r(a ^ (b * 0xD1B54A32D192ED03ull));
    r.Next();
    return r.Next();
}

// ---------------------------------------------------------------------------------------------
// Failure reports: what the run was doing when an invariant broke, and how to replay it.

struct Context {
    uint64_t seed = 0;
    std::atomic<uint64_t> iteration{0};
    std::atomic<const char*> action{"start"};
    char detail[512] = {};
};
Context context;
HANDLE reportHandle = nullptr;   // standard error as the program started

void WriteReport(const char* text) {
    DWORD written = 0;
    WriteFile(reportHandle, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void Say(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    WriteReport(text);
}

// Ends the process at once: other threads may sit inside the library.
[[noreturn]] void Broken(int exitCode, const char* format, ...) {
    char what[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(what, sizeof what, format, args);
    va_end(args);
    char text[2600];
    unsigned long long iteration = context.iteration.load();
    std::snprintf(text, sizeof text,
                  "usb_fuzz: INVARIANT BROKEN at seed %llu iteration %llu, in %s (%s): %s\n"
                  "usb_fuzz: replay with: usb_fuzz --seed %llu --replay %llu\n",
                  static_cast<unsigned long long>(context.seed), iteration, context.action.load(), context.detail, what,
                  static_cast<unsigned long long>(context.seed), iteration);
    WriteReport(text);
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    for (;;) Sleep(INFINITE);
}

// ---------------------------------------------------------------------------------------------
// Guarded host buffers and the fault handler that names them.

std::vector<GuardedRegion*> regions;

GuardedRegion* NewRegion(size_t capacity, const char* name) {
    auto* r = new GuardedRegion();
    if (!r->Reserve(capacity, name)) {
        Say("usb_fuzz: cannot reserve %zu bytes for %s\n", capacity, name);
        std::exit(2);
    }
    regions.push_back(r);
    return r;
}

LONG CALLBACK OnAccessViolation(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* e = info->ExceptionRecord;
    if (e->ExceptionCode == EXCEPTION_STACK_OVERFLOW) Broken(3, "stack overflow (code at %p)", e->ExceptionAddress);
    if (e->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || e->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    const void* address = reinterpret_cast<const void*>(e->ExceptionInformation[1]);
    const char* kind = e->ExceptionInformation[0] == 1 ? "write" : e->ExceptionInformation[0] == 8 ? "execute" : "read";
    for (GuardedRegion* r : regions) {
        if (r->InGuard(address)) {
            Broken(3, "%s of host buffer '%s' (%zu bytes) at offset %lld: outside the buffer (code at %p)", kind,
                   r->name(), r->size(), r->OffsetOf(address), e->ExceptionAddress);
        }
        if (r->readOnly() && r->InAccessible(address) && e->ExceptionInformation[0] == 1) {
            Broken(3, "write into host buffer '%s' that the call only reads, at offset %lld (code at %p)", r->name(),
                   r->OffsetOf(address), e->ExceptionAddress);
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* e = info->ExceptionRecord;
    Broken(3, "unhandled exception 0x%08lX at %p (first parameters %p %p)",
           static_cast<unsigned long>(e->ExceptionCode), e->ExceptionAddress,
           e->NumberParameters > 0 ? reinterpret_cast<void*>(e->ExceptionInformation[0]) : nullptr,
           e->NumberParameters > 1 ? reinterpret_cast<void*>(e->ExceptionInformation[1]) : nullptr);
}

// ---------------------------------------------------------------------------------------------
// What the library prints: standard output goes to a file whose growth each call is measured by.

class OutputMeter {
public:
    bool Start() {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        if (!GetTempFileNameA(dir, "fzo", 0, path_)) return false;
        std::fflush(stdout);
        // Text mode, as a console or a pipe is: wide output arrives in the ANSI code page.
        int fd = _open(path_, _O_RDWR | _O_TRUNC | _O_CREAT | _O_TEXT, 0600);
        if (fd < 0) return false;
        _dup2(fd, _fileno(stdout));
        _close(fd);
        return true;
    }
    void Stop() {
        std::fflush(stdout);
        _chsize_s(_fileno(stdout), 0);
        DeleteFileA(path_);
    }
    // Bytes written since the last call.
    long long Take() {
        std::fflush(stdout);
        long long at = _telli64(_fileno(stdout));
        long long grown = at - last_;
        last_ = at;
        if (at > (64ll << 20)) {
            _chsize_s(_fileno(stdout), 0);
            _lseeki64(_fileno(stdout), 0, SEEK_SET);
            std::fseek(stdout, 0, SEEK_SET);
            last_ = 0;
        }
        return grown;
    }

private:
    char path_[MAX_PATH] = {};
    long long last_ = 0;
};

OutputMeter output;

int ThreadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    int n = 0;
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e))
        n += e.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

// The process's open handles by value, each with its type's name: what a failed handle check
// and --verbose show.
using HandleList = std::map<uintptr_t, std::string>;

HandleList OpenHandles() {
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    HandleList out;
    for (uintptr_t h = 4; h < 0x700; h += 4) {
        DWORD flags;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) continue;
        alignas(8) unsigned char buffer[1024] = {};
        ULONG n = 0;
        char type[64] = "?";
        if (query && query(reinterpret_cast<HANDLE>(h), 2, buffer, sizeof buffer, &n) >= 0) {
            struct Text {
                USHORT length;
                USHORT maximum;
                wchar_t* buffer;
            };
            auto name = reinterpret_cast<Text*>(buffer);
            std::snprintf(type, sizeof type, "%.*ls", static_cast<int>(name->length / 2), name->buffer);
        }
        out[h] = type;
    }
    return out;
}

std::string HandleTypes() {
    char item[96];
    std::snprintf(item, sizeof item, " threads=%d", ThreadCount());
    std::string out = item;
    for (const auto& [h, type] : OpenHandles()) {
        std::snprintf(item, sizeof item, " %zx:%s", static_cast<size_t>(h), type.c_str());
        out += item;
    }
    return out;
}

// The handles that `now` holds and `before` did not, then those gone ("-").
std::string HandleChanges(const HandleList& before, const HandleList& now) {
    std::string out;
    char item[96];
    for (const auto& [h, type] : now) {
        auto it = before.find(h);
        if (it != before.end() && it->second == type) continue;
        std::snprintf(item, sizeof item, " %zx:%s", static_cast<size_t>(h), type.c_str());
        out += item;
    }
    for (const auto& [h, type] : before) {
        auto it = now.find(h);
        if (it != now.end() && it->second == type) continue;
        std::snprintf(item, sizeof item, " -%zx:%s", static_cast<size_t>(h), type.c_str());
        out += item;
    }
    return out.empty() ? std::string(" none") : out;
}

// ---------------------------------------------------------------------------------------------
// The hang watchdog: every call must return within the limit.

std::atomic<ULONGLONG> callStarted{0};   // GetTickCount64 at the start of the call running, 0 when none
DWORD hangLimitMs = 20000;
constexpr ULONGLONG kLongestCallMs = 600000;

// A call hangs when it shows no progress for the hang limit: it neither returns nor writes
// output. (A device can make a call long and busy: 4 MB of line feeds shown as text take
// seconds under emulation, each one a write of the C runtime's text mode.) No call may take
// longer than ten minutes in any case.
DWORD WINAPI Watchdog(LPVOID) {
    HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    ULONGLONG watched = 0;
    ULONGLONG lastProgress = 0;
    LARGE_INTEGER lastSize{};
    for (;;) {
        Sleep(100);
        ULONGLONG started = callStarted.load();
        ULONGLONG now = GetTickCount64();
        LARGE_INTEGER size{};
        GetFileSizeEx(out, &size);
        if (started != watched || size.QuadPart != lastSize.QuadPart) lastProgress = now;
        watched = started;
        lastSize = size;
        if (!started) continue;
        if (now - lastProgress > hangLimitMs) {
            Broken(4, "the call made no progress (returned or wrote nothing) for %lu ms",
                   static_cast<unsigned long>(hangLimitMs));
        }
        if (now - started > kLongestCallMs) Broken(4, "the call did not return within 10 minutes");
    }
}

struct Timed {
    Timed() { callStarted.store(GetTickCount64()); }
    ~Timed() { callStarted.store(0); }
};

// ---------------------------------------------------------------------------------------------
// The library's exports, bound as a host binds them.

struct Api {
    decltype(&::OpenDevice) OpenDevice;
    decltype(&::CloseDevice) CloseDevice;
    decltype(&::Read) Read;
    decltype(&::Write) Write;
    decltype(&::ControlRead) ControlRead;
    decltype(&::ControlWrite) ControlWrite;
    decltype(&::PipeRead) PipeRead;
    decltype(&::PipeWrite) PipeWrite;
    decltype(&::GetPipeOverlappedResult) GetPipeOverlappedResult;
    decltype(&::PipeAbort) PipeAbort;
    decltype(&::PipeFlush) PipeFlush;
    decltype(&::PipeReset) PipeReset;
    decltype(&::SetPipePolicy) SetPipePolicy;
    decltype(&::GetPipePolicy) GetPipePolicy;
    decltype(&::SetTransferTimeoutPolicy) SetTransferTimeoutPolicy;
    decltype(&::GetTransferTimeoutPolicy) GetTransferTimeoutPolicy;
    decltype(&::QueryDeviceEndpoints) QueryDeviceEndpoints;
    decltype(&::GetDeviceDescriptor) GetDeviceDescriptor;
    decltype(&::RegisterForDeviceNotification) RegisterForDeviceNotification;
    decltype(&::UnregisterForDeviceNotification) UnregisterForDeviceNotification;
    decltype(&::CmRegisterNotification) CmRegisterNotification;
    decltype(&::CmUnregisterNotification) CmUnregisterNotification;
    decltype(&::GetUsbDeviceDetail) GetUsbDeviceDetail;
    decltype(&::FreeUsbDeviceDetail) FreeUsbDeviceDetail;
};

Api api;

#define BIND(name) api.name = library.Get<decltype(&::name)>(#name)

void Bind(const HostLibrary& library) {
    BIND(OpenDevice);
    BIND(CloseDevice);
    BIND(Read);
    BIND(Write);
    BIND(ControlRead);
    BIND(ControlWrite);
    BIND(PipeRead);
    BIND(PipeWrite);
    BIND(GetPipeOverlappedResult);
    BIND(PipeAbort);
    BIND(PipeFlush);
    BIND(PipeReset);
    BIND(SetPipePolicy);
    BIND(GetPipePolicy);
    BIND(SetTransferTimeoutPolicy);
    BIND(GetTransferTimeoutPolicy);
    BIND(QueryDeviceEndpoints);
    BIND(GetDeviceDescriptor);
    BIND(RegisterForDeviceNotification);
    BIND(UnregisterForDeviceNotification);
    BIND(CmRegisterNotification);
    BIND(CmUnregisterNotification);
    BIND(GetUsbDeviceDetail);
    BIND(FreeUsbDeviceDetail);
}

#undef BIND

// ---------------------------------------------------------------------------------------------
// Notification callbacks: they check what they are given, on whatever thread gives it.

constexpr int kCallbacks = 3;
constexpr size_t kLongestPath = 70000 * 2;   // the longest path a random event carries, in the worst code page
std::atomic<long long> heard[kCallbacks];
std::atomic<int> registeredCallbacks[kCallbacks];   // entries of each callback the host believes listed
std::atomic<bool> callbackBroken{false};
char callbackProblem[256];

void Hear(int who, int32_t action, const char* path) {
    heard[who].fetch_add(1);
    const char* problem = nullptr;
    if (action != LWU_DEVICE_ARRIVAL && action != LWU_DEVICE_REMOVAL)
        problem = "an action other than 0 or 1";
    else if (!path)
        problem = "a null path";
    else if (strnlen(path, kLongestPath + 1) > kLongestPath)
        problem = "a path longer than any the device sent";
    else if (registeredCallbacks[who].load() <= 0)
        problem = "a call after its last registration was released";
    if (problem && !callbackBroken.exchange(true)) {
        std::snprintf(callbackProblem, sizeof callbackProblem, "callback %d got %s (action %d)", who, problem,
                      static_cast<int>(action));
    }
}

void LWU_CALL HearA(int32_t action, const char* path) { Hear(0, action, path); }
void LWU_CALL HearB(int32_t action, const char* path) { Hear(1, action, path); }
void LWU_CALL HearC(int32_t action, const char* path) { Hear(2, action, path); }
const DeviceNotificationCallback kCallbackFunctions[kCallbacks] = {HearA, HearB, HearC};

// ---------------------------------------------------------------------------------------------
// The window thread: the thread that owns the library's notification window runs every
// RegisterForDeviceNotification, and pumps messages between them, as a host's would.

struct WindowThread {
    HANDLE thread = nullptr;
    DWORD id = 0;
    HANDLE command = nullptr;
    HANDLE done = nullptr;
    DeviceNotificationCallback callback = nullptr;
    const wchar_t* text = nullptr;
};
WindowThread windowThread;

DWORD WINAPI WindowThreadMain(LPVOID) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);   // the thread's message queue
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &windowThread.command, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) {
            // The loop of the call ends at the quit message posted before it; a registration
            // that fails returns first, and the quit message is drained below.
            PostQuitMessage(0);
            api.RegisterForDeviceNotification(windowThread.callback, windowThread.text);
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) continue;
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            SetEvent(windowThread.done);
            continue;
        }
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void StartWindowThread() {
    windowThread.command = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    windowThread.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    windowThread.thread = CreateThread(nullptr, 0, WindowThreadMain, nullptr, 0, &windowThread.id);
}

void RegisterOnWindowThread(DeviceNotificationCallback callback, const wchar_t* text) {
    windowThread.callback = callback;
    windowThread.text = text;
    SetEvent(windowThread.command);
    WaitForSingleObject(windowThread.done, INFINITE);   // the watchdog bounds it
}

// ---------------------------------------------------------------------------------------------
// Interface classes and the texts that name them.

const GUID kDeviceClass = {0x8f0a6c3e, 0x5b1d, 0x4c2a, {0x9e, 0x7f, 0x3d, 0x2b, 0x1a, 0x0c, 0x9e, 0x8d}};
const GUID kOtherClass = {0x5d7e2a10, 0x39c4, 0x4b8f, {0xa1, 0x62, 0x0e, 0x7b, 0x94, 0xd3, 0x28, 0x5f}};
const wchar_t kDeviceClassText[] = L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D}";
const wchar_t kOtherClassText[] = L"{5D7E2A10-39C4-4B8F-A162-0E7B94D3285F}";
const GUID* const kClasses[] = {&kDeviceClass, &kOtherClass};

// One registration as the host believes the library lists it.
struct Registration {
    int callback;
    int classIndex;
    bool window;
};

// ---------------------------------------------------------------------------------------------
// Results the header documents.

bool IsWin32(uint32_t r) { return r >= 1 && r <= 15999; }
bool IsHresultOfWin32(uint32_t r) { return (r & 0xFFFF0000u) == 0x80070000u && IsWin32(r & 0xFFFFu); }

const char* const kExportNames[] = {"OpenDevice",
                                    "CloseDevice",
                                    "Read",
                                    "Write",
                                    "ControlRead",
                                    "ControlWrite",
                                    "PipeRead",
                                    "PipeWrite",
                                    "GetPipeOverlappedResult",
                                    "PipeAbort",
                                    "PipeFlush",
                                    "PipeReset",
                                    "SetPipePolicy",
                                    "GetPipePolicy",
                                    "SetTransferTimeoutPolicy",
                                    "GetTransferTimeoutPolicy",
                                    "QueryDeviceEndpoints",
                                    "GetDeviceDescriptor",
                                    "RegisterForDeviceNotification",
                                    "UnregisterForDeviceNotification",
                                    "CmRegisterNotification",
                                    "CmUnregisterNotification",
                                    "GetUsbDeviceDetail",
                                    "FreeUsbDeviceDetail"};
constexpr int kExports = sizeof kExportNames / sizeof kExportNames[0];

enum Action {
    kOpenDevice,
    kCloseDevice,
    kRead,
    kWrite,
    kControlRead,
    kControlWrite,
    kPipeRead,
    kPipeWrite,
    kGetPipeOverlappedResult,
    kPipeAbort,
    kPipeFlush,
    kPipeReset,
    kSetPipePolicy,
    kGetPipePolicy,
    kSetTransferTimeoutPolicy,
    kGetTransferTimeoutPolicy,
    kQueryDeviceEndpoints,
    kGetDeviceDescriptor,
    kRegisterForDeviceNotification,
    kUnregisterForDeviceNotification,
    kCmRegisterNotification,
    kCmUnregisterNotification,
    kGetUsbDeviceDetail,
    kFreeUsbDeviceDetail,
    kAnnounce,
    kPlug,
    kUnplug,
    kActions
};
// How often each action is drawn. Plugging and unplugging cost the most (files, announcements).
const uint32_t kWeights[kActions] = {12, 8, 12, 10, 10, 8, 12, 10, 10, 6, 6, 6, 6, 6,
                                     6,  6, 8,  8,  4,  4, 4,  4,  10, 6, 4, 1, 1};

const uint32_t kLengthBounds[] = {0,    1,    2,    3,    4,    5,     7,     8,     9,       15,      16,     17,
                                  18,   19,   63,   64,   65,   255,   256,   257,   511,     512,     513,    1023,
                                  1024, 1025, 4095, 4096, 4097, 65535, 65536, 65537, 4095999, 4096000, 4096001};

// ---------------------------------------------------------------------------------------------

struct Device {
    int id = 0;
    std::string path;
    bool present = true;
};

struct Session {
    GuardedRegion* region = nullptr;
    DeviceSession* record = nullptr;
    bool everOpened = false;
    void* lastHandle = nullptr;   // stale once closed
};

struct Detail {
    GuardedRegion* region = nullptr;
    UsbDeviceDetail* record = nullptr;
    bool holdsStrings() const { return record->manufacturer || record->product || record->serialNumber; }
};

// One overlapped transfer the host may have outstanding: its OVERLAPPED and buffer stay put
// until the transfer is known to be over (started without pending, its pipe aborted, or its
// interface closed). Only those deterministic events free it, so a seed replays exactly.
struct Slot {
    GuardedRegion* ovRegion = nullptr;
    GuardedRegion* bufRegion = nullptr;
    OVERLAPPED* overlapped = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    HANDLE event = nullptr;
    bool outstanding = false;
    void* handle = nullptr;
    uint8_t pipe = 0;
};

struct Options {
    uint64_t seed = 1;
    uint64_t calls = 0;   // 0: no limit
    double seconds = 0;   // 0: no limit
    long long replay = -1;
    int placement = -1;   // -1: alternate by episode
    bool verbose = false;
    bool profile = false;   // time per action at the end
    std::string only;       // names of the actions allowed, comma-separated; empty: all
};

class Fuzzer {
public:
    explicit Fuzzer(const Options& options) : options_(options) {}

    void Setup();
    void WarmUp();
    void TakeBaseline();
    // Runs the episode from its first iteration up to `last`; false when the limits ended the run.
    bool RunEpisode(uint64_t episode, uint64_t last);
    void EndEpisode();
    void Summary() const;
    double Elapsed() const;
    uint64_t calls() const { return totalCalls_; }

private:
    // One iteration.
    void Step(Action action);
    void CheckAfterCall(Action action, const SimRandomCounters& before, long long showings);

    // The exports.
    void DoOpenDevice();
    void DoCloseDevice();
    void DoRead();
    void DoWrite();
    void DoControl(bool read);
    void DoPipeTransfer(bool read);
    void DoGetPipeOverlappedResult();
    void DoPipeOperation(Action action);
    void DoSetPipePolicy();
    void DoGetPipePolicy();
    void DoSetTransferTimeoutPolicy();
    void DoGetTransferTimeoutPolicy();
    void DoQueryDeviceEndpoints();
    void DoGetDeviceDescriptor();
    void DoRegister(bool window);
    void DoUnregister(bool window);
    void DoGetUsbDeviceDetail();
    void DoFreeUsbDeviceDetail(Detail* detail);
    long long DoAnnounce();
    void DoPlug();
    void DoUnplug();

    // Arguments.
    void* PickHandle(bool passedOn = false);   // passedOn: the export hands any handle to WinUSB
    uint8_t PickPipe();
    uint32_t PickLength(uint32_t limit);
    const char* PickPath();
    const wchar_t* PickClassText(int& classIndex);
    uint8_t* Scratch(int index, size_t size);   // a buffer of the call, in scratch region `index` (or the large one)
    uint32_t* ScratchU32(int index, uint32_t value);
    Slot* FreeSlot();
    void Describe(const char* format, ...);

    // State changes the host knows of.
    void SessionClosed(Session& s);
    void PipeAborted(void* handle, uint8_t pipe);
    void Calibrate(Rng& rng);
    void AddRandomDevice();
    void Place(Placement placement);
    void Settle();
    void CheckRegions();
    void CheckDestination(uint32_t writtenUpTo);
    void NoteHandshake();
    void CheckWriteFraming(void* handle, const void* source, uint32_t length, uint32_t result);
    void CheckReadFraming(void* handle);

    Options options_;
    Rng rng_;
    uint64_t episodeSeed_ = 0;
    Placement placement_ = Placement::End;
    double started_ = 0;

    std::vector<Device> devices_;
    Session sessions_[kSessions];
    Detail details_[kDetails];
    Slot slots_[kSlots];
    std::vector<Registration> registrations_;
    EndpointPair lastEndpoints_{};
    int nextRandomDevice_ = 0;
    int version_ = -1;         // the protocol version the library must frame with: the last 0x81 byte received
    int interfacesKept_ = 0;   // WinUSB interfaces the call may leave initialised (-1: it frees one)

    GuardedRegion* destination_ = nullptr;   // Read's destination: LWU_MAX_MESSAGE bytes
    GuardedRegion* big_ = nullptr;           // large sources and buffers
    GuardedRegion* scratch_[5] = {};
    GuardedRegion* endpoints_ = nullptr;
    GuardedRegion* path_ = nullptr;
    GuardedRegion* text_ = nullptr;
    std::vector<GuardedRegion*> persistent_;   // host records that live through the episode
    std::vector<GuardedRegion*> watched_;      // the call's own buffers
    std::vector<GuardedRegion*> readOnly_;     // made read-only for the call running

    uint64_t exportCalls_[kExports] = {};
    double actionSeconds_[kActions] = {};   // time in the actions and in their checks (--verbose shows them)
    double checkSeconds_[kActions] = {};
    uint64_t actionCount_[kActions] = {};
    uint64_t totalCalls_ = 0;
    size_t baselineBlocks_ = 0;
    std::uintptr_t baselineHandles_ = 0;
    HandleList baselineList_;
    int baselineThreads_ = 0;
};

// ---------------------------------------------------------------------------------------------

void Fuzzer::Setup() {
    destination_ = NewRegion(LWU_MAX_MESSAGE, "Read destination");
    big_ = NewRegion(kBigCapacity, "large buffer");
    const char* scratchNames[] = {"buffer", "length", "transferred", "value", "value length"};
    for (int i = 0; i < 5; ++i) scratch_[i] = NewRegion(kScratchCapacity, scratchNames[i]);
    endpoints_ = NewRegion(sizeof(EndpointPair), "EndpointPair");
    path_ = NewRegion(80000, "path");
    text_ = NewRegion(160000, "GUID text");
    static const char* sessionNames[kSessions] = {"DeviceSession 0", "DeviceSession 1", "DeviceSession 2"};
    for (int i = 0; i < kSessions; ++i) sessions_[i].region = NewRegion(sizeof(DeviceSession), sessionNames[i]);
    static const char* detailNames[kDetails] = {"UsbDeviceDetail 0", "UsbDeviceDetail 1"};
    for (int i = 0; i < kDetails; ++i) details_[i].region = NewRegion(sizeof(UsbDeviceDetail), detailNames[i]);
    static const char* ovNames[kSlots] = {"OVERLAPPED 0", "OVERLAPPED 1", "OVERLAPPED 2", "OVERLAPPED 3"};
    static const char* bufNames[kSlots] = {"overlapped buffer 0", "overlapped buffer 1", "overlapped buffer 2",
                                           "overlapped buffer 3"};
    for (int i = 0; i < kSlots; ++i) {
        slots_[i].ovRegion = NewRegion(sizeof(OVERLAPPED), ovNames[i]);
        slots_[i].bufRegion = NewRegion(kSlotCapacity, bufNames[i]);
        slots_[i].event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    std::memset(destination_->Place(LWU_MAX_MESSAGE, Placement::End), kDestinationByte, LWU_MAX_MESSAGE);
    Place(Placement::End);
}

// Every persistent host record against its guard page as the episode says.
void Fuzzer::Place(Placement placement) {
    placement_ = placement;
    std::memset(destination_->Place(LWU_MAX_MESSAGE, placement), kDestinationByte, LWU_MAX_MESSAGE);
    persistent_.clear();
    persistent_.push_back(destination_);
    for (Session& s : sessions_) {
        s.record = reinterpret_cast<DeviceSession*>(s.region->Place(sizeof(DeviceSession), placement));
        std::memset(s.record, 0, sizeof(DeviceSession));
        s.everOpened = false;
        s.lastHandle = nullptr;
        persistent_.push_back(s.region);
    }
    for (Detail& d : details_) {
        d.record = reinterpret_cast<UsbDeviceDetail*>(d.region->Place(sizeof(UsbDeviceDetail), placement));
        std::memset(d.record, 0, sizeof(UsbDeviceDetail));
        persistent_.push_back(d.region);
    }
    for (Slot& slot : slots_) {
        slot.overlapped = reinterpret_cast<OVERLAPPED*>(slot.ovRegion->Place(sizeof(OVERLAPPED), placement));
        std::memset(slot.overlapped, 0, sizeof(OVERLAPPED));
        slot.outstanding = false;
        persistent_.push_back(slot.ovRegion);
        persistent_.push_back(slot.bufRegion);
    }
}

void Fuzzer::Describe(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(context.detail, sizeof context.detail, format, args);
    va_end(args);
    if (options_.verbose)
        Say("  %llu %s(%s)\n", static_cast<unsigned long long>(context.iteration.load()), context.action.load(),
            context.detail);
}

void* Fuzzer::PickHandle(bool passedOn) {
    std::vector<void*> open;
    std::vector<void*> stale;
    for (Session& s : sessions_) {
        if (s.record->isOpen)
            open.push_back(s.record->interfaceHandle);
        else if (s.everOpened)
            stale.push_back(s.lastHandle);
    }
    // WinUSB checks a handle only for null: a stale or made-up one would be a pointer into freed
    // or foreign memory. Only the invalid-handle value, which the exports reject before any
    // platform call, stands in for them; an export that passes it on unchecked gets null.
    void* rejected = passedOn ? nullptr : INVALID_HANDLE_VALUE;
    uint32_t roll = rng_.Below(100);
    if (roll < 65 && !open.empty()) return open[rng_.Below(static_cast<uint32_t>(open.size()))];
    if (roll < 75 && !stale.empty()) {
        rng_.Below(static_cast<uint32_t>(stale.size()));   // the draw a stale handle took
        return rejected;
    }
    if (roll < 85) return rejected;
    if (roll < 93) return nullptr;
    if (!rng_.Percent(50)) rng_.Next();   // the draws a made-up handle took
    return rejected;
}

uint8_t Fuzzer::PickPipe() {
    uint32_t roll = rng_.Below(100);
    if (roll < 40) {
        const PipeEntry& e = rng_.Percent(50) ? lastEndpoints_.in : lastEndpoints_.out;
        if (e.pipeType != 0) return e.pipeId;
    }
    if (roll < 70) {
        const uint8_t usual[] = {0x81, 0x01, 0x82, 0x02};
        return rng_.Pick(usual);
    }
    if (roll < 80) {
        const uint8_t odd[] = {0x00, 0x80, 0xFF, 0x7F};
        return rng_.Pick(odd);
    }
    return static_cast<uint8_t>(rng_.Below(256));
}

uint32_t Fuzzer::PickLength(uint32_t limit) {
    if (rng_.Percent(60)) {
        for (int tries = 0; tries < 8; ++tries) {
            uint32_t n = rng_.Pick(kLengthBounds);
            if (n <= limit) return n;
        }
    }
    uint32_t cap = std::min<uint32_t>(limit, rng_.Percent(80) ? 600 : 70000);
    return rng_.Below(cap + 1);
}

uint8_t* Fuzzer::Scratch(int index, size_t size) {
    GuardedRegion* r = size > kScratchCapacity ? big_ : scratch_[index];
    uint8_t* p = r->Place(size, placement_);
    watched_.push_back(r);
    return p;
}

uint32_t* Fuzzer::ScratchU32(int index, uint32_t value) {
    auto p = reinterpret_cast<uint32_t*>(Scratch(index, sizeof(uint32_t)));
    *p = value;
    return p;
}

Slot* Fuzzer::FreeSlot() {
    std::vector<Slot*> free;
    for (Slot& s : slots_) {
        if (!s.outstanding) free.push_back(&s);
    }
    return free.empty() ? nullptr : free[rng_.Below(static_cast<uint32_t>(free.size()))];
}

// Paths a host may hand in: present and unplugged devices, names of nothing, the null device,
// text past MAX_PATH, bytes outside ASCII, and none at all.
const char* Fuzzer::PickPath() {
    uint32_t roll = rng_.Below(100);
    std::string text;
    if (roll < 55 && !devices_.empty()) {
        std::vector<const Device*> present;
        for (const Device& d : devices_) {
            if (d.present) present.push_back(&d);
        }
        const Device* d = !present.empty() && rng_.Percent(85)
                              ? present[rng_.Below(static_cast<uint32_t>(present.size()))]
                              : &devices_[rng_.Below(static_cast<uint32_t>(devices_.size()))];
        text = d->path;
    } else if (roll < 62) {
        text = "\\\\?\\C:\\simworld\\nowhere#vid_1209&pid_0001#none#{8f0a6c3e-5b1d-4c2a-9e7f-3d2b1a0c9e8d}";
    } else if (roll < 67) {
        text = "";
    } else if (roll < 71) {
        text = "NUL";
    } else if (roll < 78) {
        text.assign(rng_.Percent(50) ? 300 : 40000, 'p');
    } else if (roll < 85) {
        for (uint32_t i = 0, n = 1 + rng_.Below(300); i < n; ++i)
            text.push_back(static_cast<char>(0x80 + rng_.Below(128)));
    } else if (roll < 92) {
        const char* names[] = {"\\\\.\\pipe\\nobody", "C:\\", "\\\\?\\", "CONOUT$"};
        text = rng_.Pick(names);
    } else {
        Describe("path null");
        return nullptr;
    }
    char* p = reinterpret_cast<char*>(path_->Place(text.size() + 1, placement_));
    std::memcpy(p, text.c_str(), text.size() + 1);
    watched_.push_back(path_);
    readOnly_.push_back(path_);
    return p;
}

const wchar_t* Fuzzer::PickClassText(int& classIndex) {
    classIndex = -1;
    std::wstring text;
    uint32_t roll = rng_.Below(100);
    if (roll < 45) {
        classIndex = 0;
        text = kDeviceClassText;
    } else if (roll < 75) {
        classIndex = 1;
        text = kOtherClassText;
    } else if (roll < 80) {
        text = L"";
    } else if (roll < 85) {
        text = L"{8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8}";   // a digit short
    } else if (roll < 90) {
        text.assign(rng_.Percent(50) ? 300 : 70000, L'A');
    } else if (roll < 95) {
        text = L"{\x4E2D\xD800\xFFFF}";
    } else {
        return nullptr;
    }
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto p = reinterpret_cast<wchar_t*>(text_->Place(bytes, placement_));
    std::memcpy(p, text.c_str(), bytes);
    watched_.push_back(text_);
    readOnly_.push_back(text_);
    return p;
}

// ---------------------------------------------------------------------------------------------

void Fuzzer::CheckRegions() {
    for (GuardedRegion* r : persistent_) {
        if (!r->CanaryIntact()) Broken(1, "the bytes next to host record '%s' were overwritten", r->name());
    }
    for (GuardedRegion* r : watched_) {
        if (!r->CanaryIntact())
            Broken(1, "the bytes next to host buffer '%s' (%zu bytes) were overwritten", r->name(), r->size());
    }
}

// Read's destination holds its fill byte from `from` on. The library copies a message from the
// destination's first byte, so a copy that should not have happened shows in the first page;
// the rest is sampled a word per page.
void Fuzzer::CheckDestination(uint32_t from) {
    const uint8_t* d = destination_->buffer();
    size_t page = GuardedRegion::PageSize();
    size_t end = std::min<size_t>(LWU_MAX_MESSAGE, static_cast<size_t>(from) + page);
    for (size_t i = from; i < end; ++i) {
        if (d[i] != kDestinationByte) Broken(1, "Read wrote its destination at offset %zu", i);
    }
    for (size_t i = end; i < LWU_MAX_MESSAGE; i += page) {
        if (d[i] != kDestinationByte || d[std::min<size_t>(i + page / 2, LWU_MAX_MESSAGE - 1)] != kDestinationByte) {
            Broken(1, "Read wrote its destination at offset %zu", i);
        }
    }
    if (from < LWU_MAX_MESSAGE && d[LWU_MAX_MESSAGE - 1] != kDestinationByte) {
        Broken(1, "Read wrote its destination's last byte");
    }
}

void Fuzzer::CheckAfterCall(Action action, const SimRandomCounters& before, long long showings) {
    for (GuardedRegion* r : readOnly_) r->ReadOnly(false);
    readOnly_.clear();
    CheckRegions();
    if (callbackBroken.load()) Broken(1, "%s", callbackProblem);
    SimRandomCounters after{};
    SimRandom_Counters(&after);
    long long printed = output.Take();
    long long answers = static_cast<long long>(after.answers - before.answers);
    long long bytes = static_cast<long long>(after.bytes - before.bytes);
    // A fixed allowance for the call's own lines and system texts, one per platform answer (an
    // endpoint line, an error text), and the device's own bytes shown as text (a line end in
    // them takes two bytes in text mode) as often as the call may show them.
    long long allowance = 4096 + 1024 * answers + 2 * bytes * std::max<long long>(showings, 1);
    if (printed > allowance) {
        Broken(1, "printed %lld bytes, more than the %lld the device's %lld answers and %lld bytes allow", printed,
               allowance, answers, bytes);
    }
    // Every WinUSB interface the call initialised is freed before it returns, but the one a
    // successful OpenDevice hands over; CloseDevice frees the session's.
    int initialised = 0;
    for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (c.result && std::strcmp(c.function, "WinUsb_Initialize") == 0) ++initialised;
        if (c.result && std::strcmp(c.function, "WinUsb_Free") == 0) --initialised;
    }
    if (initialised != interfacesKept_) {
        Broken(1, "left %d WinUSB interfaces initialised, %d expected", initialised, interfacesKept_);
    }
    interfacesKept_ = 0;
    if (action < kExports) {
        ++exportCalls_[action];
        ++totalCalls_;
    }
}

// ---------------------------------------------------------------------------------------------
// The framing in force. The world records the platform calls of each iteration; a handshake's
// request 0x81 that came back with its byte sets the protocol version, nothing else does, and
// Read and Write must frame by it.

// The first control or bulk transfer the call made; false when it made none.
bool FirstTransfer(SimCall& first, uint8_t* data, uint32_t capacity, uint32_t& dataLength) {
    for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (std::strcmp(c.function, "WinUsb_ControlTransfer") != 0 &&
            std::strcmp(c.function, "WinUsb_WritePipe") != 0 && std::strcmp(c.function, "WinUsb_ReadPipe") != 0) {
            continue;
        }
        first = c;
        dataLength = SimWorld_GetCallData(i, data, capacity);
        return true;
    }
    return false;
}

bool IsControl(const SimCall& c, uint8_t requestType, uint8_t request) {
    return std::strcmp(c.function, "WinUsb_ControlTransfer") == 0 && c.args[1] == requestType && c.args[2] == request;
}

// The last recorded call of one of the functions (names separated by '|'); false when none.
bool LastCall(const char* functions, SimCall& last) {
    std::string wanted = std::string("|") + functions + "|";
    for (uint32_t i = SimWorld_CallCount(); i-- > 0;) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (wanted.find(std::string("|") + c.function + "|") != std::string::npos) {
            last = c;
            return true;
        }
    }
    return false;
}

// The export passed the platform's outcome on: `success` (or the short-transfer code when given)
// for a call that succeeded, the call's own Win32 error for one that failed (31 when it left the
// last error at 0, and 50 for 1 where 1 is the success value: no failure reads as success).
void CheckPassedOn(const char* functions, uint32_t r, uint32_t success, uint32_t shortCode = 0) {
    SimCall last{};
    if (!LastCall(functions, last)) Broken(1, "returned 0x%X without calling %s", r, functions);
    if (last.result && (r == success || (shortCode && r == shortCode))) return;
    uint32_t failure = last.lastError != 0 ? last.lastError : static_cast<uint32_t>(ERROR_GEN_FAILURE);
    if (failure == success) failure = ERROR_NOT_SUPPORTED;
    if (!last.result && r == failure) return;
    Broken(1, "returned 0x%X where %s %s (error %u)", r, last.function, last.result ? "succeeded" : "failed",
           last.lastError);
}

void Fuzzer::NoteHandshake() {
    for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
        SimCall c{};
        SimWorld_GetCall(i, &c);
        if (!IsControl(c, 0xC1, 0x81)) continue;
        uint8_t data[16] = {};
        // Setup packet and the bytes moved: the version byte came back only with 9.
        uint32_t recorded = SimWorld_GetCallData(i, data, sizeof data);
        if (c.result && recorded == 9) version_ = data[8];
        if (options_.verbose) {
            Say("    handshake: request 0x81 %s, %u bytes recorded, version %d\n", c.result ? "succeeded" : "failed",
                recorded, version_);
        }
        return;
    }
}

void Fuzzer::CheckWriteFraming(void* handle, const void* source, uint32_t length, uint32_t result) {
    if (version_ < 0 || handle == INVALID_HANDLE_VALUE) return;   // no transfer is attempted on that value
    SimCall first{};
    uint8_t data[16];
    uint32_t dataLength = 0;
    int seen;   // the framing the call used; 3 for "none", -1 when it cannot tell 2 from 3
    if (!FirstTransfer(first, data, sizeof data, dataLength)) {
        seen = result == 1 ? 2 : (!source && length) ? -1 : 3;
    } else if (IsControl(first, 0x41, 0x80)) {
        seen = 0;
    } else if (IsControl(first, 0x41, 0x85)) {
        seen = 1;
    } else if (std::strcmp(first.function, "WinUsb_WritePipe") == 0) {
        seen = 2;
    } else {
        Broken(1, "Write began with %s, request 0x%02X", first.function, static_cast<unsigned>(first.args[2]));
    }
    int expected = std::min(version_, 3);
    if (seen >= 0 ? seen != expected : expected < 2) {
        Broken(1, "Write framed for protocol version %d; the last version byte the library received was %d", seen,
               version_);
    }
}

void Fuzzer::CheckReadFraming(void* handle) {
    if (version_ < 0 || handle == INVALID_HANDLE_VALUE) return;
    SimCall first{};
    uint8_t data[16];
    uint32_t dataLength = 0;
    if (!FirstTransfer(first, data, sizeof data, dataLength)) Broken(1, "Read made no request");
    bool statusFirst = IsControl(first, 0xC1, 0x82);
    if (!statusFirst && !IsControl(first, 0xC1, 0x84))
        Broken(1, "Read began with request 0x%02X", static_cast<unsigned>(first.args[2]));
    if (statusFirst != (version_ == 0)) {
        Broken(1, "Read framed %s the status request; the last version byte the library received was %d",
               statusFirst ? "with" : "without", version_);
    }
}

// ---------------------------------------------------------------------------------------------
// The exports, one per iteration.

void Fuzzer::DoOpenDevice() {
    std::vector<Session*> closed;
    for (Session& s : sessions_) {
        if (!s.record->isOpen) closed.push_back(&s);
    }
    // The host closes a session before opening it again; with none closed it passes none.
    Session* s =
        !closed.empty() && rng_.Percent(92) ? closed[rng_.Below(static_cast<uint32_t>(closed.size()))] : nullptr;
    const char* path = PickPath();
    DeviceSession* record = s ? s->record : nullptr;
    if (record) std::memset(record, kRecordByte, sizeof *record);   // OpenDevice does not read the old contents
    Describe("session %s, path %s", record ? s->region->name() : "null", path ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.OpenDevice(record, path);
    }
    if (!record) {
        if (r != LWU_BAD_ARGUMENT) Broken(1, "OpenDevice with no session returned 0x%X, not LWU_BAD_ARGUMENT", r);
        return;
    }
    NoteHandshake();
    if (r == 0) {
        if (record->isOpen != 1) Broken(1, "OpenDevice returned 0 with isOpen %u", record->isOpen);
        interfacesKept_ = 1;
        s->everOpened = true;
        s->lastHandle = record->interfaceHandle;
        return;
    }
    if (!IsHresultOfWin32(r)) Broken(1, "OpenDevice returned 0x%X, not 0 nor the HRESULT form of a Win32 error", r);
    if (record->isOpen != 0) Broken(1, "OpenDevice failed (0x%X) with isOpen %u", r, record->isOpen);
}

void Fuzzer::DoCloseDevice() {
    Session* s = rng_.Percent(90) ? &sessions_[rng_.Below(kSessions)] : nullptr;
    Describe("session %s%s", s ? s->region->name() : "null", s && s->record->isOpen ? " (open)" : "");
    if (s && s->record->isOpen) interfacesKept_ = -1;
    {
        Timed t;
        api.CloseDevice(s ? s->record : nullptr);
    }
    if (s) {
        if (s->record->isOpen != 0) Broken(1, "CloseDevice left isOpen %u", s->record->isOpen);
        SessionClosed(*s);
    }
}

// The interface is freed: its overlapped transfers are over.
void Fuzzer::SessionClosed(Session& s) {
    for (Slot& slot : slots_) {
        if (slot.outstanding && slot.handle == s.lastHandle) slot.outstanding = false;
    }
}

void Fuzzer::PipeAborted(void* handle, uint8_t pipe) {
    for (Slot& slot : slots_) {
        if (slot.outstanding && slot.handle == handle && slot.pipe == pipe) slot.outstanding = false;
    }
}

void Fuzzer::DoRead() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint8_t* destination = rng_.Percent(80) ? destination_->buffer() : nullptr;
    uint32_t* length = rng_.Percent(80) ? ScratchU32(1, 0xDEADBEEF) : nullptr;
    Describe("handle %p, pipe 0x%02X, destination %s, length %s", handle, pipe, destination ? "given" : "null",
             length ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.Read(handle, pipe, destination, length);
    }
    if (r != LWU_READ_EMPTY && r != LWU_READ_OK && r != LWU_READ_FAILED && r != LWU_READ_TOO_LONG) {
        Broken(1, "Read returned %u", r);
    }
    if (handle == INVALID_HANDLE_VALUE && r != LWU_READ_EMPTY && r != LWU_READ_FAILED) {
        Broken(1, "Read on INVALID_HANDLE_VALUE returned %u", r);
    }
    CheckReadFraming(handle);
    if (r != LWU_READ_OK) {
        if (length && *length != 0) Broken(1, "Read returned %u with length %u, not 0", r, *length);
        CheckDestination(0);
        return;
    }
    if (length && (*length == 0 || *length > LWU_MAX_MESSAGE))
        Broken(1, "Read returned LWU_READ_OK with length %u", *length);
    if (destination && length) {
        CheckDestination(*length);
        std::memset(destination, kDestinationByte, *length);
    } else if (destination) {
        // The message length is unknown to the host: refill the whole destination.
        std::memset(destination, kDestinationByte, LWU_MAX_MESSAGE);
    } else {
        CheckDestination(0);
    }
}

void Fuzzer::DoWrite() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint32_t length = rng_.Percent(90) ? PickLength(kBigCapacity) : rng_.Pick(kLengthBounds);
    uint8_t* source = nullptr;
    if (rng_.Percent(85)) {
        source = Scratch(0, length);
        std::memset(source, 0x3C, length);
        readOnly_.push_back(length > kScratchCapacity ? big_ : scratch_[0]);
    }
    Describe("handle %p, pipe 0x%02X, source %s, length %u", handle, pipe, source ? "given" : "null", length);
    uint32_t r;
    {
        Timed t;
        r = api.Write(handle, pipe, source, length);
    }
    if (r != 0 && r != 1) Broken(1, "Write returned %u", r);
    if (handle == INVALID_HANDLE_VALUE && r != 0) Broken(1, "Write on INVALID_HANDLE_VALUE returned %u", r);
    CheckWriteFraming(handle, source, length, r);
}

void Fuzzer::DoControl(bool read) {
    void* handle = PickHandle();
    uint8_t type = static_cast<uint8_t>(rng_.Percent(70) ? 2 : rng_.Below(256));
    uint8_t recipient = static_cast<uint8_t>(rng_.Percent(70) ? 1 : rng_.Below(256));
    uint8_t request = static_cast<uint8_t>(rng_.Percent(70) ? 0x80 + rng_.Below(7) : rng_.Below(256));
    uint16_t value = static_cast<uint16_t>(rng_.Percent(70) ? 0 : rng_.Below(0x10000));
    uint16_t index = static_cast<uint16_t>(rng_.Percent(70) ? 0 : rng_.Below(0x10000));
    uint16_t length = static_cast<uint16_t>(PickLength(0xFFFF));
    uint8_t* buffer = nullptr;
    if (rng_.Percent(88)) {
        buffer = Scratch(0, length);
        std::memset(buffer, 0, length);
        // A host-to-device request only reads the buffer; the bits of type and recipient are not
        // masked, so they can make a request an IN one that fills it.
        uint8_t requestType = static_cast<uint8_t>((((read ? 1 : 0) << 2 | type) << 5) | recipient);
        if (!(requestType & 0x80)) readOnly_.push_back(scratch_[0]);
    }
    Describe("handle %p, type %u, recipient %u, request 0x%02X, value %u, index %u, buffer %s, length %u", handle, type,
             recipient, request, value, index, buffer ? "given" : "null", length);
    uint32_t r;
    {
        Timed t;
        r = read ? api.ControlRead(handle, type, recipient, request, value, index, buffer, length)
                 : api.ControlWrite(handle, type, recipient, request, value, index, buffer, length);
    }
    if (handle == INVALID_HANDLE_VALUE && r != 0)
        Broken(1, "a control export on INVALID_HANDLE_VALUE returned 0x%X", r);
    if (r != 0 && r != LWU_SHORT_READ && (!IsWin32(r) || r == ERROR_IO_PENDING)) Broken(1, "returned 0x%X", r);
    if (handle != INVALID_HANDLE_VALUE) CheckPassedOn("WinUsb_ControlTransfer", r, 0, LWU_SHORT_READ);
}

void Fuzzer::DoPipeTransfer(bool read) {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    Slot* slot = rng_.Percent(30) ? FreeSlot() : nullptr;
    uint32_t length = PickLength(slot ? kSlotCapacity : kBigCapacity);
    uint8_t* buffer = nullptr;
    bool withBuffer = rng_.Percent(88);
    if (!withBuffer && rng_.Percent(30)) length = rng_.Percent(50) ? 0xFFFFFFFFu : 0x80000000u;
    GuardedRegion* bufferRegion = nullptr;
    if (withBuffer) {
        if (slot) {
            buffer = slot->bufRegion->Place(length, placement_);
            bufferRegion = slot->bufRegion;
        } else {
            buffer = Scratch(0, length);
            bufferRegion = length > kScratchCapacity ? big_ : scratch_[0];
        }
        // Zeros: what the library shows of a read buffer as text is then what the device sent.
        std::memset(buffer, read ? 0 : 0x3C, length);
        if (!read) readOnly_.push_back(bufferRegion);
    }
    uint32_t* transferred = rng_.Percent(60) ? ScratchU32(2, 0xDEADBEEF) : nullptr;
    OVERLAPPED* overlapped = nullptr;
    if (slot) {
        std::memset(slot->overlapped, 0, sizeof(OVERLAPPED));
        if (rng_.Percent(70)) {
            ResetEvent(slot->event);
            slot->overlapped->hEvent = slot->event;
        }
        overlapped = slot->overlapped;
    }
    Describe("handle %p, pipe 0x%02X, buffer %s, length %u, transferred %s, overlapped %s", handle, pipe,
             buffer ? "given" : "null", length, transferred ? "given" : "null", overlapped ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = read ? api.PipeRead(handle, pipe, buffer, length, transferred, overlapped)
                 : api.PipeWrite(handle, pipe, buffer, length, transferred, overlapped);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE, not LWU_BAD_HANDLE", r);
        return;
    }
    if (read && (length == 0 || !buffer) && r != 0) Broken(1, "PipeRead with no buffer or length 0 returned 0x%X", r);
    if (!read && length == 0 && r != 0) Broken(1, "PipeWrite of length 0 returned 0x%X", r);
    if (!read && length != 0 && !buffer && r != LWU_BAD_ARGUMENT) {
        Broken(1, "PipeWrite of %u bytes from a null buffer returned 0x%X, not LWU_BAD_ARGUMENT", length, r);
    }
    uint32_t shortCode = read ? LWU_SHORT_READ : LWU_SHORT_WRITE;
    bool documented = r == 0 || (r == shortCode && !transferred) || (r == LWU_BAD_ARGUMENT && !read) ||
                      (IsWin32(r) && (r != ERROR_IO_PENDING || overlapped));
    if (!documented) Broken(1, "returned 0x%X", r);
    if (transferred && *transferred != 0xDEADBEEF && *transferred > length) {
        Broken(1, "reported %u bytes transferred for a buffer of %u", *transferred, length);
    }
    if (length != 0 && buffer)
        CheckPassedOn(read ? "WinUsb_ReadPipe" : "WinUsb_WritePipe", r, 0, transferred ? 0 : shortCode);
    if (slot && r == ERROR_IO_PENDING) {
        slot->outstanding = true;
        slot->handle = handle;
        slot->pipe = pipe;
        slot->buffer = buffer;
        slot->length = length;
    }
}

void Fuzzer::DoGetPipeOverlappedResult() {
    void* handle = PickHandle();
    Slot* slot = &slots_[rng_.Below(kSlots)];
    OVERLAPPED* overlapped = rng_.Percent(90) ? slot->overlapped : nullptr;
    if (overlapped && !slot->outstanding && rng_.Percent(30)) {
        // One never started, or long finished.
        if (rng_.Percent(50)) std::memset(overlapped, 0, sizeof *overlapped);
    }
    uint32_t* transferred = rng_.Percent(90) ? ScratchU32(2, rng_.Percent(50) ? 0 : 0xDEADBEEF) : nullptr;
    // Waiting is for transfers known to be over: a device may never complete the others.
    int32_t wait = overlapped && !slot->outstanding && rng_.Percent(50) ? 1 : 0;
    Describe("handle %p, overlapped %s%s, transferred %s, wait %d", handle, overlapped ? "given" : "null",
             overlapped && slot->outstanding ? " (outstanding)" : "", transferred ? "given" : "null", wait);
    uint32_t r;
    {
        Timed t;
        r = api.GetPipeOverlappedResult(handle, overlapped, transferred, wait);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE, not LWU_BAD_HANDLE", r);
        return;
    }
    if (!overlapped || !transferred) {
        if (r != LWU_BAD_ARGUMENT) Broken(1, "returned 0x%X for a null pointer, not LWU_BAD_ARGUMENT", r);
        return;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_GetOverlappedResult", r, 0);
    if (r == 0 && slot->outstanding && *transferred > slot->length) {
        Broken(1, "reported %u bytes of a transfer of %u", *transferred, slot->length);
    }
}

void Fuzzer::DoPipeOperation(Action action) {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    Describe("handle %p, pipe 0x%02X", handle, pipe);
    uint32_t r;
    {
        Timed t;
        r = action == kPipeAbort   ? api.PipeAbort(handle, pipe)
            : action == kPipeFlush ? api.PipeFlush(handle, pipe)
                                   : api.PipeReset(handle, pipe);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE, not LWU_BAD_HANDLE", r);
        return;
    }
    uint32_t success = action == kPipeReset ? 1 : 0;
    if (r != success && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn(action == kPipeAbort   ? "WinUsb_AbortPipe"
                  : action == kPipeFlush ? "WinUsb_FlushPipe"
                                         : "WinUsb_ResetPipe",
                  r, success);
    if (action == kPipeAbort && r == 0) PipeAborted(handle, pipe);
}

void Fuzzer::DoSetPipePolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint32_t type = rng_.Percent(80) ? 1 + rng_.Below(9) : static_cast<uint32_t>(rng_.Next());
    const uint32_t lengths[] = {0, 1, 2, 3, 4, 5, 8, 64};
    uint32_t valueLength = rng_.Pick(lengths);
    uint8_t* value = nullptr;
    if (rng_.Percent(85)) {
        value = Scratch(3, valueLength);
        for (uint32_t i = 0; i < valueLength; ++i) value[i] = static_cast<uint8_t>(rng_.Below(256));
        readOnly_.push_back(scratch_[3]);
    }
    Describe("handle %p, pipe 0x%02X, type %u, length %u, value %s", handle, pipe, type, valueLength,
             value ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.SetPipePolicy(handle, pipe, type, valueLength, value);
    }
    if (handle == INVALID_HANDLE_VALUE && r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
    if (handle != INVALID_HANDLE_VALUE && r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    if (handle != INVALID_HANDLE_VALUE) CheckPassedOn("WinUsb_SetPipePolicy", r, 0);
}

void Fuzzer::DoGetPipePolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    uint32_t type = rng_.Percent(80) ? 1 + rng_.Below(9) : static_cast<uint32_t>(rng_.Next());
    const uint32_t lengths[] = {0, 1, 2, 3, 4, 5, 8, 64};
    uint32_t offered = rng_.Pick(lengths);
    uint32_t* valueLength = rng_.Percent(85) ? ScratchU32(4, offered) : nullptr;
    uint8_t* value = rng_.Percent(85) ? Scratch(3, offered) : nullptr;
    if (value) std::memset(value, 0, offered);
    Describe("handle %p, pipe 0x%02X, type %u, length %s %u, value %s", handle, pipe, type,
             valueLength ? "given" : "null", offered, value ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.GetPipePolicy(handle, pipe, type, valueLength, value);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
        return;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_GetPipePolicy", r, 0);
    if (r == 0 && valueLength && *valueLength > offered) {
        Broken(1, "succeeded with a value length of %u for %u offered", *valueLength, offered);
    }
}

void Fuzzer::DoSetTransferTimeoutPolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    const uint32_t timeouts[] = {0, 1, 100, 5000, 0x7FFFFFFF, 0xFFFFFFFF};
    uint32_t timeout = rng_.Percent(70) ? rng_.Pick(timeouts) : static_cast<uint32_t>(rng_.Next());
    Describe("handle %p, pipe 0x%02X, time-out %u", handle, pipe, timeout);
    uint32_t r;
    {
        Timed t;
        r = api.SetTransferTimeoutPolicy(handle, pipe, timeout);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
        return;
    }
    if (timeout == 0) {
        if (r != LWU_BAD_ARGUMENT) Broken(1, "a time-out of 0 returned 0x%X, not LWU_BAD_ARGUMENT", r);
        return;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_SetPipePolicy", r, 0);
}

void Fuzzer::DoGetTransferTimeoutPolicy() {
    void* handle = PickHandle();
    uint8_t pipe = PickPipe();
    // The header asks for room for a pointer; a host may still pass none.
    uint8_t* value = rng_.Percent(90) ? Scratch(3, sizeof(void*)) : nullptr;
    if (value) std::memset(value, 0, sizeof(void*));
    Describe("handle %p, pipe 0x%02X, value %s", handle, pipe, value ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.GetTransferTimeoutPolicy(handle, pipe, value);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != LWU_BAD_HANDLE) Broken(1, "returned 0x%X on INVALID_HANDLE_VALUE", r);
        return;
    }
    if (r != 0 && !IsWin32(r)) Broken(1, "returned 0x%X", r);
    CheckPassedOn("WinUsb_GetPipePolicy", r, 0);
}

void Fuzzer::DoQueryDeviceEndpoints() {
    void* handle = PickHandle();
    EndpointPair* pair = nullptr;
    if (rng_.Percent(90)) {
        pair = reinterpret_cast<EndpointPair*>(endpoints_->Place(sizeof(EndpointPair), placement_));
        std::memset(pair, kRecordByte, sizeof *pair);
        watched_.push_back(endpoints_);
    }
    Describe("handle %p, endpoints %s", handle, pair ? "given" : "null");
    uint32_t r;
    {
        Timed t;
        r = api.QueryDeviceEndpoints(handle, pair);
    }
    if (!pair) {
        if (r != 0) Broken(1, "QueryDeviceEndpoints with no record returned %u", r);
        return;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pair);
    if (handle != INVALID_HANDLE_VALUE) {
        // Every endpoint index the interface reports is queried in order, and the result is that
        // of the last query made.
        SimCall last{};
        if (!LastCall("WinUsb_QueryInterfaceSettings|WinUsb_QueryPipeEx", last)) Broken(1, "made no query");
        if ((r != 0) != (last.result != 0))
            Broken(1, "returned %u after %s %s", r, last.function, last.result ? "succeeded" : "failed");
        USB_INTERFACE_DESCRIPTOR setting{};
        int next = -1;   // the endpoint index queried next; -1 before the settings
        for (uint32_t i = 0, n = SimWorld_CallCount(); i < n; ++i) {
            SimCall c{};
            SimWorld_GetCall(i, &c);
            if (std::strcmp(c.function, "WinUsb_QueryInterfaceSettings") == 0) {
                if (c.result && SimWorld_GetCallData(i, &setting, sizeof setting) == sizeof setting) next = 0;
            } else if (std::strcmp(c.function, "WinUsb_QueryPipeEx") == 0) {
                if (next < 0 || c.args[2] != static_cast<uint64_t>(next))
                    Broken(1, "queried endpoint index %u out of turn", static_cast<unsigned>(c.args[2]));
                ++next;
            }
        }
        if (next >= 0 && next != setting.bNumEndpoints) {
            Broken(1, "queried %d of the %u endpoints the interface reports", next, setting.bNumEndpoints);
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (r != 0) Broken(1, "QueryDeviceEndpoints on INVALID_HANDLE_VALUE returned %u", r);
        for (size_t i = 0; i < sizeof *pair; ++i) {
            if (bytes[i] != kRecordByte) Broken(1, "QueryDeviceEndpoints on INVALID_HANDLE_VALUE wrote byte %zu", i);
        }
        return;
    }
    // Each entry is a pipe found (a type of 1 to 3, the direction of its slot, the copy of its
    // packet size, zeros where the record has them) or not found (type 0, the rest as the host
    // left it).
    const PipeEntry* entries[2] = {&pair->in, &pair->out};
    for (int k = 0; k < 2; ++k) {
        const PipeEntry& e = *entries[k];
        const uint8_t* eb = reinterpret_cast<const uint8_t*>(&e);
        if (e.pipeType == 0) {
            for (size_t i = 2; i < sizeof e; ++i) {
                if (eb[i] != kRecordByte) Broken(1, "an entry not found has byte %zu changed", i);
            }
            continue;
        }
        bool in = (e.pipeId & 0x80) != 0;
        if (e.pipeType > 3 || in != (k == 0) || e.maxPacketSizeCopy != e.maxPacketSize || e.reserved0 != 0 ||
            e.reserved1 != 0 || e.reserved2 != 0 || e.reserved3 != 0) {
            Broken(1, "entry %d holds type %u, pipe 0x%02X, sizes %u/%u", k, e.pipeType, e.pipeId, e.maxPacketSize,
                   e.maxPacketSizeCopy);
        }
    }
    lastEndpoints_ = *pair;
    if (lastEndpoints_.in.pipeType == 0) lastEndpoints_.in = PipeEntry{};
    if (lastEndpoints_.out.pipeType == 0) lastEndpoints_.out = PipeEntry{};
}

void Fuzzer::DoGetDeviceDescriptor() {
    void* handle = PickHandle(true);
    uint32_t length = PickLength(kScratchCapacity);
    uint8_t* buffer = rng_.Percent(88) ? Scratch(0, length) : nullptr;
    if (!buffer && rng_.Percent(30)) length = 0xFFFFFFFFu;
    uint32_t* transferred = rng_.Percent(85) ? ScratchU32(2, rng_.Percent(50) ? 0 : 0xDEADBEEF) : nullptr;
    Describe("handle %p, buffer %s, length %u, transferred %s", handle, buffer ? "given" : "null", length,
             transferred ? "given" : "null");
    uint32_t r;
    DWORD error;
    {
        Timed t;
        r = api.GetDeviceDescriptor(handle, buffer, length, transferred);
        error = GetLastError();
    }
    if (r != 0 && transferred && *transferred > length)
        Broken(1, "reported %u bytes for a buffer of %u", *transferred, length);
    // WinUSB's own result, and on failure its reason in the thread's last error.
    SimCall last{};
    if (!LastCall("WinUsb_GetDescriptor", last)) Broken(1, "made no descriptor request");
    if ((r != 0) != (last.result != 0))
        Broken(1, "returned %u after WinUsb_GetDescriptor %s", r, last.result ? "succeeded" : "failed");
    if (r == 0 && error != last.lastError)
        Broken(1, "left the last error at %lu; WinUsb_GetDescriptor failed with %u", error, last.lastError);
}

void Fuzzer::DoRegister(bool window) {
    if (registrations_.size() >= kMaxRegistrations) {
        DoUnregister(window);
        return;
    }
    int who = rng_.Below(kCallbacks);
    DeviceNotificationCallback callback = rng_.Percent(92) ? kCallbackFunctions[who] : nullptr;
    int classIndex = -1;
    const wchar_t* text = PickClassText(classIndex);
    bool valid = callback && classIndex >= 0;
    Describe("callback %s, class %d", callback ? "given" : "null", classIndex);
    if (valid) registeredCallbacks[who].fetch_add(1);   // present interfaces are reported during the call
    if (window) {
        {
            Timed t;
            RegisterOnWindowThread(callback, text);
        }
        // Whether the system took the registration shows only in the library's line.
        std::fflush(stdout);
        if (valid) {
            registrations_.push_back(Registration{who, classIndex, true});
        }
        return;
    }
    uint32_t r;
    {
        Timed t;
        r = api.CmRegisterNotification(callback, text);
    }
    if (!valid) {
        if (r != ERROR_INVALID_PARAMETER) Broken(1, "CmRegisterNotification returned %u, not 87", r);
        return;
    }
    if (r == 0)
        registrations_.push_back(Registration{who, classIndex, false});
    else if (!IsWin32(r))
        Broken(1, "CmRegisterNotification returned 0x%X", r);
    else
        registeredCallbacks[who].fetch_sub(1);
}

void Fuzzer::DoUnregister(bool window) {
    int who = -1;
    int classIndex = -1;
    const wchar_t* text = nullptr;
    DeviceNotificationCallback callback = nullptr;
    if (!registrations_.empty() && rng_.Percent(70)) {
        // One the host made, named again.
        const Registration& reg = registrations_[rng_.Below(static_cast<uint32_t>(registrations_.size()))];
        who = reg.callback;
        classIndex = reg.classIndex;
        const wchar_t* texts[] = {kDeviceClassText, kOtherClassText};
        size_t bytes = (std::wcslen(texts[classIndex]) + 1) * sizeof(wchar_t);
        auto p = reinterpret_cast<wchar_t*>(text_->Place(bytes, placement_));
        std::memcpy(p, texts[classIndex], bytes);
        watched_.push_back(text_);
        readOnly_.push_back(text_);
        text = p;
        callback = kCallbackFunctions[who];
    } else {
        who = rng_.Below(kCallbacks);
        callback = rng_.Percent(92) ? kCallbackFunctions[who] : nullptr;
        text = PickClassText(classIndex);
    }
    Describe("callback %s, class %d", callback ? "given" : "null", classIndex);
    uint32_t r = 0;
    {
        Timed t;
        if (window)
            api.UnregisterForDeviceNotification(callback, text);
        else
            r = api.CmUnregisterNotification(callback, text);
    }
    bool valid = callback && classIndex >= 0;
    if (!window && !valid && r != ERROR_INVALID_PARAMETER) Broken(1, "CmUnregisterNotification returned %u, not 87", r);
    if (!window && valid && r != 0 && !IsWin32(r)) Broken(1, "CmUnregisterNotification returned 0x%X", r);
    if (!valid || r != 0) return;
    // The first entry of callback and class goes, whichever export made it.
    for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
        if (it->callback != who || it->classIndex != classIndex) continue;
        registrations_.erase(it);
        registeredCallbacks[who].fetch_sub(1);
        break;
    }
}

void Fuzzer::DoGetUsbDeviceDetail() {
    Detail* detail = rng_.Percent(92) ? &details_[rng_.Below(kDetails)] : nullptr;
    if (detail && detail->holdsStrings()) {
        // The host frees the strings before calling again with the same record.
        DoFreeUsbDeviceDetail(detail);
        return;
    }
    const char* path = PickPath();
    Describe("detail %s, path %s", detail ? detail->region->name() : "null", path ? "given" : "null");
    int32_t r;
    {
        Timed t;
        r = api.GetUsbDeviceDetail(detail ? detail->record : nullptr, path);
    }
    NoteHandshake();
    if (!detail) {
        if (r != 0) Broken(1, "GetUsbDeviceDetail with no record returned %d", r);
        return;
    }
    const UsbDeviceDetail& d = *detail->record;
    char* const strings[3] = {d.serialNumber, d.product, d.manufacturer};   // the order they are read in
    for (char* s : strings) {
        if (s && strnlen(s, 4096) >= 4096) Broken(1, "an identity string has no end within 4096 bytes");
    }
    if (r != 0 && (!d.serialNumber || !d.product || !d.manufacturer)) {
        Broken(1, "GetUsbDeviceDetail returned %d without all three strings", r);
    }
    // Written in the order serial number, product, manufacturer: a later one without the earlier is wrong.
    if ((d.product && !d.serialNumber) || (d.manufacturer && !d.product)) {
        Broken(1, "the identity strings were written out of order");
    }
    // A failed string request still gives its own field an empty string: the last one written.
    const char* lastWritten = d.manufacturer ? d.manufacturer : d.product ? d.product : d.serialNumber;
    if (r == 0 && lastWritten && *lastWritten) {
        Broken(1, "GetUsbDeviceDetail returned 0 with its last string \"%.40s\" not empty", lastWritten);
    }
}

void Fuzzer::DoFreeUsbDeviceDetail(Detail* detail) {
    context.action.store("FreeUsbDeviceDetail");
    Describe("detail %s", detail ? detail->region->name() : "null");
    {
        Timed t;
        api.FreeUsbDeviceDetail(detail ? detail->record : nullptr);
    }
    if (detail && detail->holdsStrings()) Broken(1, "FreeUsbDeviceDetail left a string pointer set");
}

// ---------------------------------------------------------------------------------------------
// The world's events.

void Fuzzer::Settle() {
    if (!SimInterfaces_WaitIdle(hangLimitMs)) Broken(4, "the notification deliveries did not finish");
}

// Returns how many times the library may show the event's path: once per registration of
// the class (a Configuration Manager event of another action prints it, with the path).
long long Fuzzer::DoAnnounce() {
    int classIndex = static_cast<int>(rng_.Below(2));
    uint64_t seed = rng_.Next();
    Describe("event seed %llu, class %d", static_cast<unsigned long long>(seed), classIndex);
    {
        Timed t;
        SimRandom_Announce(seed, kClasses[classIndex]);
        Settle();
    }
    long long listeners = 0;
    for (const Registration& r : registrations_) listeners += r.classIndex == classIndex ? 1 : 0;
    return listeners;
}

void Fuzzer::AddRandomDevice() {
    char path[512];
    int id = SimRandom_AddDevice(Mix(Mix(episodeSeed_, ~0ull), nextRandomDevice_++), path, sizeof path);
    if (id == 0) Broken(2, "the world could not add a random device");
    devices_.push_back(Device{id, path, true});
}

void Fuzzer::DoPlug() {
    size_t present = 0;
    for (const Device& d : devices_) present += d.present ? 1 : 0;
    if (present >= 4) {
        DoUnplug();
        return;
    }
    Describe("plug");
    {
        Timed t;
        AddRandomDevice();
        Settle();
    }
}

void Fuzzer::DoUnplug() {
    std::vector<Device*> present;
    for (Device& d : devices_) {
        if (d.present) present.push_back(&d);
    }
    if (present.size() <= 1) {
        DoPlug();
        return;
    }
    Device* d = present[rng_.Below(static_cast<uint32_t>(present.size()))];
    Describe("unplug device %d", static_cast<int>(d - devices_.data()));
    {
        Timed t;
        SimWorld_RemoveDevice(d->id);
        d->present = false;
        Settle();
    }
}

// ---------------------------------------------------------------------------------------------

const char* ActionName(Action action) {
    return action < kExports     ? kExportNames[action]
           : action == kAnnounce ? "InterfaceEvent"
           : action == kPlug     ? "Plug"
                                 : "Unplug";
}

void Fuzzer::Step(Action action) {
    context.action.store(ActionName(action));
    context.detail[0] = 0;
    watched_.clear();
    SimWorld_ClearCalls();
    SimRandomCounters before{};
    SimRandom_Counters(&before);
    long long showings = 1;   // how many times the device's bytes may be shown
    double began = SecondsNow();
    switch (action) {
    case kOpenDevice: DoOpenDevice(); break;
    case kCloseDevice: DoCloseDevice(); break;
    case kRead: DoRead(); break;
    case kWrite: DoWrite(); break;
    case kControlRead: DoControl(true); break;
    case kControlWrite: DoControl(false); break;
    case kPipeRead: DoPipeTransfer(true); break;
    case kPipeWrite: DoPipeTransfer(false); break;
    case kGetPipeOverlappedResult: DoGetPipeOverlappedResult(); break;
    case kPipeAbort:
    case kPipeFlush:
    case kPipeReset: DoPipeOperation(action); break;
    case kSetPipePolicy: DoSetPipePolicy(); break;
    case kGetPipePolicy: DoGetPipePolicy(); break;
    case kSetTransferTimeoutPolicy: DoSetTransferTimeoutPolicy(); break;
    case kGetTransferTimeoutPolicy: DoGetTransferTimeoutPolicy(); break;
    case kQueryDeviceEndpoints: DoQueryDeviceEndpoints(); break;
    case kGetDeviceDescriptor: DoGetDeviceDescriptor(); break;
    case kRegisterForDeviceNotification: DoRegister(true); break;
    case kUnregisterForDeviceNotification: DoUnregister(true); break;
    case kCmRegisterNotification: DoRegister(false); break;
    case kCmUnregisterNotification: DoUnregister(false); break;
    case kGetUsbDeviceDetail: DoGetUsbDeviceDetail(); break;
    case kFreeUsbDeviceDetail:
        DoFreeUsbDeviceDetail(rng_.Percent(90) ? &details_[rng_.Below(kDetails)] : nullptr);
        break;
    case kAnnounce: showings = DoAnnounce(); break;
    case kPlug: DoPlug(); break;
    case kUnplug: DoUnplug(); break;
    default: break;
    }
    char violation[200] = {};
    if (SimWorld_ContractViolations(violation, sizeof violation) != 0) {
        SimWorld_ClearViolations();
        Broken(1, "a platform call broke WinUSB's contract: %s", violation);
    }
    // An export that handed over to another (Free instead of Get) counts as the one it called.
    const char* ran = context.action.load();
    Action counted = action;
    for (int i = 0; i < kExports; ++i) {
        if (std::strcmp(ran, kExportNames[i]) == 0) counted = static_cast<Action>(i);
    }
    double middle = SecondsNow();
    if (options_.verbose) Say("    took %.3f ms\n", 1e3 * (middle - began));
    CheckAfterCall(counted, before, showings);
    actionSeconds_[action] += middle - began;
    checkSeconds_[action] += SecondsNow() - middle;
    ++actionCount_[action];
}

// A known state of the library's process-wide protocol version and pipe table, whatever ran
// before: open an ordinary device of a drawn protocol version, record its pipes, close it.
void Fuzzer::Calibrate(Rng& rng) {
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.protocolVersion = static_cast<uint8_t>(rng.Percent(80) ? rng.Below(3) : rng.Below(256));
    c.productId = 0x0C0C;
    if (rng.Percent(50)) {
        c.pipeCount = 1 + rng.Below(6);
        for (uint32_t i = 0; i < c.pipeCount; ++i) {
            c.pipes[i].type = 1 + rng.Below(3);
            c.pipes[i].pipeId = static_cast<uint8_t>((rng.Percent(50) ? 0x80 : 0) | (1 + i));
            c.pipes[i].maxPacketSize = 64;
        }
    }
    char path[512];
    int id = SimWorld_AddDevice(&c, path, sizeof path);
    DeviceSession session{};
    EndpointPair pair{};
    if (id == 0 || api.OpenDevice(&session, path) != 0 || !api.QueryDeviceEndpoints(session.interfaceHandle, &pair)) {
        Broken(2, "the calibration device did not open");
    }
    api.CloseDevice(&session);
    SimWorld_RemoveDevice(id);
    lastEndpoints_ = pair;
    version_ = c.protocolVersion;
}

bool Fuzzer::RunEpisode(uint64_t episode, uint64_t last) {
    episodeSeed_ = Mix(options_.seed, episode);
    Rng setup(episodeSeed_);
    uint64_t first = episode * kEpisodeLength;
    context.iteration.store(first);
    context.action.store("episode start");
    context.detail[0] = 0;
    SimWorld_Reset();
    Place(options_.placement >= 0 ? static_cast<Placement>(options_.placement)
          : episode % 2 == 0      ? Placement::End
                                  : Placement::Start);
    Calibrate(setup);
    devices_.clear();
    nextRandomDevice_ = 0;
    for (uint32_t i = 0, n = 1 + setup.Below(3); i < n; ++i) AddRandomDevice();
    Settle();
    output.Take();
    uint32_t weights[kActions];
    uint32_t total = 0;
    for (int a = 0; a < kActions; ++a) {
        weights[a] = options_.only.empty() || options_.only.find(std::string(",") + ActionName(static_cast<Action>(a)) +
                                                                 ",") != std::string::npos
                         ? kWeights[a]
                         : 0;
        total += weights[a];
    }
    for (uint64_t i = first; i <= last; ++i) {
        // Each iteration draws from a generator of its own: a replay needs only its episode.
        rng_ = Rng(Mix(episodeSeed_, i));
        uint32_t roll = rng_.Below(total);
        int action = 0;
        while (roll >= weights[action]) roll -= weights[action++];
        context.iteration.store(i);
        Step(static_cast<Action>(action));
        if (options_.calls && totalCalls_ >= options_.calls) return false;
        if (options_.seconds > 0 && SecondsNow() - started_ >= options_.seconds) return false;
    }
    return true;
}

// Everything the host took is given back; then the library must hold what it held after the
// warm-up, and no handle more.
void Fuzzer::EndEpisode() {
    context.action.store("episode end");
    context.detail[0] = 0;
    Timed t;
    for (Session& s : sessions_) {
        if (s.record->isOpen) api.CloseDevice(s.record);
        SessionClosed(s);
    }
    while (!registrations_.empty()) {
        Registration reg = registrations_.front();
        const wchar_t* texts[] = {kDeviceClassText, kOtherClassText};
        uint32_t r = 0;
        if (reg.window)
            api.UnregisterForDeviceNotification(kCallbackFunctions[reg.callback], texts[reg.classIndex]);
        else
            r = api.CmUnregisterNotification(kCallbackFunctions[reg.callback], texts[reg.classIndex]);
        if (r != 0) Broken(1, "CmUnregisterNotification of a registration returned %u", r);
        registrations_.erase(registrations_.begin());
        registeredCallbacks[reg.callback].fetch_sub(1);
    }
    for (Detail& d : details_) api.FreeUsbDeviceDetail(d.record);
    Settle();
    SimWorld_Reset();
    if (callbackBroken.load()) Broken(1, "%s", callbackProblem);
    output.Take();
    size_t blocks = LibraryAllocations::Live();
    if (blocks != baselineBlocks_) {
        Broken(5, "the library holds %zu heap blocks, %zu after the warm-up", blocks, baselineBlocks_);
    }
    std::uintptr_t handles = ProbeHandleSlot();
    if (options_.verbose) {
        Say("usb_fuzz: episode end: %zu heap blocks (%zu after the warm-up), handle probe 0x%zX (0x%zX)\n", blocks,
            baselineBlocks_, static_cast<size_t>(handles), static_cast<size_t>(baselineHandles_));
        // The list runs longer than Say's line.
        WriteReport(("handles:" + HandleTypes() + "\n").c_str());
        Say("CM registrations left: %u\n", SimInterfaces_CmRegistrationCount(nullptr));
    }
    if (handles > baselineHandles_) {
        std::string changes = HandleChanges(baselineList_, OpenHandles());
        Broken(5,
               "the handle probe lands at 0x%zX, 0x%zX after the warm-up: a handle was not released\n"
               "usb_fuzz: %d threads (%d at the baseline); handles since the baseline:%.700s",
               static_cast<size_t>(handles), static_cast<size_t>(baselineHandles_), ThreadCount(), baselineThreads_,
               changes.c_str());
    }
}

// Runs every path of the library and of the world once, so that what they keep for good (the
// notification window, the world's delivery threads, the library's list storage) is there
// before the baseline is taken.
void Fuzzer::WarmUp() {
    context.action.store("warm-up");
    Timed t;
    SimWorld_Reset();
    SimWorld_SetRecording(0, 0);
    version_ = -1;
    Place(Placement::End);
    Rng rng(0x5EED);
    Calibrate(rng);
    const wchar_t* texts[] = {kDeviceClassText, kOtherClassText};
    for (int k = 0; k < kCallbacks; ++k) registeredCallbacks[k].fetch_add(static_cast<int>(kMaxRegistrations));
    RegisterOnWindowThread(HearA, kDeviceClassText);
    for (size_t i = 0; i < kMaxRegistrations; ++i) {
        if (api.CmRegisterNotification(kCallbackFunctions[i % kCallbacks], texts[i % 2]) != 0) {
            Broken(2, "the warm-up could not register");
        }
    }
    for (uint64_t seed = 1; seed <= 12; ++seed) SimRandom_Announce(seed, &kDeviceClass);
    // Text that is no GUID sends the parse to the registry, whose key COM keeps open for good.
    api.CmRegisterNotification(HearA, L"no class");
    api.CmRegisterNotification(HearA, L"");
    char path[512];
    SimRandom_AddDevice(7, path, sizeof path);
    Settle();
    for (size_t i = 0; i < kMaxRegistrations; ++i)
        api.CmUnregisterNotification(kCallbackFunctions[i % kCallbacks], texts[i % 2]);
    api.UnregisterForDeviceNotification(HearA, kDeviceClassText);
    for (int k = 0; k < kCallbacks; ++k) registeredCallbacks[k].fetch_sub(static_cast<int>(kMaxRegistrations));
    // The identity of a device, a message each way, and an overlapped transfer of a random device
    // left pending (the world's completion thread starts with the first one).
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.echo = 1;
    int plain = SimWorld_AddDevice(&c, path, sizeof path);
    UsbDeviceDetail detail{};
    api.GetUsbDeviceDetail(&detail, path);
    api.FreeUsbDeviceDetail(&detail);
    DeviceSession session{};
    api.OpenDevice(&session, path);
    uint8_t message[16] = {1, 2, 3};
    api.Write(session.interfaceHandle, 0x01, message, sizeof message);
    uint32_t length = 0;
    api.Read(session.interfaceHandle, 0x81, destination_->buffer(), &length);
    std::memset(destination_->buffer(), kDestinationByte, LWU_MAX_MESSAGE);
    api.SetTransferTimeoutPolicy(session.interfaceHandle, 0x81, 100);
    api.CloseDevice(&session);
    SimWorld_RemoveDevice(plain);
    bool pended = false;
    for (uint64_t seed = 1; seed < 64 && !pended; ++seed) {
        char randomPath[512];
        SimRandom_AddDevice(seed, randomPath, sizeof randomPath);
        if (api.OpenDevice(&session, randomPath) != 0) continue;
        for (int k = 0; k < 16 && !pended; ++k) {
            std::memset(slots_[0].overlapped, 0, sizeof(OVERLAPPED));
            uint8_t* buffer = slots_[0].bufRegion->Place(64, Placement::End);
            pended = api.PipeRead(session.interfaceHandle, 0x81, buffer, 64, nullptr, slots_[0].overlapped) ==
                     ERROR_IO_PENDING;
        }
        api.CloseDevice(&session);
    }
    if (!pended) Broken(2, "the warm-up started no overlapped transfer");
    Settle();
    SimWorld_Reset();
    version_ = -1;
    output.Take();
    if (options_.verbose) {
        SimRandomCounters counters{};
        SimRandom_Counters(&counters);
        Say("usb_fuzz: warm-up done, %llu answers\n", static_cast<unsigned long long>(counters.answers));
    }
}

void Fuzzer::TakeBaseline() {
    baselineBlocks_ = LibraryAllocations::Live();
    baselineHandles_ = ProbeHandleSlot();
    baselineList_ = OpenHandles();   // after the probe, which it must not delay
    baselineThreads_ = ThreadCount();
    if (options_.verbose) WriteReport(("handles at baseline:" + HandleTypes() + "\n").c_str());
    started_ = SecondsNow();
}

double Fuzzer::Elapsed() const { return SecondsNow() - started_; }

void Fuzzer::Summary() const {
    double seconds = Elapsed();
    Say("usb_fuzz: seed %llu: %llu calls in %.1f s, %.0f calls/s; every invariant held\n",
        static_cast<unsigned long long>(options_.seed), static_cast<unsigned long long>(totalCalls_), seconds,
        seconds > 0 ? static_cast<double>(totalCalls_) / seconds : 0.0);
    std::string line = "usb_fuzz: calls per export:";
    for (int i = 0; i < kExports; ++i) {
        char item[80];
        std::snprintf(item, sizeof item, " %s %llu", kExportNames[i], static_cast<unsigned long long>(exportCalls_[i]));
        line += item;
    }
    line += "\n";
    WriteReport(line.c_str());
    if (options_.profile) {
        for (int a = 0; a < kActions; ++a) {
            if (!actionCount_[a]) continue;
            Say("  %-32s %8llu  %8.1f us  check %6.1f us\n", ActionName(static_cast<Action>(a)),
                static_cast<unsigned long long>(actionCount_[a]), 1e6 * actionSeconds_[a] / actionCount_[a],
                1e6 * checkSeconds_[a] / actionCount_[a]);
        }
    }
}

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
            anyExport |= options.only.find(std::string(",") + kExportNames[a] + ",") != std::string::npos;
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
    Bind(library);
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
