// The state report of VARKO_SIM_REPORT (docs/scenarios.md): one fact a line, the whole file
// rewritten in place each time.
//
// Under Wine the first I/O on a new handle fetches its Unix descriptor through a socket that all
// threads of the process share. The exit ends the world's thread wherever it is; ended between the
// server's send and its own receive, it leaves a descriptor in that socket, and the next fetch (the
// last report's, in DllMain) stops the process on an assertion. So the thread fetches none that
// late: the report keeps one handle open (its descriptor fetched at the first write), and the open
// device files are found by their names (NtQueryObject), which fetches no descriptor.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <mutex>

#include "scenario_world.h"

namespace sim {

namespace {

// SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX and its table, as NtQuerySystemInformation gives them.
struct HandleEntry {
    PVOID object;
    ULONG_PTR process;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT typeIndex;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
using QueryObject = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kObjectNameInformation = 1;
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The world's thread makes its report every 200 ms, and the exit may end it anywhere: ended
// inside the heap, it would leave the heap's lock held for ever, and the last report (DllMain)
// would wait for it. So the report is made without the heap: the handle table in memory of its
// own, names compared in place, the text in storage reserved before the thread starts.
struct HandleBuffer {
    void* data = nullptr;
    size_t bytes = 0;
};

HandleBuffer& TheHandleBuffer() {
    static HandleBuffer buffer;
    return buffer;
}

bool Grow(HandleBuffer& b, size_t bytes) {
    void* p = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!p) return false;
    if (b.data) VirtualFree(b.data, 0, MEM_RELEASE);
    b.data = p;
    b.bytes = bytes;
    return true;
}

void LowerInPlace(wchar_t* s, size_t n) {
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<wchar_t>(std::towlower(s[i]));
}

}  // namespace

uint32_t CountOpenDeviceFiles() {
    static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    static const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    static const auto queryObject =
        reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")));
    if (!query || !queryObject) return 0;
    HandleBuffer& buffer = TheHandleBuffer();
    if (!buffer.data && !Grow(buffer, 64 * 1024)) return 0;
    LONG status;
    ULONG needed = 0;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data, static_cast<ULONG>(buffer.bytes), &needed)) ==
               kInfoLengthMismatch &&
           buffer.bytes < (size_t{1} << 27) && Grow(buffer, buffer.bytes * 2)) {
    }
    if (status != 0) return 0;
    // Every device file lies in the world's folder of this process; made at the first call,
    // before the world's thread runs.
    static const std::wstring folder = [] {
        std::wstring f = WorldInstance().Directory() + L"\\";
        LowerInPlace(&f[0], f.size());
        return f;
    }();
    const auto* table = static_cast<const HandleTable*>(buffer.data);
    const ULONG_PTR self = GetCurrentProcessId();
    uint32_t open = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        const HandleEntry& e = table->entries[i];
        if (e.process != self) continue;
        // OBJECT_NAME_INFORMATION: a UNICODE_STRING, then its characters ("\??\C:\...").
        alignas(8) BYTE info[4096 + sizeof(wchar_t)];
        ULONG length = 0;
        if (queryObject(reinterpret_cast<HANDLE>(e.handle), kObjectNameInformation, info, 4096, &length) != 0) continue;
        USHORT bytes = 0;
        PWSTR chars = nullptr;
        std::memcpy(&bytes, info, sizeof bytes);
        std::memcpy(&chars, info + sizeof(PVOID), sizeof chars);
        const auto* end = reinterpret_cast<const BYTE*>(chars) + bytes;
        if (!chars || bytes == 0 || reinterpret_cast<BYTE*>(chars) < info || end > info + 4096) continue;
        const size_t n = bytes / sizeof(wchar_t);
        LowerInPlace(chars, n);
        chars[n] = L'\0';   // the spare unit after the buffer's end keeps this inside `info`
        if (std::wcsstr(chars, folder.c_str())) ++open;
    }
    return open;
}

namespace {

// One line into the reserved text; a line that does not fit is left out.
void Append(std::string& text, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n <= 0) return;
    const size_t length = std::min(static_cast<size_t>(n), sizeof line - 1);
    if (text.size() + length <= text.capacity()) text.append(line, length);
}

// The name a report line gives a device: its scenario name, or device-<id>.
const char* NameOf(int id, const Device& d, char (&own)[32]) {
    if (!d.name.empty()) return d.name.c_str();
    std::snprintf(own, sizeof own, "device-%d", id);
    return own;
}

}  // namespace

void ReserveReportText(std::string& text) { text.reserve(kReportCapacity); }

bool BuildReport(uint32_t openFiles, ReportLock how, std::string& text) {
    World& w = WorldInstance();
    std::unique_lock<std::mutex> hold(w.mutex, std::defer_lock);
    if (how == ReportLock::Wait) {
        hold.lock();
    } else {
        for (int i = 0; i < 50 && !hold.try_lock(); ++i) Sleep(2);
        // At process exit the holder was a thread the exit ended: nothing else runs any more.
        if (!hold.owns_lock() && how != ReportLock::TryThenWithout) return false;
    }
    text.clear();   // keeps its capacity: no allocation from here on
    Append(text, "open_files %u\n", openFiles);
    Append(text, "winusb_handles %u\n", static_cast<unsigned>(w.interfaces.size()));
    Append(text, "cm_registrations %u\n", CmRegistrationCountLocked(nullptr));
    Append(text, "window_registrations %u\n", WindowRegistrationCountLocked(nullptr));
    // The scenario's devices in the file's order, then the others in the world's; a device
    // plugged in again is one more device of the world under the same name: one line, summed.
    auto line = [&](const char* name) {
        bool present = false;
        uint32_t opens = 0, received = 0;
        for (const auto& [id, d] : w.devices) {
            char own[32];
            if (std::strcmp(NameOf(id, d, own), name) != 0) continue;
            present = present || d.present;
            opens += d.opens;
            received += d.messagesReceived;
        }
        Append(text, "device %s %s opens %u received_messages %u\n", name, present ? "present" : "absent", opens, received);
    };
    for (const std::string& name : w.scenarioNames) line(name.c_str());
    for (auto it = w.devices.begin(); it != w.devices.end(); ++it) {
        char own[32];
        const char* name = NameOf(it->first, it->second, own);
        bool seen = false;
        for (const std::string& s : w.scenarioNames) seen = seen || s == name;
        for (auto before = w.devices.begin(); !seen && before != it; ++before) {
            char other[32];
            seen = std::strcmp(NameOf(before->first, before->second, other), name) == 0;
        }
        if (!seen) line(name);
    }
    return true;
}

namespace {

// The report's one handle, shared by the world's thread and DllMain.
struct ReportFile {
    std::mutex mutex;
    HANDLE handle = INVALID_HANDLE_VALUE;
};
ReportFile& TheReportFile() {
    static ReportFile file;
    return file;
}

bool WriteLocked(ReportFile& f, const std::wstring& path, const std::string& text) {
    if (f.handle == INVALID_HANDLE_VALUE) {
        f.handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f.handle == INVALID_HANDLE_VALUE) return false;
    }
    // Emptied first: a reader sees the new state, a part of it, or nothing, never old lines.
    DWORD written = 0;
    return SetFilePointer(f.handle, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(f.handle) &&
           WriteFile(f.handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

}  // namespace

bool WriteReportFile(const std::wstring& path, const std::string& text) {
    ReportFile& f = TheReportFile();
    std::lock_guard<std::mutex> hold(f.mutex);
    return WriteLocked(f, path, text);
}

void WriteFinalReport(bool processExit) {
    if (ReportPath().empty()) return;
    // The world's thread's own text, reserved before it ran: it has ended by now (the exit ended
    // it, or it held this DLL loaded until it returned), and DllMain takes no heap lock for it.
    std::string& text = ReportScratch();
    if (text.capacity() < kReportCapacity) ReserveReportText(text);
    if (!BuildReport(CountOpenDeviceFiles(), processExit ? ReportLock::TryThenWithout : ReportLock::Try, text)) return;
    ReportFile& f = TheReportFile();
    std::unique_lock<std::mutex> hold(f.mutex, std::defer_lock);
    for (int i = 0; i < 50 && !hold.try_lock(); ++i) Sleep(2);
    // At process exit a thread that the exit ended may hold the file's mutex; nothing else runs.
    if (!hold.owns_lock() && !processExit) return;
    WriteLocked(f, ReportPath(), text);
    if (!processExit && f.handle != INVALID_HANDLE_VALUE) {   // a FreeLibrary: the file is let go
        CloseHandle(f.handle);
        f.handle = INVALID_HANDLE_VALUE;
    }
}

}  // namespace sim
