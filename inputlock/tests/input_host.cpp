#include "input_host.h"

#include <algorithm>

Observer* Observer::current_ = nullptr;

Observer::Observer() {
    current_ = this;
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, &threadId_);
    WaitForSingleObject(ready_, INFINITE);
}

Observer::~Observer() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(ready_);
    current_ = nullptr;
}

DWORD WINAPI Observer::Run(LPVOID arg) {
    auto* self = static_cast<Observer*>(arg);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists before anyone posts to it
    HHOOK kb = SetWindowsHookExW(WH_KEYBOARD_LL, Keyboard, GetModuleHandleW(nullptr), 0);
    HHOOK ms = SetWindowsHookExW(WH_MOUSE_LL, Mouse, GetModuleHandleW(nullptr), 0);
    SetEvent(self->ready_);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    }
    UnhookWindowsHookEx(kb);
    UnhookWindowsHookEx(ms);
    return 0;
}

LRESULT CALLBACK Observer::Keyboard(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && current_) {
        std::lock_guard<std::mutex> hold(current_->mutex_);
        current_->seen_.push_back({wParam, reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam)->vkCode});
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK Observer::Mouse(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && current_) {
        std::lock_guard<std::mutex> hold(current_->mutex_);
        current_->seen_.push_back({wParam, 0});
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::vector<Seen> Observer::Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<Seen> out;
    out.swap(seen_);
    return out;
}

void SendKey(WORD vk, bool up) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &in, sizeof in);
}

void Press(WORD vk) {
    SendKey(vk, false);
    SendKey(vk, true);
}

void MoveMouse() {
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dx = 1;
    in.mi.dwFlags = MOUSEEVENTF_MOVE;
    SendInput(1, &in, sizeof in);
}

void MouseButton(bool up) {
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = up ? MOUSEEVENTF_LEFTUP : MOUSEEVENTF_LEFTDOWN;
    SendInput(1, &in, sizeof in);
}

bool KeyIsDown(WORD vk) { return (GetAsyncKeyState(vk) & 0x8000) != 0; }

// Only the library's own threads (started at an address inside it): under load Wine may start a
// thread of its own in the process at any time, which is none of the lock's business. Once the
// library is unloaded, a thread it left behind still counts: the range of its last load is kept.
int ThreadCount() {
    static const uint8_t* base = nullptr;
    static const uint8_t* end = nullptr;
    if (const auto* loaded = reinterpret_cast<const uint8_t*>(GetModuleHandleA(INPUTGATE_DLL))) {
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(loaded);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(loaded + dos->e_lfanew);
        base = loaded;
        end = loaded + nt->OptionalHeader.SizeOfImage;
    }
    if (!base) return 0;
    using Query = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    constexpr int kThreadQuerySetWin32StartAddress = 9;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e = {};
    e.dwSize = sizeof e;
    int n = 0;
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) {
        if (e.th32OwnerProcessID != GetCurrentProcessId()) continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, e.th32ThreadID);
        if (!thread) continue;   // it ended in the meantime
        const uint8_t* start = nullptr;
        if (query && query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) == 0 &&
            start >= base && start < end)
            ++n;
        CloseHandle(thread);
    }
    CloseHandle(snap);
    return n;
}

namespace {
struct ThreadJob {
    void (*f)(void*);
    void* arg;
};
DWORD WINAPI RunJob(LPVOID p) {
    auto* job = static_cast<ThreadJob*>(p);
    job->f(job->arg);
    return 0;
}
}  // namespace

bool RunOnThread(DWORD timeoutMs, void (*f)(void*), void* arg) {
    ThreadJob job{f, arg};
    HANDLE t = CreateThread(nullptr, 0, RunJob, &job, 0, nullptr);
    bool ended = WaitForSingleObject(t, timeoutMs) == WAIT_OBJECT_0;
    if (!ended) TerminateThread(t, 1);
    CloseHandle(t);
    return ended;
}

void GateTest::SetUp() {
    observer_ = std::make_unique<Observer>();
    lib_ = std::make_unique<HostLibrary>(INPUTGATE_DLL);
    api_ = std::make_unique<GateApi>(*lib_);
    baseThreads_ = ThreadCount();
}

void GateTest::TearDown() {
    if (lib_->module()) api_->LockInput(false);
    api_.reset();
    lib_.reset();
    // Leave no key held for the next test.
    for (int vk : {VK_LCONTROL, VK_RCONTROL, VK_LMENU, VK_RMENU, VK_DELETE, VK_CONTROL, VK_MENU, int('A')}) {
        if (KeyIsDown(static_cast<WORD>(vk))) SendKey(static_cast<WORD>(vk), true);
    }
    observer_.reset();
}

bool GateTest::WaitForThreadCount(int count) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 3000; Sleep(1)) {
        if (ThreadCount() == count) return true;
    }
    return false;
}
