// The fault seam of the tests: one entry of a loaded module's import address table is pointed at
// a test function for the lifetime of an object. The module is the shipped DLL as a host loaded it
// (or the test program itself, for code linked into it); its code still calls the platform
// function by name, and only that module's calls are redirected. Works in both widths: the
// replacement has the platform function's own type, calling convention included.
//
//   auto fault = FAIL_IMPORT(module, LocalAlloc, HLOCAL{}, ERROR_NOT_ENOUGH_MEMORY);
//   ... the next call of LocalAlloc made by that module returns NULL with that last error ...
//   fault.calls()    how many calls reached the stub
//   fault.failed()   how many of them the fault took
//
// Every fault counts its calls by one rule (FaultWindow) and every import entry is written in one
// place (ExchangeImportSlot). A table of faults holds each as a HeldFault.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Points one import entry at `value` and returns what it held: the one place where the seams
// write an import table. The entry's page is made writable for the write, and the instruction
// cache is flushed so that no processor goes on calling the old target.
inline void* ExchangeImportSlot(void** slot, void* value) {
    DWORD protect = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protect);
    void* old = InterlockedExchangePointer(slot, value);
    VirtualProtect(slot, sizeof(void*), protect, &protect);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
    return old;
}

class ImportPatch {
public:
    // An entry of the calling program's own import table.
    ImportPatch(const char* function, void* replacement) : ImportPatch(GetModuleHandleW(nullptr), function, replacement) {}
    ImportPatch(HMODULE module, const char* function, void* replacement)
        : module_(module), slot_(FindSlot(module, function)) {
        if (!slot_) throw std::runtime_error(std::string("no import entry for ") + function);
        original_ = ExchangeImportSlot(slot_, replacement);
    }
    // A module that a test unloaded while patched has no table left to restore.
    ~ImportPatch() {
        if (slot_ && StillLoaded()) ExchangeImportSlot(slot_, original_);
    }
    ImportPatch(ImportPatch&& other) noexcept
        : module_(other.module_), slot_(std::exchange(other.slot_, nullptr)), original_(other.original_) {}
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    ImportPatch& operator=(ImportPatch&&) = delete;

    template <class F>
    F original() const {
        return reinterpret_cast<F>(original_);
    }
    void* originalAddress() const { return original_; }

    // True when the module imports the function by name.
    static bool Imports(HMODULE module, const char* function) { return FindSlot(module, function) != nullptr; }
    // What the module's first entry for the function calls now.
    static void* Target(HMODULE module, const char* function) {
        void** slot = FindSlot(module, function);
        if (!slot) throw std::runtime_error(std::string("no import entry for ") + function);
        return *slot;
    }

    // Every import entry of the module for the function, by name (a module may import it from
    // more than one DLL).
    static std::vector<void**> Slots(HMODULE module, const char* function) {
        std::vector<void**> out;
        auto base = reinterpret_cast<BYTE*>(module);
        auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (dir.VirtualAddress == 0) return out;
        auto imports = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
        for (; imports->Name; ++imports) {
            auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->OriginalFirstThunk);
            auto entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imports->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++entries) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    out.push_back(reinterpret_cast<void**>(&entries->u1.Function));
                }
            }
        }
        return out;
    }

private:
    static void** FindSlot(HMODULE module, const char* function) {
        std::vector<void**> slots = Slots(module, function);
        return slots.empty() ? nullptr : slots.front();
    }

    bool StillLoaded() const {
        HMODULE holder = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  reinterpret_cast<LPCWSTR>(slot_), &holder) &&
               holder == module_;
    }

    HMODULE module_;
    void** slot_;
    void* original_ = nullptr;
};

// Which calls of a fault it takes: the first `skip` calls pass, the next `times` are taken (-1:
// every later one), the rest pass. One word holds what is left of the window and its `times`;
// each call takes its place with a single atomic fetch_sub of that word, and that place alone
// decides. So concurrent calls never take one call too many or too few, and a call that meets a
// Set sees either window whole.
class FaultWindow {
public:
    void Set(int times, int skip) noexcept { word_.store(Pack(skip + (times < 0 ? 0 : times), times)); }
    // True when the calling call is to be taken.
    bool Take() noexcept {
        const std::uint64_t was = word_.fetch_sub(kOneCall);
        const int left = Field(was >> 32);   // this call and the window's calls after it
        const int times = Field(was);
        return times < 0 ? left <= 0 : left >= 1 && left <= times;
    }

private:
    static constexpr std::uint64_t kOneCall = std::uint64_t{1} << 32;
    static std::uint64_t Pack(int left, int times) noexcept {
        return std::uint64_t{static_cast<std::uint32_t>(left)} << 32 | static_cast<std::uint32_t>(times);
    }
    static int Field(std::uint64_t bits) noexcept { return static_cast<int>(static_cast<std::uint32_t>(bits)); }
    std::atomic<std::uint64_t> word_{0};
};

namespace import_fault_detail {

// The stub's own function, of the platform function's type: a stdcall one (WINAPI), or in the
// 32-bit build a cdecl one of the C runtime (malloc).
template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R(WINAPI*)(A...)> {
    using Result = R;
    // What a fault does instead of the call: it gets the platform function and the arguments.
    using Action = std::function<R(R(WINAPI*)(A...), A...)>;
    template <class State>
    static R WINAPI Stub(A... arguments) {
        return State::Call(arguments...);
    }
};
#if defined(__i386__) || defined(_M_IX86)
template <class R, class... A>
struct Signature<R(__cdecl*)(A...)> {
    using Result = R;
    using Action = std::function<R(R(__cdecl*)(A...), A...)>;
    template <class State>
    static R __cdecl Stub(A... arguments) {
        return State::Call(arguments...);
    }
};
#endif

}  // namespace import_fault_detail

// One fault on one import. F is the platform function's pointer type; Tag makes each FAIL_IMPORT
// a type of its own, so that two functions of the same signature never share a stub. The calls
// FaultWindow picks run the action (fail, are left out, or whatever a test's own action does),
// the others go to the platform function. A call that passes touches nothing but atomics: the
// stub of GetLastError must not change the last error it passes on.
template <class F, int Tag>
class ImportFault {
    using Detail = import_fault_detail::Signature<F>;

public:
    using Action = typename Detail::Action;

    ImportFault(HMODULE module, const char* function, Action action, int times, int skip = 0)
        : patch_(Prepare(module, function, std::move(action), times, skip), function,
                 reinterpret_cast<void*>(&Detail::template Stub<State>)) {}
    ImportFault(ImportFault&&) noexcept = default;
    ImportFault(const ImportFault&) = delete;
    ImportFault& operator=(const ImportFault&) = delete;
    ImportFault& operator=(ImportFault&&) = delete;
    ~ImportFault() = default;   // the patch goes first, then the action (State::Release)

    int calls() const { return State::Get().calls.load(); }     // every call that reached the stub
    int failed() const { return State::Get().failed.load(); }   // the calls it took
    // From now on takes `times` calls after letting `skip` through: a fault made with times 0
    // passes every call until it is armed.
    void Arm(int times, int skip = 0) { State::Get().window.Set(times, skip); }

private:
    struct State {
        std::atomic<void*> original{nullptr};
        FaultWindow window;
        std::atomic<int> calls{0};
        std::atomic<int> failed{0};
        std::shared_ptr<const Action> action;   // read and written with the atomic shared_ptr calls

        static State& Get() {
            static State s;
            return s;
        }
        template <class... A>
        static typename Detail::Result Call(A... arguments) {
            State& s = Get();
            ++s.calls;
            auto original = reinterpret_cast<F>(s.original.load());
            if (s.window.Take()) {
                // A call in progress keeps its action alive; once the fault is gone it passes.
                if (std::shared_ptr<const Action> action = std::atomic_load(&s.action)) {
                    ++s.failed;
                    return (*action)(original, arguments...);
                }
            }
            return original(arguments...);
        }
    };

    // Ends the fault's action once the patch is gone (the member below it is destroyed first).
    struct Release {
        Release() = default;
        Release(Release&& other) noexcept : owner(std::exchange(other.owner, false)) {}
        Release(const Release&) = delete;
        Release& operator=(const Release&) = delete;
        Release& operator=(Release&&) = delete;
        ~Release() {
            if (!owner) return;
            State& s = State::Get();
            s.window.Set(0, 0);
            std::atomic_store(&s.action, std::shared_ptr<const Action>());
        }
        bool owner = true;
    };

    static HMODULE Prepare(HMODULE module, const char* function, Action action, int times, int skip) {
        State& s = State::Get();
        s.original = ImportPatch::Target(module, function);
        s.window.Set(times, skip);
        s.calls = 0;
        s.failed = 0;
        std::atomic_store(&s.action, std::make_shared<const Action>(std::move(action)));
        return module;
    }

    Release release_;
    ImportPatch patch_;
};

// The faults a macro makes: a failure with a fixed result and last error, a call left out (a
// function that returns nothing), or a test's own action.
template <class F, int Tag, class V>
ImportFault<F, Tag> FailImport(HMODULE module, const char* function, V failValue, DWORD failError, int times = 1,
                               int skip = 0) {
    using R = typename import_fault_detail::Signature<F>::Result;
    const R value = failValue;
    return ImportFault<F, Tag>(module, function,
                               [value, failError](auto&&...) {
                                   SetLastError(failError);
                                   return value;
                               },
                               times, skip);
}
template <class F, int Tag>
ImportFault<F, Tag> SkipImport(HMODULE module, const char* function, int times = 1, int skip = 0) {
    return ImportFault<F, Tag>(module, function, [](auto&&...) {}, times, skip);
}
template <class F, int Tag>
ImportFault<F, Tag> ReplaceImport(HMODULE module, const char* function, typename ImportFault<F, Tag>::Action action,
                                  int times, int skip = 0) {
    return ImportFault<F, Tag>(module, function, std::move(action), times, skip);
}

// FAIL_IMPORT(module, Function, failValue, error [, times [, skip]]): `times` calls of Function
// made by module (default 1, -1: every call), after `skip` that go through, return failValue with
// error as the thread's last error.
#define FAIL_IMPORT(module, function, ...) \
    FailImport<decltype(&::function), __COUNTER__>((module), #function, __VA_ARGS__)
// FAIL_IMPORT_AS(module, Function, Pointer, failValue, error [, times [, skip]]): FAIL_IMPORT for a
// function whose type carries attributes that a template argument drops (FormatMessageA's va_list
// pointer): Pointer spells out an equivalent pointer type, calling convention included.
#define FAIL_IMPORT_AS(module, function, pointer, ...) \
    FailImport<pointer, __COUNTER__>((module), #function, __VA_ARGS__)
// SKIP_IMPORT(module, Function, times [, skip]): a function that returns nothing is not called,
// `times` times (-1: never again).
#define SKIP_IMPORT(module, function, ...) \
    SkipImport<decltype(&::function), __COUNTER__>((module), #function, __VA_ARGS__)
// REPLACE_IMPORT(module, Function, action, times [, skip]): the calls taken run
// action(platformFunction, arguments...) instead, whose result the caller gets.
#define REPLACE_IMPORT(module, function, ...) \
    ReplaceImport<decltype(&::function), __COUNTER__>((module), #function, __VA_ARGS__)

// A fault of any type, held for as long as a table's row needs it.
class HeldFault {
public:
    HeldFault() = default;
    template <class F, int Tag>
    HeldFault(ImportFault<F, Tag>&& fault)   // not explicit: a row returns its fault as it is made
        : fault_(std::make_shared<ImportFault<F, Tag>>(std::move(fault))) {
        auto* held = static_cast<ImportFault<F, Tag>*>(fault_.get());
        calls_ = [held] { return held->calls(); };
        failed_ = [held] { return held->failed(); };
    }
    explicit operator bool() const { return fault_ != nullptr; }
    int calls() const { return fault_ ? calls_() : 0; }
    int failed() const { return fault_ ? failed_() : 0; }

private:
    std::shared_ptr<void> fault_;
    std::function<int()> calls_;
    std::function<int()> failed_;
};
