// The fault seam for what a DLL does while it loads: static initialisation and the entry point run
// before LoadLibrary returns, too early for a patch of the loaded module. The loader tells
// registered callers about each DLL it has mapped and bound, before that DLL's initialisation;
// OnDllLoad runs a function there for the DLL of the given name, which can patch its import table
// (import_patch.h). Both widths; the notification functions are the loader's own (ntdll).
//
//   std::optional<...> fault;
//   OnDllLoad watch(L"inputgate64.dll", [&](HMODULE m) { fault.emplace(m, "CreateMutexW", ...); });
//   HostLibrary lib("inputgate64.dll");   // its static initialisation already meets the fault
#pragma once
#include <windows.h>

#include <cwchar>
#include <functional>
#include <stdexcept>
#include <string>

class OnDllLoad {
public:
    OnDllLoad(const wchar_t* dllName, std::function<void(HMODULE)> action) : name_(dllName), action_(std::move(action)) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        auto reg = reinterpret_cast<Register>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrRegisterDllNotification")));
        unregister_ =
            reinterpret_cast<Unregister>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnregisterDllNotification")));
        if (!reg || !unregister_ || reg(0, &Notify, this, &cookie_) != 0) {
            throw std::runtime_error("no DLL load notifications");
        }
    }
    ~OnDllLoad() { unregister_(cookie_); }
    // How often the action ran to its end; whether it ever threw.
    int runs() const { return runs_; }
    bool failed() const { return failed_; }
    OnDllLoad(const OnDllLoad&) = delete;
    OnDllLoad& operator=(const OnDllLoad&) = delete;

private:
    struct CountedText {
        USHORT length;   // bytes
        USHORT capacity;
        PCWSTR text;
    };
    struct Notice {
        ULONG flags;
        const CountedText* fullName;
        const CountedText* baseName;
        PVOID base;
        ULONG size;
    };
    using Callback = VOID(CALLBACK*)(ULONG, const Notice*, PVOID);
    using Register = LONG(WINAPI*)(ULONG, Callback, PVOID, PVOID*);
    using Unregister = LONG(WINAPI*)(PVOID);
    static constexpr ULONG LOADED = 1;

    static VOID CALLBACK Notify(ULONG reason, const Notice* notice, PVOID context) {
        auto* self = static_cast<OnDllLoad*>(context);
        if (reason != LOADED || !notice || !notice->baseName) return;
        std::wstring name(notice->baseName->text, notice->baseName->length / sizeof(wchar_t));
        if (_wcsicmp(name.c_str(), self->name_.c_str()) != 0) return;
        // Nothing may unwind into the loader.
        try {
            self->action_(static_cast<HMODULE>(notice->base));
            ++self->runs_;
        } catch (...) {
            self->failed_ = true;
        }
    }

    std::wstring name_;
    std::function<void(HMODULE)> action_;
    Unregister unregister_ = nullptr;
    PVOID cookie_ = nullptr;
    int runs_ = 0;
    bool failed_ = false;
};
