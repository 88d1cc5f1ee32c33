// The state report of VARKO_SIM_REPORT (docs/scenarios.md): one fact a line, the whole file
// rewritten in place each time.
//
// Under Wine the first I/O on a new handle fetches its Unix descriptor through a socket that all
// threads of the process share. The exit ends the world's thread wherever it is; ended between the
// server's send and its own receive, it leaves a descriptor in that socket, and the next fetch (the
// last report's, in DllMain) stops the process on an assertion. So the thread fetches none that
// late: the report keeps one handle open (its descriptor fetched at the first write), and the open
// device files are found by their names (NtQueryObject), which fetches no descriptor.
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

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

}  // namespace

uint32_t CountOpenDeviceFiles() {
    static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    static const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    static const auto queryObject =
        reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")));
    if (!query || !queryObject) return 0;
    std::vector<uint64_t> buffer(8192);
    LONG status;
    ULONG needed = 0;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size() * 8),
                           &needed)) == kInfoLengthMismatch &&
           buffer.size() < (1u << 24)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return 0;
    // Every device file lies in the world's folder of this process.
    const std::wstring folder = Lower(WorldInstance().Directory()) + L"\\";
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    uint32_t open = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        const HandleEntry& e = table->entries[i];
        if (e.process != self) continue;
        // OBJECT_NAME_INFORMATION: a UNICODE_STRING, then its characters ("\??\C:\...").
        alignas(8) BYTE info[4096];
        ULONG length = 0;
        if (queryObject(reinterpret_cast<HANDLE>(e.handle), kObjectNameInformation, info, sizeof info, &length) != 0)
            continue;
        USHORT bytes = 0;
        PWSTR chars = nullptr;
        std::memcpy(&bytes, info, sizeof bytes);
        std::memcpy(&chars, info + sizeof(PVOID), sizeof chars);
        if (!chars || bytes == 0) continue;
        if (Lower(std::wstring(chars, bytes / sizeof(wchar_t))).find(folder) != std::wstring::npos) ++open;
    }
    return open;
}

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
    struct Line {
        std::string name;
        bool present = false;
        uint32_t opens = 0;
        uint32_t received = 0;
    };
    std::vector<Line> lines;
    for (const std::string& name : w.scenarioNames) lines.push_back(Line{name});
    // A device plugged in again is one more device of the world under the same name.
    for (const auto& [id, d] : w.devices) {
        std::string name = d.name.empty() ? "device-" + std::to_string(id) : d.name;
        Line* line = nullptr;
        for (Line& l : lines) {
            if (l.name == name) line = &l;
        }
        if (!line) {
            lines.push_back(Line{name});
            line = &lines.back();
        }
        line->present = line->present || d.present;
        line->opens += d.opens;
        line->received += d.messagesReceived;
    }
    text = "open_files " + std::to_string(openFiles) + "\n";
    text += "winusb_handles " + std::to_string(w.interfaces.size()) + "\n";
    text += "cm_registrations " + std::to_string(CmRegistrationCountLocked(nullptr)) + "\n";
    text += "window_registrations " + std::to_string(WindowRegistrationCountLocked(nullptr)) + "\n";
    for (const Line& l : lines) {
        text += "device " + l.name + (l.present ? " present" : " absent") + " opens " + std::to_string(l.opens) +
                " received_messages " + std::to_string(l.received) + "\n";
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
    std::string text;
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
