// The state report of VARKO_SIM_REPORT (docs/scenarios.md): one fact a line, the whole file
// rewritten each time, by a move over the old one so that a reader never sees half of it.
#include <cwctype>

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
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

}  // namespace

uint32_t CountOpenDeviceFiles() {
    static const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
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
        auto h = reinterpret_cast<HANDLE>(e.handle);
        if (GetFileType(h) != FILE_TYPE_DISK) continue;
        wchar_t name[1024];
        DWORD n = GetFinalPathNameByHandleW(h, name, 1024, FILE_NAME_NORMALIZED);
        if (n == 0 || n >= 1024) continue;
        if (Lower(std::wstring(name, n)).find(folder) != std::wstring::npos) ++open;
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

bool ReplaceReportFile(const std::wstring& path, const std::string& text, const wchar_t* tempSuffix) {
    std::wstring temp = path + tempSuffix;
    HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
    if (!ok || written != text.size()) return false;
    return MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void WriteFinalReport(bool processExit) {
    if (ReportPath().empty()) return;
    std::string text;
    // A temporary file of its own: the world's thread, ended by the exit, may have left its own
    // temporary file open, unshared.
    if (BuildReport(CountOpenDeviceFiles(), processExit ? ReportLock::TryThenWithout : ReportLock::Try, text))
        ReplaceReportFile(ReportPath(), text, L".final.tmp");
}

}  // namespace sim
