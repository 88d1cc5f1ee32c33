#include "process_census.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

namespace usbfuzz {

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

}  // namespace usbfuzz
